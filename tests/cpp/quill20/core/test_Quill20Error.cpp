// Data errors: messages, fallback texts and catch types; availability failures.
#include <gtest/gtest.h>

#include "quill20/core/IAvailabilityException.h"
#include "quill20/core/Quill20Error.h"
#include "support/ExpectFailure.h"

namespace {

using namespace quill20::core;

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
  EXPECT_NE(e.file().find("tests/cpp/quill20/core/test_Quill20Error"), std::string::npos);
}

}  // namespace
