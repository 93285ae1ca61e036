// The registry lives in this one library, so every module that links it sees the same map.
#include "kernos50singleton/Registry.h"

#include <cstdlib>
#include <new>

namespace kernos50 {
namespace singleton {

std::map<std::string, void*>& singleton_registry_instance()
{
  // Never destroyed: modules release their singletons at exit in any order, after static
  // destructors may have run.
  static auto* registry = new std::map<std::string, void*>();
  return *registry;
}

void* request_memory_for_singleton_registry_data(std::size_t p_Size)
{
  void* block = std::calloc(1, p_Size);
  if (!block) throw std::bad_alloc();
  return block;
}

void free_memory_for_singleton_registry_data(void* p_Block) { std::free(p_Block); }

}  // namespace singleton
}  // namespace kernos50
