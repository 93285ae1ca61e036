// Array<T,3>: the flat element sequence with a shape {ni, nj, nk}; ni and nj are fixed, nk follows.
#pragma once

#include "quill20/core/array/Array1D.h"

namespace quill20 {
namespace core {

template <class T>
class QUILL20_API Array<T, 3> : public Array<T, 1> {
 public:
  // ni and nj narrowed to 16 bits; 0 stands for 1.
  Array(boost::shared_ptr<IArrayImpl> p_ArrayImplementation, ElementShape p_NI_NJ);
  Array(const Array& p_Other);
  Array& operator=(const Array& p_Other);
  ~Array() override;

  std::uint64_t number_of_dimensions() const override;
  AnyHandle get_shape() const override;
  void update() override;

  const Handle3& shape() const { return m_shape; }
  std::uint64_t ni_times_nj() const { return m_NI_times_NJ; }

 private:
  std::uint64_t m_NI_times_NJ;
  Handle3 m_shape;
};

// Instantiated in the library for every element type of the list.
#define QUILL20_DETAIL_EXTERN_ARRAY(...) extern template class QUILL20_API Array<__VA_ARGS__, 3>;
QUILL20_ARRAY_ELEMENT_TYPES(QUILL20_DETAIL_EXTERN_ARRAY)
#undef QUILL20_DETAIL_EXTERN_ARRAY

}  // namespace core
}  // namespace quill20
