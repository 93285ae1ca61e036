// The engine's one refusal helper: every argument it cannot use ends here, and reaches Python as a
// RuntimeError with exactly this text. Internal to libvireo20's engine sources.
#pragma once

#include <stdexcept>
#include <string>

#include <boost/assert/source_location.hpp>
#include <boost/throw_exception.hpp>

namespace vireo20 {
namespace ups {

// The file text the engine's located refusals carry: the module's, whichever of its files refused.
inline const char* engine_file_text() { return "vireo20/sci/mp_upscaling"; }

// Throws std::runtime_error("p_Method: p_Text"), or the bare p_Text without a method. A refusal given
// a location is thrown through boost::throw_exception, which records it beside the same text (callers
// that ask for the location get it; the type caught and the text are unchanged).
[[noreturn]] inline void refuse(const char* p_Method, const std::string& p_Text,
                                const boost::source_location& p_Where = boost::source_location())
{
  const std::runtime_error error(p_Method ? std::string(p_Method) + ": " + p_Text : p_Text);
  if (p_Where.line() != 0) boost::throw_exception(error, p_Where);
  throw error;
}

}  // namespace ups
}  // namespace vireo20

// Where a located refusal stands: the engine's file text, this line and the function's full signature.
#define VIREO20_ENGINE_HERE ::boost::source_location(::vireo20::ups::engine_file_text(), __LINE__, __PRETTY_FUNCTION__)
