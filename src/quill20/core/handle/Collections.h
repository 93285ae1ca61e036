// Output containers of the topology queries for the elements on, or adjacent to, an element.
#pragma once

#include <vector>

#include "quill20/core/handle/Handles.h"

namespace quill20 {
namespace core {

// Handles of the elements found, in the order found.
class HandleCollection {
 public:
  void add(const AnyHandle& p_Handle) { m_Handles.push_back(p_Handle); }
  void clear() { m_Handles.clear(); }
  std::size_t size() const { return m_Handles.size(); }
  const AnyHandle& operator[](std::size_t p_Index) const { return m_Handles[p_Index]; }

 private:
  std::vector<AnyHandle> m_Handles;
};

// For each element found, the element and the shared element through which it is adjacent.
class AdjacentsCollection {
 public:
  struct Adjacent {
    AnyHandle element;
    AnyHandle through;
  };
  void add(const AnyHandle& p_Element, const AnyHandle& p_Through) { m_Adjacents.push_back({p_Element, p_Through}); }
  void clear() { m_Adjacents.clear(); }
  std::size_t size() const { return m_Adjacents.size(); }
  const Adjacent& operator[](std::size_t p_Index) const { return m_Adjacents[p_Index]; }

 private:
  std::vector<Adjacent> m_Adjacents;
};

}  // namespace core
}  // namespace quill20
