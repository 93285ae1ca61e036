// The observation registry: unique pairs, inline and heap lists, removal order, failures, cleanup.
#include <cstdlib>
#include <fstream>
#include <memory>
#include <new>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "quill20/core/pattern/Observations.h"
#include "support/ExpectFailure.h"

namespace {

using namespace quill20::core;

struct Counter : IObserver {
  int updates = 0;
  bool fail = false;
  void update() override
  {
    ++updates;
    if (fail) throw std::runtime_error("update failed");
  }
};
struct Subject : ISubject {};

std::vector<IObserver*> observers_of(ISubject* p_Subject)
{
  const auto* list = Observations::instance().observers_of(p_Subject);
  return list ? std::vector<IObserver*>(list->begin(), list->end()) : std::vector<IObserver*>();
}

TEST(Observations, PairIsRecordedOnceRemovalMovesTheLastIntoItsPlaceAndAnUnknownPairFailsChangingNothing)
{
  Subject subject, stranger;
  Counter first, second, third;
  add_observation(&subject, &first);
  add_observation(&subject, &first);
  EXPECT_EQ(Observations::instance().subjects_of(&first)->size(), 1u);
  for (Counter* observer : {&second, &third}) add_observation(&subject, observer);
  remove_observation(&subject, &first);
  EXPECT_EQ(observers_of(&subject), (std::vector<IObserver*>{&third, &second}));
  EXPECT_EQ(Observations::instance().subjects_of(&first), nullptr) << "one removal empties both maps";
  EXPECT_PRECONDITION_FAILURE(remove_observation(&stranger, &second), "map_it != m_map.end()",
                              "Trying to remove an invalid observation", "quill20/core/pattern/Subject.inl");
  EXPECT_PRECONDITION_FAILURE(remove_observation(&subject, &first), "obs_it != map_it->second.end()",
                              "Trying to remove an invalid observation", "quill20/core/pattern/Subject.inl");
  EXPECT_EQ(observers_of(&subject), (std::vector<IObserver*>{&third, &second}));
  EXPECT_EQ(Observations::instance().subjects_of(&second)->size(), 1u);
}

TEST(Observations, NineObserversAreKeptOnTheHeapAndEachNotifiedOnceThoughOneFails)
{
  Subject subject;
  std::vector<Counter> observers(9);
  observers[0].fail = true;
  for (auto& observer : observers) add_observation(&subject, &observer);
  EXPECT_EQ(Observations::instance().observers_of(&subject)->capacity(), 32u);
  EXPECT_THROW(notify(&subject), std::runtime_error);
  for (const auto& observer : observers) EXPECT_EQ(observer.updates, 1);
  PointerList<int*> list;
  std::vector<int> slots(65);
  for (auto& slot : slots) list.add_unique(&slot);
  EXPECT_EQ(list.capacity(), 128u);  // 8 inline, then 32, 64, 128
}

TEST(Observations, DestroyedObserversAndSubjectsTakeTheirObservationsWithThem)
{
  // The subject lives in storage that outlasts it, so its address can still be asked about.
  alignas(Subject) unsigned char storage[sizeof(Subject)];
  Subject* subject = new (storage) Subject;
  Subject other;
  Counter kept;
  {
    Counter gone;
    add_observation(subject, &gone);
    add_observation(&other, &gone);
    add_observation(subject, &kept);
  }
  EXPECT_EQ(observers_of(subject), (std::vector<IObserver*>{&kept}));
  EXPECT_TRUE(observers_of(&other).empty());
  subject->~Subject();
  EXPECT_TRUE(observers_of(subject).empty());
  EXPECT_EQ(Observations::instance().subjects_of(&kept), nullptr);
  notify(subject);  // an unknown subject has no one to call
}

#if !defined(__SANITIZE_ADDRESS__)  // ASan's operator new ends the process on a failed allocation
// One subject gathers observers until the registry cannot grow, under an address space capped 32 MiB
// above what the process holds: the refused observation is in neither map, every recorded one in both.
[[noreturn]] void observe_until_the_registry_cannot_grow()
{
  Subject subject;
  std::vector<Counter> observers(std::size_t(1) << 22);
  std::size_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t held = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
  const rlimit cap{held + (rlim_t(32) << 20), RLIM_INFINITY};
  ::setrlimit(RLIMIT_AS, &cap);
  std::size_t added = 0;
  try {
    for (; added < observers.size(); ++added) add_observation(&subject, &observers[added]);
  } catch (const std::bad_alloc&) {
  }
  bool in_step = added < observers.size() && observers_of(&subject).size() == added &&
                 Observations::instance().subjects_of(&observers[added]) == nullptr;
  for (std::size_t i = 0; in_step && i < added; ++i) in_step = Observations::instance().subjects_of(&observers[i]) != nullptr;
  std::_Exit(in_step ? 0 : 1);
}

TEST(ObservationsDeathTest, AnObservationThatCannotBeRecordedIsInNeitherMap)
{
  EXPECT_EXIT(observe_until_the_registry_cannot_grow(), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
