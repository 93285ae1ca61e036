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

TEST(Observations, RegistryHasTheDocumentedKeysAndLoadFactors)
{
  const auto& map = Observations::instance().subject_map();
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(map.empty_key()), 0x7E7F7F7F7F7F7F7FULL);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(map.deleted_key()), 0x7D7F7F7F7F7F7F7FULL);
  EXPECT_FLOAT_EQ(map.max_load_factor(), 0.5f);
  EXPECT_FLOAT_EQ(map.min_load_factor(), 0.0f);
  EXPECT_GE(map.bucket_count(), 2 * Observations::expected_size);
  EXPECT_EQ(AddressHash()(reinterpret_cast<const void*>(0x1000)), ((0x1000u >> 3) + 0x1000u) >> 3);
}

TEST(Observations, DuplicatePairIsRecordedOnceAndOneRemovalEmptiesBothMaps)
{
  Subject subject;
  Counter observer;
  add_observation(&subject, &observer);
  add_observation(&subject, &observer);
  EXPECT_EQ(observers_of(&subject).size(), 1u);
  ASSERT_NE(Observations::instance().subjects_of(&observer), nullptr);
  EXPECT_EQ(Observations::instance().subjects_of(&observer)->size(), 1u);
  remove_observation(&subject, &observer);
  EXPECT_TRUE(observers_of(&subject).empty());
  EXPECT_EQ(Observations::instance().subjects_of(&observer), nullptr);
}

TEST(Observations, NineObserversAreKeptOnTheHeapAndEachNotifiedOnce)
{
  Subject subject;
  std::vector<Counter> observers(9);
  for (auto& observer : observers) add_observation(&subject, &observer);
  EXPECT_EQ(Observations::instance().observers_of(&subject)->capacity(), 32u);
  notify(&subject);
  for (const auto& observer : observers) EXPECT_EQ(observer.updates, 1);
  PointerList<int*> list;
  std::vector<int> slots(65);
  for (auto& slot : slots) list.add_unique(&slot);
  EXPECT_EQ(list.capacity(), 128u);  // 8 inline, then 32, 64, 128
}

TEST(Observations, RemovingTheFirstOfThreeMovesTheLastIntoItsPlace)
{
  Subject subject;
  Counter first, second, third;
  for (Counter* observer : {&first, &second, &third}) add_observation(&subject, observer);
  remove_observation(&subject, &first);
  EXPECT_EQ(observers_of(&subject), (std::vector<IObserver*>{&third, &second}));
}

TEST(Observations, RemovingAnUnknownPairFailsAndChangesNothing)
{
  Subject subject, stranger;
  Counter observer, other;
  add_observation(&subject, &observer);
  EXPECT_PRECONDITION_FAILURE(remove_observation(&stranger, &observer), "map_it != m_map.end()",
                              "Trying to remove an invalid observation", "quill20/core/pattern/Subject.inl");
  EXPECT_PRECONDITION_FAILURE(remove_observation(&subject, &other), "obs_it != map_it->second.end()",
                              "Trying to remove an invalid observation", "quill20/core/pattern/Subject.inl");
  EXPECT_EQ(observers_of(&subject), (std::vector<IObserver*>{&observer}));
  EXPECT_EQ(Observations::instance().subjects_of(&observer)->size(), 1u);
}

TEST(Observations, FailingObserverDoesNotKeepTheOthersFromUpdating)
{
  Subject subject;
  Counter failing, after;
  failing.fail = true;
  add_observation(&subject, &failing);
  add_observation(&subject, &after);
  EXPECT_THROW(notify(&subject), std::runtime_error);
  EXPECT_EQ(after.updates, 1);
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
