// Exception classes: pieces, readable what(), copies, catch types, lazily composed messages.
#include <gtest/gtest.h>

#include "kernos50/Exceptions.h"
#include "kernos50/TypeName.h"

namespace {

TEST(Exceptions, PreconditionCarriesEveryPieceAndReadsThemInWhat)
{
  const kernos50::IPreconditionException failure("a == b", "\nmessage text", "lib/File.inl", 42);
  EXPECT_EQ(failure.condition(), "a == b");
  EXPECT_EQ(failure.message(), "\nmessage text");
  EXPECT_EQ(failure.file(), "lib/File.inl");
  EXPECT_EQ(failure.line(), 42u);
  const std::string text = failure.what();
  for (const char* piece : {"Precondition", "a == b", "message text", "lib/File.inl:42"})
    EXPECT_NE(text.find(piece), std::string::npos) << piece << " missing from " << text;
}

TEST(Exceptions, CopiesKeepTheirTextAndCatchTypesFollowTheTree)
{
  try {
    const kernos50::IPosconditionException original("c", "m", "f", 7);
    throw kernos50::IPosconditionException(original);
  } catch (const kernos50::IHeaderException& e) {
    EXPECT_NE(std::string(e.what()).find("Postcondition failed: c"), std::string::npos);
  }
  try {
    throw kernos50::IHeaderException("only a message", "f", 1);
  } catch (const kernos50::IException& e) {
    EXPECT_EQ(std::string(e.what()), "only a message\n  at f:1");
  }
}

class Lazy : public kernos50::ExceptionBase {
 public:
  enum Mode { Write, Throw, FailStream };
  explicit Lazy(Mode p_Mode) : m_Mode(p_Mode) {}
  const char* text() const { return obtain_message(); }
  mutable int generated = 0;

 protected:
  void generate_message() const override
  {
    ++generated;
    if (m_Mode == Throw) throw std::logic_error("no message");
    message_stream() << "value " << 12;
    if (m_Mode == FailStream) message_stream().setstate(std::ios::badbit);
  }

 private:
  Mode m_Mode;
};

TEST(ExceptionBase, MessageIsGeneratedAfreshOnEveryRequest)
{
  const Lazy lazy(Lazy::Write);
  EXPECT_EQ(lazy.generated, 0);
  EXPECT_STREQ(lazy.text(), "value 12");
  EXPECT_STREQ(lazy.text(), "value 12");
  EXPECT_EQ(lazy.generated, 2);
  const Lazy copy(lazy);
  EXPECT_STREQ(copy.text(), "value 12");
}

TEST(ExceptionBase, FailedStreamGivesNullAndThrowingGeneratorPropagates)
{
  EXPECT_EQ(Lazy(Lazy::FailStream).text(), nullptr);
  EXPECT_THROW(Lazy(Lazy::Throw).text(), std::logic_error);
}

TEST(TypeName, DemanglesWithNamespacesAndTemplateArguments)
{
  EXPECT_EQ(kernos50::type_name<kernos50::IPreconditionException>(), "kernos50::IPreconditionException");
  EXPECT_EQ((kernos50::type_name<std::pair<int, double>>()), "std::pair<int, double>");
  const kernos50::IException& base = kernos50::IPosconditionException("c", "m", "f", 1);
  EXPECT_EQ(kernos50::dynamic_type_name(base), "kernos50::IPosconditionException");
}

}  // namespace
