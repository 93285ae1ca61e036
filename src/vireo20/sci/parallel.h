// Work shared over the cores inside libvireo20: each routine returns when all its threads are done,
// and a thread the system refuses only means the others take its share, for the same result.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "vireo20/Export.h"

namespace vireo20 {
namespace ups {

// How far ahead every random read of libvireo20's passes is asked for, in loop steps: far enough for
// many misses to be in flight at once instead of one per step. On ten million source particles the
// reductions' gathers ran a fifth faster at 64 than at 24, and the grouping's reads of the parent
// table were no slower (bench/upscaling_bench.py, setup_bench); past 64 nothing gained.
constexpr std::int32_t prefetch_distance = 64;

// The one rule for how many threads a call may use, decided once per process: VIREO20_THREADS when
// set (1: every call runs on the calling thread alone), otherwise the cores this process may run on
// (sched_getaffinity), capped where more threads stop paying for memory-bound passes.
VIREO20_API unsigned thread_count();

// Runs p_Work(thread) on up to p_Threads threads, the calling one included, and returns when all are
// done, so each pass sees everything the one before wrote. Work is handed out on demand, so if the
// system refuses a thread the others do its share and the result is the same.
template <class Work>
void run_on_threads(unsigned p_Threads, const Work& p_Work)
{
  std::vector<std::thread> helpers;
  try {
    helpers.reserve(p_Threads > 1 ? p_Threads - 1 : 0);
    for (unsigned t = 1; t < p_Threads; ++t) helpers.emplace_back([&p_Work, t] { p_Work(t); });
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  p_Work(0);
  for (std::thread& helper : helpers) helper.join();
}

// Calls p_Work(thread, item) once for every item 0..p_Items-1; items touch disjoint memory, so the
// order in which threads take them changes nothing.
template <class Work>
void share_out(unsigned p_Threads, std::int32_t p_Items, const Work& p_Work)
{
  if (p_Items <= 0) return;
  std::atomic<std::int32_t> next(0);
  run_on_threads(std::min<unsigned>(p_Threads, static_cast<unsigned>(p_Items)), [&](unsigned p_Thread) {
    for (std::int32_t item = next.fetch_add(1, std::memory_order_relaxed); item < p_Items;
         item = next.fetch_add(1, std::memory_order_relaxed)) {
      p_Work(p_Thread, item);
    }
  });
}

// Lowers p_Lowest to p_Value if that is lower, whatever other threads do meanwhile: the first item
// that fails, found by whichever thread meets it.
template <class Value>
void keep_lowest(std::atomic<Value>& p_Lowest, Value p_Value)
{
  for (Value seen = p_Lowest.load(); p_Value < seen && !p_Lowest.compare_exchange_weak(seen, p_Value);) {
  }
}

// Runs p_Body(first, end) over contiguous ranges tiling 0..p_Count-1, one range per thread of
// thread_count() when there is enough work (a lone range runs on the calling thread). Each output entry written by a range gets its additions from one thread in order, so
// the result is the same bits whatever the split.
template <class Count, class Body>
void for_ranges(Count p_Count, const Body& p_Body)
{
  constexpr std::int64_t per_thread = 1 << 16;
  const std::int64_t count = static_cast<std::int64_t>(p_Count);
  const std::int64_t ranges =
      std::max<std::int64_t>(1, std::min<std::int64_t>(thread_count(), count / per_thread));
  const std::int64_t step = (count + ranges - 1) / ranges;
  share_out(static_cast<unsigned>(ranges), static_cast<std::int32_t>(ranges), [&](unsigned, std::int32_t p_Range) {
    p_Body(static_cast<Count>(p_Range * step), static_cast<Count>(std::min(count, (p_Range + 1) * step)));
  });
}

// Runs p_Prepare(chunk, slot) for chunks 0..p_Chunks-1 in any order, on any thread, and
// p_Consume(chunk, slot) for each prepared chunk strictly in chunk order, one at a time, so the
// consumer may add into shared results in a fixed order. A chunk owns slot chunk % p_Slots until it
// is consumed; at most p_Slots chunks are prepared ahead. Roles are taken on demand: one thread may
// consume while the others prepare, and a lone thread (one core, or a refused thread) alternates.
template <class Prepare, class Consume>
void prepare_then_consume_in_order(unsigned p_Threads, std::int32_t p_Chunks, std::int32_t p_Slots,
                                   const Prepare& p_Prepare, const Consume& p_Consume)
{
  std::vector<std::atomic<std::int32_t>> held(static_cast<std::size_t>(p_Slots));  // the chunk in each slot
  for (auto& slot : held) slot.store(-1, std::memory_order_relaxed);
  std::atomic<std::int32_t> consumed(0), claimed(0);
  std::atomic<bool> consuming(false);
  run_on_threads(p_Threads, [&](unsigned) {
    for (;;) {
      const std::int32_t done = consumed.load(std::memory_order_acquire);
      if (done == p_Chunks) return;
      // Consume every chunk that is ready, in order, unless another thread already does.
      if (held[static_cast<std::size_t>(done % p_Slots)].load(std::memory_order_acquire) == done &&
          !consuming.exchange(true, std::memory_order_acquire)) {
        std::int32_t next = consumed.load(std::memory_order_relaxed);
        for (std::atomic<std::int32_t>* slot = &held[static_cast<std::size_t>(next % p_Slots)];
             next < p_Chunks && slot->load(std::memory_order_acquire) == next;
             slot = &held[static_cast<std::size_t>(next % p_Slots)]) {
          p_Consume(next, next % p_Slots);
          slot->store(-1, std::memory_order_relaxed);
          consumed.store(++next, std::memory_order_release);
        }
        consuming.store(false, std::memory_order_release);
        continue;
      }
      // Otherwise prepare the next chunk, if its slot has been consumed.
      std::int32_t chunk = claimed.load(std::memory_order_relaxed);
      if (chunk < p_Chunks && chunk < done + p_Slots &&
          claimed.compare_exchange_weak(chunk, chunk + 1, std::memory_order_relaxed)) {
        p_Prepare(chunk, chunk % p_Slots);
        held[static_cast<std::size_t>(chunk % p_Slots)].store(chunk, std::memory_order_release);
        continue;
      }
      std::this_thread::yield();
    }
  });
}

}  // namespace ups
}  // namespace vireo20
