// The VTK storages' common part (reference, shape, resize) and the storage selection of their factory.
#include "quill20/vtk/VtkArrayImpl.h"

#include <atomic>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <ostream>
#include <type_traits>
#include <unordered_set>

#include <vtkDataArray.h>
#include <vtkType.h>

#include "kernos50/Check.h"
#include "quill20/core/array/HugePages.h"
#include "quill20/vtk/VtkArrayImplFactory.h"

static_assert(std::is_same_v<vtkIdType, long long>, "vtkIdTypeArray must hold the 64-bit signed elements");

namespace quill20 {
namespace vtkex {

namespace {

// VTK counts values and bytes in vtkIdType and over-allocates on growth; a count this large could
// never be allocated anyway, and passing it on would overflow VTK's arithmetic.
void ensure_allocatable(std::uint64_t p_Tuples, std::uint64_t p_ElementSize)
{
  constexpr std::uint64_t byte_limit = std::uint64_t(1) << 62;
  if (p_Tuples >= byte_limit / p_ElementSize) throw std::bad_alloc();
}

}  // namespace

namespace {

// Storages alive in the process: lets a long run show that every VTK array it made was let go.
std::atomic<std::int64_t> live_storages{0};

// The memory that storages own and their VTK arrays only hold. VTK frees a buffer it lets go of with
// the array's free function: this one keeps the storages' memory and frees everything else, so that
// memory VTK allocated itself behind a storage's back (SetNumberOfTuples, Resize) is still VTK's to
// free. VTK may let go on any thread, and at exit after this file's statics are gone: the table
// lives as long as the process.
std::mutex guarded_mutex;
std::unordered_set<const void*>& guarded_memory()
{
  static auto* const memory = new std::unordered_set<const void*>();
  return *memory;
}

void guard(const void* p_Memory)
{
  if (!p_Memory) return;
  const std::lock_guard<std::mutex> lock(guarded_mutex);
  guarded_memory().insert(p_Memory);
}

void unguard(const void* p_Memory)
{
  if (!p_Memory) return;
  const std::lock_guard<std::mutex> lock(guarded_mutex);
  guarded_memory().erase(p_Memory);
}

void free_unless_guarded(void* p_Memory)
{
  {
    const std::lock_guard<std::mutex> lock(guarded_mutex);
    if (guarded_memory().count(p_Memory)) return;
  }
  core::free_advised(p_Memory);
}

// VTK's free function for memory it holds and the storage no longer does.
void give_back(void* p_Memory) { core::free_advised(p_Memory); }

}  // namespace

VtkArrayImplBase::VtkArrayImplBase() : m_vtk_array(nullptr), m_Memory(nullptr), m_Tuples(0) { ++live_storages; }

VtkArrayImplBase::~VtkArrayImplBase()
{
  if (m_vtk_array) {
    // Memory VTK still uses is VTK's to free now, when whoever holds the VTK array last lets go;
    // memory VTK gave up (a resize through VTK) is freed here.
    unguard(m_Memory);
    if (m_Memory && m_vtk_array->GetVoidPointer(0) == m_Memory)
      m_vtk_array->SetArrayFreeFunction(&give_back);
    else
      core::free_advised(m_Memory);
    m_vtk_array->Delete();
  }
  m_vtk_array = nullptr;
  m_Memory = nullptr;
  --live_storages;
}

std::int64_t VtkArrayImplBase::live_count() { return live_storages.load(); }

bool VtkArrayImplBase::is_intact() const
{
  if (!m_vtk_array) return m_Tuples == 0;
  const std::uint64_t tuples = static_cast<std::uint64_t>(m_vtk_array->GetNumberOfTuples());
  // An empty storage points nowhere: only its count matters.
  const std::uint64_t tuple_bytes = static_cast<std::uint64_t>(m_vtk_array->GetNumberOfComponents()) *
                                    static_cast<std::uint64_t>(m_vtk_array->GetDataTypeSize());
  return tuples == m_Tuples && tuple_bytes == this->element_size() &&
         (m_Tuples == 0 || m_vtk_array->GetVoidPointer(0) == m_Memory);
}

void VtkArrayImplBase::require_intact(const char* p_Operation) const
{
  KERNOS50_PRECONDITION(is_intact(),
                        "The VTK data array behind this array was changed through VTK, not through quill20: it holds "
                            << (m_vtk_array ? m_vtk_array->GetNumberOfTuples() : 0) << " tuple(s) of "
                            << (m_vtk_array ? m_vtk_array->GetNumberOfComponents() : 0) << " component(s) at "
                            << (m_vtk_array ? m_vtk_array->GetVoidPointer(0) : nullptr) << ", where quill20 left "
                            << m_Tuples << " at " << m_Memory << ". Its " << p_Operation
                            << " is refused: resizing, reallocating or emptying the VTK array (Initialize, "
                               "SetNumberOfTuples, Resize, SetArray, ...) cuts it off from every quill20 array on "
                               "it; resize the quill20 array instead.");
}

void* VtkArrayImplBase::get_data(core::AnyHandle& p_Shape)
{
  require_intact("use");
  p_Shape = core::AnyHandle(core::handle_t(m_Tuples));
  return m_Tuples == 0 ? nullptr : m_Memory;
}

core::IArrayImplFactory& VtkArrayImplBase::factory() const
{
  return vtk_array_impl_factory();
}

void VtkArrayImplBase::initialize(vtkDataArray* p_vtk_array, int p_number_of_components)
{
  KERNOS50_PRECONDITION(m_vtk_array == 0, "Trying to initialize a VtkArrayImpl already initialized.");
  KERNOS50_PRECONDITION(p_vtk_array != nullptr, "Trying to initialize a VtkArrayImpl with no VTK array.");
  m_vtk_array = p_vtk_array;
  m_vtk_array->Register(nullptr);
  m_vtk_array->SetNumberOfComponents(p_number_of_components);
  adopt_memory();
}

void VtkArrayImplBase::adopt_memory()
{
  unguard(m_Memory);
  m_Memory = m_vtk_array->GetVoidPointer(0);
  m_Tuples = static_cast<std::uint64_t>(m_vtk_array->GetNumberOfTuples());
  guard(m_Memory);
  m_vtk_array->SetArrayFreeFunction(&free_unless_guarded);
}

void VtkArrayImplBase::do_resize(std::uint64_t p_NewSize)
{
  require_intact("resize");
  ensure_allocatable(p_NewSize, this->element_size());
  // Spare memory of an empty storage that VTK dropped or replaced: nothing points into it.
  if (m_Memory != m_vtk_array->GetVoidPointer(0)) {
    unguard(m_Memory);
    core::free_advised(m_Memory);
    m_Memory = nullptr;
  }
  // For the resize VTK owns the memory, so that it grows it in place where it can: a kept block becomes
  // plain malloc memory.
  core::disown_advised(m_Memory);
  m_vtk_array->SetArrayFreeFunction(std::free);
  try {
    const vtkIdType tuples = static_cast<vtkIdType>(p_NewSize);
    m_vtk_array->Resize(tuples);
    if (p_NewSize != 0 && m_vtk_array->GetVoidPointer(0) == nullptr) throw std::bad_alloc();
    m_vtk_array->SetNumberOfTuples(tuples);
  } catch (...) {
    adopt_memory();
    throw;
  }
  adopt_memory();
  advise_new_memory();
}

void VtkArrayImplBase::set_number_of_tuples(std::uint64_t p_Size)
{
  ensure_allocatable(p_Size, this->element_size());
  const std::size_t bytes = static_cast<std::size_t>(p_Size * this->element_size());
  if (bytes >= core::smallest_kept_block) {
    // A large array may take a block an earlier step gave back, not fresh pages.
    hold_values(core::allocate_advised(bytes), p_Size);
    return;
  }
  m_vtk_array->SetArrayFreeFunction(std::free);
  m_vtk_array->SetNumberOfTuples(static_cast<vtkIdType>(p_Size));
  adopt_memory();
  advise_new_memory();
}

void VtkArrayImplBase::set_zeroed_tuples(std::uint64_t p_Size)
{
  ensure_allocatable(p_Size, this->element_size());
  if (p_Size == 0) return;
  const std::size_t bytes = static_cast<std::size_t>(p_Size * this->element_size());
  hold_values(core::allocate_advised_zeroed(bytes), p_Size);
}

void VtkArrayImplBase::hold_values(void* p_Values, std::uint64_t p_Size)
{
  // Held by VTK, owned by the storage.
  m_vtk_array->SetVoidArray(p_Values, static_cast<vtkIdType>(p_Size) * m_vtk_array->GetNumberOfComponents(), 1);
  adopt_memory();
}

void VtkArrayImplBase::advise_new_memory()
{
  // VTK allocates with malloc and leaves new tuples untouched: the advice reaches them before their
  // first write.
  if (m_Tuples > 0) core::advise_huge_pages(m_Memory, static_cast<std::size_t>(m_Tuples) * this->element_size());
}

void VtkArrayImplBase::deep_copy_into(VtkArrayImplBase& p_Copy) const
{
  require_intact("copy");
  p_Copy.m_vtk_array->SetArrayFreeFunction(std::free);
  p_Copy.m_vtk_array->DeepCopy(m_vtk_array);
  p_Copy.adopt_memory();
}

namespace detail {

namespace {

// The sized create keeps to the tuple sizes the in-memory factory offers; the empty one takes all nine.
constexpr bool sized_create_accepts(int p_TupleSize)
{
  return p_TupleSize <= 4 || p_TupleSize == 9;
}

template <class V>
core::IArrayImpl* create_storage_of_class(core::ElementShape p_ElementShape, std::uint64_t p_Size, bool p_Sized)
{
#define QUILL20_DETAIL_TRY_TUPLE_SIZE(N, ...)                                                   \
  if (p_ElementShape == core::ElementShape(N, 1) && (!p_Sized || sized_create_accepts(N))) \
    return p_Sized ? new VtkArrayImpl<V, N>(p_Size) : new VtkArrayImpl<V, N>();
  QUILL20_VTK_TUPLE_SIZES(QUILL20_DETAIL_TRY_TUPLE_SIZE)
#undef QUILL20_DETAIL_TRY_TUPLE_SIZE
  KERNOS50_PRECONDITION(0, "FromVectorArrayFactory: Can not create array whose element has this shape: "
                               << p_ElementShape << std::endl);
  return nullptr;
}

}  // namespace

core::IArrayImpl* create_vtk_storage(core::ScalarType p_scalar_type, core::ElementShape p_ElementShape,
                                     std::uint64_t p_Size, bool p_Sized)
{
  using core::stNotAScalar;
  KERNOS50_PRECONDITION(p_scalar_type != stNotAScalar, "Cannot make an Array of non-scalars from a generic Factory!");
  switch (p_scalar_type) {
#define QUILL20_DETAIL_CASE(index, V, C, st, ...) \
  case core::st: return create_storage_of_class<::V>(p_ElementShape, p_Size, p_Sized);
    QUILL20_VTK_ARRAY_CLASSES(QUILL20_DETAIL_CASE)
#undef QUILL20_DETAIL_CASE
    default: break;
  }
  KERNOS50_PRECONDITION(p_scalar_type <= stNotAScalar, "Unknown scalar type " << static_cast<int>(p_scalar_type) << ".");
  return nullptr;
}

}  // namespace detail

}  // namespace vtkex
}  // namespace quill20
