#include <gtest/gtest.h>

#include "test_util.h"

namespace quarnel {
namespace {

// Ten million links: a recursive walk would need far more stack than any
// thread has. Shape {1} keeps each node to a few hundred bytes.
TEST(LongChainTest, TenMillionNodeChain) { test::run_chain(10'000'000); }

}  // namespace
}  // namespace quarnel
