// The check macro: condition text as written, message streamed only on failure, file text, line.
#include <gtest/gtest.h>

#include "kernos50/Check.h"

namespace {

int evaluations = 0;
int counted(int p_Value)
{
  ++evaluations;
  return p_Value;
}

TEST(Check, PassingCheckEvaluatesConditionOnceAndNeverTheMessage)
{
  evaluations = 0;
  int message_builds = 0;
  KERNOS50_PRECONDITION(counted(1) == 1, "never " << ++message_builds);
  EXPECT_EQ(evaluations, 1);
  EXPECT_EQ(message_builds, 0);
}

TEST(Check, FailingPreconditionCarriesConditionTextMessageFileAndLine)
{
  const int size = 3;
  std::uint64_t expected_line = 0;
  try {
    expected_line = __LINE__ + 1;
    KERNOS50_PRECONDITION(size % 2 == 0 || !true, std::endl << "size " << size << " is odd.");
    FAIL();
  } catch (const kernos50::IPreconditionException& e) {
    EXPECT_EQ(e.condition(), "size % 2 == 0 || !true");
    EXPECT_EQ(e.message(), "\nsize 3 is odd.");
    EXPECT_EQ(e.line(), expected_line);
    const std::string suffix = "tests/cpp/kernos50/test_Check";
    ASSERT_GE(e.file().size(), suffix.size());
    EXPECT_EQ(e.file().substr(e.file().size() - suffix.size()), suffix);
  }
}

TEST(Check, EqualityFormAndPostconditionKind)
{
  const int m_Kind = 1, htOther = 2;
  try {
    KERNOS50_PRECONDITION_EQUAL(m_Kind, htOther, "x");
    FAIL();
  } catch (const kernos50::IPreconditionException& e) {
    EXPECT_EQ(e.condition(), "(m_Kind) == (htOther)");
  }
  EXPECT_THROW(KERNOS50_POSCONDITION(m_Kind == htOther, ""), kernos50::IPosconditionException);
}

struct FileTextCase {
  const char* path;
  const char* text;
};
class FileText : public ::testing::TestWithParam<FileTextCase> {};

TEST_P(FileText, StripsOnlyHeaderAndSourceSuffixes)
{
  EXPECT_EQ(kernos50::detail::file_text(GetParam().path), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Suffixes, FileText,
    ::testing::Values(FileTextCase{"quill20/core/grid_function/GenGridFunction.h", "quill20/core/grid_function/GenGridFunction"},
                      FileTextCase{"vireo20/sci/mp_upscaling.cpp", "vireo20/sci/mp_upscaling"},
                      FileTextCase{"quill20/core/array/Array1D.inl", "quill20/core/array/Array1D.inl"},
                      FileTextCase{"quill20/core/array/Array1D.ext", "quill20/core/array/Array1D.ext"},
                      FileTextCase{"kernos50singleton/Singleton", "kernos50singleton/Singleton"}));

}  // namespace
