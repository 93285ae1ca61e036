// The large buffers kept between steps: what a hold keeps and for whom, what it never keeps, and that
// a kept block handed out again is whole (zeroed when asked).
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "quill20/core/array/HugePages.h"

namespace {

using namespace quill20::core;

constexpr std::size_t large = smallest_kept_block * 2;

struct Held {
  Held() { hold_freed_blocks(); }
  ~Held() { let_go_of_freed_blocks(); }
};

TEST(KeptBlocks, ALargeBufferGivenBackServesTheNextOfAboutItsSizeOnlyWhileHeld)
{
  void* alone = allocate_advised(large);
  free_advised(alone, large);
  EXPECT_EQ(freed_blocks_kept(), 0u);  // no one holds: freed
  {
    const Held run;
    void* first = allocate_advised(large);
    std::memset(first, 7, large);
    free_advised(first);  // without its size, as VTK frees
    EXPECT_EQ(freed_blocks_kept(), 1u);
    // Far smaller or larger asks leave it; one of about its size takes it, zeroed when asked.
    void* small = allocate_advised(large / 2);
    void* big = allocate_advised(large * 2);
    EXPECT_EQ(freed_blocks_kept(), 1u);
    auto* again = static_cast<unsigned char*>(allocate_advised_zeroed(large - large / 16));
    EXPECT_EQ(static_cast<void*>(again), first);
    EXPECT_EQ(freed_blocks_kept(), 0u);
    EXPECT_TRUE(std::all_of(again, again + large - large / 16, [](unsigned char c) { return c == 0; }));
    for (void* memory : {static_cast<void*>(again), small, big}) free_advised(memory);
    EXPECT_EQ(freed_blocks_kept(), 3u);
    {
      const Held reader;  // holds nest: the last to let go frees what is kept
    }
    EXPECT_EQ(freed_blocks_kept(), 3u);
  }
  EXPECT_EQ(freed_blocks_kept(), 0u);
}

TEST(KeptBlocks, MemoryTakenOverOrNeverLentIsFreedNotKept)
{
  const Held run;
  // realloc takes a block over; so does an owner that reallocates it itself once it is disowned.
  void* grown = reallocate_advised(allocate_advised(large), large * 2);
  ASSERT_NE(grown, nullptr);
  void* disowned = allocate_advised(large);
  disown_advised(disowned);
  disowned = std::realloc(disowned, large + 1);
  void* foreign = std::malloc(large);
  for (void* memory : {grown, disowned, foreign}) free_advised(memory);
  free_advised(std::malloc(16), 16);
  free_advised(nullptr);
  EXPECT_EQ(freed_blocks_kept(), 0u);
}

TEST(KeptBlocks, TheOldestGoFirstPastSixtyFourBlocks)
{
  const Held run;
  std::vector<void*> blocks;
  const std::size_t size = smallest_kept_block;
  for (int k = 0; k < 70; ++k) blocks.push_back(allocate_advised(size));
  for (void* memory : blocks) free_advised(memory, size);
  EXPECT_EQ(freed_blocks_kept(), 64u);
  // The newest are kept.
  void* again = allocate_advised(size);
  EXPECT_TRUE(std::find(blocks.begin() + 6, blocks.end(), again) != blocks.end());
  free_advised(again, size);
  // Smaller buffers are glibc's to keep.
  free_advised(allocate_advised(size / 2), size / 2);
  EXPECT_EQ(freed_blocks_kept(), 64u);
}

#if !defined(__SANITIZE_ADDRESS__)  // ASan's allocator ends the process on a refusal
// In a child process: kept blocks fill the address space left under a cap, and an allocation that
// fits only without them must still succeed.
void allocate_past_the_kept_blocks()
{
  hold_freed_blocks();
  const std::size_t size = smallest_kept_block * 2;
  for (void* memory : {allocate_advised(size), allocate_advised(size), allocate_advised(size)}) free_advised(memory, size);
  std::size_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t held = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
  const rlimit cap{held + static_cast<rlim_t>(size + size / 2), RLIM_INFINITY};
  ::setrlimit(RLIMIT_AS, &cap);
  try {
    void* big = allocate_advised(size * 2);
    std::_Exit(freed_blocks_kept() == 0 && big != nullptr ? 0 : 1);
  } catch (const std::bad_alloc&) {
    std::_Exit(2);
  }
}

TEST(KeptBlocksDeathTest, ARefusedAllocationFreesTheKeptBlocksAndTriesAgain)
{
  EXPECT_EXIT(allocate_past_the_kept_blocks(), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
