// Exception classes (pieces, readable what(), catch types, lazily composed messages) and the check macros
// that raise them: condition text as written, message streamed only on failure, file text, line. How a
// file text drops a .h/.cpp suffix and keeps .inl/.ext is checked by every test of an exact file text.
#include <gtest/gtest.h>

#include "kernos50/Check.h"
#include "kernos50/Exceptions.h"
#include "kernos50/TypeName.h"
#include "support/ExpectFailure.h"

namespace {

using testing_support::expect_throw;

TEST(Check, PassingCheckEvaluatesItsConditionOnceAndNeverItsMessage)
{
  int evaluations = 0, message_builds = 0;
  KERNOS50_PRECONDITION(++evaluations == 1, "never " << ++message_builds);
  EXPECT_EQ(evaluations, 1);
  EXPECT_EQ(message_builds, 0);
}

TEST(Check, FailureCarriesConditionTextMessageFileTextAndLine)
{
  using Pre = kernos50::IPreconditionException;
  const int n = 3, m_Kind = 1, htOther = 2;
  const std::uint64_t check_line = __LINE__ + 2;
  const auto e =
      expect_throw<Pre>([&] { KERNOS50_PRECONDITION(n % 2 == 0 || !true, std::endl << "size " << n << " is odd."); });
  EXPECT_EQ(e.condition(), "n % 2 == 0 || !true");
  EXPECT_EQ(e.message(), "\nsize 3 is odd.");
  EXPECT_EQ(e.line(), check_line);
  const std::string file = "tests/cpp/kernos50/test_Exceptions";
  EXPECT_TRUE(e.file().size() >= file.size() && e.file().compare(e.file().size() - file.size(), file.size(), file) == 0)
      << e.file();
  EXPECT_EQ(expect_throw<Pre>([&] { KERNOS50_PRECONDITION_EQUAL(m_Kind, htOther, "x"); }).condition(),
            "(m_Kind) == (htOther)");
  EXPECT_THROW(KERNOS50_POSCONDITION(m_Kind == htOther, ""), kernos50::IPosconditionException);
}

TEST(Exceptions, ContractFailureCarriesEveryPieceAndACopyKeepsThem)
{
  try {
    throw kernos50::IPosconditionException(kernos50::IPosconditionException("a == b", "\nmessage", "lib/F.inl", 42));
  } catch (const kernos50::IHeaderException& e) {
    const auto& failure = dynamic_cast<const kernos50::IPosconditionException&>(e);
    EXPECT_EQ(failure.condition(), "a == b");
    EXPECT_EQ(failure.message(), "\nmessage");
    EXPECT_EQ(failure.file(), "lib/F.inl");
    EXPECT_EQ(failure.line(), 42u);
    EXPECT_STREQ(e.what(), "Postcondition failed: a == b\n\nmessage\n  at lib/F.inl:42");
  }
  EXPECT_THROW(throw kernos50::IPreconditionException("c", "m", "f", 1), std::exception);
  EXPECT_STREQ(kernos50::IHeaderException("only a message", "f", 1).what(), "only a message\n  at f:1");
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

TEST(ExceptionBase, MessageIsMadeAfreshOnRequestNullOnStreamFailureAndGeneratorErrorsPropagate)
{
  const Lazy lazy(Lazy::Write);
  EXPECT_EQ(lazy.generated, 0);
  EXPECT_STREQ(lazy.text(), "value 12");
  EXPECT_STREQ(Lazy(lazy).text(), "value 12");
  EXPECT_STREQ(lazy.text(), "value 12");
  EXPECT_EQ(lazy.generated, 2);
  EXPECT_EQ(Lazy(Lazy::FailStream).text(), nullptr);
  EXPECT_THROW(Lazy(Lazy::Throw).text(), std::logic_error);
}

TEST(TypeName, DemanglesStaticAndDynamicTypes)
{
  EXPECT_EQ((kernos50::type_name<std::pair<int, double>>()), "std::pair<int, double>");
  const kernos50::IException& base = kernos50::IPosconditionException("c", "m", "f", 1);
  EXPECT_EQ(kernos50::dynamic_type_name(base), "kernos50::IPosconditionException");
}

}  // namespace
