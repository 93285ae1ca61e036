// The failing defaults of the generator interfaces.
#include "quill20/core/generator/ITopologyGenerator.h"

#include "quill20/core/IAvailabilityException.h"

namespace quill20 {
namespace core {

ITopologyGenerator<ITopology, IGridFunction>::~ITopologyGenerator() = default;
IGridGenerator<IGeometry, ITopology, IGridFunction>::~IGridGenerator() = default;

boost::shared_ptr<IGridFunction> ITopologyGenerator<ITopology, IGridFunction>::do_create_grid_function(std::string)
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

boost::shared_ptr<IGridFunction> ITopologyGenerator<ITopology, IGridFunction>::do_create_grid_function(
    boost::shared_ptr<IInformation>)
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

void ITopologyGenerator<ITopology, IGridFunction>::do_set_input_topology(boost::shared_ptr<ITopology>)
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

}  // namespace core
}  // namespace quill20
