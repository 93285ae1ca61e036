// Array<T,1>: a typed view on a shared storage. It caches the storage's element pointer and count,
// so element access costs neither a virtual call nor reference-count traffic, and it observes the
// storage so that a resize through any co-owner refreshes it.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/array/IArray.h"
#include "quill20/core/array/IArrayImpl.h"
#include "quill20/core/array/ElementTypes.h"
#include "quill20/core/array/ScalarType.h"
#include "quill20/core/pattern/Observer.h"

namespace quill20 {
namespace core {

template <class T, int N = 1>
class Array;

template <class T>
class QUILL20_API Array<T, 1> : public IArray, public IObserver {
 public:
  using value_type = T;

  Array();
  // n zero elements in a new in-memory storage.
  explicit Array(std::uint64_t p_Size);
  // Views p_ArrayImplementation, whose elements must have the byte size of T.
  explicit Array(boost::shared_ptr<IArrayImpl> p_ArrayImplementation);
  // Shares the other array's storage.
  Array(const Array& p_Other);
  Array& operator=(const Array& p_Other);
  ~Array() override;

  std::uint64_t number_of_dimensions() const override;
  ScalarType scalar_type() const final;
  std::uint64_t size() const final { return m_Size; }
  AnyHandle get_shape() const override;
  bool operator==(const IArray& p_Other) const final;
  bool operator!=(const IArray& p_Other) const final;
  void make_unique() final;
  void* raw_data() final
  {
    check_storage();
    return m_Data;
  }
  void set_fixed_shape() final;
  void set_implementation(boost::shared_ptr<IArrayImpl> p_Implementation) final;
  void reset() final;
  boost::shared_ptr<IArrayImpl> get_implementation() const final;
  boost::shared_ptr<IArrayImpl> get_implementation() final;
  void negate() final;
  void scale(double p_Factor) final;
  IArrayImplFactory& factory() const final;
  unsigned int implementation_use_count() const final;
  bool is_implementation_unique() const final;
  ElementShape element_shape() const final;

  // Refresh from the storage; called on attach and on every notification of the storage.
  void update() override;

  void resize(std::uint64_t p_NewSize);
  // A new storage of p_InitialSize elements from p_Factory, replacing the current one.
  void initialize(const IArrayImplFactory& p_Factory, std::uint64_t p_InitialSize);

  T& operator[](std::uint64_t p_Index) { return m_Data[p_Index]; }
  const T& operator[](std::uint64_t p_Index) const { return m_Data[p_Index]; }
  // Checked access: OutOfRangeError outside -margin <= index < size + margin.
  T& at(std::int64_t p_Index);
  const T& at(std::int64_t p_Index) const;
  // The element pointer for a pass over the elements, checked once against the storage first: a
  // storage whose memory moved or went without telling its arrays (a VTK array resized through VTK)
  // raises here instead of handing out a pointer into it. operator[] reads the cached pointer as is.
  T* data()
  {
    check_storage();
    return m_Data;
  }
  const T* data() const
  {
    check_storage();
    return m_Data;
  }

  bool is_fixed_shape() const { return m_IsFixedShape; }
  std::uint8_t margin() const { return m_Margin; }

 protected:
  // Detaches from the storage without the fixed-shape test.
  void release();
  void check_storage() const
  {
    if (m_Impl) verify_storage();
  }
  // Raises unless the storage holds m_Data and m_Size as the last refresh left them.
  void verify_storage() const;

  T* m_Data;
  std::uint64_t m_Size;
  boost::shared_ptr<IArrayImpl> m_Impl;
  bool m_IsFixedShape;
  std::uint8_t m_Margin;
};

// Instantiated in the library for every element type of the list; exported explicitly, since an
// instantiation over a hidden element type (RigidVector) would otherwise be hidden as well.
#define QUILL20_DETAIL_EXTERN_ARRAY(...) extern template class QUILL20_API Array<__VA_ARGS__, 1>;
QUILL20_ARRAY_ELEMENT_TYPES(QUILL20_DETAIL_EXTERN_ARRAY)
#undef QUILL20_DETAIL_EXTERN_ARRAY

}  // namespace core
}  // namespace quill20
