// Helpers shared by the array tests: gtest type lists, storage probes and element fill patterns.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include <boost/mp11/algorithm.hpp>
#include <boost/shared_ptr.hpp>
#include <gtest/gtest.h>

#include "quill20/core/array/Array.h"
#include "quill20/core/array/VectorArrayImpl.h"
#include "quill20/core/pattern/Observations.h"
#include "support/ExpectFailure.h"

namespace array_testing {

using namespace quill20::core;
using quill20::mtm::RigidVector;

template <class L>
using GTestTypes = boost::mp11::mp_rename<L, ::testing::Types>;

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

// The storage's first element, and its element count in *p_Size.
inline void* storage_data(IArrayImpl& p_Storage, std::uint64_t* p_Size = nullptr)
{
  AnyHandle shape(handle_t(0));
  void* first = p_Storage.get_data(shape);
  if (p_Size) *p_Size = shape.element_count();
  return first;
}

// An in-memory storage that reports the shape it was made with, as storages of shaped data do.
template <class T>
struct ShapedStorage : VectorArrayImpl<T> {
  explicit ShapedStorage(const AnyHandle& p_Shape) : VectorArrayImpl<T>(p_Shape.element_count()), shape(p_Shape) {}
  void* get_data(AnyHandle& p_Shape) override
  {
    void* first = VectorArrayImpl<T>::get_data(p_Shape);
    p_Shape = shape;
    return first;
  }
  AnyHandle shape;
};

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

// Writes 1, 2, 3, ... (modulo 100) into the components of p_Count elements (true for bool).
template <class T>
void fill_pattern(T* p_Elements, std::uint64_t p_Count)
{
  using C = typename components_of<T>::type;
  C* components = reinterpret_cast<C*>(p_Elements);
  for (std::uint64_t i = 0; i < p_Count * components_of<T>::count; ++i) components[i] = static_cast<C>(i % 100 + 1);
}

template <class T>
std::vector<unsigned char> bytes_of(const T* p_Elements, std::uint64_t p_Count)
{
  const auto* first = reinterpret_cast<const unsigned char*>(p_Elements);
  return std::vector<unsigned char>(first, first + p_Count * sizeof(T));
}

inline bool all_zero(const std::vector<unsigned char>& p_Bytes)
{
  return std::all_of(p_Bytes.begin(), p_Bytes.end(), [](unsigned char b) { return b == 0; });
}

}  // namespace array_testing
