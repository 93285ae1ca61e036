// GridFunction<Impl, Mapper, Policy>: every grid-function operation in terms of an implementation
// (where the values come from), a handle mapper and a policy (Writable or Const).
#pragma once

#include <cstdlib>
#include <type_traits>

#include <boost/shared_ptr.hpp>

#include "kernos50/Check.h"
#include "kernos50/TypeName.h"
#include "quill20/core/array/NumericConversions.h"
#include "quill20/core/grid_function/GenWritableGridFunction.h"
#include "quill20/core/grid_function/ITypeGridFunction.h"
#include "quill20/core/grid_function/Policies.h"
#include "quill20/core/grid_function/WrongHandle.h"
#include "quill20/core/mapper/GenHandleMapper.h"

namespace quill20 {
namespace core {

template <class Impl, class Mapper, class Policy>
class GridFunction;

// The interface a grid function implements: typed writes only under Writable. It is typed by the
// implementation's result type, so the grid functions of vector values (ArrayTraits: RigidVector
// elements are read by reference) implement ITypeGridFunction<const T&>, not ITypeGridFunction<T>.
// That is intended: the conversion registry lists these reference forms (GridFunctionTypes.h), and
// a reader that casts to the by-value interface does not find them.
template <class Impl, class Policy>
using grid_function_interface_t =
    std::conditional_t<Policy::writable,
                       IWritableTypeGridFunction<typename Impl::result_type, typename Impl::result_type>,
                       ITypeGridFunction<typename Impl::result_type>>;

namespace detail {

// Histogram and array conversion of a grid function by its topology (double dispatch); defined
// with the topology, so that grid functions need not see it.
QUILL20_API boost::shared_ptr<IArray> topology_create_array(const ITopology& p_Topology, const IGridFunction& p_Values,
                                                            const IArrayImplFactory& p_Factory);
QUILL20_API boost::shared_ptr<Array<double, 1>> topology_create_histogram(
    const ITopology& p_Topology, const IGridFunction& p_Values, double p_Min, double p_Max, int p_bins,
    const IGridFunction& p_weight, const IArrayImplFactory& p_Factory, bool p_IncludeMax);

}  // namespace detail

template <class Mapper, class Interface, class Impl, class Policy, class T>
class GridFunctionCommon : public Interface {
 public:
  using value_type = typename Impl::value_type;
  using result_type = T;
  using implementation_type = Impl;
  using mapper_type = Mapper;
  using policy_type = Policy;

  boost::shared_ptr<IGridFunction> create_new() const override;
  boost::shared_ptr<IGridFunction> clone() const override;
  boost::shared_ptr<IGridFunction> clone_deep() const override;

  AcceptedHandles accepted_handles() const override { return AcceptedHandles{accepted::value}; }
  handle_t number_of_elements() const override { return m_Impl.number_of_elements(); }
  bool is_writable() const override { return Policy::writable; }

  boost::shared_ptr<IArray> get_array() const override
  {
    const auto* arr = array_of(m_Impl);
    KERNOS50_PRECONDITION(arr, "Can't get array: this Grid Function does not hold an array.");
    return make_array_copy(arr);
  }

  boost::shared_ptr<IArray> create_array(const ITopology& p_Topology, const IArrayImplFactory& p_Factory) const override
  {
    return detail::topology_create_array(p_Topology, *this, p_Factory);
  }

  void make_unique() override
  {
    if constexpr (Policy::writable) m_Impl.make_unique();
  }

  bool is_lazy() const override { return false; }

  bool get_as_bool(const Handle4& p_Handle) const override { return reject_read<bool>(p_Handle); }
  bool get_as_bool(const Handle3& p_Handle) const override { return reject_read<bool>(p_Handle); }
  bool get_as_bool(const Handle2& p_Handle) const override { return reject_read<bool>(p_Handle); }
  bool get_as_bool(handle_t p_Handle) const override
  {
    if constexpr (is_scalar_type<value_type>::value)
      return read_unchecked(p_Handle) != value_type(0);
    else
      reject_conversion("bool");
  }
  double get_as_double(const Handle4& p_Handle) const override { return reject_read<double>(p_Handle); }
  double get_as_double(const Handle3& p_Handle) const override { return reject_read<double>(p_Handle); }
  double get_as_double(const Handle2& p_Handle) const override { return reject_read<double>(p_Handle); }
  double get_as_double(handle_t p_Handle) const override
  {
    if constexpr (is_scalar_type<value_type>::value)
      return static_cast<double>(read_unchecked(p_Handle));
    else
      reject_conversion("float64");
  }
  int get_as_int(const Handle4& p_Handle) const override { return reject_read<int>(p_Handle); }
  int get_as_int(const Handle3& p_Handle) const override { return reject_read<int>(p_Handle); }
  int get_as_int(const Handle2& p_Handle) const override { return reject_read<int>(p_Handle); }
  int get_as_int(handle_t p_Handle) const override
  {
    if constexpr (is_scalar_type<value_type>::value)
      return to_int32(read_unchecked(p_Handle));
    else
      reject_conversion("int32");
  }
  void set_from_double(const Handle4& p_Handle, double) override { reject_write(p_Handle); }
  void set_from_double(const Handle3& p_Handle, double) override { reject_write(p_Handle); }
  void set_from_double(const Handle2& p_Handle, double) override { reject_write(p_Handle); }
  void set_from_double(handle_t p_Handle, double p_Value) override
  {
    if constexpr (!Policy::writable) {
      reject_const();
    } else if constexpr (!is_scalar_type<value_type>::value) {
      reject_conversion("float64");
    } else {
      handle_t mapped_handle;
      m_Mapper.map_unchecked(p_Handle, mapped_handle);
      m_Impl.set(mapped_handle, from_double<value_type>(p_Value));
    }
  }

  boost::shared_ptr<Array<double, 1>> create_histogram(const ITopology& p_Topology, double p_Min, double p_Max,
                                                       int p_bins, const IGridFunction& p_weight,
                                                       const IArrayImplFactory& p_Factory,
                                                       bool p_IncludeMax) const override
  {
    return detail::topology_create_histogram(p_Topology, *this, p_Min, p_Max, p_bins, p_weight, p_Factory,
                                             p_IncludeMax);
  }

  boost::shared_ptr<ISciObject> get_owner() const override { return {}; }

  T get_unchecked(const Handle4& p_Handle) const override { return reject_read<T>(p_Handle); }
  T get_unchecked(const Handle3& p_Handle) const override { return reject_read<T>(p_Handle); }
  T get_unchecked(const Handle2& p_Handle) const override { return reject_read<T>(p_Handle); }
  T get_unchecked(handle_t p_Handle) const override { return read_unchecked(p_Handle); }
  T get(const Handle4& p_Handle) const override { return reject_read<T>(p_Handle); }
  T get(const Handle3& p_Handle) const override { return reject_read<T>(p_Handle); }
  T get(const Handle2& p_Handle) const override { return reject_read<T>(p_Handle); }
  T get(handle_t p_Handle) const override
  {
    handle_t mapped_handle;
    m_Mapper.map(p_Handle, mapped_handle);
    KERNOS50_PRECONDITION(is_valid_handle(mapped_handle), "Trying to access an inactive/invalid location. "
                                                              << std::endl
                                                              << "Location: " << mapped_handle << "." << std::endl);
    return m_Impl.get_checked(mapped_handle);
  }

  // Writes exist under Writable only (the interface then declares them).
  void set(const Handle4& p_Handle, T) { reject_write(p_Handle); }
  void set(const Handle3& p_Handle, T) { reject_write(p_Handle); }
  void set(const Handle2& p_Handle, T) { reject_write(p_Handle); }
  void set(handle_t p_Handle, T p_Value)
  {
    if constexpr (Policy::writable) {
      handle_t mapped_handle;
      m_Mapper.map_unchecked(p_Handle, mapped_handle);
      m_Impl.set(mapped_handle, p_Value);
    } else {
      reject_const();
    }
  }

  Impl& impl() { return m_Impl; }
  const Impl& impl() const { return m_Impl; }
  const Mapper& mapper() const { return m_Mapper; }

 protected:
  using accepted = typename Impl::accepted_handles;
  template <class H>
  using accepts = typename accepted::template accepts<H>;

  GridFunctionCommon() = default;
  explicit GridFunctionCommon(Impl p_Impl) : m_Impl(std::move(p_Impl)) {}
  GridFunctionCommon(Impl p_Impl, LocationType p_Location) : Interface(p_Location), m_Impl(std::move(p_Impl)) {}
  GridFunctionCommon(const GridFunctionCommon&) = default;
  GridFunctionCommon& operator=(const GridFunctionCommon&) = default;

  T read_unchecked(handle_t p_Handle) const
  {
    handle_t mapped_handle;
    m_Mapper.map_unchecked(p_Handle, mapped_handle);
    return m_Impl.get_unchecked(mapped_handle);
  }

  // Reached only for kinds the implementation does not accept.
  template <class R, class HandleType_>
  [[noreturn]] R reject_read(const HandleType_& p_Handle) const
  {
    KERNOS50_PRECONDITION(accepts<HandleType_>::value,
                          (detail::WrongHandleMessage<HandleType_>{p_Handle, accepted_handles()}));
    std::abort();
  }

  template <class HandleType_>
  [[noreturn]] void reject_write(const HandleType_& p_Handle) const
  {
    if constexpr (!Policy::writable) reject_const();
    detail::WritableHandleCheck<accepted>::reject(p_Handle);
  }

  [[noreturn]] static void reject_const()
  {
    KERNOS50_PRECONDITION(0, "Can't set values on this grid function, because is not Writable!");
    std::abort();
  }

  [[noreturn]] static void reject_conversion(const char* p_Target)
  {
    KERNOS50_PRECONDITION(0, "Actual value_type (" << kernos50::type_name<value_type>() << ") is not convertible to "
                                                   << p_Target << ".");
    std::abort();
  }

  Impl m_Impl;
  Mapper m_Mapper;

 private:
  template <class I>
  static auto array_of(const I& p_Impl) -> decltype(p_Impl.array())
  {
    return p_Impl.array();
  }
  static const void* array_of(...) { return nullptr; }

  template <class A>
  static boost::shared_ptr<IArray> make_array_copy(const A* p_Array)
  {
    if constexpr (std::is_same_v<A, void>)
      return {};
    else
      return boost::shared_ptr<IArray>(new A(*p_Array));
  }
};

template <class Impl, class Mapper, class Policy>
class GridFunction
    : public GridFunctionCommon<Mapper, grid_function_interface_t<Impl, Policy>, Impl, Policy, typename Impl::result_type> {
  using Common =
      GridFunctionCommon<Mapper, grid_function_interface_t<Impl, Policy>, Impl, Policy, typename Impl::result_type>;

 public:
  // An empty grid function on cells.
  GridFunction() = default;
  // Values from p_Impl, on p_Location.
  GridFunction(Impl p_Impl, LocationType p_Location) : Common(std::move(p_Impl), p_Location) {}
  // On cells, viewing p_Storage (what clone() uses for array-held values).
  template <class S, std::enable_if_t<std::is_constructible_v<Impl, boost::shared_ptr<S>>, int> = 0>
  explicit GridFunction(boost::shared_ptr<S> p_Storage) : Common(Impl(std::move(p_Storage)))
  {
  }
  GridFunction(const GridFunction&) = default;
  GridFunction& operator=(const GridFunction&) = default;
  ~GridFunction() override = default;

  // The value array of an array-held grid function.
  template <class I = Impl>
  auto& array()
  {
    return *this->m_Impl.array();
  }
  template <class I = Impl>
  const auto& array() const
  {
    return *this->m_Impl.array();
  }
};

template <class Mapper, class Interface, class Impl, class Policy, class T>
boost::shared_ptr<IGridFunction> GridFunctionCommon<Mapper, Interface, Impl, Policy, T>::create_new() const
{
  using Concrete = GridFunction<Impl, Mapper, Policy>;
  if constexpr (std::is_default_constructible_v<Impl> && !std::is_empty_v<Impl>)
    return boost::shared_ptr<IGridFunction>(new Concrete());
  else
    return clone();
}

template <class Mapper, class Interface, class Impl, class Policy, class T>
boost::shared_ptr<IGridFunction> GridFunctionCommon<Mapper, Interface, Impl, Policy, T>::clone() const
{
  using Concrete = GridFunction<Impl, Mapper, Policy>;
  if constexpr (std::is_constructible_v<Concrete, boost::shared_ptr<IArrayImpl>>) {
    // Name and location stay behind: the copy starts on cells, unnamed, on the same storage.
    boost::shared_ptr<IArrayImpl> storage = m_Impl.array()->get_implementation();
    return boost::shared_ptr<IGridFunction>(storage ? new Concrete(std::move(storage)) : new Concrete());
  } else
    return boost::shared_ptr<IGridFunction>(new Concrete(m_Impl, this->location()));
}

template <class Mapper, class Interface, class Impl, class Policy, class T>
boost::shared_ptr<IGridFunction> GridFunctionCommon<Mapper, Interface, Impl, Policy, T>::clone_deep() const
{
  boost::shared_ptr<IGridFunction> copy = clone();
  copy->make_unique();
  return copy;
}

}  // namespace core
}  // namespace quill20
