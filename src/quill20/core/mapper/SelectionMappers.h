// Mappers between the handles of an original grid and of a selection of it, in both directions, for
// cells (Handle1) and for cell-local entities (Handle2 = cell, local index). Each mapper is its own
// table: an array-held grid function of unsigned 64-bit entries, one per element it maps from.
#pragma once

#include "quill20/core/grid_function/GridFunctionTypes.h"
#include "quill20/core/mapper/GenHandleMapper.h"

namespace quill20 {
namespace core {

namespace hmt {
struct CellHandleMapper {};
struct LocalHandleMapper {};
}  // namespace hmt

using MapperTable = ArrayGridFunction<unsigned long long>;

namespace detail {

template <class Kind>
struct TableMapping;

template <>
struct TableMapping<hmt::CellHandleMapper> {
  using handle_type = handle_t;
  static void map_unchecked(const MapperTable& p_Table, handle_t p_Input, handle_t& p_Output)
  {
    p_Output = p_Table.get_unchecked(p_Input);
  }
  // The table's checked read: invalid handles and handles past the table fail there.
  static void map(const MapperTable& p_Table, handle_t p_Input, handle_t& p_Output) { p_Output = p_Table.get(p_Input); }
};

template <>
struct TableMapping<hmt::LocalHandleMapper> {
  using handle_type = Handle2;
  static void map_unchecked(const MapperTable& p_Table, const Handle2& p_Input, Handle2& p_Output)
  {
    p_Output = Handle2(static_cast<unsigned int>(p_Table.array()[p_Input[0]]), p_Input[1]);
  }
  // Bounds-checked on the cell index; no validity check.
  static void map(const MapperTable& p_Table, const Handle2& p_Input, Handle2& p_Output)
  {
    p_Output = Handle2(static_cast<unsigned int>(p_Table.array().at(p_Input[0])), p_Input[1]);
  }
};

template <class Kind>
struct TableMappingTraits {
  template <class In, class Out>
  using supports = std::bool_constant<std::is_same_v<In, Out> &&
                                      std::is_same_v<In, typename TableMapping<Kind>::handle_type>>;
};

// The table and the lookup of one kind; the two directions differ only in which table they get.
template <class Base, class Kind>
class TableMapperImpl : public Base {
 public:
  template <class H>
  void map_unchecked(const H& p_Input, H& p_Output) const
  {
    TableMapping<Kind>::map_unchecked(*this, p_Input, p_Output);
  }
  template <class H>
  void map(const H& p_Input, H& p_Output) const
  {
    TableMapping<Kind>::map(*this, p_Input, p_Output);
  }
};

}  // namespace detail

template <int Dim>
class OriginalToSelectionMapperImplBase : public MapperTable {};
template <int Dim>
class SelectionToOriginalMapperImplBase : public MapperTable {};

template <int Dim, class Kind>
class OriginalToSelectionMapperImpl : public detail::TableMapperImpl<OriginalToSelectionMapperImplBase<Dim>, Kind> {};
template <int Dim, class Kind>
class SelectionToOriginalMapperImpl : public detail::TableMapperImpl<SelectionToOriginalMapperImplBase<Dim>, Kind> {};

template <int Dim, class Kind>
struct OriginalToSelectionMapperTraits : detail::TableMappingTraits<Kind> {};
template <int Dim, class Kind>
struct SelectionToOriginalMapperTraits : detail::TableMappingTraits<Kind> {};

template <int Dim, class Kind>
using OriginalToSelectionMapper =
    GenHandleMapper<OriginalToSelectionMapperImpl<Dim, Kind>, OriginalToSelectionMapperTraits<Dim, Kind>>;
template <int Dim, class Kind>
using SelectionToOriginalMapper =
    GenHandleMapper<SelectionToOriginalMapperImpl<Dim, Kind>, SelectionToOriginalMapperTraits<Dim, Kind>>;

#define QUILL20_DETAIL_EXTERN_MAPPER(Direction, Kind) \
  extern template class QUILL20_API GenHandleMapper<Direction##MapperImpl<1, Kind>, Direction##MapperTraits<1, Kind>>;
QUILL20_DETAIL_EXTERN_MAPPER(OriginalToSelection, hmt::CellHandleMapper)
QUILL20_DETAIL_EXTERN_MAPPER(OriginalToSelection, hmt::LocalHandleMapper)
QUILL20_DETAIL_EXTERN_MAPPER(SelectionToOriginal, hmt::CellHandleMapper)
QUILL20_DETAIL_EXTERN_MAPPER(SelectionToOriginal, hmt::LocalHandleMapper)
#undef QUILL20_DETAIL_EXTERN_MAPPER

}  // namespace core
}  // namespace quill20
