// IArrayImplType<T,Base>: the layer of a storage kind that fixes its element type.
#pragma once

#include "quill20/core/array/Array.h"
#include "quill20/core/array/IArrayImpl.h"

namespace quill20 {
namespace core {

// Whether Array<T,2> and Array<T,3> exist for T.
template <class T>
constexpr bool has_shaped_arrays()
{
  return boost::mp11::mp_contains<ArrayElementTypes, T>::value;
}

template <class T, class Base>
class IArrayImplType : public Base {
 public:
  using value_type = T;

  std::uint64_t element_size() const override { return sizeof(T); }
  std::uint64_t max_size() const override { return storage_max_size(sizeof(T)); }

  IArray* create_array() override
  {
    AnyHandle shape(handle_t(0));
    this->get_data(shape);
    boost::shared_ptr<IArrayImpl> self = this->shared_from_this();
    if constexpr (has_shaped_arrays<T>()) {
      if (shape.type() == htHandle2) return new Array<T, 2>(self, shape.get<Handle2>()[0]);
      if (shape.type() == htHandle3) {
        const Handle3& s = shape.get<Handle3>();
        return new Array<T, 3>(self, ElementShape(s[0], s[1]));
      }
    }
    shape.get<Handle1>();  // any other kind fails here
    return new Array<T, 1>(self);
  }
};

}  // namespace core
}  // namespace quill20
