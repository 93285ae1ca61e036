// Explicit instantiation of the selection mappers and their sets.
#include "quill20/core/mapper/HandleMapperSet.h"

namespace quill20 {
namespace core {

IHandleMapperSet::~IHandleMapperSet() = default;

template class GenHandleMapper<OriginalToSelectionMapperImpl<1, hmt::CellHandleMapper>,
                               OriginalToSelectionMapperTraits<1, hmt::CellHandleMapper>>;
template class GenHandleMapper<OriginalToSelectionMapperImpl<1, hmt::LocalHandleMapper>,
                               OriginalToSelectionMapperTraits<1, hmt::LocalHandleMapper>>;
template class GenHandleMapper<SelectionToOriginalMapperImpl<1, hmt::CellHandleMapper>,
                               SelectionToOriginalMapperTraits<1, hmt::CellHandleMapper>>;
template class GenHandleMapper<SelectionToOriginalMapperImpl<1, hmt::LocalHandleMapper>,
                               SelectionToOriginalMapperTraits<1, hmt::LocalHandleMapper>>;
template class HandleMapperSet<OriginalToSelectionMapper<1, hmt::CellHandleMapper>,
                               OriginalToSelectionMapper<1, hmt::LocalHandleMapper>,
                               OriginalToSelectionMapper<1, hmt::LocalHandleMapper>,
                               OriginalToSelectionMapper<1, hmt::LocalHandleMapper>>;
template class HandleMapperSet<SelectionToOriginalMapper<1, hmt::CellHandleMapper>,
                               SelectionToOriginalMapper<1, hmt::LocalHandleMapper>,
                               SelectionToOriginalMapper<1, hmt::LocalHandleMapper>,
                               SelectionToOriginalMapper<1, hmt::LocalHandleMapper>>;

}  // namespace core
}  // namespace quill20
