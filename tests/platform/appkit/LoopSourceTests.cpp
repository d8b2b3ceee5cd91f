// Work handed to GLib's loop: a pending run goes with its owner and is replaced by a new one, a
// run may start the next one from inside itself, and runSoon never runs inside the caller's call.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "platform/appkit/LoopSource.h"

namespace appkit {
namespace {

using namespace std::chrono_literals;

// Turns the main context until `done` holds or `limit` has passed.
template <typename Done>
bool turnUntil(Done done, std::chrono::milliseconds limit = 2000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) g_main_context_iteration(nullptr, FALSE);
  return done();
}

TEST(LoopSource, APendingRunIsReplacedAndGoesWithItsOwner) {
  std::vector<int> ran;
  {
    LoopSource gone;
    gone.after(1ms, [&] { ran.push_back(0); });
    EXPECT_TRUE(gone.pending());
  }
  LoopSource later;
  later.after(1ms, [&] { ran.push_back(1); });
  later.after(1ms, [&] { ran.push_back(2); });
  ASSERT_TRUE(turnUntil([&] { return !later.pending(); }));
  turnUntil([] { return false; }, 20ms);
  EXPECT_EQ(ran, std::vector<int>{2}) << "the replaced run and the gone owner's run never run";
}

TEST(LoopSource, ARunMayStartTheNextOrLetItsOwnerGo) {
  int runs = 0;
  LoopSource again;
  std::function<void()> step = [&] {
    if (++runs < 3) again.after(0ms, step);
  };
  again.after(0ms, step);
  ASSERT_TRUE(turnUntil([&] { return runs == 3; }));
  EXPECT_FALSE(again.pending());

  auto owner = std::make_unique<LoopSource>();
  int ticks = 0;
  owner->every(1ms, [&] {
    if (++ticks == 2) owner.reset();  // the owner goes from inside its own repeating run
  });
  ASSERT_TRUE(turnUntil([&] { return owner == nullptr; }));
  turnUntil([] { return false; }, 20ms);
  EXPECT_EQ(ticks, 2);
}

TEST(LoopSource, RunSoonRunsOnceAfterTheCallersCall) {
  int runs = 0;
  runSoon([&] { ++runs; });
  EXPECT_EQ(runs, 0);
  ASSERT_TRUE(turnUntil([&] { return runs == 1; }));
  turnUntil([] { return false; }, 20ms);
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace appkit
