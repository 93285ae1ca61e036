// The point-topology builder.
#include "quill20/core/generator/UnstructuredTopologyBuilder.h"

#include "quill20/core/IAvailabilityException.h"

namespace quill20 {
namespace core {

UnstructuredTopologyBuilder<0>::UnstructuredTopologyBuilder(const IArrayImplFactory& p_Factory)
    : m_CellsIndex(p_Factory), m_Connectivity(p_Factory)
{
}

UnstructuredTopologyBuilder<0>::~UnstructuredTopologyBuilder() = default;

void UnstructuredTopologyBuilder<0>::add_cell(std::initializer_list<std::uint64_t> p_VertexIds)
{
  add_cell(p_VertexIds.begin(), p_VertexIds.size());
}

void UnstructuredTopologyBuilder<0>::add_cell(const std::uint64_t* p_VertexIds, std::uint64_t p_Count)
{
  m_CellsIndex.push_back(m_Connectivity.count());
  m_Connectivity.push_back(p_Count);
  for (std::uint64_t k = 0; k < p_Count; ++k) m_Connectivity.push_back(p_VertexIds[k]);
}

void UnstructuredTopologyBuilder<0>::reserve(std::uint64_t p_Cells, std::uint64_t p_VerticesPerCell)
{
  m_CellsIndex.reserve(m_CellsIndex.count() + p_Cells);
  m_Connectivity.reserve(m_Connectivity.count() + p_Cells * (1 + p_VerticesPerCell));
}

boost::shared_ptr<UnstructuredTopology<0>> UnstructuredTopologyBuilder<0>::create_topology()
{
  boost::shared_ptr<UnstructuredTopology<0>> topology(new UnstructuredTopology<0>());
  const Array<unsigned long long, 1> cells_index = m_CellsIndex.create_array();
  const Array<unsigned long long, 1> connectivity = m_Connectivity.create_array();
  topology->set_cells_index(cells_index);
  topology->set_connectivity(connectivity);
  topology->finalize_connectivity();
  return topology;
}

boost::shared_ptr<ITopology> UnstructuredTopologyBuilder<0>::do_create_topology() { return create_topology(); }

boost::shared_ptr<IGridFunction> UnstructuredTopologyBuilder<0>::do_create_grid_function(boost::shared_ptr<IGridFunction>)
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

boost::shared_ptr<IGridFunction> UnstructuredTopologyBuilder<0>::do_create_grid_function(std::string)
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

boost::shared_ptr<IGridFunction> UnstructuredTopologyBuilder<0>::do_create_grid_function(boost::shared_ptr<IInformation>)
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

boost::shared_ptr<ITopology> UnstructuredTopologyBuilder<0>::do_get_input_topology()
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

boost::shared_ptr<IGeometry> UnstructuredTopologyBuilder<0>::do_create_geometry()
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

void UnstructuredTopologyBuilder<0>::do_set_input(boost::shared_ptr<IGeometry>)
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

boost::shared_ptr<IGeometry> UnstructuredTopologyBuilder<0>::do_get_input_geometry()
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

}  // namespace core
}  // namespace quill20
