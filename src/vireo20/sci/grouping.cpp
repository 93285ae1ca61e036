// Grouping by parent id in passes that each read memory in order, or touch one cache-sized bucket of
// parent ids at a time, spread over the cores; what it builds is in grouping.h.
#include "vireo20/sci/grouping.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "quill20/core/array/HugePages.h"
#include "vireo20/sci/parallel.h"

namespace vireo20 {
namespace ups {
namespace {

// One bucket covers 2^15 parent ids, so its stretch of per-parent counters (128 KiB) stays in the
// 512 KiB L2 cache, with room for the lines the bucket writes, while the bucket is worked on: in list
// order nearly every counter access would miss.
constexpr unsigned bucket_bits = 15;
// Below this many entries a second thread costs more to start than it saves.
constexpr std::int32_t parallel_threshold = 1 << 17;
// Chunks of enabled positions are handed out on demand, so a core slowed by another process simply
// takes fewer of them.
constexpr std::int32_t chunk_size = 1 << 18;

// An enabled position and its parent id.
struct Entry {
  std::int32_t position;
  std::int32_t key;
};

// Huge pages also mean fewer TLB misses in the scattered writes below.
using quill20::core::advise_huge_pages;

using quill20::core::Scratch;

// The threads a test asks for, or else the process's count when there are enough entries to share.
unsigned threads_for(unsigned p_Asked, std::int32_t p_Entries)
{
  if (p_Asked) return p_Asked;
  return p_Entries >= parallel_threshold ? thread_count() : 1u;
}

template <class T>
void reserve_huge(std::vector<T>& p_Vector, std::size_t p_Count)
{
  p_Vector.reserve(p_Count);
  advise_huge_pages(p_Vector.data(), p_Count * sizeof(T));
}

}  // namespace

bool group_by_parent(const std::int32_t* p_Parents, std::uint64_t p_ParticleCount, const std::int32_t* p_Enabled,
                     std::int32_t p_EnabledCount, std::vector<ParentRange>& p_Ranges,
                     std::vector<std::int32_t>& p_Positions, unsigned p_Threads)
{
  p_Ranges.clear();
  p_Positions.clear();
  if (p_EnabledCount <= 0) return true;
  if (p_ParticleCount == 0) return false;

  const std::uint64_t n = p_ParticleCount;
  const std::int32_t e_count = p_EnabledCount;
  const unsigned threads = threads_for(p_Threads, e_count);
  // Parent ids are 32-bit, so a longer table holds no further parents.
  const std::uint64_t id_count = std::min<std::uint64_t>(n, std::uint64_t(1) << 31);
  const std::int32_t bucket_count = static_cast<std::int32_t>(((id_count - 1) >> bucket_bits) + 1);
  const std::int32_t chunk_count = (e_count - 1) / chunk_size + 1;

  // The output's own memory holds each position's parent id until pass 2, then marks the first
  // position of each parent until the positions are written.
  reserve_huge(p_Positions, static_cast<std::size_t>(e_count));
  p_Positions.resize(static_cast<std::size_t>(e_count));
  std::int32_t* const positions = p_Positions.data();

  // Pass 1, in list order: check each entry, find its parent id and count the bucket of that id.
  std::vector<std::int32_t> cursor(static_cast<std::size_t>(chunk_count) * bucket_count, 0);
  std::vector<std::uint8_t> refused(static_cast<std::size_t>(chunk_count), 0);
  share_out(threads, chunk_count, [&](unsigned, std::int32_t p_Chunk) {
    const std::int32_t begin = p_Chunk * chunk_size;
    const std::int32_t end = static_cast<std::int32_t>(std::min<std::int64_t>(e_count, std::int64_t(begin) + chunk_size));
    std::int32_t* const count = &cursor[static_cast<std::size_t>(p_Chunk) * bucket_count];
    // One test per check: as unsigned, a negative id is beyond every valid one.
    const std::uint32_t limit = static_cast<std::uint32_t>(id_count);
    const auto find = [&](std::int32_t p_Position) {
      const std::uint32_t p = static_cast<std::uint32_t>(p_Enabled[p_Position]);
      if (p >= limit) return false;
      const std::int32_t own = p_Parents[p];
      const std::uint32_t q = own < 0 ? p : static_cast<std::uint32_t>(own);
      if (q >= limit) return false;
      positions[p_Position] = static_cast<std::int32_t>(q);
      ++count[q >> bucket_bits];
      return true;
    };
    // The parent table is read in random order: asking for its line early overlaps the misses (an id
    // out of range asks for the last line instead, and is refused when its turn comes).
    std::int32_t i = begin;
    for (const std::int32_t ahead_end = std::max(begin, end - prefetch_distance); i < ahead_end; ++i) {
      __builtin_prefetch(p_Parents + std::min(static_cast<std::uint32_t>(p_Enabled[i + prefetch_distance]), limit - 1));
      if (!find(i)) break;
    }
    for (; i < end && find(i); ++i) {
    }
    if (i < end) refused[static_cast<std::size_t>(p_Chunk)] = 1;
  });
  if (std::find(refused.begin(), refused.end(), 1) != refused.end()) {
    std::vector<std::int32_t>().swap(p_Positions);
    return false;
  }

  // Bucket b of chunk c starts after all earlier buckets and after bucket b of all earlier chunks, so
  // each bucket lists its positions in ascending order.
  std::vector<std::int32_t> bucket_begin(static_cast<std::size_t>(bucket_count) + 1);
  std::int32_t running = 0;
  for (std::int32_t b = 0; b < bucket_count; ++b) {
    bucket_begin[static_cast<std::size_t>(b)] = running;
    for (std::int32_t c = 0; c < chunk_count; ++c) {
      std::int32_t& slot = cursor[static_cast<std::size_t>(c) * bucket_count + b];
      const std::int32_t count = slot;
      slot = running;
      running += count;
    }
  }
  bucket_begin[static_cast<std::size_t>(bucket_count)] = running;

  // Pass 2, in list order: deal the positions out to the buckets of their parent ids, and clear the
  // parent ids behind, which costs no extra pass: pass A marks first positions on a clean slate.
  Scratch<Entry> entry_memory(static_cast<std::size_t>(e_count));
  Entry* const entries = entry_memory.data();
  share_out(threads, chunk_count, [&](unsigned, std::int32_t p_Chunk) {
    const std::int32_t begin = p_Chunk * chunk_size;
    const std::int32_t end = static_cast<std::int32_t>(std::min<std::int64_t>(e_count, std::int64_t(begin) + chunk_size));
    std::int32_t* const next = &cursor[static_cast<std::size_t>(p_Chunk) * bucket_count];
    for (std::int32_t i = begin; i < end; ++i) {
      const std::int32_t q = positions[i];
      positions[i] = 0;
      entries[next[q >> bucket_bits]++] = Entry{i, q};
    }
  });

  // One counter per parent id (fresh zeroed pages: no clearing pass). A bucket's counters are one
  // contiguous stretch that stays in cache while the bucket is worked on.
  Scratch<std::int32_t> count_memory(static_cast<std::size_t>(id_count), true);
  std::int32_t* const count = count_memory.data();

  // The sweep below runs over parts of the position list at once; each part needs the number of
  // blocks and of positions before it, counted here by the part of each parent's first position.
  unsigned part_bits = 16;
  while ((std::int64_t(8) * threads << part_bits) < e_count) ++part_bits;
  const std::size_t part_count = static_cast<std::size_t>((e_count - 1) >> part_bits) + 1;

  // Pass A, bucket by bucket: count the positions of each parent, and mark its first position (the
  // first in the bucket, as a bucket lists its positions in order) with the parent id, as ~id so
  // that the mark is never 0. First positions are collected without a branch (one in four entries
  // is one, so a branch would often be mispredicted) and marked once the bucket is done, when their
  // counts are final: the marks land all over the output, so a tight loop of independent stores,
  // each line requested a few marks early, overlaps their misses. A bucket has at most
  // 2^bucket_bits parents, so the list is bounded.
  std::vector<std::int64_t> part_sums(threads * 2 * part_count, 0);
  const std::size_t first_capacity = static_cast<std::size_t>(std::min<std::uint64_t>(id_count, 1u << bucket_bits)) + 1;
  Scratch<Entry> first_memory(threads * first_capacity);
  share_out(threads, bucket_count, [&](unsigned p_Thread, std::int32_t p_Bucket) {
    const std::int32_t begin = bucket_begin[static_cast<std::size_t>(p_Bucket)];
    const std::int32_t end = bucket_begin[static_cast<std::size_t>(p_Bucket) + 1];
    Entry* const first = first_memory.data() + p_Thread * first_capacity;
    std::int64_t* const blocks = &part_sums[p_Thread * 2 * part_count];
    std::int64_t* const sizes = blocks + part_count;
    std::int32_t found = 0;
    for (std::int32_t k = begin; k < end; ++k) {
      const Entry entry = entries[k];
      first[found] = entry;
      found += count[entry.key]++ == 0;
    }
    for (std::int32_t j = 0; j < found; ++j) {
      const std::size_t part = static_cast<std::size_t>(first[j].position >> part_bits);
      if (j + prefetch_distance < found) __builtin_prefetch(positions + first[j + prefetch_distance].position, 1);
      positions[first[j].position] = ~first[j].key;
      ++blocks[part];
      sizes[part] += count[first[j].key];
    }
  });

  // Each part's first label and first start.
  std::vector<std::int32_t> part_label(part_count + 1, 0), part_start(part_count + 1, 0);
  for (std::size_t part = 0; part < part_count; ++part) {
    std::int64_t blocks = 0, sizes = 0;
    for (unsigned t = 0; t < threads; ++t) {
      blocks += part_sums[t * 2 * part_count + part];
      sizes += part_sums[t * 2 * part_count + part_count + part];
    }
    part_label[part + 1] = part_label[part] + static_cast<std::int32_t>(blocks);
    part_start[part + 1] = part_start[part] + static_cast<std::int32_t>(sizes);
  }
  const std::int32_t u_count = part_label[part_count];
  reserve_huge(p_Ranges, static_cast<std::size_t>(u_count));
  p_Ranges.resize(static_cast<std::size_t>(u_count));
  ParentRange* const ranges = p_Ranges.data();

  // The sweep, part by part in list order over the marks: the blocks in order of first occurrence,
  // each parent's counter turned into its block's start. The marks of a stretch are gathered without
  // branches (a branch would be mispredicted at every fourth position) and their counters, read in
  // random order, requested; they are settled one stretch later, once the lines have arrived.
  share_out(threads, static_cast<std::int32_t>(part_count), [&](unsigned, std::int32_t p_Part) {
    constexpr std::int32_t stretch = 256;
    std::int32_t parents[2][stretch];
    const std::int32_t begin = p_Part << part_bits;
    const std::int32_t end =
        static_cast<std::int32_t>(std::min<std::int64_t>(e_count, std::int64_t(begin) + (std::int64_t(1) << part_bits)));
    ParentRange* range = ranges + part_label[static_cast<std::size_t>(p_Part)];
    std::int32_t offset = part_start[static_cast<std::size_t>(p_Part)];
    std::int32_t ready = 0;
    // 64-bit stretch bounds: the last stretch reaches past the largest 32-bit count.
    for (std::int64_t from = begin, side = 0; from < std::int64_t(end) + stretch; from += stretch, side ^= 1) {
      std::int32_t found = 0;
      const std::int32_t to = static_cast<std::int32_t>(std::min<std::int64_t>(end, from + stretch));
      for (std::int32_t i = static_cast<std::int32_t>(std::min<std::int64_t>(from, end)); i < to; ++i) {
        const std::int32_t mark = positions[i];
        parents[side][found] = ~mark;
        found += mark != 0;
      }
      for (std::int32_t k = 0; k < found; ++k) __builtin_prefetch(count + parents[side][k]);
      for (std::int32_t k = 0; k < ready; ++k) {
        std::int32_t& slot = count[parents[side ^ 1][k]];
        *range++ = ParentRange(offset, slot);
        offset += slot;
        slot = offset - slot;
      }
      ready = found;
    }
  });

  // Pass C, bucket by bucket: each position goes to the end of its block so far; a bucket lists its
  // positions in ascending order, so they ascend within every block.
  share_out(threads, bucket_count, [&](unsigned, std::int32_t p_Bucket) {
    const std::int32_t begin = bucket_begin[static_cast<std::size_t>(p_Bucket)];
    const std::int32_t end = bucket_begin[static_cast<std::size_t>(p_Bucket) + 1];
    for (std::int32_t k = begin; k < end; ++k) {
      // The destinations are scattered over the output: requesting one a few entries early overlaps
      // the misses (the counter it reads is in cache, and a stale one only wastes the hint).
      if (k + prefetch_distance < end) __builtin_prefetch(positions + count[entries[k + prefetch_distance].key], 1);
      const Entry entry = entries[k];
      positions[count[entry.key]++] = entry.position;
    }
  });
  return true;
}

void label_positions(const std::vector<ParentRange>& p_Ranges, const std::vector<std::int32_t>& p_Positions,
                     std::int32_t* p_Labels, unsigned p_Threads)
{
  const std::int32_t u_count = static_cast<std::int32_t>(p_Ranges.size());
  const std::int32_t e_count = static_cast<std::int32_t>(p_Positions.size());
  std::int32_t* const labels = p_Labels;
  const std::int32_t* const positions = p_Positions.data();
  const ParentRange* const ranges = p_Ranges.data();
  // Blocks tile the positions, so a stretch of blocks writes a set of labels no other stretch writes.
  constexpr std::int32_t blocks_per_item = 1 << 16;
  const std::int32_t items = u_count == 0 ? 0 : (u_count - 1) / blocks_per_item + 1;
  share_out(threads_for(p_Threads, e_count), items, [&](unsigned, std::int32_t p_Item) {
    const std::int32_t first = p_Item * blocks_per_item;
    const std::int32_t last = std::min(u_count, first + blocks_per_item);
    const std::int32_t begin = ranges[first].first;
    const std::int32_t end = ranges[last - 1].first + ranges[last - 1].second;
    std::int32_t u = first, block_end = ranges[first].first + ranges[first].second;
    for (std::int32_t k = begin; k < end; ++k) {
      // The labels land all over the array: requesting each line early overlaps the misses.
      if (k + prefetch_distance < end) __builtin_prefetch(labels + positions[k + prefetch_distance], 1);
      while (k == block_end) block_end += ranges[++u].second;
      labels[positions[k]] = u;
    }
  });
}

}  // namespace ups
}  // namespace vireo20
