// VtkArrayImpl<V,N>: array storage on a VTK data array of class V with N components per tuple, one
// tuple per element, so arrays on it share their memory with the VTK object.
#pragma once

#include <cstdint>
#include <type_traits>

#include <boost/mp11/algorithm.hpp>
#include <boost/mp11/integral.hpp>
#include <boost/mp11/list.hpp>
#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/IAvailabilityException.h"
#include "quill20/core/array/IArrayImplType.h"

// X(index, VTK class, component type, ScalarType enumerator that selects the class, extra...).
// vtkCharArray holds the bool arrays: its one-byte tuples pass the element-size test of Array<bool,1>.
#define QUILL20_VTK_ARRAY_CLASSES(X, ...)                                      \
  X(0, vtkFloatArray, float, stFloat32, __VA_ARGS__)                           \
  X(1, vtkDoubleArray, double, stFloat64, __VA_ARGS__)                         \
  X(2, vtkSignedCharArray, signed char, stInt8, __VA_ARGS__)                   \
  X(3, vtkCharArray, signed char, stBool, __VA_ARGS__)                         \
  X(4, vtkShortArray, short, stInt16, __VA_ARGS__)                             \
  X(5, vtkIntArray, int, stInt32, __VA_ARGS__)                                 \
  X(6, vtkIdTypeArray, long long, stInt64, __VA_ARGS__)                        \
  X(7, vtkUnsignedCharArray, unsigned char, stUInt8, __VA_ARGS__)              \
  X(8, vtkUnsignedShortArray, unsigned short, stUInt16, __VA_ARGS__)           \
  X(9, vtkUnsignedIntArray, unsigned int, stUInt32, __VA_ARGS__)               \
  X(10, vtkUnsignedLongLongArray, unsigned long long, stUInt64, __VA_ARGS__)

// M(tuple size, extra...) for the nine tuple sizes of the VTK storages.
#define QUILL20_VTK_TUPLE_SIZES(M, ...)                                        \
  M(1, __VA_ARGS__) M(2, __VA_ARGS__) M(3, __VA_ARGS__) M(4, __VA_ARGS__)      \
  M(5, __VA_ARGS__) M(6, __VA_ARGS__) M(7, __VA_ARGS__) M(8, __VA_ARGS__) M(9, __VA_ARGS__)

#define QUILL20_DETAIL_VTK_PAIR(N, X, V) X(V, N)
#define QUILL20_DETAIL_VTK_CROSS(index, V, C, st, X) QUILL20_VTK_TUPLE_SIZES(QUILL20_DETAIL_VTK_PAIR, X, V)
// X(VTK class, tuple size) for the 99 VTK storages.
#define QUILL20_VTK_STORAGES(X) QUILL20_VTK_ARRAY_CLASSES(QUILL20_DETAIL_VTK_CROSS, X)

// Declared only: users of this header do not pay for VTK's headers.
class vtkDataArray;
#define QUILL20_DETAIL_DECLARE_VTK_CLASS(index, V, ...) class V;
QUILL20_VTK_ARRAY_CLASSES(QUILL20_DETAIL_DECLARE_VTK_CLASS)
#undef QUILL20_DETAIL_DECLARE_VTK_CLASS

namespace quill20 {
namespace vtkex {

// The component type of a VTK class and the VTK class a scalar type selects.
template <class V>
struct vtk_component;
template <core::ScalarType st>
struct vtk_array_class;

#define QUILL20_DETAIL_VTK_TRAITS(index, V, C, st, ...) \
  template <>                                           \
  struct vtk_component<::V> {                           \
    using type = C;                                     \
  };                                                    \
  template <>                                           \
  struct vtk_array_class<core::st> {                    \
    using type = ::V;                                   \
  };
QUILL20_VTK_ARRAY_CLASSES(QUILL20_DETAIL_VTK_TRAITS)
#undef QUILL20_DETAIL_VTK_TRAITS

// One tuple of N components of V is one element: the component itself for N = 1.
template <class V, int N>
using vtk_element_t = std::conditional_t<N == 1, typename vtk_component<V>::type,
                                         mtm::RigidVector<N, typename vtk_component<V>::type>>;

// What every VTK storage shares: the one VTK array it owns and the operations that go through
// vtkDataArray alone.
//
// The values' memory belongs to the storage, not to VTK: VTK holds it without the right to free it,
// and gets that right back only when the storage goes. Code given the VTK array (to_vtk() in Python)
// can then resize, reallocate or empty it through VTK without freeing memory that arrays and NumPy
// views of this storage still point into; the storage finds such a change by the pointer and tuple
// count it left VTK, and every later use of it (get_data, resize, clone) raises instead.
class QUILL20_API VtkArrayImplBase : public core::IArrayImpl {
 public:
  VtkArrayImplBase(const VtkArrayImplBase&) = delete;
  VtkArrayImplBase& operator=(const VtkArrayImplBase&) = delete;

  // Releases the storage's VTK reference.
  ~VtkArrayImplBase() override;

  // Shape Handle1(number of tuples); the first value, or null when there are no tuples. Raises when the
  // VTK array was changed through VTK.
  void* get_data(core::AnyHandle& p_Shape) override;

 protected:
  // Resize keeps the values; VTK failing to allocate throws std::bad_alloc before the count changes.
  void do_resize(std::uint64_t p_NewSize) override;

 public:
  core::IArrayImplFactory& factory() const override;

  // Takes one VTK reference to p_vtk_array, a fresh array, gives it p_number_of_components components
  // and takes over whatever memory it holds; only once.
  void initialize(vtkDataArray* p_vtk_array, int p_number_of_components);

  // The wrapped VTK array, for code that hands it on to VTK; the storage keeps its own reference.
  vtkDataArray* vtk_array() const { return m_vtk_array; }

  // Number of VTK storages alive in the process (each holds one VTK array reference).
  static std::int64_t live_count();

  // Whether the VTK array still holds the memory and tuple count this storage left it.
  bool is_intact() const;

  // Sizes a fresh, empty storage to p_Size tuples of zeros. The memory comes from calloc, whose fresh
  // pages are zero already: results that are sums start from zero without a clearing pass.
  void set_zeroed_tuples(std::uint64_t p_Size);

 protected:
  VtkArrayImplBase();

  // Sizes a fresh VTK array to p_Size tuples.
  void set_number_of_tuples(std::uint64_t p_Size);
  // Huge pages for a large buffer VTK has just allocated.
  void advise_new_memory();
  // The values of this storage's VTK array, copied into p_Copy's.
  void deep_copy_into(VtkArrayImplBase& p_Copy) const;

  vtkDataArray* m_vtk_array;

 private:
  // Takes over the memory the VTK array holds now: VTK may no longer free it.
  void adopt_memory();
  // Gives the fresh VTK array p_Size tuples at p_Values, memory from quill20's allocation.
  void hold_values(void* p_Values, std::uint64_t p_Size);
  // Raises, naming p_Operation, unless the VTK array is as this storage left it.
  void require_intact(const char* p_Operation) const;

  void* m_Memory;
  std::uint64_t m_Tuples;
};

template <class V, int N>
class QUILL20_API VtkArrayImpl : public core::IArrayImplType<vtk_element_t<V, N>, VtkArrayImplBase> {
  static_assert(1 <= N && N <= 9, "VTK storages hold one to nine components per tuple");

 public:
  // An empty storage on a fresh V with N components.
  VtkArrayImpl();
  // The same, sized to p_Size tuples; their values are whatever VTK's allocation leaves.
  explicit VtkArrayImpl(std::uint64_t p_Size);

  // A new storage on a deep copy of this one's VTK array.
  core::IArrayImpl* clone() const override;

 protected:
  // Defined here so that the failure names this file and the full signature with V and N.
  core::IArrayImpl* do_create_new_with_shape(const core::AnyHandle&) const override
  {
    QUILL20_AVAILABILITY_FAILURE(core::not_implemented_wording, *this, "");
  }
};

// The storage class that holds elements of type T (bool in vtkCharArray).
template <class T>
struct vtk_storage_for {
  using type = VtkArrayImpl<typename vtk_array_class<core::element_traits<T>::scalar_type>::type,
                            static_cast<int>(core::element_traits<T>::components)>;
};

// An array of p_Size elements of T on a new VTK storage; what the sized create of the VTK factory
// gives, without going through the scalar-type dispatch.
template <class T>
boost::shared_ptr<core::Array<T, 1>> make_vtk_array(std::uint64_t p_Size)
{
  using Storage = typename vtk_storage_for<T>::type;
  static_assert(sizeof(typename Storage::value_type) == sizeof(T), "a VTK tuple must be one element");
  return boost::shared_ptr<core::Array<T, 1>>(
      new core::Array<T, 1>(boost::shared_ptr<core::IArrayImpl>(new Storage(p_Size))));
}

// The same with every element zero, at no more cost than an uninitialised one (see set_zeroed_tuples).
template <class T>
boost::shared_ptr<core::Array<T, 1>> make_zeroed_vtk_array(std::uint64_t p_Size)
{
  using Storage = typename vtk_storage_for<T>::type;
  Storage* storage = new Storage();
  const boost::shared_ptr<core::IArrayImpl> held(storage);
  storage->set_zeroed_tuples(p_Size);
  return boost::shared_ptr<core::Array<T, 1>>(new core::Array<T, 1>(held));
}

// The VTK classes, the tuple sizes and the 99 storages as type lists, for typed tests and
// compile-time dispatch.
#define QUILL20_DETAIL_VTK_CLASS_ITEM(index, V, ...) , ::V
#define QUILL20_DETAIL_VTK_SIZE_ITEM(N, ...) , boost::mp11::mp_int<N>
#define QUILL20_DETAIL_VTK_STORAGE_ITEM(V, N) , VtkArrayImpl<::V, N>
using VtkArrayClasses = boost::mp11::mp_pop_front<boost::mp11::mp_list<void QUILL20_VTK_ARRAY_CLASSES(QUILL20_DETAIL_VTK_CLASS_ITEM)>>;
using VtkTupleSizes = boost::mp11::mp_pop_front<boost::mp11::mp_list<void QUILL20_VTK_TUPLE_SIZES(QUILL20_DETAIL_VTK_SIZE_ITEM)>>;
using VtkStorageTypes = boost::mp11::mp_pop_front<boost::mp11::mp_list<void QUILL20_VTK_STORAGES(QUILL20_DETAIL_VTK_STORAGE_ITEM)>>;
#undef QUILL20_DETAIL_VTK_STORAGE_ITEM
#undef QUILL20_DETAIL_VTK_SIZE_ITEM
#undef QUILL20_DETAIL_VTK_CLASS_ITEM

static_assert(boost::mp11::mp_size<VtkArrayClasses>::value == 11, "eleven VTK array classes");
static_assert(boost::mp11::mp_size<VtkStorageTypes>::value == 99, "99 VTK storages");

// Instantiated in libquill20vtk for every storage of the list.
#define QUILL20_DETAIL_EXTERN_VTK_STORAGE(V, N) extern template class VtkArrayImpl<::V, N>;
QUILL20_VTK_STORAGES(QUILL20_DETAIL_EXTERN_VTK_STORAGE)
#undef QUILL20_DETAIL_EXTERN_VTK_STORAGE

namespace detail {

// Storage selection of the VTK factory: {1,1} to {4,1} and {9,1} for a sized storage, {1,1} to {9,1}
// for an empty one. Lives beside the storages so that its failures name this file.
core::IArrayImpl* create_vtk_storage(core::ScalarType p_scalar_type, core::ElementShape p_ElementShape,
                                     std::uint64_t p_Size, bool p_Sized);

}  // namespace detail

}  // namespace vtkex
}  // namespace quill20
