// The one-dimensional array of natural points and the in-memory storage it is created on.
#include "quill20/core/geometry/FullNaturalPoint.h"

#include "quill20/core/array/Array1D.ext"
#include "quill20/core/array/Array1D.inl"
#include "quill20/core/array/VectorArrayImpl.inl"

namespace quill20 {
namespace core {

template class VectorArrayImpl<FullNaturalPoint<double, 3>>;
template class Array<FullNaturalPoint<double, 3>, 1>;

}  // namespace core
}  // namespace quill20
