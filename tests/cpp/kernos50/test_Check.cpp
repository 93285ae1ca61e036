// The check macro: condition text as written, message streamed only on failure, file text, line. How a
// file text drops a .h/.cpp suffix and keeps .inl/.ext is checked by every test of an exact file text.
#include <gtest/gtest.h>

#include "kernos50/Check.h"
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
  EXPECT_TRUE(e.file().size() > 28 && e.file().compare(e.file().size() - 29, 29, "tests/cpp/kernos50/test_Check") == 0)
      << e.file();
  EXPECT_EQ(expect_throw<Pre>([&] { KERNOS50_PRECONDITION_EQUAL(m_Kind, htOther, "x"); }).condition(),
            "(m_Kind) == (htOther)");
  EXPECT_THROW(KERNOS50_POSCONDITION(m_Kind == htOther, ""), kernos50::IPosconditionException);
}

}  // namespace
