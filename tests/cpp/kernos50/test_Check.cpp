// The check macro: condition text as written, message streamed only on failure, file text, line. How a
// file text drops a .h/.cpp suffix and keeps .inl/.ext is checked by every test of an exact file text.
#include <gtest/gtest.h>

#include "kernos50/Check.h"

namespace {

TEST(Check, PassingCheckEvaluatesItsConditionOnceAndNeverItsMessage)
{
  int evaluations = 0, message_builds = 0;
  KERNOS50_PRECONDITION(++evaluations == 1, "never " << ++message_builds);
  EXPECT_EQ(evaluations, 1);
  EXPECT_EQ(message_builds, 0);
}

TEST(Check, FailureCarriesConditionTextMessageFileTextAndLine)
{
  const int size = 3, m_Kind = 1, htOther = 2;
  const std::uint64_t check_line = __LINE__ + 2;
  try {
    KERNOS50_PRECONDITION(size % 2 == 0 || !true, std::endl << "size " << size << " is odd.");
    FAIL();
  } catch (const kernos50::IPreconditionException& e) {
    EXPECT_EQ(e.condition(), "size % 2 == 0 || !true");
    EXPECT_EQ(e.message(), "\nsize 3 is odd.");
    EXPECT_EQ(e.line(), check_line);
    EXPECT_TRUE(e.file().size() > 28 && e.file().compare(e.file().size() - 29, 29, "tests/cpp/kernos50/test_Check") == 0)
        << e.file();
  }
  try {
    KERNOS50_PRECONDITION_EQUAL(m_Kind, htOther, "x");
  } catch (const kernos50::IPreconditionException& e) {
    EXPECT_EQ(e.condition(), "(m_Kind) == (htOther)");
  }
  EXPECT_THROW(KERNOS50_POSCONDITION(m_Kind == htOther, ""), kernos50::IPosconditionException);
}

}  // namespace
