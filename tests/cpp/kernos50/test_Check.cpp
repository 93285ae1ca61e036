// The check macro: condition text as written, message streamed only on failure, file text, line.
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

TEST(Check, FileTextDropsOnlyHeaderAndSourceSuffixes)
{
  using kernos50::detail::file_text;
  EXPECT_EQ(file_text("quill20/core/grid_function/GenGridFunction.h"), "quill20/core/grid_function/GenGridFunction");
  EXPECT_EQ(file_text("vireo20/sci/mp_upscaling.cpp"), "vireo20/sci/mp_upscaling");
  EXPECT_EQ(file_text("quill20/core/array/Array1D.inl"), "quill20/core/array/Array1D.inl");
  EXPECT_EQ(file_text("quill20/core/array/Array1D.ext"), "quill20/core/array/Array1D.ext");
  EXPECT_EQ(file_text("kernos50singleton/Singleton"), "kernos50singleton/Singleton");
}

}  // namespace
