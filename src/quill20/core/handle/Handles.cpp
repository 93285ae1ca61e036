// Kind checks and printing of handles.
#include "quill20/core/handle/Handles.h"

#include "kernos50/Check.h"

namespace quill20 {
namespace core {

const char* handle_type_name(std::uint32_t p_Tag)
{
  switch (p_Tag) {
    case htHandle1: return "Handle1";
    case htHandle2: return "Handle2";
    case htHandle3: return "Handle3";
    default: return "Handle4";
  }
}

#define QUILL20_DEFINE_ANYHANDLE_GET(Type, Tag, Name, Member)                                   \
  template <>                                                                                   \
  const Type& AnyHandle::get<Type>() const                                                      \
  {                                                                                             \
    KERNOS50_PRECONDITION_EQUAL(m_HandleType, Tag,                                              \
                                std::endl                                                       \
                                    << "Getting the wrong type: data has type '"                \
                                    << handle_type_name(m_HandleType)                           \
                                    << "', but trying to get with type '" << Name << "'.");      \
    return m_Payload.Member;                                                                    \
  }                                                                                             \
  template <>                                                                                   \
  Type& AnyHandle::get<Type>()                                                                  \
  {                                                                                             \
    return const_cast<Type&>(static_cast<const AnyHandle&>(*this).get<Type>());                 \
  }
QUILL20_HANDLE_KINDS(QUILL20_DEFINE_ANYHANDLE_GET)
#undef QUILL20_DEFINE_ANYHANDLE_GET

std::uint64_t AnyHandle::element_count() const
{
  auto product = [](const auto& p_Vector) {
    std::uint64_t n = 1;
    for (std::size_t i = 0; i < p_Vector.size(); ++i) n *= p_Vector[i];
    return n;
  };
  switch (m_HandleType) {
    case htHandle1: return m_Payload.m_Handle1;
    case htHandle2: return product(m_Payload.m_Handle2);
    case htHandle3: return product(m_Payload.m_Handle3);
    default: return product(m_Payload.m_Handle4);
  }
}

std::ostream& operator<<(std::ostream& p_Stream, const AnyHandle& p_Handle)
{
  switch (p_Handle.type()) {
#define QUILL20_PRINT_KIND(Type, Tag, Name, Member) \
  case Tag: return p_Stream << p_Handle.get<Type>();
    QUILL20_HANDLE_KINDS(QUILL20_PRINT_KIND)
#undef QUILL20_PRINT_KIND
  }
  return p_Stream;
}

std::ostream& operator<<(std::ostream& p_Stream, AcceptedHandles p_Set)
{
  const char* separator = "";
  bool any = false;
  for (std::uint32_t tag = htHandle1; tag <= htHandle4; ++tag) {
    if (p_Set.bits & (1u << tag)) {
      p_Stream << separator << handle_type_name(tag);
      separator = ", ";
      any = true;
    }
  }
  if (!any) p_Stream << "none";
  return p_Stream;
}

std::ostream& operator<<(std::ostream& p_Stream, ElementCount p_Count)
{
  if (p_Count.value == Inf<handle_t>()) return p_Stream << "(infinity)";
  return p_Stream << p_Count.value;
}

}  // namespace core
}  // namespace quill20
