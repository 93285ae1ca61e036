// The one loop behind every reduction of the engine: the enabled positions in ascending order, each
// handed with its upscaled particle (and, for weighted policies, its mass) to a policy that adds it
// in; or, for policies with many accumulators, the same additions particle by particle. Internal to
// libvireo20's engine sources and the group moments.
#pragma once

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <type_traits>
#include <utility>
#include <vector>

#include "vireo20/sci/mp_upscaling.h"
#include "vireo20/sci/mp_upscaling_checks.h"
#include "vireo20/sci/parallel.h"

namespace vireo20 {
namespace ups {

// The elements an array really holds: an array without storage holds none, whatever size it records.
template <class T>
std::uint64_t held(const quill20::core::Array<T, 1>& p_Array)
{
  return p_Array.data() ? p_Array.size() : 0;
}

}  // namespace ups
}  // namespace vireo20

// The grouping and the caller's arrays one call reads, taken once at its start. The grouping is the
// engine's own; the enabled list is the caller's and may have been changed or resized since the
// setup, so its length is checked here and its entries as they are read.
struct MPUpscaling::Frame {
  std::int32_t u = 0, t = 0, e = 0;
  const std::pair<std::int32_t, std::int32_t>* ranges = nullptr;
  const std::int32_t* positions = nullptr;
  const std::int32_t* labels = nullptr;
  const int* enabled = nullptr;

  explicit Frame(const MPUpscaling& p_Engine)
      : u(p_Engine.m_Topology ? p_Engine.m_NumberOfUpscaledParticles : 0), t(p_Engine.m_NumberOfTrailingEntries)
  {
    if (p_Engine.m_Topology) {
      e = static_cast<std::int32_t>(p_Engine.m_Topology->positions.size());
      ranges = p_Engine.m_Topology->ranges.data();
      positions = p_Engine.m_Topology->positions.data();
      labels = p_Engine.m_Labels.get();
    }
  }
  std::int32_t total() const { return u + t; }

  void require_values(const char* p_Method, const char* p_Argument, std::uint64_t p_Length) const
  {
    if (p_Length < static_cast<std::uint64_t>(e) + static_cast<std::uint64_t>(t)) {
      std::ostringstream text;
      text << p_Argument << " has " << p_Length << " entries; it needs at least " << static_cast<std::int64_t>(e) + t
           << " (" << e << " enabled positions, then " << t << " trailing entries)";
      vireo20::ups::refuse(p_Method, text.str());
    }
  }

  // The enabled list, as long as the grouping needs. Its entries are checked by whoever reads them.
  void attach_enabled(const char* p_Method, const MPUpscaling& p_Engine)
  {
    if (e == 0) return;
    const IntArray* list = p_Engine.m_EnabledIndexes.get();
    const std::uint64_t length = list ? vireo20::ups::held(*list) : 0;
    if (length < static_cast<std::uint64_t>(e)) {
      std::ostringstream text;
      text << "the enabled list given to SetParticlesEnabledIndexes now has " << length << " entries, fewer than the "
           << e << " it was grouped with; call SetParticlesEnabledIndexes again";
      vireo20::ups::refuse(p_Method, text.str());
    }
    enabled = list->data();
  }

  // Whether an enabled entry read during a walk still names one of p_SourceCount source particles.
  static bool names_a_particle(int p_Entry, std::uint64_t p_SourceCount)
  {
    return static_cast<std::uint64_t>(static_cast<std::uint32_t>(p_Entry)) < p_SourceCount;
  }

  // After a walk whose pieces each noted their first refused (position, entry), or -1: the refusal of
  // the first such position in list order, if any.
  static void refuse_first_changed(const char* p_Method, const std::vector<std::pair<std::int32_t, int>>& p_Refused,
                                   std::uint64_t p_SourceCount)
  {
    std::pair<std::int32_t, int> first(-1, 0);
    for (const auto& noted : p_Refused)
      if (noted.first >= 0 && (first.first < 0 || noted.first < first.first)) first = noted;
    if (first.first >= 0) refuse_changed(p_Method, first.first, first.second, p_SourceCount);
  }

  // The refusal of an enabled entry that names no source particle any more.
  [[noreturn]] static void refuse_changed(const char* p_Method, std::int32_t p_Position, int p_Entry,
                                          std::uint64_t p_SourceCount)
  {
    std::ostringstream text;
    text << "enabled_indexes[" << p_Position << "] = " << p_Entry << " was changed after SetParticlesEnabledIndexes "
         << "and no longer names one of the " << p_SourceCount << " source particles";
    vireo20::ups::refuse(p_Method, text.str());
  }
};

namespace vireo20 {
namespace ups {

// Positions per chunk of gathered masses, and chunks gathered ahead: 512 KiB in all.
constexpr std::int32_t mass_chunk = 1 << 13;
constexpr std::int32_t mass_slots = 8;
// Below this many positions a second thread costs more to start than it saves.
constexpr std::int32_t gather_threshold = 1 << 17;
// Past two threads the in-order adding is the bottleneck, not the gathering.
constexpr unsigned gather_threads = 2;

// Walks the enabled positions i = 0..E-1 in ascending order and calls p_Policy.add(i, e) (or
// add(i, e, mass) for a policy whose weighted is true) with e the upscaled particle of i from the
// setup's element map, one call at a time, so that every upscaled particle gets its additions in
// ascending position order, from whatever the policy started it at: the result is the same bits on any
// number of threads. p_Policy.ahead(e) is called for the particle prefetch_distance (parallel.h) positions ahead,
// so that its accumulators can be asked for early. Values and labels are read front to back; only
// the accumulators are touched at random.
//
// A policy whose last_member_only is true (each particle keeps only its last value) is handed just
// that member of each particle, and p_Policy.ahead_member(position) is called ahead instead.
//
// A weighted walk reads the mass of the source particle the enabled list names at i. Those masses are
// gathered a few chunks ahead on a second thread (one random read each through the enabled list; on
// ten million values this takes about half the time of two cores each gathering value, enabled entry
// and mass through the blocks). Each entry is checked as it is read, and the value checked is the
// one used, so a list changed since the setup can give a refusal but never a read outside the masses.
// p_Frame must have its enabled list attached; p_Masses holds p_MassCount entries.
template <class Policy>
void add_in_position_order(const char* p_Method, const MPUpscaling::Frame& p_Frame, const Policy& p_Given,
                           const double* p_Masses = nullptr, std::uint64_t p_MassCount = 0)
{
  // A local copy: its pointers provably stay put while the loops write through them.
  const Policy p_Policy = p_Given;
  const std::int32_t e_count = p_Frame.e;
  const std::int32_t* labels = p_Frame.labels;
  if (e_count == 0) return;
  if constexpr (Policy::last_member_only) {
    // Only each particle's last addition counts, so only its last member is visited: U random reads
    // shared over the threads instead of E random writes on one (10.2 ms against 11.0 ms on ten
    // million source particles on one core, 5.8 against 11.0 on two). A block's positions ascend, so
    // its last entry is the member the walk in position order would add last.
    const auto last_member = [&p_Frame](std::int32_t e) {
      return p_Frame.positions[p_Frame.ranges[e].first + p_Frame.ranges[e].second - 1];
    };
    for_ranges(p_Frame.u, [&](std::int32_t p_First, std::int32_t p_End) {
      for (std::int32_t e = p_First; e < p_End; ++e) {
        if (e + prefetch_distance < p_End) p_Policy.ahead_member(last_member(e + prefetch_distance));
        p_Policy.add(last_member(e), e);
      }
    });
  } else if constexpr (!Policy::weighted) {
    for (std::int32_t i = 0; i < e_count; ++i) {
      if (i + prefetch_distance < e_count) p_Policy.ahead(labels[i + prefetch_distance]);
      p_Policy.add(i, labels[i]);
    }
  } else {
    const std::int32_t chunks = (e_count + mass_chunk - 1) / mass_chunk;
    std::vector<double> ring(static_cast<std::size_t>(mass_chunk) * mass_slots);
    // The first refused position of each chunk, and the entry read there.
    std::vector<std::pair<std::int32_t, int>> refused(static_cast<std::size_t>(chunks), std::make_pair(-1, 0));
    const int* enabled = p_Frame.enabled;
    const unsigned threads = e_count >= gather_threshold ? std::min(gather_threads, thread_count()) : 1u;
    prepare_then_consume_in_order(
        threads, chunks, mass_slots,
        [&](std::int32_t p_Chunk, std::int32_t p_Slot) {
          const std::int32_t begin = p_Chunk * mass_chunk;
          const std::int32_t end = std::min(e_count, begin + mass_chunk);
          double* masses = &ring[static_cast<std::size_t>(p_Slot) * mass_chunk];
          for (std::int32_t i = begin; i < end; ++i) {
            // A prefetch of a wild address is harmless; only the checked entry below is dereferenced.
            if (i + prefetch_distance < e_count) __builtin_prefetch(p_Masses + enabled[i + prefetch_distance]);
            const int p = enabled[i];
            if (!MPUpscaling::Frame::names_a_particle(p, p_MassCount)) {
              if (refused[static_cast<std::size_t>(p_Chunk)].first < 0)
                refused[static_cast<std::size_t>(p_Chunk)] = std::make_pair(i, p);
              masses[i - begin] = 0.0;
              continue;
            }
            masses[i - begin] = p_Masses[p];
          }
        },
        [&](std::int32_t p_Chunk, std::int32_t p_Slot) {
          const std::int32_t begin = p_Chunk * mass_chunk;
          const std::int32_t end = std::min(e_count, begin + mass_chunk);
          const double* masses = &ring[static_cast<std::size_t>(p_Slot) * mass_chunk];
          for (std::int32_t i = begin; i < end; ++i) {
            if (i + prefetch_distance < e_count) p_Policy.ahead(labels[i + prefetch_distance]);
            p_Policy.add(i, labels[i], masses[i - begin]);
          }
        });
    // Chunks are checked in any order; the first refused one in list order names the entry.
    MPUpscaling::Frame::refuse_first_changed(p_Method, refused, p_MassCount);
  }
}

// Whether every entry is its own particle (a whole step enabled in order: 0, 1, ... within the
// p_MassCount particles). Telling costs a pass over the list in that case, a few entries otherwise.
inline bool entries_in_place(const MPUpscaling::Frame& p_Frame, std::uint64_t p_MassCount)
{
  if (static_cast<std::uint64_t>(p_Frame.e) > p_MassCount) return false;
  for (std::int32_t i = 0; i < p_Frame.e; ++i)
    if (p_Frame.enabled[i] != i) return false;
  return true;
}

// Walks by particle cut the particles into pieces of about equal members, a few per thread, handed
// out on demand so that a slow core takes fewer: how many threads and pieces (1: the calling thread
// alone).
struct ParticlePieces {
  unsigned threads;
  std::int32_t pieces;
};
inline ParticlePieces particle_pieces(std::int32_t p_Particles, std::int32_t p_Members, unsigned p_Threads)
{
  // Below this many members a thread costs more to start than it saves.
  constexpr std::int32_t members_per_thread = 1 << 15;
  const auto threads = static_cast<std::int32_t>(
      std::min<std::int64_t>(std::max(1u, p_Threads), std::max(1, p_Members / members_per_thread)));
  if (threads <= 1) return {1u, 1};
  return {static_cast<unsigned>(threads), std::min(p_Particles, threads * 4)};
}

// The first particle of piece p_Piece of p_Pieces (p_Particles for p_Piece == p_Pieces).
inline std::int32_t first_particle_of_piece(const std::pair<std::int32_t, std::int32_t>* p_Ranges,
                                            std::int32_t p_Particles, std::int32_t p_Members,
                                            std::int32_t p_Pieces, std::int32_t p_Piece)
{
  if (p_Piece == 0) return 0;
  if (p_Piece == p_Pieces) return p_Particles;
  const std::int64_t member = static_cast<std::int64_t>(p_Members) * p_Piece / p_Pieces;
  return static_cast<std::int32_t>(
      std::lower_bound(p_Ranges, p_Ranges + p_Particles, member,
                       [](const std::pair<std::int32_t, std::int32_t>& p_Range, std::int64_t p_Member) {
                         return p_Range.first < p_Member;
                       }) -
      p_Ranges);
}

// The same walk for policies whose per-particle accumulators are too many to touch at random (the
// coordinate average's four, the group moments' fifteen): particle by particle, each block's members in
// ascending position order, so each particle gets the same additions in the same order as above and
// the same bits. The particles are cut into pieces of about equal members, a few per thread, handed
// out on demand. On ten million source particles the coordinate average takes 110 ms this way on two
// cores against 210 ms in position order, where one core adds while the other gathers masses.
//
// p_Policy.start(e) gives particle e's accumulators, add(accumulators, position, mass) adds a member
// and finish(e, accumulators, members) writes the particle's results; ahead(position) asks for a
// member's values twice prefetch_distance members ahead, when its enabled entry is asked for too, so
// that the mass can be asked for once that entry has arrived. Each entry is checked as it is read:
// the refusal names the first refused position of the list, as the walk above does.
template <class Policy>
void add_by_blocks(const char* p_Method, const MPUpscaling::Frame& p_Frame, const Policy& p_Policy,
                   const double* p_Masses, std::uint64_t p_MassCount, unsigned p_Threads = thread_count())
{
  const std::int32_t u = p_Frame.u, e_count = p_Frame.e;
  if (u == 0 || e_count == 0) return;
  const auto* ranges = p_Frame.ranges;
  const std::int32_t* positions = p_Frame.positions;
  const int* enabled = p_Frame.enabled;
  const ParticlePieces split = particle_pieces(u, e_count, p_Threads);
  const std::int32_t pieces = split.pieces;
  // A member's mass is then read at its own row, one dependent random read less per member, and no
  // entry needs a check.
  const bool in_order = entries_in_place(p_Frame, p_MassCount);
  // The first refused position of each piece, and the entry read there.
  std::vector<std::pair<std::int32_t, int>> refused(static_cast<std::size_t>(pieces), std::make_pair(-1, 0));
  const auto walk = [&](std::int32_t p_Piece, auto p_InOrder) {
    constexpr bool InOrder = decltype(p_InOrder)::value;
    // Local copies: their pointers provably stay put while the loop writes through them.
    const Policy policy = p_Policy;
    const double* masses = p_Masses;
    const std::uint64_t mass_count = p_MassCount;
    const std::int32_t* const members = positions;
    const int* const entries = enabled;
    const std::int32_t begin = first_particle_of_piece(ranges, u, e_count, pieces, p_Piece);
    const std::int32_t end = first_particle_of_piece(ranges, u, e_count, pieces, p_Piece + 1);
    if (begin >= end) return;
    const std::int32_t last = ranges[end - 1].first + ranges[end - 1].second;
    std::pair<std::int32_t, int> first_refused(-1, 0);
    for (std::int32_t e = begin; e < end; ++e) {
      const std::int32_t first = ranges[e].first, count = ranges[e].second;
      auto sums = policy.start(e);
      for (std::int32_t k = first; k < first + count; ++k) {
        if (k + 2 * prefetch_distance < last) {
          const std::int32_t ahead = members[k + 2 * prefetch_distance];
          policy.ahead(ahead);
          if constexpr (InOrder)
            __builtin_prefetch(masses + ahead);
          else
            __builtin_prefetch(entries + ahead);
        }
        const std::int32_t i = members[k];
        if constexpr (InOrder) {
          policy.add(sums, i, masses[i]);
        } else {
          // A prefetch of a wild address is harmless; only the checked entry below is dereferenced.
          if (k + prefetch_distance < last) __builtin_prefetch(masses + entries[members[k + prefetch_distance]]);
          const int p = entries[i];
          if (!MPUpscaling::Frame::names_a_particle(p, mass_count)) {
            if (first_refused.first < 0 || i < first_refused.first) first_refused = std::make_pair(i, p);
            continue;
          }
          policy.add(sums, i, masses[p]);
        }
      }
      policy.finish(e, sums, count);
    }
    refused[static_cast<std::size_t>(p_Piece)] = first_refused;
  };
  share_out(split.threads, pieces, [&](unsigned, std::int32_t p_Piece) {
    if (in_order)
      walk(p_Piece, std::true_type());
    else
      walk(p_Piece, std::false_type());
  });
  MPUpscaling::Frame::refuse_first_changed(p_Method, refused, p_MassCount);
}

}  // namespace ups
}  // namespace vireo20
