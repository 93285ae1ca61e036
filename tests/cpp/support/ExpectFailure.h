// Test helpers: assertions on the pieces of a failure (condition text, message, file text), printed text.
#pragma once

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "kernos50/Exceptions.h"

namespace testing_support {

// Runs p_Action, expecting it to throw E; returns a copy of what it threw.
template <class E, class F>
E expect_throw(F&& p_Action)
{
  try {
    p_Action();
  } catch (const E& e) {
    return e;
  }
  throw std::runtime_error("expected exception was not thrown");
}

template <class V>
std::string printed(const V& p_Value)
{
  std::ostringstream stream;
  stream << p_Value;
  return stream.str();
}

}  // namespace testing_support

// A contract failure of kind E with exactly this condition, message and file text.
#define EXPECT_CONTRACT_FAILURE(E, statement, condition_text, message_text, file_text)                 \
  do {                                                                                                 \
    try {                                                                                              \
      statement;                                                                                       \
      ADD_FAILURE() << "no failure from: " #statement;                                                 \
    } catch (const E& failure_) {                                                                      \
      EXPECT_EQ(failure_.condition(), condition_text);                                                 \
      EXPECT_EQ(failure_.message(), message_text);                                                     \
      EXPECT_EQ(failure_.file(), file_text);                                                           \
    }                                                                                                  \
  } while (false)

#define EXPECT_PRECONDITION_FAILURE(statement, condition_text, message_text, file_text) \
  EXPECT_CONTRACT_FAILURE(::kernos50::IPreconditionException, statement, condition_text, message_text, file_text)
