// Named objects: accessors and the printed description.
#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "quill20/core/pattern/ISciObject.h"
#include "support/ExpectFailure.h"

namespace {

using namespace quill20::core;
using testing_support::printed;

struct Thing : ISciObject {};
struct Note : IInformation {
  std::string str() const override { return "a note"; }
};

TEST(ISciObject, PrintsNameTypeAddressAndInformationWithIndentAndLabel)
{
  Thing thing;
  const std::string address = printed(static_cast<const void*>(&thing));
  EXPECT_EQ(thing.str(), "SciObject\n  Name: (anonymous)\n  C++ Type: (anonymous namespace)::Thing\n  Mem. Location: " +
                             address + "\n  Information: <null>\n");
  thing.set_name("abc");
  thing.set_name(thing.get_name());
  thing.set_information(boost::make_shared<Note>());
  EXPECT_EQ(thing.get_name(), "abc");
  std::ostringstream stream;
  thing.print(stream, "> ", "Label");
  EXPECT_EQ(stream.str(), "> Label\n>   Name: \"abc\"\n>   C++ Type: (anonymous namespace)::Thing\n>   Mem. Location: " +
                              address + "\n>   Information: a note\n");
  EXPECT_TRUE(stream.flags() & std::ios::showbase);
}

}  // namespace
