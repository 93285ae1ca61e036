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

namespace vireo20 {
namespace ups {

// Runs p_Work(thread) on up to p_Threads threads, the calling one included, and returns when all are
// done, so each pass sees everything the one before wrote. Work is handed out on demand, so if the
// system refuses a thread the others do its share and the result is the same.
template <class Work>
void run_on_threads(unsigned p_Threads, const Work& p_Work)
{
  std::vector<std::thread> helpers;
  try {
    helpers.reserve(p_Threads - 1);
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
  std::atomic<std::int32_t> next(0);
  run_on_threads(std::min<unsigned>(p_Threads, static_cast<unsigned>(p_Items)), [&](unsigned p_Thread) {
    for (std::int32_t item = next.fetch_add(1, std::memory_order_relaxed); item < p_Items;
         item = next.fetch_add(1, std::memory_order_relaxed)) {
      p_Work(p_Thread, item);
    }
  });
}

// Runs p_Body(first, end) over contiguous ranges tiling 0..p_Count-1, one range per core when there is
// enough work. Each output entry written by a range gets its additions from one thread in order, so
// the result is the same bits whatever the split.
template <class Count, class Body>
void for_ranges(Count p_Count, const Body& p_Body)
{
  constexpr std::int64_t per_thread = 1 << 16;
  const std::int64_t count = static_cast<std::int64_t>(p_Count);
  const std::int64_t ranges =
      std::max<std::int64_t>(1, std::min<std::int64_t>(std::thread::hardware_concurrency(), count / per_thread));
  const std::int64_t step = (count + ranges - 1) / ranges;
  share_out(static_cast<unsigned>(ranges), static_cast<std::int32_t>(ranges), [&](unsigned, std::int32_t p_Range) {
    p_Body(static_cast<Count>(p_Range * step), static_cast<Count>(std::min(count, (p_Range + 1) * step)));
  });
}

}  // namespace ups
}  // namespace vireo20
