// Storage selection of the in-memory factory.
#include "quill20/core/array/VectorArrayImplFactory.h"

#include "kernos50/Check.h"
#include "quill20/core/array/VectorArrayImpl.h"

namespace quill20 {
namespace core {

namespace {

template <class C>
IArrayImpl* create_vector_storage(ElementShape p_ElementShape, std::uint64_t p_Size, bool p_AcceptNine)
{
  if (p_ElementShape == ElementShape(1, 1)) return new VectorArrayImpl<C>(p_Size);
  if (p_ElementShape == ElementShape(2, 1)) return new VectorArrayImpl<mtm::RigidVector<2, C>>(p_Size);
  if (p_ElementShape == ElementShape(3, 1)) return new VectorArrayImpl<mtm::RigidVector<3, C>>(p_Size);
  if (p_ElementShape == ElementShape(4, 1)) return new VectorArrayImpl<mtm::RigidVector<4, C>>(p_Size);
  if (p_AcceptNine && p_ElementShape == ElementShape(9, 1)) return new VectorArrayImpl<mtm::RigidVector<9, C>>(p_Size);
  KERNOS50_PRECONDITION(0, "FromVectorArrayFactory: Can not create array whose element has this shape: "
                               << p_ElementShape << std::endl);
  return nullptr;
}

IArrayImpl* create_storage(ScalarType p_scalar_type, ElementShape p_ElementShape, std::uint64_t p_Size,
                           bool p_AcceptNine)
{
  KERNOS50_PRECONDITION(p_scalar_type != stNotAScalar, "Cannot make an Array of non-scalars from a generic Factory!");
  return dispatch_scalar_type(
      p_scalar_type,
      [&](auto p_Component) {
        using C = typename decltype(p_Component)::type;
        return create_vector_storage<C>(p_ElementShape, p_Size, p_AcceptNine);
      },
      [&]() -> IArrayImpl* {
        KERNOS50_PRECONDITION(p_scalar_type <= stNotAScalar,
                              "Unknown scalar type " << static_cast<int>(p_scalar_type) << ".");
        return nullptr;
      });
}

}  // namespace

IArrayImpl* VectorArrayImplFactory::create(ScalarType p_scalar_type, ElementShape p_ElementShape,
                                           std::uint64_t p_Size) const
{
  return create_storage(p_scalar_type, p_ElementShape, p_Size, true);
}

IArrayImpl* VectorArrayImplFactory::create(ScalarType p_scalar_type, ElementShape p_ElementShape) const
{
  return create_storage(p_scalar_type, p_ElementShape, 0, false);
}

IArrayImplFactory& vector_array_impl_factory()
{
  static VectorArrayImplFactory& factory = VectorArrayImplFactory::instance();
  return factory;
}

namespace {
// Obtained while the library loads, as the storages report it from then on.
[[maybe_unused]] const IArrayImplFactory& g_loaded_factory = vector_array_impl_factory();
}  // namespace

}  // namespace core
}  // namespace quill20
