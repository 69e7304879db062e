#include "control/rate_limit.h"

#include <gtest/gtest.h>

namespace velnaro {
namespace {

using namespace std::chrono_literals;

TEST(RateLimit, OneTurnPerIntervalCountedFromTheLastTurnTaken) {
  RateLimit limit(1s);
  const RateLimit::Clock::time_point t0{};
  EXPECT_TRUE(limit.TryTake(t0 + 5s));
  EXPECT_FALSE(limit.TryTake(t0 + 5s));
  EXPECT_FALSE(limit.TryTake(t0 + 5s + 999ms));
  // A refused ask does not push the next turn back.
  EXPECT_TRUE(limit.TryTake(t0 + 6s));
  EXPECT_FALSE(limit.TryTake(t0 + 6s + 500ms));
  EXPECT_TRUE(limit.TryTake(t0 + 60s));

  RateLimit none(0s);
  EXPECT_TRUE(none.TryTake(t0));
  EXPECT_TRUE(none.TryTake(t0));
}

}  // namespace
}  // namespace velnaro
