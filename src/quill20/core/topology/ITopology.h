// ITopology: the connectivity of a mesh as the rest of the library sees it.
#pragma once

#include <cstdint>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/array/Array1D.h"
#include "quill20/core/handle/Collections.h"
#include "quill20/core/handle/Handles.h"
#include "quill20/core/pattern/ISciObject.h"
#include "quill20/core/topology/ElementType.h"

namespace quill20 {
namespace core {

class IGridFunction;
class IArrayImplFactory;

// Which cells a query may report.
using CellPredicate = boost::function<bool(handle_t)>;

// Called once per cell by for_each_cell.
class QUILL20_API IFunctor {
 public:
  virtual ~IFunctor();
  virtual void operator()(handle_t p_Cell) = 0;
};

class QUILL20_API ITopology : public ISciObject {
 public:
  ~ITopology() override;

  virtual AnyHandle map_to_selection(const AnyHandle& p_Handle) const = 0;
  virtual ElementType cell_type(handle_t p_Cell) const = 0;
  virtual std::uint64_t number_of_cells() const = 0;
  virtual std::uint64_t number_of_vertices() const = 0;
  virtual std::uint64_t number_of_edges() const = 0;
  virtual std::uint64_t number_of_faces() const = 0;
  virtual std::uint64_t number_of_shared_vertices() const = 0;
  virtual AnyHandle shape() const = 0;
  virtual AnyHandle vertices_shape() const = 0;
  virtual std::int32_t location_code(LocationType p_Location) const = 0;

  void get_elements_on(LocationType p_On, const AnyHandle& p_Element, LocationType p_Wanted,
                       const CellPredicate& p_Predicate, HandleCollection& p_Result) const
  {
    do_get_elements_on(p_On, p_Element, p_Wanted, p_Predicate, p_Result);
  }
  void get_adjacents_of(LocationType p_On, const AnyHandle& p_Element, LocationType p_Through, LocationType p_Wanted,
                        const CellPredicate& p_Predicate, AdjacentsCollection& p_Result) const
  {
    do_get_adjacents_of(p_On, p_Element, p_Through, p_Wanted, p_Predicate, p_Result);
  }
  void for_each_cell(IFunctor& p_Functor) { do_for_each_cell(p_Functor); }

 protected:
  virtual void do_get_elements_on(LocationType p_On, AnyHandle p_Element, LocationType p_Wanted,
                                  const CellPredicate& p_Predicate, HandleCollection& p_Result) const = 0;
  virtual void do_get_adjacents_of(LocationType p_On, AnyHandle p_Element, LocationType p_Through,
                                   LocationType p_Wanted, const CellPredicate& p_Predicate,
                                   AdjacentsCollection& p_Result) const = 0;
  virtual void do_for_each_cell(IFunctor& p_Functor) = 0;

 public:
  virtual AnyHandle cells_shape() const = 0;
  virtual ElementType local_element_type(const AnyHandle& p_Handle) const = 0;
  // The values of p_Values per element, in storage from p_Factory (or p_Values' own array when that
  // already lives in such storage).
  virtual boost::shared_ptr<IArray> create_array(const IGridFunction& p_Values,
                                                 const IArrayImplFactory& p_Factory) const = 0;
  // p_bins regular bins between p_Min and p_Max, with an underflow entry first and an overflow entry last.
  virtual boost::shared_ptr<Array<double, 1>> create_histogram(const IGridFunction& p_Values, double p_Min,
                                                               double p_Max, int p_bins,
                                                               const IGridFunction& p_weight,
                                                               const IArrayImplFactory& p_Factory,
                                                               bool p_IncludeMax) const = 0;
};

}  // namespace core
}  // namespace quill20
