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

TEST(AnyHandle, HoldsEachKindWithItsTag)
{
  EXPECT_EQ(sizeof(AnyHandle), 16u);
  const AnyHandle h1(handle_t(7)), h2(Handle2(3u, 4u)), h3(Handle3(1, 2, 3)), h4(Handle4(1, 2, 3, 4));
  EXPECT_EQ(h1.type(), htHandle1);
  EXPECT_EQ(h2.type(), htHandle2);
  EXPECT_EQ(h3.type(), htHandle3);
  EXPECT_EQ(h4.type(), htHandle4);
  EXPECT_EQ(h1.get<Handle1>(), 7u);
  EXPECT_EQ(h3.get<Handle3>(), Handle3(1, 2, 3));
  EXPECT_EQ(h2.element_count(), 12u);
  EXPECT_EQ(h4.element_count(), 24u);
  EXPECT_EQ(printed(h1), "7");
  EXPECT_EQ(printed(h3), "[1, 2, 3]");
  EXPECT_EQ(printed(AnyHandle(Handle2(0u, 4294967295u))), "[0, 4294967295]");
}

struct WrongKindCase {
  AnyHandle stored;
  HandleType requested;
  const char* condition;
  const char* message;
};

class AnyHandleWrongKind : public ::testing::TestWithParam<WrongKindCase> {};

TEST_P(AnyHandleWrongKind, FailsWithTheRequestedKindInTheCondition)
{
  AnyHandle handle = GetParam().stored;
  auto read = [&] {
    switch (GetParam().requested) {
      case htHandle1: handle.get<Handle1>(); break;
      case htHandle2: handle.get<Handle2>(); break;
      case htHandle3: handle.get<Handle3>(); break;
      case htHandle4: static_cast<const AnyHandle&>(handle).get<Handle4>(); break;
    }
  };
  EXPECT_PRECONDITION_FAILURE(read(), GetParam().condition, GetParam().message, "quill20/core/handle/Handles");
  EXPECT_EQ(handle.type(), GetParam().stored.type());
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, AnyHandleWrongKind,
    ::testing::Values(
        WrongKindCase{AnyHandle(handle_t(7)), htHandle2, "(m_HandleType) == (htHandle2)",
                      "\nGetting the wrong type: data has type 'Handle1', but trying to get with type 'Handle2'."},
        WrongKindCase{AnyHandle(Handle4(1, 2, 3, 4)), htHandle1, "(m_HandleType) == (htHandle1)",
                      "\nGetting the wrong type: data has type 'Handle4', but trying to get with type 'Handle1'."},
        WrongKindCase{AnyHandle(Handle2(1u, 2u)), htHandle3, "(m_HandleType) == (htHandle3)",
                      "\nGetting the wrong type: data has type 'Handle2', but trying to get with type 'Handle3'."},
        WrongKindCase{AnyHandle(Handle3(1, 2, 3)), htHandle4, "(m_HandleType) == (htHandle4)",
                      "\nGetting the wrong type: data has type 'Handle3', but trying to get with type 'Handle4'."}));

TEST(Handles, InfinityIsTheOnlyInvalidHandleAndPrintsAsInfiniteCount)
{
  EXPECT_EQ(Inf<handle_t>(), 18446744073709551615ull);
  EXPECT_FALSE(is_valid_handle(18446744073709551615ull));
  EXPECT_TRUE(is_valid_handle(18446744073709551614ull));
  EXPECT_EQ(printed(AnyHandle(Inf<handle_t>())), "18446744073709551615");
  EXPECT_EQ(printed(ElementCount{Inf<handle_t>()}), "(infinity)");
  EXPECT_EQ(printed(ElementCount{12}), "12");
}

TEST(Handles, NamesOfKindsAndValueTypes)
{
  EXPECT_STREQ(handle_type_name(htHandle3), "Handle3");
  EXPECT_STREQ(handle_type_name(17), "Handle4");
  EXPECT_STREQ(handle_name<Handle2>(), "Handle2");
  EXPECT_STREQ(handle_name<handle_t>(), "Handle1");
}

TEST(Handles, AcceptedSetsFromTraitsAndTheirPrinting)
{
  EXPECT_EQ(printed(AcceptedHandles{0}), "none");
  EXPECT_EQ(printed(AcceptedHandles{AllHandlesTrait::value}), "Handle1, Handle2, Handle3, Handle4");
  EXPECT_EQ(printed(AcceptedHandles{0b0101}), "Handle1, Handle3");
  using OnlyFirst = GenAcceptableHandlesTrait<handle_t, void, void, void>;
  EXPECT_EQ(OnlyFirst::value, 1u);
  EXPECT_TRUE(OnlyFirst::accepts<handle_t>::value);
  EXPECT_FALSE(OnlyFirst::accepts<Handle2>::value);
  EXPECT_EQ(GenAcceptableHandlesTraitPlusHandle1<Handle3>::value, 0b0101u);
  EXPECT_EQ(GenAcceptableHandlesTraitPlusHandle1<InvalidHandle>::value, 0b0001u);
}

TEST(Handles, LocationValues)
{
  EXPECT_EQ(onVertex, 0);
  EXPECT_EQ(onCell, 1);
  EXPECT_EQ(onFace, 3);
  EXPECT_EQ(onSharedVertex, 4);
  EXPECT_EQ(on::SharedVertex::value, onSharedVertex);
}

}  // namespace
