// Generic generator interfaces: produce a topology, grid functions and geometry from an input. The
// defaults of the optional operations fail as not available.
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/pattern/ISciObject.h"

namespace quill20 {
namespace core {

class ITopology;
class IGridFunction;
class IGeometry;
class IInformation;

template <class Topology, class GridFunction>
class ITopologyGenerator;

template <>
class QUILL20_API ITopologyGenerator<ITopology, IGridFunction> : public virtual ISciObject {
 public:
  boost::shared_ptr<ITopology> create_topology() { return do_create_topology(); }
  boost::shared_ptr<IGridFunction> create_grid_function(boost::shared_ptr<IGridFunction> p_Input)
  {
    return do_create_grid_function(std::move(p_Input));
  }
  boost::shared_ptr<IGridFunction> create_grid_function(std::string p_Name) { return do_create_grid_function(std::move(p_Name)); }
  boost::shared_ptr<IGridFunction> create_grid_function(boost::shared_ptr<IInformation> p_Information)
  {
    return do_create_grid_function(std::move(p_Information));
  }
  void set_input_topology(boost::shared_ptr<ITopology> p_Topology) { do_set_input_topology(std::move(p_Topology)); }
  boost::shared_ptr<ITopology> get_input_topology() { return do_get_input_topology(); }

 protected:
  virtual boost::shared_ptr<ITopology> do_create_topology() = 0;
  virtual boost::shared_ptr<IGridFunction> do_create_grid_function(boost::shared_ptr<IGridFunction> p_Input) = 0;
  virtual boost::shared_ptr<IGridFunction> do_create_grid_function(std::string p_Name);
  virtual boost::shared_ptr<IGridFunction> do_create_grid_function(boost::shared_ptr<IInformation> p_Information);
  virtual void do_set_input_topology(boost::shared_ptr<ITopology> p_Topology);
  virtual boost::shared_ptr<ITopology> do_get_input_topology() = 0;

 public:
  ~ITopologyGenerator() override;
};

// Fixes the topology type the generator produces.
template <class Topology>
class ITopologyGenerator<Topology, IGridFunction> : public virtual ITopologyGenerator<ITopology, IGridFunction> {
 public:
  ~ITopologyGenerator() override = default;
};

template <class Geometry, class Topology, class GridFunction>
class IGridGenerator;

template <>
class QUILL20_API IGridGenerator<IGeometry, ITopology, IGridFunction>
    : public virtual ITopologyGenerator<ITopology, IGridFunction> {
 public:
  boost::shared_ptr<IGeometry> create_geometry() { return do_create_geometry(); }
  void set_input(boost::shared_ptr<IGeometry> p_Input) { do_set_input(std::move(p_Input)); }
  boost::shared_ptr<IGeometry> get_input_geometry() { return do_get_input_geometry(); }

 protected:
  virtual boost::shared_ptr<IGeometry> do_create_geometry() = 0;
  virtual void do_set_input(boost::shared_ptr<IGeometry> p_Input) = 0;
  virtual boost::shared_ptr<IGeometry> do_get_input_geometry() = 0;

 public:
  ~IGridGenerator() override;
};

template <class Geometry, class Topology>
class IGridGenerator<Geometry, Topology, IGridFunction> : public virtual IGridGenerator<IGeometry, ITopology, IGridFunction>,
                                                          public virtual ITopologyGenerator<Topology, IGridFunction> {
 public:
  ~IGridGenerator() override = default;
};

}  // namespace core
}  // namespace quill20
