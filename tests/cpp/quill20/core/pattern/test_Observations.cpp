// The observation registry: unique pairs, inline and heap lists, removal order, failures, cleanup.
#include <memory>
#include <vector>

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

}  // namespace
