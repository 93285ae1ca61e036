// Registry operations of Observations.
#include <exception>
#include <mutex>

#include "kernos50/Check.h"
#include "quill20/core/pattern/Observations.h"

namespace quill20 {
namespace core {

namespace {

template <class Map>
void configure(Map& p_Map)
{
  using key_type = typename Map::key_type;
  p_Map.set_empty_key(reinterpret_cast<key_type>(Observations::empty_key));
  p_Map.set_deleted_key(reinterpret_cast<key_type>(Observations::deleted_key));
  // Grow at half full, never shrink.
  p_Map.set_resizing_parameters(0.0f, 0.5f);
}

// Removes p_Item from the list stored under p_Key; drops the entry once its list is empty (also one
// made and never filled, which only a failed allocation leaves).
template <class Map, class Key, class Item>
void unlink(Map& p_Map, Key p_Key, Item p_Item)
{
  auto entry = p_Map.find(p_Key);
  if (entry == p_Map.end()) return;
  auto position = entry->second.find(p_Item);
  if (position != entry->second.end()) entry->second.erase_unordered(position);
  if (entry->second.empty()) p_Map.erase(entry);
}

}  // namespace

Observations::Observations() : m_map(expected_size), m_reverse_map(expected_size)
{
  configure(m_map);
  configure(m_reverse_map);
}

Observations::~Observations() = default;

void Observations::add_observation(ISubject* p_Subject, IObserver* p_Observer)
{
  const std::lock_guard<std::mutex> lock(m_mutex);
  // Both maps change or neither: when an allocation fails half way, the first change is taken back,
  // so that no subject keeps naming an observer whose removal would not find it.
  try {
    m_map[p_Subject].add_unique(p_Observer);
    m_reverse_map[p_Observer].add_unique(p_Subject);
  } catch (...) {
    unlink(m_map, p_Subject, p_Observer);
    unlink(m_reverse_map, p_Observer, p_Subject);
    throw;
  }
}

void Observations::remove_observation(ISubject* p_Subject, IObserver* p_Observer)
{
  const std::lock_guard<std::mutex> lock(m_mutex);
  SubjectMap::iterator map_it = m_map.find(p_Subject);
  KERNOS50_PRECONDITION(map_it != m_map.end(), "Trying to remove an invalid observation");
  ObserverList::iterator obs_it = map_it->second.find(p_Observer);
  KERNOS50_PRECONDITION(obs_it != map_it->second.end(), "Trying to remove an invalid observation");
  map_it->second.erase_unordered(obs_it);
  if (map_it->second.empty()) m_map.erase(map_it);
  unlink(m_reverse_map, p_Observer, p_Subject);
}

void Observations::notify(ISubject* p_Subject)
{
  ObserverList observers;
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    SubjectMap::const_iterator map_it = m_map.find(p_Subject);
    if (map_it == m_map.end()) return;
    observers = map_it->second;
  }
  std::exception_ptr first_failure;
  for (IObserver* observer : observers) {
    try {
      observer->update();
    } catch (...) {
      if (!first_failure) first_failure = std::current_exception();
    }
  }
  if (first_failure) std::rethrow_exception(first_failure);
}

void Observations::remove_observer(IObserver* p_Observer)
{
  const std::lock_guard<std::mutex> lock(m_mutex);
  ObserverMap::iterator entry = m_reverse_map.find(p_Observer);
  if (entry == m_reverse_map.end()) return;
  for (ISubject* subject : entry->second) unlink(m_map, subject, p_Observer);
  m_reverse_map.erase(entry);
}

void Observations::remove_subject(ISubject* p_Subject)
{
  const std::lock_guard<std::mutex> lock(m_mutex);
  SubjectMap::iterator entry = m_map.find(p_Subject);
  if (entry == m_map.end()) return;
  for (IObserver* observer : entry->second) unlink(m_reverse_map, observer, p_Subject);
  m_map.erase(entry);
}

const Observations::ObserverList* Observations::observers_of(ISubject* p_Subject) const
{
  const std::lock_guard<std::mutex> lock(m_mutex);
  SubjectMap::const_iterator entry = m_map.find(p_Subject);
  return entry == m_map.end() ? nullptr : &entry->second;
}

const Observations::SubjectList* Observations::subjects_of(IObserver* p_Observer) const
{
  const std::lock_guard<std::mutex> lock(m_mutex);
  ObserverMap::const_iterator entry = m_reverse_map.find(p_Observer);
  return entry == m_reverse_map.end() ? nullptr : &entry->second;
}

// Every registry operation makes sure the registry exists, removals by the destructors included.
// The one exception keeps exit safe: an object destroyed after this module's at-exit release (a
// static, or one Python frees late) would recreate the registry and register a second release,
// which fails; by then its observations went with the registry, so there is nothing to remove.
namespace {

Observations* registry_for_removal()
{
  return Observations::released() ? nullptr : &Observations::instance();
}

}  // namespace

IObserver::~IObserver()
{
  if (Observations* registry = registry_for_removal()) registry->remove_observer(this);
}

ISubject::~ISubject()
{
  if (Observations* registry = registry_for_removal()) registry->remove_subject(this);
}

void add_observation(ISubject* p_Subject, IObserver* p_Observer)
{
  Observations::instance().add_observation(p_Subject, p_Observer);
}

void remove_observation(ISubject* p_Subject, IObserver* p_Observer)
{
  Observations::instance().remove_observation(p_Subject, p_Observer);
}

void notify(ISubject* p_Subject) { Observations::instance().notify(p_Subject); }

}  // namespace core
}  // namespace quill20
