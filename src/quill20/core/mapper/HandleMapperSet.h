// A set of four mappers: one for cells, three for cell-local entities.
#pragma once

#include "quill20/Export.h"
#include "quill20/core/mapper/SelectionMappers.h"

namespace quill20 {
namespace core {

class QUILL20_API IHandleMapperSet {
 public:
  virtual ~IHandleMapperSet();
  virtual const IHandleMapper& local_mapper_3() const = 0;
  virtual const IHandleMapper& local_mapper_2() const = 0;
  virtual const IHandleMapper& local_mapper_1() const = 0;
  virtual const IHandleMapper& cell_mapper() const = 0;
  // Copies the four mappers of a set of the same type; another type fails with std::bad_cast.
  virtual void assign(const IHandleMapperSet& p_Other) = 0;
};

template <class CellMapper, class LocalMapper1, class LocalMapper2, class LocalMapper3>
class HandleMapperSet : public IHandleMapperSet {
 public:
  const IHandleMapper& local_mapper_3() const override { return m_LocalMapper3; }
  const IHandleMapper& local_mapper_2() const override { return m_LocalMapper2; }
  const IHandleMapper& local_mapper_1() const override { return m_LocalMapper1; }
  const IHandleMapper& cell_mapper() const override { return m_CellMapper; }

  void assign(const IHandleMapperSet& p_Other) override
  {
    m_CellMapper = dynamic_cast<const CellMapper&>(p_Other.cell_mapper());
    m_LocalMapper1 = dynamic_cast<const LocalMapper1&>(p_Other.local_mapper_1());
    m_LocalMapper2 = dynamic_cast<const LocalMapper2&>(p_Other.local_mapper_2());
    m_LocalMapper3 = dynamic_cast<const LocalMapper3&>(p_Other.local_mapper_3());
  }

  CellMapper& cells() { return m_CellMapper; }
  LocalMapper1& local_1() { return m_LocalMapper1; }
  LocalMapper2& local_2() { return m_LocalMapper2; }
  LocalMapper3& local_3() { return m_LocalMapper3; }

 private:
  CellMapper m_CellMapper;
  LocalMapper1 m_LocalMapper1;
  LocalMapper2 m_LocalMapper2;
  LocalMapper3 m_LocalMapper3;
};

template <int Dim>
using OriginalToSelectionMapperSet =
    HandleMapperSet<OriginalToSelectionMapper<Dim, hmt::CellHandleMapper>, OriginalToSelectionMapper<Dim, hmt::LocalHandleMapper>,
                    OriginalToSelectionMapper<Dim, hmt::LocalHandleMapper>, OriginalToSelectionMapper<Dim, hmt::LocalHandleMapper>>;
template <int Dim>
using SelectionToOriginalMapperSet =
    HandleMapperSet<SelectionToOriginalMapper<Dim, hmt::CellHandleMapper>, SelectionToOriginalMapper<Dim, hmt::LocalHandleMapper>,
                    SelectionToOriginalMapper<Dim, hmt::LocalHandleMapper>, SelectionToOriginalMapper<Dim, hmt::LocalHandleMapper>>;

extern template class QUILL20_API
    HandleMapperSet<OriginalToSelectionMapper<1, hmt::CellHandleMapper>, OriginalToSelectionMapper<1, hmt::LocalHandleMapper>,
                    OriginalToSelectionMapper<1, hmt::LocalHandleMapper>, OriginalToSelectionMapper<1, hmt::LocalHandleMapper>>;
extern template class QUILL20_API
    HandleMapperSet<SelectionToOriginalMapper<1, hmt::CellHandleMapper>, SelectionToOriginalMapper<1, hmt::LocalHandleMapper>,
                    SelectionToOriginalMapper<1, hmt::LocalHandleMapper>, SelectionToOriginalMapper<1, hmt::LocalHandleMapper>>;

}  // namespace core
}  // namespace quill20
