// The process-wide singleton registry: one map shared by every module of the process, and memory
// blocks that outlive the module that asked for them.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "kernos50/Export.h"

namespace kernos50 {
namespace singleton {

KERNOS50_VISIBLE std::map<std::string, void*>& singleton_registry_instance();
KERNOS50_VISIBLE void* request_memory_for_singleton_registry_data(std::size_t p_Size);
KERNOS50_VISIBLE void free_memory_for_singleton_registry_data(void* p_Block);

}  // namespace singleton
}  // namespace kernos50
