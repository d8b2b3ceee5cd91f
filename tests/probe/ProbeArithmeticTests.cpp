// The wait interval from a millisecond timeout, and whole milliseconds from clock ticks.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "tests/probe/FakeDarwin.h"
#include "tests/probe/ProbeTestAccess.h"

namespace {

using Access = NativeTcpPingTestAccess;

TEST(WaitInterval, TruncatesTowardZeroWithTheRemainderTakingTheTimeoutsSign) {
  struct Case {
    int64_t timeoutMs;
    int64_t seconds;
    int64_t micros;
  };
  const Case cases[] = {
      {5000, 5, 0},
      {1500, 1, 500000},
      {999, 0, 999000},
      {0, 0, 0},
      {1, 0, 1000},
      {-1, 0, -1000},
      {-1500, -1, -500000},
      {86'400'000LL * 3 + 7, 259200, 7000},  // days stay days
      {4'294'967'301LL, 4'294'967, 301000},  // past 32 bits of milliseconds
      {std::numeric_limits<int64_t>::max(), 9'223'372'036'854'775LL, 807000},
      {std::numeric_limits<int64_t>::min(), -9'223'372'036'854'775LL, -808000},
  };
  for (const Case& c : cases) {
    timeval interval = Access::waitInterval(c.timeoutMs);
    EXPECT_EQ(interval.tv_sec, c.seconds) << c.timeoutMs;
    EXPECT_EQ(interval.tv_usec, c.micros) << c.timeoutMs;
  }
}

TEST(ElapsedMillis, MultipliesThenDividesInUnsigned64BitsAndRoundsDown) {
  struct Case {
    const char* what;
    uint32_t numer, denom;
    uint64_t start, now;
    int64_t expected;
  };
  const Case cases[] = {
      {"2999999 ticks at 1/1", 1, 1, 1000, 1000 + 2'999'999, 2},
      // Rows that only multiplying before dividing gets right: 125/3 cannot tell the orders apart
      // (125 divides a million), so these use ratios whose denominator does not divide out.
      {"666667 ticks at 3/2 are 1000000 ns (dividing first: 999999, so 0)", 3, 2, 0, 666'667, 1},
      {"a 24 MHz clock, unreduced: 24000 ticks are 1 ms (dividing first: 0)", 1'000'000'000, 24'000'000, 0, 24'000, 1},
      {"a 24 MHz clock, unreduced: 119999 ticks are 4.99996 ms", 1'000'000'000, 24'000'000, 0, 119'999, 4},
      {"72000 ticks at 125/3 are 3000000 ns", 125, 3, 0, 72'000, 3},
      {"0.9 ms", 1, 1, 0, 900'000, 0},
      {"12.99 ms", 1, 1, 7, 7 + 12'990'000, 12},
      {"nothing elapsed", 1, 1, 42, 42, 0},
      {"the tick counter wraps between start and now", 1, 1, std::numeric_limits<uint64_t>::max() - 999'999, 2'000'000,
       3},
      {"the product wraps in 64 bits before the division", 8, 1, 0, uint64_t{1} << 61, 0},
      {"a ratio whose product fits", 1'000'000, 1, 0, 3, 3},
      {"a clock that cannot say its ratio counts nanoseconds", 5, 0, 0, 4'000'000, 4},
  };
  for (const Case& c : cases) {
    probe_testing::FakeDarwin fake;
    fake.numer = c.numer;
    fake.denom = c.denom;
    fake.now = c.now;
    EXPECT_EQ(Access::elapsedMillis(c.start), c.expected) << c.what;
  }
}

}  // namespace
