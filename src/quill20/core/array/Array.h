// Arrays of every element type and dimension.
#pragma once

#include "quill20/core/array/Array1D.h"
#include "quill20/core/array/Array2D.h"
#include "quill20/core/array/Array3D.h"
