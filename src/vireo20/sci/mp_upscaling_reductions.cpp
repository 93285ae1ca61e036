// The reductions of a time step's values to its upscaled particles: sum, a representative value and
// the two mass-weighted averages, each a policy over the one ordered driver.
#include <sstream>
#include <string>
#include <type_traits>

#include "kernos50/TypeName.h"
#include "quill20/core/array/ElementTypes.h"
#include "quill20/core/array/HugePages.h"
#include "quill20/vtk/VtkArrayImpl.h"
#include "vireo20/sci/mp_upscaling.h"
#include "vireo20/sci/ordered_driver.h"

namespace {

using quill20::core::Array;
using quill20::core::IGridFunction;
using vireo20::ups::held;
using vireo20::ups::refuse;
using Vector3 = quill20::mtm::RigidVector<3, double>;
using Frame = MPUpscaling::Frame;

// Every result lives in VTK storage; sums start from 0.0, and a result whose every entry is written
// once is left unfilled.
template <class T>
boost::shared_ptr<Array<T, 1>> vtk_result(std::int32_t p_Size, bool p_Zeroed)
{
  const auto size = static_cast<std::uint64_t>(p_Size);
  return p_Zeroed ? quill20::vtkex::make_zeroed_vtk_array<T>(size) : quill20::vtkex::make_vtk_array<T>(size);
}

template <class GF, class T>
boost::shared_ptr<GF> grid_function_over(const boost::shared_ptr<Array<T, 1>>& p_Values)
{
  boost::shared_ptr<GF> result(new GF());
  if (p_Values) result->array() = *p_Values;
  return result;
}

// The policies: each keeps its accumulators in the result (and a weight per particle), starts every
// particle at the value the result is created with and is told, position by position in ascending
// order, what to add.
template <class T>
struct SumOf {
  static constexpr bool weighted = false, last_member_only = false;
  const T* values;
  T* out;
  void ahead(std::int32_t p_Particle) const { __builtin_prefetch(out + p_Particle, 1); }
  void add(std::int32_t p_Position, std::int32_t p_Particle) const { out[p_Particle] += values[p_Position]; }
};

// Each particle keeps the value of its last member, as if every member overwrote the one before.
template <class T>
struct LastOf {
  static constexpr bool weighted = false, last_member_only = true;
  const T* values;
  T* out;
  void ahead_member(std::int32_t p_Position) const { __builtin_prefetch(values + p_Position); }
  void add(std::int32_t p_Position, std::int32_t p_Particle) const { out[p_Particle] = values[p_Position]; }
};

struct WeightedOf {
  static constexpr bool weighted = true, last_member_only = false;
  const double* values;
  double* out;
  double* weights;
  void ahead(std::int32_t p_Particle) const
  {
    __builtin_prefetch(out + p_Particle, 1);
    __builtin_prefetch(weights + p_Particle, 1);
  }
  void add(std::int32_t p_Position, std::int32_t p_Particle, double p_Mass) const
  {
    out[p_Particle] += values[p_Position] * p_Mass;
    weights[p_Particle] += p_Mass;
  }
};

// Walked by blocks: four accumulators per particle are too many to touch at random.
struct WeightedCoordinatesOf {
  struct Sums {
    double x = 0.0, y = 0.0, z = 0.0, weight = 0.0;
  };
  const Vector3* values;
  Vector3* out;
  Sums start(std::int32_t) const { return Sums(); }
  void ahead(std::int32_t p_Position) const
  {
    // A 24-byte value may straddle two lines.
    __builtin_prefetch(values + p_Position);
    __builtin_prefetch(reinterpret_cast<const char*>(values + p_Position + 1) - 1);
  }
  void add(Sums& p_Sums, std::int32_t p_Position, double p_Mass) const
  {
    const Vector3& value = values[p_Position];
    p_Sums.x += value[0] * p_Mass;
    p_Sums.y += value[1] * p_Mass;
    p_Sums.z += value[2] * p_Mass;
    p_Sums.weight += p_Mass;
  }
  void finish(std::int32_t p_Particle, const Sums& p_Sums, std::int32_t) const
  {
    out[p_Particle] = Vector3(p_Sums.x / p_Sums.weight, p_Sums.y / p_Sums.weight, p_Sums.z / p_Sums.weight);
  }
};

// The scalar types TakeAny reduces: those whose grid functions the module hands to Python.
template <class T>
constexpr bool takes_any = std::is_same_v<T, double> || std::is_same_v<T, int>;

template <class T>
boost::shared_ptr<IGridFunction> take_last(const Frame& p_Frame, const IGridFunction& p_Values)
{
  using GF = quill20::core::ArrayGridFunction<T>;
  const std::int32_t total = p_Frame.total();
  if (total == 0) return boost::shared_ptr<GF>(new GF());
  const auto* array_held = dynamic_cast<const GF*>(&p_Values);
  if (!array_held)
    refuse("TakeAny", "values is a " + quill20::core::scalar_type_name(p_Values.result_scalar_type()) +
                          " grid function that holds no value array (" + kernos50::dynamic_type_name(p_Values) +
                          "); pass one made by quill20.grid_function");
  p_Frame.require_values("TakeAny", "values", held(array_held->array()));
  const boost::shared_ptr<Array<T, 1>> result = vtk_result<T>(total, false);
  const T* values = array_held->array().data();
  LastOf<T> policy{values, result->data()};
  vireo20::ups::add_in_position_order("TakeAny", p_Frame, policy);
  for (std::int32_t j = 0; j < p_Frame.t; ++j) policy.out[p_Frame.u + j] = values[p_Frame.e + j];
  return grid_function_over<GF>(result);
}

}  // namespace

boost::shared_ptr<MPUpscaling::DoubleGridFunction> MPUpscaling::sum(boost::shared_ptr<DoubleGridFunction> p_Values)
{
  const Frame frame(*this);
  const std::int32_t total = frame.total();
  if (total == 0) return boost::shared_ptr<DoubleGridFunction>(new DoubleGridFunction());
  if (!p_Values) refuse(nullptr, "Invalid values data");
  frame.require_values("Sum", "values", held(p_Values->array()));

  const boost::shared_ptr<DoubleArray> result = vtk_result<double>(total, true);
  const double* values = p_Values->array().data();
  SumOf<double> policy{values, result->data()};
  vireo20::ups::add_in_position_order("Sum", frame, policy);
  for (std::int32_t j = 0; j < frame.t; ++j) policy.out[frame.u + j] = values[frame.e + j];
  return grid_function_over<DoubleGridFunction>(result);
}

MPUpscaling::GridFunctionPtr MPUpscaling::take_any(GridFunctionPtr p_Values)
{
  if (!p_Values) refuse(nullptr, "Invalid values data");
  const Frame frame(*this);
  const quill20::core::ScalarType type = p_Values->result_scalar_type();
  const auto unsupported = [type]() -> GridFunctionPtr {
    refuse(nullptr, "Grid function scalar type not supported: " + quill20::core::scalar_type_name(type));
  };
  return quill20::core::dispatch_scalar_type(
      type,
      [&](auto p_Tag) -> GridFunctionPtr {
        using T = typename decltype(p_Tag)::type;
        if constexpr (takes_any<T>) {
          return take_last<T>(frame, *p_Values);
        } else {
          return unsupported();
        }
      },
      unsupported);
}

boost::shared_ptr<MPUpscaling::DoubleGridFunction> MPUpscaling::weighted_average(
    boost::shared_ptr<DoubleGridFunction> p_Values, boost::shared_ptr<DoubleArray> p_Masses)
{
  Frame frame(*this);
  const std::int32_t total = frame.total();
  if (total == 0) return boost::shared_ptr<DoubleGridFunction>(new DoubleGridFunction());
  if (!p_Values || !p_Masses) refuse(nullptr, "Invalid values and mass data");
  const std::uint64_t n = m_Parents ? m_Parents->size() : 0;
  if (p_Masses->size() != n) {
    std::ostringstream message;
    message << "Invalid size mass array size: " << p_Masses->size() << " expecting: " << n;
    refuse(nullptr, message.str());
  }
  frame.require_values("WeightedAverage", "values", held(p_Values->array()));
  frame.attach_enabled("WeightedAverage", *this);

  const boost::shared_ptr<DoubleArray> result = vtk_result<double>(total, true);
  // The total mass of each upscaled particle: one double each besides the result.
  const quill20::core::Scratch<double> weights(static_cast<std::size_t>(frame.u), true);
  const double* values = p_Values->array().data();
  WeightedOf policy{values, result->data(), weights.data()};
  vireo20::ups::add_in_position_order("WeightedAverage", frame, policy, p_Masses->data(), held(*p_Masses));
  // No guard: a zero weight gives an IEEE infinity or NaN, as the plain division does.
  for (std::int32_t e = 0; e < frame.u; ++e) policy.out[e] /= policy.weights[e];
  for (std::int32_t j = 0; j < frame.t; ++j) policy.out[frame.u + j] = values[frame.e + j] / 1.0;
  return grid_function_over<DoubleGridFunction>(result);
}

boost::shared_ptr<MPUpscaling::CoordinateArray> MPUpscaling::weighted_average(
    boost::shared_ptr<CoordinateArray> p_Coordinates, boost::shared_ptr<DoubleArray> p_Masses)
{
  if (!p_Masses) refuse("CoordsWeightedAverage", "masses is None; pass a float64 array of one mass per source particle");
  const std::uint64_t n = m_Parents ? m_Parents->size() : 0;
  if (p_Masses->size() != n) refuse(nullptr, "Invalid size.", VIREO20_ENGINE_HERE);
  Frame frame(*this);
  const std::int32_t total = frame.total();
  if (total <= 0) return boost::shared_ptr<CoordinateArray>(new CoordinateArray());
  if (!p_Coordinates) refuse("CoordsWeightedAverage", "coordinates is None; pass a float64 array of shape (n, 3)");
  frame.require_values("CoordsWeightedAverage", "coordinates", held(*p_Coordinates));
  frame.attach_enabled("CoordsWeightedAverage", *this);

  const boost::shared_ptr<CoordinateArray> result = vtk_result<Vector3>(total, false);
  const Vector3* coordinates = p_Coordinates->data();
  Vector3* out = result->data();
  vireo20::ups::add_by_blocks("CoordsWeightedAverage", frame, WeightedCoordinatesOf{coordinates, out},
                              p_Masses->data(), held(*p_Masses));
  for (std::int32_t j = 0; j < frame.t; ++j) {
    const Vector3& c = coordinates[frame.e + j];
    out[frame.u + j] = Vector3(c[0] / 1.0, c[1] / 1.0, c[2] / 1.0);
  }
  return result;
}
