// Demangling through the C++ ABI of the compiler.
#include "kernos50/TypeName.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

namespace kernos50 {

std::string type_name(const std::type_info& p_Type)
{
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(p_Type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && demangled ? std::string(demangled.get()) : std::string(p_Type.name());
}

}  // namespace kernos50
