// Handle kinds, AnyHandle's kind check, validity, accepted sets, counts and their printing.
#include <gtest/gtest.h>

#include "quill20/core/handle/Handles.h"
#include "support/ExpectFailure.h"

namespace {

using namespace quill20::core;
using testing_support::printed;

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

TEST(Handles, ValidityCountsNamesAndSets)
{
  EXPECT_TRUE(is_valid_handle(18446744073709551614ull));
  EXPECT_EQ(printed(ElementCount{Inf<handle_t>()}) + printed(ElementCount{12}), "(infinity)12");
  EXPECT_STREQ(handle_type_name(17), "Handle4");
  EXPECT_STREQ(handle_name<Handle2>(), "Handle2");
  EXPECT_EQ(printed(AcceptedHandles{0}), "none");
  EXPECT_EQ(printed(AcceptedHandles{AllHandlesTrait::value}), "Handle1, Handle2, Handle3, Handle4");
  EXPECT_EQ(printed(AcceptedHandles{GenAcceptableHandlesTraitPlusHandle1<Handle3>::value}), "Handle1, Handle3");
  EXPECT_EQ(GenAcceptableHandlesTraitPlusHandle1<InvalidHandle>::value, 1u);
  EXPECT_FALSE((GenAcceptableHandlesTrait<handle_t, void, void, void>::accepts<Handle2>::value));
}

}  // namespace
