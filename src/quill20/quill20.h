// Every public header of the quill20 libraries.
#pragma once

#include "quill20/core/IAvailabilityException.h"
#include "quill20/core/Quill20Error.h"
#include "quill20/core/array/Array.h"
#include "quill20/core/array/ArrayGenerator.h"
#include "quill20/core/array/IArrayImplFactory.h"
#include "quill20/core/array/MemoryExport.h"
#include "quill20/core/array/VectorArrayImpl.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "quill20/core/geometry/FullNaturalPoint.h"
#include "quill20/core/handle/Handles.h"
#include "quill20/core/pattern/ISciObject.h"
#include "quill20/core/pattern/Observations.h"
#include "quill20/vectors/RigidVector.h"
#include "quill20/vtk/VtkArrayImpl.h"
#include "quill20/vtk/VtkArrayImplFactory.h"
