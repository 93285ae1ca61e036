// Typed reads (ITypeGridFunction<T>) and writes (IWritableTypeGridFunction<T,W>) of a grid function.
// T is what a read returns: the value type itself, or a const reference to it for vector values
// held in memory, which then need no copy.
#pragma once

#include <cstdlib>
#include <type_traits>

#include "kernos50/Check.h"
#include "kernos50/TypeName.h"
#include "quill20/core/grid_function/IGridFunction.h"

namespace quill20 {
namespace core {

template <class T>
using grid_value_t = std::remove_cv_t<std::remove_reference_t<T>>;

template <class T>
using type_grid_function_base_t =
    std::conditional_t<is_scalar_type<grid_value_t<T>>::value, IScalarGridFunction, IGridFunction>;

template <class T>
class ITypeGridFunction : public type_grid_function_base_t<T> {
  using Base = type_grid_function_base_t<T>;

 public:
  using value_type = grid_value_t<T>;
  using result_type = T;

  ScalarValue get_scalar(const Handle4& p_Handle) const override { return to_scalar(get(p_Handle)); }
  ScalarValue get_scalar(const Handle3& p_Handle) const override { return to_scalar(get(p_Handle)); }
  ScalarValue get_scalar(const Handle2& p_Handle) const override { return to_scalar(get(p_Handle)); }
  ScalarValue get_scalar(handle_t p_Handle) const override { return to_scalar(get(p_Handle)); }
  ElementValue get_element(const Handle4& p_Handle) const override { return ElementValue::make<value_type>(get(p_Handle)); }
  ElementValue get_element(const Handle3& p_Handle) const override { return ElementValue::make<value_type>(get(p_Handle)); }
  ElementValue get_element(const Handle2& p_Handle) const override { return ElementValue::make<value_type>(get(p_Handle)); }
  ElementValue get_element(handle_t p_Handle) const override { return ElementValue::make<value_type>(get(p_Handle)); }
  ScalarType result_scalar_type() const override { return element_traits<value_type>::scalar_type; }
  ElementShape result_shape() const override { return element_shape_of<value_type>(); }

  virtual T get_unchecked(const Handle4& p_Handle) const = 0;
  virtual T get_unchecked(const Handle3& p_Handle) const = 0;
  virtual T get_unchecked(const Handle2& p_Handle) const = 0;
  virtual T get_unchecked(handle_t p_Handle) const = 0;
  virtual T get(const Handle4& p_Handle) const = 0;
  virtual T get(const Handle3& p_Handle) const = 0;
  virtual T get(const Handle2& p_Handle) const = 0;
  virtual T get(handle_t p_Handle) const = 0;

 protected:
  using Base::Base;
  ITypeGridFunction() = default;
  ITypeGridFunction(const ITypeGridFunction&) = default;
  ITypeGridFunction& operator=(const ITypeGridFunction&) = default;

 private:
  static ScalarValue to_scalar(const value_type& p_Value)
  {
    if constexpr (is_scalar_type<value_type>::value) {
      return ScalarValue::make(p_Value);
    } else {
      KERNOS50_PRECONDITION(0, std::endl << "Cannot convert object of type " << kernos50::type_name<value_type>()
                                         << " to a scalar." << std::endl);
      std::abort();
    }
  }
};

template <class T, class W>
class IWritableTypeGridFunction : public ITypeGridFunction<T> {
 public:
  virtual void set(const Handle4& p_Handle, W p_Value) = 0;
  virtual void set(const Handle3& p_Handle, W p_Value) = 0;
  virtual void set(const Handle2& p_Handle, W p_Value) = 0;
  virtual void set(handle_t p_Handle, W p_Value) = 0;

 protected:
  using ITypeGridFunction<T>::ITypeGridFunction;
  IWritableTypeGridFunction() = default;
  IWritableTypeGridFunction(const IWritableTypeGridFunction&) = default;
  IWritableTypeGridFunction& operator=(const IWritableTypeGridFunction&) = default;
};

}  // namespace core
}  // namespace quill20
