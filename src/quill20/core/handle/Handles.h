// Handles name grid elements: the four kinds, the type-erased AnyHandle, the infinite handle,
// accepted-handle sets and locations, with their printing.
#pragma once

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <type_traits>

#include "quill20/Export.h"
#include "quill20/vectors/RigidVector.h"

namespace quill20 {
namespace core {

using handle_t = unsigned long long;
using Handle1 = handle_t;
using Handle2 = mtm::RigidVector<2, unsigned int>;
using Handle3 = mtm::RigidVector<3, unsigned short>;
using Handle4 = mtm::RigidVector<4, unsigned short>;

// X(value type, kind tag, printed name, AnyHandle payload member), in tag order.
#define QUILL20_HANDLE_KINDS(X)                                        \
  X(::quill20::core::Handle1, htHandle1, "Handle1", m_Handle1)          \
  X(::quill20::core::Handle2, htHandle2, "Handle2", m_Handle2)          \
  X(::quill20::core::Handle3, htHandle3, "Handle3", m_Handle3)          \
  X(::quill20::core::Handle4, htHandle4, "Handle4", m_Handle4)

enum HandleType : std::uint32_t { htHandle1 = 0, htHandle2 = 1, htHandle3 = 2, htHandle4 = 3 };

// Stands where an operation has no handle kind to give; never stored in an AnyHandle.
struct InvalidHandle {};

template <class H>
struct HandleTraits;
#define QUILL20_HANDLE_TRAITS(Type, Tag, Name, Member)           \
  template <>                                                    \
  struct HandleTraits<Type> {                                    \
    static constexpr HandleType tag = Tag;                       \
    static constexpr const char* name() { return Name; }         \
  };
QUILL20_HANDLE_KINDS(QUILL20_HANDLE_TRAITS)
#undef QUILL20_HANDLE_TRAITS

template <class H, class = void>
struct is_handle : std::false_type {};
template <class H>
struct is_handle<H, std::void_t<decltype(HandleTraits<H>::tag)>> : std::true_type {};

// Printed name of a kind; any tag above 3 prints as "Handle4".
QUILL20_API const char* handle_type_name(std::uint32_t p_Tag);

// Name of a handle value type, used in messages.
template <class H>
constexpr const char* handle_name()
{
  return HandleTraits<H>::name();
}

// All bits set: an invalid handle, and a count of elements meaning "defined everywhere".
template <class T>
constexpr T Inf()
{
  return std::numeric_limits<T>::max();
}

constexpr bool is_valid_handle(handle_t p_Handle) { return p_Handle != Inf<handle_t>(); }

class QUILL20_API AnyHandle {
 public:
  AnyHandle(Handle1 p_Handle) : m_HandleType(htHandle1) { m_Payload.m_Handle1 = p_Handle; }
  AnyHandle(const Handle2& p_Handle) : m_HandleType(htHandle2) { m_Payload.m_Handle2 = p_Handle; }
  AnyHandle(const Handle3& p_Handle) : m_HandleType(htHandle3) { m_Payload.m_Handle3 = p_Handle; }
  AnyHandle(const Handle4& p_Handle) : m_HandleType(htHandle4) { m_Payload.m_Handle4 = p_Handle; }

  HandleType type() const { return m_HandleType; }

  // The stored value; reading another kind than the stored one is a precondition failure.
  template <class H>
  H& get();
  template <class H>
  const H& get() const;

  // Product of the components: the number of elements a shape names.
  std::uint64_t element_count() const;

 private:
  union Payload {
    Handle1 m_Handle1;
    Handle2 m_Handle2;
    Handle3 m_Handle3;
    Handle4 m_Handle4;
  } m_Payload;
  HandleType m_HandleType;
};

static_assert(sizeof(Handle2) <= 8 && sizeof(Handle3) <= 8 && sizeof(Handle4) <= 8,
              "every handle value fits in 8 bytes");

#define QUILL20_DECLARE_ANYHANDLE_GET(Type, Tag, Name, Member) \
  template <>                                                  \
  QUILL20_API Type& AnyHandle::get<Type>();                    \
  template <>                                                  \
  QUILL20_API const Type& AnyHandle::get<Type>() const;
QUILL20_HANDLE_KINDS(QUILL20_DECLARE_ANYHANDLE_GET)
#undef QUILL20_DECLARE_ANYHANDLE_GET

QUILL20_API std::ostream& operator<<(std::ostream& p_Stream, const AnyHandle& p_Handle);

// A shape compared with a count of elements: equal when it holds that Handle1.
inline bool operator==(const AnyHandle& p_Shape, handle_t p_Count)
{
  return p_Shape.type() == htHandle1 && p_Shape.get<Handle1>() == p_Count;
}

// A set of handle kinds: bit k stands for the kind with tag k.
struct AcceptedHandles {
  std::uint32_t bits;
};
QUILL20_API std::ostream& operator<<(std::ostream& p_Stream, AcceptedHandles p_Set);

template <class H>
constexpr std::uint32_t handle_bit()
{
  if constexpr (is_handle<H>::value)
    return 1u << HandleTraits<H>::tag;
  else
    return 0u;
}

// Accepted kinds named by value types in tag order; void or InvalidHandle fills a place with nothing.
template <class H1, class H2, class H3, class H4>
struct GenAcceptableHandlesTrait {
  static constexpr std::uint32_t value =
      handle_bit<H1>() | handle_bit<H2>() | handle_bit<H3>() | handle_bit<H4>();
  template <class H>
  struct accepts : std::bool_constant<(value & handle_bit<H>()) != 0> {};
};

template <class H>
struct GenAcceptableHandlesTraitPlusHandle1
    : GenAcceptableHandlesTrait<handle_t, H, void, void> {};

using AllHandlesTrait = GenAcceptableHandlesTrait<Handle1, Handle2, Handle3, Handle4>;

// A count of elements, printed as "(infinity)" when it is Inf<handle_t>().
struct ElementCount {
  handle_t value;
};
QUILL20_API std::ostream& operator<<(std::ostream& p_Stream, ElementCount p_Count);

enum LocationType : std::int32_t { onVertex = 0, onCell = 1, onFace = 3, onSharedVertex = 4 };

namespace on {
struct Vertex : std::integral_constant<LocationType, onVertex> {};
struct Cell : std::integral_constant<LocationType, onCell> {};
struct Face : std::integral_constant<LocationType, onFace> {};
struct SharedVertex : std::integral_constant<LocationType, onSharedVertex> {};
}  // namespace on

}  // namespace core
}  // namespace quill20
