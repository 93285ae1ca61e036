// The unstructured point topology: connectivity validation, the lazy vertex-to-cells incidence, and
// the conversion and histogram of grid functions, dispatched over the grid-function type lists.
#include "quill20/core/topology/UnstructuredTopology.h"

#include <algorithm>
#include <typeinfo>
#include <vector>

#include "kernos50/Check.h"
#include "kernos50/TypeName.h"
#include "quill20/core/IAvailabilityException.h"
#include "quill20/core/Quill20Error.h"
#include "quill20/core/algorithm/CreateHistogram.h"
#include "quill20/core/array/IArrayImplFactory.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "quill20/core/grid_function/GridFunctionTypes.h"

namespace quill20 {
namespace core {

IFunctor::~IFunctor() = default;
ITopology::~ITopology() = default;

UnstructuredTopologyBase::UnstructuredTopologyBase() : m_NumberOfVertices(0), m_IncidenceBuilt(false)
{
  IArrayImplFactory& factory = VectorArrayImplFactory::instance();
  for (IndexArray* array : {&m_CellsIndex, &m_Connectivity, &m_UsedVertices, &m_VertexToCellsIndex, &m_VertexToCells})
    array->initialize(factory, 0);
  m_BuildIncidence = [this] {
    if (!m_IncidenceBuilt) build_incidence();
  };
}

UnstructuredTopologyBase::~UnstructuredTopologyBase() = default;

AnyHandle UnstructuredTopologyBase::map_to_selection(const AnyHandle& p_Handle) const
{
  const handle_t cell = p_Handle.get<Handle1>();
  if (!m_Selection) return AnyHandle(cell);
  handle_t selected = cell;
  m_OriginalToSelection.cell_mapper().map(cell, selected);
  return AnyHandle(selected);
}

std::uint64_t UnstructuredTopologyBase::number_of_cells() const { return m_CellsIndex.size(); }

std::uint64_t UnstructuredTopologyBase::number_of_vertices() const { return m_NumberOfVertices; }

std::uint64_t UnstructuredTopologyBase::number_of_edges() const
{
  QUILL20_AVAILABILITY_FAILURE(not_implemented_wording, *this, "");
}

std::uint64_t UnstructuredTopologyBase::number_of_faces() const
{
  QUILL20_AVAILABILITY_FAILURE(not_implemented_wording, *this, "");
}

std::uint64_t UnstructuredTopologyBase::number_of_shared_vertices() const { return number_of_vertices(); }

AnyHandle UnstructuredTopologyBase::shape() const { return AnyHandle(handle_t(number_of_cells())); }

AnyHandle UnstructuredTopologyBase::vertices_shape() const { return AnyHandle(handle_t(number_of_vertices())); }

std::int32_t UnstructuredTopologyBase::location_code(LocationType p_Location) const
{
  static const std::int32_t codes[] = {3, 1, 2, 10, 3};
  const auto index = static_cast<std::uint32_t>(p_Location);
  KERNOS50_PRECONDITION(index < 5, "There is no location code for location " << static_cast<std::int32_t>(p_Location)
                                                                             << "; valid locations are 0 to 4.");
  return codes[index];
}

void UnstructuredTopologyBase::do_get_elements_on(LocationType, AnyHandle, LocationType, const CellPredicate&,
                                                  HandleCollection&) const
{
  QUILL20_AVAILABILITY_FAILURE(not_implemented_wording, *this, "");
}

void UnstructuredTopologyBase::do_get_adjacents_of(LocationType, AnyHandle, LocationType, LocationType,
                                                   const CellPredicate&, AdjacentsCollection&) const
{
  QUILL20_AVAILABILITY_FAILURE(not_implemented_wording, *this, "");
}

AnyHandle UnstructuredTopologyBase::cells_shape() const { return shape(); }

void UnstructuredTopologyBase::set_cells_index(const IndexArray& p_CellsIndex) { m_CellsIndex = p_CellsIndex; }

void UnstructuredTopologyBase::set_connectivity(const IndexArray& p_Connectivity) { m_Connectivity = p_Connectivity; }

void UnstructuredTopologyBase::finalize_connectivity()
{
  const std::uint64_t length = m_Connectivity.size();
  const unsigned long long* list = m_Connectivity.data();
  if (length == 0) {
    m_NumberOfVertices = 0;
    return;
  }
  std::uint64_t position = 0;
  std::uint64_t remaining = 0;
  std::uint64_t largest = 0;
  while (true) {
    if (remaining == 0) {
      if (position >= length) break;
      const std::uint64_t n = list[position];
      if (n == 0 || n >= length || position + n >= length) throw WrongNumberOfVerticesError(position, n);
      remaining = n;
      ++position;
    } else {
      largest = std::max<std::uint64_t>(largest, list[position]);
      --remaining;
      ++position;
    }
  }
  m_NumberOfVertices = largest + 1;
}

// Counting first, then one exactly sized allocation per array: no per-vertex lists, so ten million
// cells cost three arrays and one scratch vector, whatever their shape.
void UnstructuredTopologyBase::build_incidence()
{
  finalize_connectivity();
  const std::uint64_t cells = m_CellsIndex.size();
  const std::uint64_t length = m_Connectivity.size();
  const unsigned long long* index = m_CellsIndex.data();
  const unsigned long long* list = m_Connectivity.data();
  const std::uint64_t vertices = m_NumberOfVertices;

  // The cells index is installed apart from the records it points into: check it before reading.
  for (std::uint64_t c = 0; c < cells; ++c) {
    const std::uint64_t start = index[c];
    KERNOS50_PRECONDITION(start < length && list[start] >= 1 && list[start] < length - start,
                          "Cell " << c << " starts at position " << start
                                  << ", which holds no record of the connectivity list of " << length << " entries.");
  }

  std::vector<std::uint64_t> counts(vertices, 0);
  std::uint64_t occurrences = 0;
  for (std::uint64_t c = 0; c < cells; ++c) {
    const std::uint64_t start = index[c];
    for (std::uint64_t k = 1; k <= list[start]; ++k) ++counts[list[start + k]];
    occurrences += list[start];
  }

  IArrayImplFactory& factory = VectorArrayImplFactory::instance();
  std::uint64_t used = 0;
  for (std::uint64_t v = 0; v < vertices; ++v) used += counts[v] != 0;
  IndexArray used_vertices, vertex_index, vertex_cells;
  used_vertices.initialize(factory, used);
  vertex_index.initialize(factory, vertices);
  vertex_cells.initialize(factory, vertices + occurrences);

  // Records in ascending vertex order; counts[] becomes each record's next free slot.
  unsigned long long* used_out = used_vertices.data();
  unsigned long long* index_out = vertex_index.data();
  unsigned long long* cells_out = vertex_cells.data();
  std::uint64_t position = 0;
  for (std::uint64_t v = 0; v < vertices; ++v) {
    if (counts[v] != 0) *used_out++ = v;
    index_out[v] = position;
    cells_out[position] = counts[v];
    const std::uint64_t record = position + 1;
    position = record + counts[v];
    counts[v] = record;
  }
  for (std::uint64_t c = 0; c < cells; ++c) {
    const std::uint64_t start = index[c];
    for (std::uint64_t k = 1; k <= list[start]; ++k) cells_out[counts[list[start + k]]++] = c;
  }

  m_UsedVertices = used_vertices;
  m_VertexToCellsIndex = vertex_index;
  m_VertexToCells = vertex_cells;
  m_IncidenceBuilt = true;
}

const UnstructuredTopologyBase::IndexArray& UnstructuredTopologyBase::used_vertices() const
{
  m_BuildIncidence();
  return m_UsedVertices;
}

const UnstructuredTopologyBase::IndexArray& UnstructuredTopologyBase::vertex_to_cells_index() const
{
  m_BuildIncidence();
  return m_VertexToCellsIndex;
}

const UnstructuredTopologyBase::IndexArray& UnstructuredTopologyBase::vertex_to_cells() const
{
  m_BuildIncidence();
  return m_VertexToCells;
}

template <class GF, std::enable_if_t<is_dispatched_grid_function<GF>::value, int>>
boost::shared_ptr<Array<typename GF::value_type, 1>> UnstructuredTopologyBase::create_array(
    const GF& p_gf, const IArrayImplFactory& p_Factory) const
{
  using V = typename GF::value_type;
  constexpr bool array_held = std::is_same_v<GF, ArrayGridFunction<V>>;
  if constexpr (array_held) {
    const Array<V, 1>& values = p_gf.array();
    if (values.get_implementation() && &values.factory() == &p_Factory) {
      // The grid function's own array, shared: no copy.
      boost::shared_ptr<const ISciObject> owner = p_gf.weak_from_this().lock();
      if (owner) return boost::shared_ptr<Array<V, 1>>(boost::const_pointer_cast<ISciObject>(owner), const_cast<Array<V, 1>*>(&values));
      return boost::shared_ptr<Array<V, 1>>(new Array<V, 1>(values));
    }
  }
  boost::shared_ptr<IArrayImpl> storage(p_Factory.create(element_traits<V>::scalar_type, element_shape_of<V>()));
  std::uint64_t count = 0;
  switch (p_gf.location()) {
    case onCell:
      KERNOS50_PRECONDITION(p_gf.number_of_elements() == Inf<handle_t>() || this->shape() == p_gf.number_of_elements(),
                            "Trying to create array for a grid function with an invalid number of elements:"
                                << std::endl
                                << "    Grid function has: " << p_gf.number_of_elements() << " elements" << std::endl
                                << "    Topology has: " << number_of_cells() << " cells." << std::endl);
      count = number_of_cells();
      break;
    case onVertex:
    case onSharedVertex:
      KERNOS50_PRECONDITION(p_gf.number_of_elements() == Inf<handle_t>() || this->vertices_shape() == p_gf.number_of_elements(),
                            "Trying to create array for a grid function with an invalid number of elements:"
                                << std::endl
                                << "    Grid function has: " << p_gf.number_of_elements() << " elements" << std::endl
                                << "    Topology has: " << number_of_vertices() << " vertices." << std::endl);
      count = number_of_vertices();
      break;
    default:
      QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
  }
  storage->resize(count);
  boost::shared_ptr<Array<V, 1>> result(new Array<V, 1>(storage));
  V* out = result->data();
  if constexpr (array_held) {
    const V* in = p_gf.array().data();
    std::copy(in, in + count, out);
  } else {
    for (std::uint64_t i = 0; i < count; ++i) out[i] = p_gf.get_unchecked(handle_t(i));
  }
  return result;
}

namespace {

// Calls p_Action with the grid function cast to the first type of the dispatch lists it is: the
// array-held grid functions first, then the typed interfaces; none fails with the type's name.
template <class Action>
auto dispatch_grid_function(const IGridFunction& p_gf, Action&& p_Action)
{
#define QUILL20_DETAIL_TRY(...) \
  if (const auto* typed = dynamic_cast<const __VA_ARGS__*>(&p_gf)) return p_Action(*typed);
#define QUILL20_DETAIL_TRY_ARRAY(...) QUILL20_DETAIL_TRY(ArrayGridFunction<__VA_ARGS__>)
#define QUILL20_DETAIL_TRY_TYPED(...) QUILL20_DETAIL_TRY(ITypeGridFunction<__VA_ARGS__>)
  QUILL20_ARRAY_GRID_FUNCTION_DISPATCH_TYPES(QUILL20_DETAIL_TRY_ARRAY)
  QUILL20_TYPE_GRID_FUNCTION_DISPATCH_TYPES(QUILL20_DETAIL_TRY_TYPED)
#undef QUILL20_DETAIL_TRY_TYPED
#undef QUILL20_DETAIL_TRY_ARRAY
#undef QUILL20_DETAIL_TRY
  KERNOS50_PRECONDITION(0, "Can not convert this grid function, because there is no conversion registered for its type: "
                               << std::endl
                               << kernos50::dynamic_type_name(p_gf));
  std::abort();
}

}  // namespace

boost::shared_ptr<IArray> UnstructuredTopologyBase::create_array(const IGridFunction& p_Values,
                                                                 const IArrayImplFactory& p_Factory) const
{
  return dispatch_grid_function(p_Values, [&](const auto& p_typed) -> boost::shared_ptr<IArray> {
    return this->create_array(p_typed, p_Factory);
  });
}

boost::shared_ptr<Array<double, 1>> UnstructuredTopologyBase::create_histogram(const IGridFunction& p_Values, double p_Min,
                                                                               double p_Max, int p_bins,
                                                                               const IGridFunction& p_weight,
                                                                               const IArrayImplFactory& p_Factory,
                                                                               bool p_IncludeMax) const
{
  return dispatch_grid_function(p_Values, [&](const auto& p_typed) {
    using GF = std::decay_t<decltype(p_typed)>;
    using V = typename GF::value_type;
    if constexpr (std::is_same_v<GF, ArrayGridFunction<V>> && is_scalar_type<V>::value) {
      // Array-held numbers are read straight from their array.
      const V* values = p_typed.array().data();
      return core::create_histogram(*this, p_Values, p_Min, p_Max, p_bins, p_weight, p_Factory, p_IncludeMax,
                                    [values](std::uint64_t i) { return static_cast<double>(values[i]); });
    } else {
      return core::create_histogram(*this, p_Values, p_Min, p_Max, p_bins, p_weight, p_Factory, p_IncludeMax,
                                    [&p_typed](std::uint64_t i) { return p_typed.get_as_double(handle_t(i)); });
    }
  });
}

#define QUILL20_DETAIL_INSTANTIATE(...)                                                                \
  template boost::shared_ptr<Array<__VA_ARGS__::value_type, 1>> UnstructuredTopologyBase::create_array( \
      const __VA_ARGS__& p_gf, const IArrayImplFactory& p_Factory) const;
#define QUILL20_DETAIL_INSTANTIATE_ARRAY(...) QUILL20_DETAIL_INSTANTIATE(ArrayGridFunction<__VA_ARGS__>)
#define QUILL20_DETAIL_INSTANTIATE_TYPED(...) QUILL20_DETAIL_INSTANTIATE(ITypeGridFunction<__VA_ARGS__>)
QUILL20_ARRAY_GRID_FUNCTION_DISPATCH_TYPES(QUILL20_DETAIL_INSTANTIATE_ARRAY)
QUILL20_TYPE_GRID_FUNCTION_DISPATCH_TYPES(QUILL20_DETAIL_INSTANTIATE_TYPED)
#undef QUILL20_DETAIL_INSTANTIATE_TYPED
#undef QUILL20_DETAIL_INSTANTIATE_ARRAY
#undef QUILL20_DETAIL_INSTANTIATE

namespace detail {

boost::shared_ptr<IArray> topology_create_array(const ITopology& p_Topology, const IGridFunction& p_Values,
                                                const IArrayImplFactory& p_Factory)
{
  return p_Topology.create_array(p_Values, p_Factory);
}

boost::shared_ptr<Array<double, 1>> topology_create_histogram(const ITopology& p_Topology, const IGridFunction& p_Values,
                                                              double p_Min, double p_Max, int p_bins,
                                                              const IGridFunction& p_weight,
                                                              const IArrayImplFactory& p_Factory, bool p_IncludeMax)
{
  return p_Topology.create_histogram(p_Values, p_Min, p_Max, p_bins, p_weight, p_Factory, p_IncludeMax);
}

}  // namespace detail

InvalidHandle UnstructuredTopologyDimBase<0>::from_continuous(on::Face, unsigned long long) const
{
  QUILL20_AVAILABILITY_FAILURE(not_implemented_wording, *this, "");
}

UnstructuredTopology<0>::UnstructuredTopology() = default;
UnstructuredTopology<0>::~UnstructuredTopology() = default;

ElementType UnstructuredTopology<0>::cell_type(handle_t) const { return etPoint; }

void UnstructuredTopology<0>::do_for_each_cell(IFunctor&)
{
  QUILL20_AVAILABILITY_FAILURE(not_implemented_wording, *this, "");
}

ElementType UnstructuredTopology<0>::local_element_type(const AnyHandle& p_Handle) const
{
  p_Handle.get<Handle2>();
  return etPoint;
}

}  // namespace core
}  // namespace quill20
