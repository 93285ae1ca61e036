// Array<T,2>: the flat element sequence with a shape {ni, nj}; ni is fixed, nj follows the size.
#pragma once

#include "quill20/core/array/Array1D.h"

namespace quill20 {
namespace core {

template <class T>
class QUILL20_API Array<T, 2> : public Array<T, 1> {
 public:
  // Position of ni in the shape.
  static constexpr unsigned int I = 0;

  // ni = 0 stands for 1.
  Array(boost::shared_ptr<IArrayImpl> p_ArrayImplementation, unsigned int p_NI);
  Array(const Array& p_Other);
  Array& operator=(const Array& p_Other);
  ~Array() override;

  std::uint64_t number_of_dimensions() const override;
  AnyHandle get_shape() const override;
  void update() override;

  const Handle2& shape() const { return m_shape; }

 private:
  Handle2 m_shape;
};

// Instantiated in the library for every element type of the list.
#define QUILL20_DETAIL_EXTERN_ARRAY(...) extern template class QUILL20_API Array<__VA_ARGS__, 2>;
QUILL20_ARRAY_ELEMENT_TYPES(QUILL20_DETAIL_EXTERN_ARRAY)
#undef QUILL20_DETAIL_EXTERN_ARRAY

}  // namespace core
}  // namespace quill20
