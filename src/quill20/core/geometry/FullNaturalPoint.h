// FullNaturalPoint: a point in the natural coordinates of a cell, as geometry queries report it.
#pragma once

#include "quill20/core/array/Array1D.h"
#include "quill20/core/array/VectorArrayImpl.h"
#include "quill20/core/handle/Handles.h"
#include "quill20/vectors/RigidVector.h"

namespace quill20 {
namespace core {

template <class T, int N>
struct FullNaturalPoint {
  mtm::RigidVector<N, T> natural;  // coordinates inside the cell
  handle_t cell;                   // the cell they refer to
};

static_assert(sizeof(FullNaturalPoint<double, 3>) == 32, "a 32-byte array element");

extern template class QUILL20_API VectorArrayImpl<FullNaturalPoint<double, 3>>;
extern template class QUILL20_API Array<FullNaturalPoint<double, 3>, 1>;

}  // namespace core
}  // namespace quill20
