// Helpers shared by the array tests: gtest type lists from the library's element lists, readable
// typed-test names, observer counts and element fill patterns.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <boost/mp11/algorithm.hpp>
#include <boost/shared_ptr.hpp>
#include <gtest/gtest.h>

#include "kernos50/TypeName.h"
#include "quill20/core/array/Array.h"
#include "quill20/core/array/ElementTypes.h"
#include "quill20/core/array/VectorArrayImpl.h"
#include "quill20/core/pattern/Observations.h"

namespace array_testing {

using namespace quill20::core;
using quill20::mtm::RigidVector;

// The library's mp11 lists as gtest type lists.
template <class L>
using GTestTypes = boost::mp11::mp_rename<L, ::testing::Types>;

// "quill20::mtm::RigidVector<3, unsigned int>" becomes "RigidVector_3_unsigned_int".
struct ElementTypeNames {
  template <class T>
  static std::string GetName(int)
  {
    std::string name = kernos50::type_name<T>();
    for (const char* prefix : {"quill20::mtm::", "quill20::core::"}) {
      for (std::size_t at = name.find(prefix); at != std::string::npos; at = name.find(prefix))
        name.erase(at, std::strlen(prefix));
    }
    std::string sanitized;
    for (char c : name) {
      const bool word = std::isalnum(static_cast<unsigned char>(c)) != 0;
      if (word)
        sanitized += c;
      else if (!sanitized.empty() && sanitized.back() != '_')
        sanitized += '_';
    }
    while (!sanitized.empty() && sanitized.back() == '_') sanitized.pop_back();
    return sanitized;
  }
};

// Number of arrays the registry records on a storage.
inline std::size_t observer_count(const boost::shared_ptr<IArrayImpl>& p_Storage)
{
  const auto* list = Observations::instance().observers_of(p_Storage.get());
  return list ? list->size() : 0;
}

template <class T>
boost::shared_ptr<IArrayImpl> vector_storage(std::uint64_t p_Size)
{
  return boost::shared_ptr<IArrayImpl>(new VectorArrayImpl<T>(p_Size));
}

// Address of a storage's first element, as arrays on it must report.
inline void* storage_data(const boost::shared_ptr<IArrayImpl>& p_Storage)
{
  AnyHandle shape(handle_t(0));
  return p_Storage->get_data(shape);
}

// Component type and count of an element type, independently of the library's traits.
template <class T>
struct components_of {
  using type = T;
  static constexpr unsigned int count = 1;
};
template <int N, class C>
struct components_of<RigidVector<N, C>> {
  using type = C;
  static constexpr unsigned int count = N;
};

// Writes 1, 2, 3, ... into the components of p_Count elements (true for bool).
template <class T>
void fill_pattern(T* p_Elements, std::uint64_t p_Count)
{
  using C = typename components_of<T>::type;
  C* components = reinterpret_cast<C*>(p_Elements);
  const std::uint64_t total = p_Count * components_of<T>::count;
  for (std::uint64_t i = 0; i < total; ++i) components[i] = static_cast<C>(i % 100 + 1);
}

// Element count a storage reports through its shape.
inline std::uint64_t storage_size(const boost::shared_ptr<IArrayImpl>& p_Storage)
{
  AnyHandle shape(handle_t(0));
  p_Storage->get_data(shape);
  return shape.element_count();
}

template <class T>
std::vector<unsigned char> bytes_of(const T* p_Elements, std::uint64_t p_Count)
{
  const auto* first = reinterpret_cast<const unsigned char*>(p_Elements);
  return std::vector<unsigned char>(first, first + p_Count * sizeof(T));
}

inline bool all_zero(const std::vector<unsigned char>& p_Bytes)
{
  for (unsigned char b : p_Bytes)
    if (b != 0) return false;
  return true;
}

}  // namespace array_testing
