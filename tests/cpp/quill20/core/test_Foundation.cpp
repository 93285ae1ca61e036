// The foundation's printing and errors: RigidVector's one-line form (what the NumPy views of vector
// arrays in the Python tests rely on), handle kinds and sets, named objects, data errors with their
// fallback texts and catch types, and availability failures.
#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "quill20/core/IAvailabilityException.h"
#include "quill20/core/Quill20Error.h"
#include "quill20/core/handle/Handles.h"
#include "quill20/core/pattern/ISciObject.h"
#include "quill20/vectors/RigidVector.h"
#include "support/ExpectFailure.h"

namespace {

using namespace quill20::core;
using quill20::mtm::RigidVector;
using testing_support::printed;

TEST(RigidVector, PrintsComponentsAsNumbersAndBreaksMatricesAfterFullRows)
{
  EXPECT_EQ(printed(RigidVector<2, unsigned int>(0u, 4294967295u)), "[0, 4294967295]");
  EXPECT_EQ(printed(RigidVector<2, signed char>(-1, 7)), "[-1, 7]");
  const unsigned matrix[] = {1, 2, 3, 4};
  std::ostringstream stream;
  quill20::mtm::print_components(stream, matrix, 4, 2);
  EXPECT_EQ(stream.str(), "[1, 2,\n3, 4]");
}

TEST(AnyHandle, HoldsEachKindPrintsItAndRefusesAReadAsAnotherKind)
{
  const AnyHandle h1(handle_t(7)), h2(Handle2(3u, 4u)), h3(Handle3(1, 2, 3)), h4(Handle4(1, 2, 3, 4));
  EXPECT_EQ(h1.get<Handle1>(), 7u);
  EXPECT_EQ(h3.get<Handle3>(), Handle3(1, 2, 3));
  EXPECT_EQ(h2.element_count() * h4.element_count(), 12u * 24u);
  EXPECT_EQ(printed(h1) + printed(h3) + printed(AnyHandle(Inf<handle_t>())), "7[1, 2, 3]18446744073709551615");
  // Reads as Handle1 and Handle2 have their checks where arrays and topologies make them.
  const char* file = "quill20/core/handle/Handles";
  EXPECT_PRECONDITION_FAILURE(h2.get<Handle3>(), "(m_HandleType) == (htHandle3)",
                              "\nGetting the wrong type: data has type 'Handle2', but trying to get with type 'Handle3'.", file);
  EXPECT_PRECONDITION_FAILURE(h3.get<Handle4>(), "(m_HandleType) == (htHandle4)",
                              "\nGetting the wrong type: data has type 'Handle3', but trying to get with type 'Handle4'.", file);
}

// Handle names and infinite counts are checked in the wrong-kind and description texts that print them.
TEST(Handles, ValidityAndAcceptedSets)
{
  EXPECT_TRUE(is_valid_handle(18446744073709551614ull));
  EXPECT_EQ(printed(AcceptedHandles{0}), "none");
  EXPECT_EQ(printed(AcceptedHandles{AllHandlesTrait::value}), "Handle1, Handle2, Handle3, Handle4");
  EXPECT_EQ(printed(AcceptedHandles{GenAcceptableHandlesTraitPlusHandle1<Handle3>::value}), "Handle1, Handle3");
  EXPECT_EQ(GenAcceptableHandlesTraitPlusHandle1<InvalidHandle>::value, 1u);
  EXPECT_FALSE((GenAcceptableHandlesTrait<handle_t, void, void, void>::accepts<Handle2>::value));
}

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
  std::ostringstream stream;
  thing.print(stream, "> ", "Label");
  EXPECT_EQ(stream.str(), "> Label\n>   Name: \"abc\"\n>   C++ Type: (anonymous namespace)::Thing\n>   Mem. Location: " +
                              address + "\n>   Information: a note\n");
  EXPECT_TRUE(stream.flags() & std::ios::showbase);
}

// Message generators that fail, to reach the fixed fallback texts.
template <class Base>
class Failing : public Base {
 public:
  using Base::Base;
  bool throw_instead = false;

 protected:
  void generate_message() const override
  {
    if (throw_instead) throw 1;
    this->message_stream().setstate(std::ios::failbit);
  }
};

// The messages themselves are checked where the array, grid-function and topology tests raise them.
TEST(Quill20Error, FallbackTextsWhenTheMessageCannotBeMade)
{
  Failing<OutOfRangeError> range(handle_t(1), handle_t(0), handle_t(1));
  EXPECT_STREQ(range.what(), "Generated null message for exception OutOfRangeError");
  range.throw_instead = true;
  EXPECT_STREQ(range.what(), "Caught exception while generating the message for exception OutOfRangeError");
  Failing<WrongNumberOfVerticesError> vertices(1, 2);
  EXPECT_STREQ(vertices.what(), "Generated null message for exception WrongNumberOfVerticesError");
  vertices.throw_instead = true;
  EXPECT_STREQ(vertices.what(), "Caught exception while generating the message for exception WrongNumberOfVerticesError");
}

TEST(Quill20Error, CaughtAsEachFaceButNotAsAHeaderException)
{
  try {
    throw OutOfRangeError(handle_t(2), handle_t(0), handle_t(1));
  } catch (const kernos50::ExceptionBase& e) {
    EXPECT_STREQ(OutOfRangeError(dynamic_cast<const OutOfRangeError&>(e)).what(), "Index (2) out of range (0 <= index < 1).");
    EXPECT_EQ(dynamic_cast<const kernos50::IHeaderException*>(&e), nullptr);
  }
  EXPECT_THROW(throw WrongNumberOfVerticesError(0, 0), Quill20Error);
}

struct Shape {
  virtual ~Shape() = default;
  void fixed() const { QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, ": " << std::endl << "tail"); }
};
struct Square : Shape {};

TEST(IAvailabilityException, NamesSignatureWordingRunTimeTypeAndFile)
{
  const auto e = testing_support::expect_throw<IAvailabilityException>([] { Square().fixed(); });
  EXPECT_EQ(e.message(), "void {anonymous}::Shape::fixed() const is not available for (anonymous namespace)::Square: \ntail");
  EXPECT_NE(e.file().find("tests/cpp/quill20/core/test_Foundation"), std::string::npos);
}

}  // namespace
