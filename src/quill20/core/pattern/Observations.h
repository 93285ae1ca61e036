// The process-wide registry of subject-observer pairs: two hash maps kept in step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include <boost/container/small_vector.hpp>

#include "kernos50singleton/Singleton.h"
#include "quill20/Export.h"
#include "quill20/core/algorithm/DenseHash.h"
#include "quill20/core/pattern/Observer.h"

namespace quill20 {
namespace core {

// A list of distinct pointers: 8 inline, then on the heap with room for 32, then doubling.
template <class P>
class PointerList {
 public:
  static constexpr std::size_t inline_capacity = 8;
  static constexpr std::size_t first_heap_capacity = 32;
  using storage_type = boost::container::small_vector<P, inline_capacity>;
  using iterator = typename storage_type::iterator;
  using const_iterator = typename storage_type::const_iterator;

  iterator begin() { return m_Items.begin(); }
  iterator end() { return m_Items.end(); }
  const_iterator begin() const { return m_Items.begin(); }
  const_iterator end() const { return m_Items.end(); }
  std::size_t size() const { return m_Items.size(); }
  std::size_t capacity() const { return m_Items.capacity(); }
  bool empty() const { return m_Items.empty(); }
  P operator[](std::size_t p_Index) const { return m_Items[p_Index]; }

  iterator find(P p_Item)
  {
    iterator it = m_Items.begin();
    while (it != m_Items.end() && *it != p_Item) ++it;
    return it;
  }

  void add_unique(P p_Item)
  {
    if (find(p_Item) != m_Items.end()) return;
    if (m_Items.size() == m_Items.capacity())
      m_Items.reserve(m_Items.size() <= inline_capacity ? first_heap_capacity : 2 * m_Items.capacity());
    m_Items.push_back(p_Item);
  }

  // The last entry takes the place of the removed one.
  void erase_unordered(iterator p_Position)
  {
    *p_Position = m_Items.back();
    m_Items.pop_back();
  }

 private:
  storage_type m_Items;
};

// Keys are raw addresses; ((p >> 3) + p) >> 3 spreads the aligned ones.
struct AddressHash {
  std::size_t operator()(const void* p_Address) const
  {
    const std::uint64_t p = reinterpret_cast<std::uintptr_t>(p_Address);
    return static_cast<std::size_t>(((p >> 3) + p) >> 3);
  }
};

// Arrays are made and let go on several threads at once (a reduction without the interpreter lock
// beside the job's writer dropping the last step), so every operation takes the registry's mutex for
// its map work only: never while an observer's update runs, which may take other locks.
class QUILL20_API Observations : public kernos50::Singleton<Observations> {
 public:
  using ObserverList = PointerList<IObserver*>;
  using SubjectList = PointerList<ISubject*>;
  using SubjectMap = DenseHashMap<ISubject*, ObserverList, AddressHash>;
  using ObserverMap = DenseHashMap<IObserver*, SubjectList, AddressHash>;

  static constexpr std::uintptr_t empty_key = 0x7E7F7F7F7F7F7F7FULL;
  static constexpr std::uintptr_t deleted_key = 0x7D7F7F7F7F7F7F7FULL;
  static constexpr std::size_t expected_size = 4096;

  ~Observations();

  void add_observation(ISubject* p_Subject, IObserver* p_Observer);
  void remove_observation(ISubject* p_Subject, IObserver* p_Observer);
  void notify(ISubject* p_Subject);
  void remove_observer(IObserver* p_Observer);
  void remove_subject(ISubject* p_Subject);

  // Read access for inspection; null when the key is not recorded. The answer holds while no other
  // thread changes the registry.
  const ObserverList* observers_of(ISubject* p_Subject) const;
  const SubjectList* subjects_of(IObserver* p_Observer) const;
  const SubjectMap& subject_map() const { return m_map; }
  const ObserverMap& observer_map() const { return m_reverse_map; }

 private:
  friend class kernos50::Singleton<Observations>;
  Observations();

  mutable std::mutex m_mutex;
  SubjectMap m_map;
  ObserverMap m_reverse_map;
};

}  // namespace core
}  // namespace quill20
