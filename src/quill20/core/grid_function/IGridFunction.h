// IGridFunction: values on the elements of one kind of a grid (its location), read and written
// through handles. IScalarGridFunction is the refinement for scalar value types.
#pragma once

#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/array/Array1D.h"
#include "quill20/core/grid_function/Values.h"
#include "quill20/core/handle/Handles.h"
#include "quill20/core/pattern/ISciObject.h"

namespace quill20 {
namespace core {

class ITopology;
class IArrayImplFactory;

// The kinds of handle a grid function's interface is written for, in tag order.
using GridFunctionHandlesTrait = GenAcceptableHandlesTrait<handle_t, Handle2, Handle3, Handle4>;

class QUILL20_API IGridFunction : public ISciObject, public GridFunctionHandlesTrait {
 public:
  IGridFunction();
  ~IGridFunction() override;

  LocationType location() const { return m_Location; }
  bool change_location(LocationType p_Location) { return do_change_location(p_Location); }

  // The description of every grid function: the object's lines, then handles, location and values.
  void print(std::ostream& p_Stream, const std::string& p_Indent, const std::string& p_Label) const override;

  // An empty grid function of the same class.
  virtual boost::shared_ptr<IGridFunction> create_new() const = 0;
  // Same class and values, sharing the value storage; name and location are not copied.
  virtual boost::shared_ptr<IGridFunction> clone() const = 0;
  // As clone(), with a private copy of the values.
  virtual boost::shared_ptr<IGridFunction> clone_deep() const = 0;

 protected:
  // No grid function here moves to another location: fails as not available.
  virtual bool do_change_location(LocationType p_Location);

 public:
  virtual ScalarValue get_scalar(const Handle4& p_Handle) const = 0;
  virtual ScalarValue get_scalar(const Handle3& p_Handle) const = 0;
  virtual ScalarValue get_scalar(const Handle2& p_Handle) const = 0;
  virtual ScalarValue get_scalar(handle_t p_Handle) const = 0;
  virtual ElementValue get_element(const Handle4& p_Handle) const = 0;
  virtual ElementValue get_element(const Handle3& p_Handle) const = 0;
  virtual ElementValue get_element(const Handle2& p_Handle) const = 0;
  virtual ElementValue get_element(handle_t p_Handle) const = 0;
  virtual ScalarType result_scalar_type() const = 0;
  virtual ElementShape result_shape() const = 0;
  virtual AcceptedHandles accepted_handles() const = 0;
  // Inf<handle_t>() when the grid function is defined everywhere.
  virtual handle_t number_of_elements() const = 0;
  virtual bool is_writable() const = 0;
  // A new array sharing the value storage; fails for grid functions that hold no array.
  virtual boost::shared_ptr<IArray> get_array() const = 0;
  // The values per element of p_Topology, by the topology's conversion for this grid function's type.
  virtual boost::shared_ptr<IArray> create_array(const ITopology& p_Topology,
                                                 const IArrayImplFactory& p_Factory) const = 0;
  virtual void make_unique() = 0;
  virtual bool is_lazy() const = 0;
  virtual bool get_as_bool(const Handle4& p_Handle) const = 0;
  virtual bool get_as_bool(const Handle3& p_Handle) const = 0;
  virtual bool get_as_bool(const Handle2& p_Handle) const = 0;
  virtual bool get_as_bool(handle_t p_Handle) const = 0;
  virtual double get_as_double(const Handle4& p_Handle) const = 0;
  virtual double get_as_double(const Handle3& p_Handle) const = 0;
  virtual double get_as_double(const Handle2& p_Handle) const = 0;
  virtual double get_as_double(handle_t p_Handle) const = 0;
  virtual int get_as_int(const Handle4& p_Handle) const = 0;
  virtual int get_as_int(const Handle3& p_Handle) const = 0;
  virtual int get_as_int(const Handle2& p_Handle) const = 0;
  virtual int get_as_int(handle_t p_Handle) const = 0;
  virtual void set_from_double(const Handle4& p_Handle, double p_Value) = 0;
  virtual void set_from_double(const Handle3& p_Handle, double p_Value) = 0;
  virtual void set_from_double(const Handle2& p_Handle, double p_Value) = 0;
  virtual void set_from_double(handle_t p_Handle, double p_Value) = 0;
  // The histogram of this grid function's values over the elements of p_Topology.
  virtual boost::shared_ptr<Array<double, 1>> create_histogram(const ITopology& p_Topology, double p_Min,
                                                               double p_Max, int p_bins,
                                                               const IGridFunction& p_weight,
                                                               const IArrayImplFactory& p_Factory,
                                                               bool p_IncludeMax) const = 0;
  virtual boost::shared_ptr<ISciObject> get_owner() const = 0;

 protected:
  IGridFunction(const IGridFunction& p_Other);
  IGridFunction& operator=(const IGridFunction& p_Other);
  explicit IGridFunction(LocationType p_Location);

  LocationType m_Location;
};

class QUILL20_API IScalarGridFunction : public IGridFunction {
 public:
  ~IScalarGridFunction() override;

 protected:
  using IGridFunction::IGridFunction;
  IScalarGridFunction() = default;
  IScalarGridFunction(const IScalarGridFunction&) = default;
  IScalarGridFunction& operator=(const IScalarGridFunction&) = default;
};

}  // namespace core
}  // namespace quill20
