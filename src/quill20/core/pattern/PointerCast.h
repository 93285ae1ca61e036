// The checked cast of a shared pointer: an empty pointer passes as empty, one of another dynamic type
// is a precondition failure naming the three types.
#pragma once

#include <boost/shared_ptr.hpp>

#include "kernos50/Check.h"
#include "kernos50/TypeName.h"

namespace quill20 {
namespace core {

template <class Target, class Source>
boost::shared_ptr<Target> checked_pointer_cast(const boost::shared_ptr<Source>& p_Pointer)
{
  if (!p_Pointer) return {};
  boost::shared_ptr<Target> result = boost::dynamic_pointer_cast<Target>(p_Pointer);
  KERNOS50_RAISE_UNLESS(::kernos50::IPreconditionException, "", result,
                        "Invalid pointer cast when trying to cast from \"" << kernos50::type_name<Source>() << "\" to \""
                                                                           << kernos50::type_name<Target>() << "\"."
                                                                           << std::endl
                                                                           << "Real type: \""
                                                                           << kernos50::dynamic_type_name(*p_Pointer)
                                                                           << "\"." << std::endl);
  return result;
}

}  // namespace core
}  // namespace quill20
