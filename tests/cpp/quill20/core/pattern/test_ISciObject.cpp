// Named objects: accessors and the printed description.
#include <sstream>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "quill20/core/pattern/ISciObject.h"

namespace {

using namespace quill20::core;

struct Thing : ISciObject {};
struct Note : IInformation {
  std::string str() const override { return "a note"; }
};

std::string address_of(const void* p_Object)
{
  std::ostringstream stream;
  stream << std::showbase << p_Object;
  return stream.str();
}

TEST(ISciObject, AnonymousObjectWithoutInformation)
{
  const Thing thing;
  EXPECT_EQ(thing.str(), "SciObject\n  Name: (anonymous)\n  C++ Type: (anonymous namespace)::Thing\n  Mem. Location: " +
                             address_of(&thing) + "\n  Information: <null>\n");
}

TEST(ISciObject, NamedObjectWithInformationIndentAndLabel)
{
  Thing thing;
  thing.set_name("abc");
  thing.set_name(thing.get_name());
  thing.set_information(boost::make_shared<Note>());
  EXPECT_EQ(thing.get_name(), "abc");
  std::ostringstream stream;
  thing.print(stream, "> ", "Label");
  EXPECT_EQ(stream.str(), "> Label\n>   Name: \"abc\"\n>   C++ Type: (anonymous namespace)::Thing\n>   Mem. Location: " +
                              address_of(&thing) + "\n>   Information: a note\n");
  EXPECT_TRUE(stream.flags() & std::ios::showbase);
}

}  // namespace
