// UnstructuredTopology<Dim>: a numbered list of cells, each a short list of vertex ids, stored flat:
// a cells index (where each cell's record starts) and a connectivity list of records (vertex count,
// then the ids). Only point cells (Dim = 0) exist in this system.
#pragma once

#include <cstdint>

#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/array/Array1D.h"
#include "quill20/core/grid_function/GridFunctionTypes.h"
#include "quill20/core/mapper/HandleMapperSet.h"
#include "quill20/core/topology/ITopology.h"

namespace quill20 {
namespace core {

class QUILL20_API UnstructuredTopologyBase : public ITopology {
 public:
  using IndexArray = Array<unsigned long long, 1>;

  UnstructuredTopologyBase();
  ~UnstructuredTopologyBase() override;

  AnyHandle map_to_selection(const AnyHandle& p_Handle) const override;
  std::uint64_t number_of_cells() const override;
  std::uint64_t number_of_vertices() const override;
  std::uint64_t number_of_edges() const override;
  std::uint64_t number_of_faces() const override;
  std::uint64_t number_of_shared_vertices() const override;
  AnyHandle shape() const override;
  AnyHandle vertices_shape() const override;
  std::int32_t location_code(LocationType p_Location) const override;

 protected:
  void do_get_elements_on(LocationType p_On, AnyHandle p_Element, LocationType p_Wanted,
                          const CellPredicate& p_Predicate, HandleCollection& p_Result) const override;
  void do_get_adjacents_of(LocationType p_On, AnyHandle p_Element, LocationType p_Through, LocationType p_Wanted,
                           const CellPredicate& p_Predicate, AdjacentsCollection& p_Result) const override;

 public:
  AnyHandle cells_shape() const override;
  boost::shared_ptr<IArray> create_array(const IGridFunction& p_Values, const IArrayImplFactory& p_Factory) const override;
  boost::shared_ptr<Array<double, 1>> create_histogram(const IGridFunction& p_Values, double p_Min, double p_Max,
                                                       int p_bins, const IGridFunction& p_weight,
                                                       const IArrayImplFactory& p_Factory,
                                                       bool p_IncludeMax) const override;

  // The values per element of a grid function of type GF (an array-held grid function, or one known
  // through its typed interface); see create_array above. Only for the dispatch types, so that any
  // other grid function goes through the dispatch (and its failure) instead of failing to link.
  template <class GF, std::enable_if_t<is_dispatched_grid_function<GF>::value, int> = 0>
  boost::shared_ptr<Array<typename GF::value_type, 1>> create_array(const GF& p_gf,
                                                                    const IArrayImplFactory& p_Factory) const;

  // Validates the connectivity list and derives the number of vertices; a bad record throws
  // WrongNumberOfVerticesError and changes nothing.
  void finalize_connectivity();
  // For a builder that wrote well-formed records over vertices 0..p_NumberOfVertices-1 itself: skips
  // the validating pass, a fifth of the time of building ten million point cells.
  void finalize_built_connectivity(std::uint64_t p_NumberOfVertices) { m_NumberOfVertices = p_NumberOfVertices; }

  // Installed by the builder; the arrays are shared, not copied.
  void set_cells_index(const IndexArray& p_CellsIndex);
  void set_connectivity(const IndexArray& p_Connectivity);

  const IndexArray& cells_index() const { return m_CellsIndex; }
  const IndexArray& connectivity() const { return m_Connectivity; }

  // The vertex-to-cells incidence, built on first use: the used vertices (ascending), and for each
  // vertex id the position of its record (cell count, then the cell ids) in the incidence list.
  const IndexArray& used_vertices() const;
  const IndexArray& vertex_to_cells_index() const;
  const IndexArray& vertex_to_cells() const;
  bool incidence_built() const { return m_IncidenceBuilt; }

 protected:
  void build_incidence();

  std::uint64_t m_NumberOfVertices;
  IndexArray m_CellsIndex;
  IndexArray m_Connectivity;
  IndexArray m_UsedVertices;
  IndexArray m_VertexToCellsIndex;
  IndexArray m_VertexToCells;
  bool m_IncidenceBuilt;
  boost::function<void()> m_BuildIncidence;
  boost::shared_ptr<void> m_Selection;
  SelectionToOriginalMapperSet<1> m_SelectionToOriginal;
  OriginalToSelectionMapperSet<1> m_OriginalToSelection;
};

template <int Dim>
class UnstructuredTopologyDimBase;

template <>
class QUILL20_API UnstructuredTopologyDimBase<0> : public UnstructuredTopologyBase {
 public:
  // A point has no faces.
  InvalidHandle from_continuous(on::Face, unsigned long long p_Index) const;
};

template <int Dim>
class UnstructuredTopology;

template <>
class QUILL20_API UnstructuredTopology<0> : public UnstructuredTopologyDimBase<0> {
 public:
  UnstructuredTopology();
  ~UnstructuredTopology() override;

  ElementType cell_type(handle_t p_Cell) const override;

 protected:
  void do_for_each_cell(IFunctor& p_Functor) override;

 public:
  ElementType local_element_type(const AnyHandle& p_Handle) const override;
};

}  // namespace core
}  // namespace quill20
