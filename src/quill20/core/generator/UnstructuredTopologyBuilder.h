// UnstructuredTopologyBuilder<0>: builds one point topology cell by cell. It is a grid generator that
// offers only the topology; every other generator operation fails as not available.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/array/ArrayGenerator.h"
#include "quill20/core/generator/ITopologyGenerator.h"
#include "quill20/core/topology/UnstructuredTopology.h"

namespace quill20 {
namespace core {

template <class T, class Topology, int Dim>
class GeneralizedGeometryImpl;
template <class Impl, class Topology>
class Geometry;

template <int Dim>
class UnstructuredTopologyBuilder;

template <>
class QUILL20_API UnstructuredTopologyBuilder<0>
    : public IGridGenerator<Geometry<GeneralizedGeometryImpl<double, UnstructuredTopology<0>, 3>, UnstructuredTopology<0>>,
                            UnstructuredTopology<0>, IGridFunction> {
 public:
  // The topology's arrays will live in storage from p_Factory.
  explicit UnstructuredTopologyBuilder(const IArrayImplFactory& p_Factory);
  ~UnstructuredTopologyBuilder() override;

  // One cell on the given vertex ids, in order.
  void add_cell(std::initializer_list<std::uint64_t> p_VertexIds);
  void add_cell(const std::uint64_t* p_VertexIds, std::uint64_t p_Count);
  // Room for p_Cells more cells of p_VerticesPerCell vertices, so that growing costs no copies.
  void reserve(std::uint64_t p_Cells, std::uint64_t p_VerticesPerCell);

  // Builds and validates the topology; only once (the generators hand their arrays over). Callers of
  // the builder get it typed; through the generator interface the same call gives it as an ITopology
  // (a boost::shared_ptr result cannot be covariant, so this hides the interface's form instead).
  boost::shared_ptr<UnstructuredTopology<0>> create_topology();
  boost::shared_ptr<ITopology> do_create_topology() override;

 protected:
  boost::shared_ptr<IGridFunction> do_create_grid_function(boost::shared_ptr<IGridFunction> p_Input) override;
  boost::shared_ptr<IGridFunction> do_create_grid_function(std::string p_Name) override;
  boost::shared_ptr<IGridFunction> do_create_grid_function(boost::shared_ptr<IInformation> p_Information) override;
  boost::shared_ptr<ITopology> do_get_input_topology() override;
  boost::shared_ptr<IGeometry> do_create_geometry() override;
  void do_set_input(boost::shared_ptr<IGeometry> p_Input) override;
  boost::shared_ptr<IGeometry> do_get_input_geometry() override;

 private:
  ArrayGenerator<Array<unsigned long long, 1>> m_CellsIndex;
  ArrayGenerator<Array<unsigned long long, 1>> m_Connectivity;
};

}  // namespace core
}  // namespace quill20
