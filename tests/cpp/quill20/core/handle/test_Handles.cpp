// Handle kinds, AnyHandle's kind check, validity, accepted sets, counts and their printing.
#include <sstream>

#include <gtest/gtest.h>

#include "quill20/core/handle/Handles.h"
#include "support/ExpectFailure.h"

namespace {

using namespace quill20::core;

template <class V>
std::string printed(const V& p_Value)
{
  std::ostringstream stream;
  stream << p_Value;
  return stream.str();
}

TEST(AnyHandle, HoldsEachKindWithItsTagAndPrintsIt)
{
  const AnyHandle h1(handle_t(7)), h2(Handle2(3u, 4u)), h3(Handle3(1, 2, 3)), h4(Handle4(1, 2, 3, 4));
  EXPECT_EQ(h1.get<Handle1>(), 7u);
  EXPECT_EQ(h3.get<Handle3>(), Handle3(1, 2, 3));
  EXPECT_EQ(h2.element_count() * h4.element_count(), 12u * 24u);
  EXPECT_EQ(printed(h1) + printed(h3), "7[1, 2, 3]");
  EXPECT_EQ(printed(AnyHandle(Handle2(0u, 4294967295u))), "[0, 4294967295]");
  EXPECT_EQ(printed(AnyHandle(Inf<handle_t>())), "18446744073709551615");
}

TEST(AnyHandle, ReadingAnotherKindFailsNamingBothKinds)
{
  const AnyHandle h1(handle_t(7)), h2(Handle2(1u, 2u)), h3(Handle3(1, 2, 3)), h4(Handle4(1, 2, 3, 4));
  const char* file = "quill20/core/handle/Handles";
  EXPECT_PRECONDITION_FAILURE(h1.get<Handle2>(), "(m_HandleType) == (htHandle2)",
                              "\nGetting the wrong type: data has type 'Handle1', but trying to get with type 'Handle2'.", file);
  EXPECT_PRECONDITION_FAILURE(h4.get<Handle1>(), "(m_HandleType) == (htHandle1)",
                              "\nGetting the wrong type: data has type 'Handle4', but trying to get with type 'Handle1'.", file);
  EXPECT_PRECONDITION_FAILURE(h2.get<Handle3>(), "(m_HandleType) == (htHandle3)",
                              "\nGetting the wrong type: data has type 'Handle2', but trying to get with type 'Handle3'.", file);
  EXPECT_PRECONDITION_FAILURE(h3.get<Handle4>(), "(m_HandleType) == (htHandle4)",
                              "\nGetting the wrong type: data has type 'Handle3', but trying to get with type 'Handle4'.", file);
}

TEST(Handles, ValidityCountsNamesSetsAndLocations)
{
  EXPECT_FALSE(is_valid_handle(18446744073709551615ull));
  EXPECT_TRUE(is_valid_handle(18446744073709551614ull));
  EXPECT_EQ(printed(ElementCount{Inf<handle_t>()}) + printed(ElementCount{12}), "(infinity)12");
  EXPECT_STREQ(handle_type_name(17), "Handle4");
  EXPECT_STREQ(handle_name<Handle2>(), "Handle2");
  EXPECT_EQ(printed(AcceptedHandles{0}), "none");
  EXPECT_EQ(printed(AcceptedHandles{AllHandlesTrait::value}), "Handle1, Handle2, Handle3, Handle4");
  EXPECT_EQ(printed(AcceptedHandles{GenAcceptableHandlesTraitPlusHandle1<Handle3>::value}), "Handle1, Handle3");
  EXPECT_EQ(GenAcceptableHandlesTraitPlusHandle1<InvalidHandle>::value, 1u);
  EXPECT_FALSE((GenAcceptableHandlesTrait<handle_t, void, void, void>::accepts<Handle2>::value));
  EXPECT_EQ(onFace + onSharedVertex, 7);
}

}  // namespace
