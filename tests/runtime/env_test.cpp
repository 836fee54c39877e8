#include "runtime/env.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(Env, ParseUnsignedAcceptsDigitsWithAnOptionalPlus) {
  EXPECT_EQ(parse_unsigned("4"), 4u);
  EXPECT_EQ(parse_unsigned("+2"), 2u);
  EXPECT_EQ(parse_unsigned("0"), 0u);
  EXPECT_EQ(parse_unsigned("007"), 7u);
  EXPECT_EQ(parse_unsigned("+"), std::nullopt);
  EXPECT_EQ(parse_unsigned(""), std::nullopt);
  EXPECT_EQ(parse_unsigned("-1"), std::nullopt);
  EXPECT_EQ(parse_unsigned("four"), std::nullopt);
  EXPECT_EQ(parse_unsigned(" 4"), std::nullopt);
  EXPECT_EQ(parse_unsigned("4 "), std::nullopt);
  EXPECT_EQ(parse_unsigned("++4"), std::nullopt);
  EXPECT_EQ(parse_unsigned("99999999999999999999999"), std::nullopt);  // overflow
}

TEST(Env, ExecutorThreadCount) {
  EXPECT_EQ(executor_thread_count(std::nullopt), 1u);
  EXPECT_EQ(executor_thread_count("4"), 4u);
  EXPECT_EQ(executor_thread_count("+2"), 2u);
  EXPECT_EQ(executor_thread_count("four"), 1u);
  EXPECT_EQ(executor_thread_count("+"), 1u);
  EXPECT_EQ(executor_thread_count("0"), 1u);
}

TEST(Env, BlockingThreadLimit) {
  EXPECT_EQ(blocking_thread_limit(std::nullopt), 500u);
  EXPECT_EQ(blocking_thread_limit("0"), 1u);
  EXPECT_EQ(blocking_thread_limit("20000"), 10000u);
  EXPECT_EQ(blocking_thread_limit("10000"), 10000u);
  EXPECT_EQ(blocking_thread_limit("10001"), 10000u);
  EXPECT_EQ(blocking_thread_limit("x"), 500u);
  EXPECT_EQ(blocking_thread_limit("+7"), 7u);
  EXPECT_EQ(blocking_thread_limit("1"), 1u);
}

}  // namespace
}  // namespace quorvel
