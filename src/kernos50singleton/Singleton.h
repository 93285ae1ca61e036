// One instance of T per process, shared between modules through the registry. Each module keeps its
// own copy of the singleton data (the libraries are built with hidden visibility); the registry
// holds the copy every module starts from, under the type name of Singleton<T>.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "kernos50/Check.h"
#include "kernos50/TypeName.h"
#include "kernos50singleton/Registry.h"

namespace kernos50 {

template <class T>
class Singleton {
 public:
  static T& instance();

  // The release registered for process exit. The last module to release destroys the instance.
  static void release();

  // The instance this module holds, or null; never creates one.
  static T* existing() { return singleton_data().instance; }

  // True once this module's at-exit release has run (or is running): asking for the instance again
  // would fail, so late users must do without it.
  static bool released()
  {
    const Data& data = singleton_data();
    return data.releasing != 0 || (already_registered_flag() && data.instance == nullptr);
  }

  // Number of modules that currently hold the instance; 0 when no module does.
  static unsigned int count()
  {
    const Data& data = singleton_data();
    return data.singleton_count_ptr ? *data.singleton_count_ptr : 0u;
  }

 protected:
  Singleton();
  ~Singleton() = default;
  Singleton(const Singleton&) = delete;
  Singleton& operator=(const Singleton&) = delete;

 private:
  struct Data {
    T* instance;
    unsigned int* singleton_count_ptr;
    std::uint64_t releasing;
  };
  static_assert(sizeof(Data) == 24, "the registry stores 24 bytes of singleton data");

  static Data& singleton_data()
  {
    static Data data{nullptr, nullptr, 0};
    return data;
  }

  static bool& already_registered_flag()
  {
    static bool registered = false;
    return registered;
  }

  static std::string registry_key() { return type_name<Singleton<T>>(); }

  void release_instance();
};

template <class T>
Singleton<T>::Singleton()
{
  static int times_here = 0;
  ++times_here;
  KERNOS50_POSCONDITION(times_here == 1, "In Singleton constructor: should arrive here only once."
                                             << std::endl
                                             << "Singleton class: " << type_name<T>());
}

template <class T>
T& Singleton<T>::instance()
{
  Data& data = singleton_data();
  if (data.instance) return *data.instance;

  auto& registry = singleton::singleton_registry_instance();
  const std::string key = registry_key();
  auto found = registry.find(key);
  if (found == registry.end()) {
    // The instance first: a constructor that fails leaves nothing behind.
    T* created = new T;
    data.singleton_count_ptr = new unsigned int(1);
    data.instance = created;
    void* block = singleton::request_memory_for_singleton_registry_data(sizeof(Data));
    std::memcpy(block, &data, sizeof(Data));
    registry[key] = block;
  } else {
    std::memcpy(&data, found->second, sizeof(Data));
    ++*data.singleton_count_ptr;
  }

  bool& already_registered = already_registered_flag();
  KERNOS50_POSCONDITION(!already_registered, "Trying to register an already registered singleton."
                                                 << std::endl
                                                 << "Singleton class: " << type_name<T>());
  already_registered = true;
  std::atexit(&Singleton<T>::release);
  return *data.instance;
}

template <class T>
void Singleton<T>::release()
{
  Data& data = singleton_data();
  data.releasing = 1;
  if (data.instance) static_cast<Singleton<T>&>(*data.instance).release_instance();
  data.instance = nullptr;
  data.releasing = 0;
}

template <class T>
void Singleton<T>::release_instance()
{
  KERNOS50_POSCONDITION(this->singleton_data().singleton_count_ptr,
                        "Singleton Count Ptr should be a valid pointer here.");
  KERNOS50_POSCONDITION(*this->singleton_data().singleton_count_ptr > 0,
                        "Singleton Count should be greater than zero here.");
  Data& data = singleton_data();
  if (--*data.singleton_count_ptr == 0) {
    delete data.instance;
    delete data.singleton_count_ptr;
    auto& registry = singleton::singleton_registry_instance();
    auto found = registry.find(registry_key());
    if (found != registry.end()) {
      singleton::free_memory_for_singleton_registry_data(found->second);
      registry.erase(found);
    }
  }
  data.singleton_count_ptr = nullptr;
}

}  // namespace kernos50
