// Registration of the grid functions, the point topology, the point geometry and its points source.
#pragma once

namespace quill20 {
namespace bindings {

void wrap_grid_functions();
void wrap_topology_and_geometry();
void wrap_vtk_access();
void wrap_numpy_storage();

}  // namespace bindings
}  // namespace quill20
