// ArrayGenerator for the element type this system grows arrays of.
#include "quill20/core/array/ArrayGenerator.h"

#include <algorithm>

#include "kernos50/Check.h"

namespace quill20 {
namespace core {

template <class T>
ArrayGenerator<Array<T, 1>>::ArrayGenerator(const IArrayImplFactory& p_Factory) : m_Count(0), m_AlreadyCreated(false)
{
  m_Working.initialize(p_Factory, std::max<std::uint64_t>(4, initial_capacity));
}

template <class T>
void ArrayGenerator<Array<T, 1>>::reserve(std::uint64_t p_Count)
{
  if (p_Count <= m_Working.size()) return;
  std::uint64_t capacity = 1;
  while (capacity < p_Count) capacity <<= 1;
  m_Working.resize(std::max(initial_capacity, capacity));
}

template <class T>
void ArrayGenerator<Array<T, 1>>::push_back(const T& p_Value)
{
  if (m_Count >= m_Working.size()) m_Working.resize(std::max(2 * m_Count, initial_capacity));
  m_Working[m_Count] = p_Value;
  ++m_Count;
}

template <class T>
Array<T, 1> ArrayGenerator<Array<T, 1>>::create_array()
{
  KERNOS50_PRECONDITION(!this->already_created(), "Using an ArrayGenerator that have already created the array!");
  m_Working.resize(m_Count);
  Array<T, 1> result(m_Working);
  m_AlreadyCreated = true;
  m_Working.reset();
  return result;
}

template class ArrayGenerator<Array<unsigned long long, 1>>;

}  // namespace core
}  // namespace quill20
