// The histogram of a grid function over the cells or vertices of a topology: p_bins equal-width bins
// between p_Min and p_Max, with the underflow first and the overflow last.
#pragma once

#include <cmath>
#include <cstdint>
#include <typeinfo>

#include <boost/shared_ptr.hpp>

#include "kernos50/Check.h"
#include "quill20/core/array/Array1D.h"
#include "quill20/core/array/IArrayImplFactory.h"
#include "quill20/core/grid_function/StaticConstantGridFunctionImpl.h"
#include "quill20/core/topology/ITopology.h"

namespace quill20 {
namespace core {

// p_Read(i) gives the value of element i as a double.
template <class Reader>
boost::shared_ptr<Array<double, 1>> create_histogram(const ITopology& p_Topology, const IGridFunction& p_Values,
                                                     double min, double max, int p_bins,
                                                     const IGridFunction& p_weight, const IArrayImplFactory& p_Factory,
                                                     bool include_max, Reader&& p_Read)
{
  KERNOS50_PRECONDITION(p_bins >= 1, "Must have at least 1 bin for histogram.");
  boost::shared_ptr<Array<double, 1>> result(new Array<double, 1>());
  result->initialize(p_Factory, static_cast<std::uint64_t>(p_bins) + 2);
  double* entries = result->data();
  // A VTK storage comes uninitialised.
  for (int k = 0; k < p_bins + 2; ++k) entries[k] = 0.0;
  const double width = (max - min) / p_bins;

  std::uint64_t count = 0;
  switch (p_Values.location()) {
    case onVertex:
      KERNOS50_PRECONDITION(typeid(p_weight) == typeid(AlwaysOneGridFunction) || p_weight.location() == onVertex,
                            "Weight grid function location must be the same as of the main grid function location (onVertex).");
      count = p_Topology.number_of_vertices();
      break;
    case onCell:
      KERNOS50_PRECONDITION(typeid(p_weight) == typeid(AlwaysOneGridFunction) || p_weight.location() == onCell,
                            "Weight grid function location must be the same as of the main grid function location (onCell).");
      count = p_Topology.number_of_cells();
      break;
    case onSharedVertex:
      KERNOS50_PRECONDITION(typeid(p_weight) == typeid(AlwaysOneGridFunction) || p_weight.location() == onSharedVertex,
                            "Weight grid function location must be the same as of the main grid function location (onSharedVertex).");
      count = p_Topology.number_of_vertices();
      break;
    default:
      KERNOS50_PRECONDITION(0, "Grid function location not supported on create_histogram.");
  }

  // Every element read must exist: a shorter grid function would be read past its end.
  const handle_t value_count = p_Values.number_of_elements();
  const handle_t weight_count = p_weight.number_of_elements();
  KERNOS50_PRECONDITION(value_count == Inf<handle_t>() || value_count >= count,
                        "The grid function has " << value_count << " values, fewer than the " << count
                                                 << " elements of the topology it is counted on.");
  KERNOS50_PRECONDITION(weight_count == Inf<handle_t>() || weight_count >= count,
                        "The weight grid function has " << weight_count << " values, fewer than the " << count
                                                        << " elements of the topology it is counted on.");

  const auto overflow = static_cast<std::uint64_t>(p_bins) + 1;
  for (std::uint64_t i = 0; i < count; ++i) {
    const double v = p_Read(i);
    const double w = p_weight.get_as_double(handle_t(i));
    std::uint64_t entry;
    if (v < min) {
      entry = 0;
    } else if (v < max) {
      const double bin = std::floor((v - min) / width);
      // A bin that rounding (or a NaN width) puts outside the regular bins goes to the overflow.
      entry = bin >= 0.0 && bin < p_bins ? 1 + static_cast<std::uint64_t>(bin) : overflow;
    } else if (include_max && v == max) {
      entry = static_cast<std::uint64_t>(p_bins);
    } else {
      // Values at or above max, and NaN, which compares with nothing.
      entry = overflow;
    }
    entries[entry] += w;
  }
  return result;
}

}  // namespace core
}  // namespace quill20
