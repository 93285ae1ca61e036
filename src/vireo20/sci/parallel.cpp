// The process-wide thread count behind every shared-out pass of libvireo20.
#include "vireo20/sci/parallel.h"

#include <sched.h>

#include <cstdlib>
#include <algorithm>
#include <thread>

namespace vireo20 {
namespace ups {
namespace {

// Past eight cores the passes are bound by memory bandwidth, and threads only add start-up cost.
constexpr unsigned largest_default = 8;

unsigned cores_we_may_use()
{
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware ? hardware : 1u;
}

unsigned decide()
{
  if (const char* text = std::getenv("VIREO20_THREADS")) {
    char* end = nullptr;
    const long asked = std::strtol(text, &end, 10);
    // A value that is not a positive count is ignored rather than failing every call.
    if (end != text && *end == '\0' && asked >= 1) return static_cast<unsigned>(std::min<long>(asked, 1024));
  }
  return std::min(cores_we_may_use(), largest_default);
}

}  // namespace

unsigned thread_count()
{
  static const unsigned count = decide();
  return count;
}

}  // namespace ups
}  // namespace vireo20
