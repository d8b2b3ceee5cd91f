// Where the global queues' worker threads are started, and what becomes of work when none can be.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSLog.h"
#include "tests/platform/dispatch/BlockingTasks.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Retries of a refused thread start back off: 10 ms after the first refusal, twice as long after
// each one since, so the last three gaps take at least 10 + 20 + 40 ms. A loaded machine only
// stretches them; a retry that no longer backs off comes every 10 ms. Refusals that a submission
// causes come at once, so only the last ones (long after the submissions) count.
void expectBackingOff(const std::vector<Clock::time_point>& refusals) {
  if (refusals.size() < 4) return;  // too few to tell; the counts above speak for a stall
  const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(refusals.back() - refusals.end()[-4]);
  EXPECT_GE(span, 70ms) << "the last 3 of " << refusals.size() << " retries came within " << span.count() << " ms";
}

// Whoever submits, the thread starts happen elsewhere: a burst from the main thread costs it
// pushes and wake-ups only, and every task still gets a thread of its own.
TEST(GlobalQueueWorkers, AreNeverStartedOnTheSubmittersThread) {
  ASSERT_TRUE(isMainThread());
  std::mutex mutex;
  std::set<pid_t> startedFrom;
  ScopedWorkerStartGate watch([&] {
    std::lock_guard lock(mutex);
    startedFrom.insert(gettid());
    return 0;
  });

  constexpr int kTasks = 64;
  auto gate = std::make_shared<Gate>();
  auto& queue = DispatchQueue::global(DispatchQoS::userInitiated);
  for (int i = 0; i < kTasks; ++i) queue.async(gate->task(gate));
  // And from within work, which is a worker's own thread.
  queue.async([gate, &queue] { queue.async(gate->task(gate)); });
  const bool allRunning = gate->waitStarted(kTasks + 1, 3s);
  gate->release();
  EXPECT_TRUE(allRunning) << "only " << gate->startedNow() << " of " << kTasks + 1 << " ran at once";

  std::lock_guard lock(mutex);
  EXPECT_FALSE(startedFrom.empty());
  EXPECT_EQ(startedFrom.count(getpid()), 0u) << "a worker was started on the main thread";
  EXPECT_EQ(startedFrom.size(), 1u) << "one spawner starts them all";
}

// Under a process limit the work is not lost: it waits, one line says so, and it runs as soon as
// a thread can start, without anyone submitting again.
TEST(GlobalQueueWorkers, WorkWaitsOutAThreadShortageAndRunsWhenAStartSucceeds) {
  NSLogCapture log;
  testing_support::ThreadLimit limit;

  // More tasks than threads exist, so that at least two find no worker, idle or not.
  const int tasks = static_cast<int>(globalQueueThreadCount()) + 2;
  auto gate = std::make_shared<Gate>();
  for (int i = 0; i < tasks; ++i) DispatchQueue::global(DispatchQoS::background).async(gate->task(gate));
  const auto submitted = Clock::now();

  // Retries back off: after 400 ms there have been a handful, not a busy loop.
  std::this_thread::sleep_for(400ms);
  EXPECT_LT(gate->startedNow(), tasks);
  EXPECT_GE(limit.refused(), 2);
  EXPECT_LE(limit.refused(), 40);
  expectBackingOff(limit.refusedSince(submitted));
  const std::string shortage = "[dispatch] ⚠️ cannot start a worker thread: errno=" + std::to_string(EAGAIN);
  auto shortageLines = [&] {
    auto lines = log.lines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(shortage); });
  };
  EXPECT_EQ(shortageLines(), 1) << testing::PrintToString(log.lines());

  limit.lift();
  const bool allRunning = gate->waitStarted(tasks, 3s);
  gate->release();
  EXPECT_TRUE(allRunning) << "only " << gate->startedNow() << " of " << tasks << " ran after the limit lifted";
  EXPECT_EQ(shortageLines(), 1);
  // The spawner says so once it has started them all, which may be after they began to run.
  const std::string recovered = "[dispatch] worker threads start again; the waiting work runs";
  auto saidRecovered = [&] {
    auto lines = log.lines();
    return std::find(lines.begin(), lines.end(), recovered) != lines.end();
  };
  for (int i = 0; i < 200 && !saidRecovered(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(saidRecovered()) << testing::PrintToString(log.lines());
}

// A serial queue's one thread under the same limit: its work waits, and runs once the thread can
// start, without another submission.
TEST(SerialQueueThread, WaitsOutAThreadShortageAndRunsItsWorkWhenAStartSucceeds) {
  testing_support::ThreadLimit limit;
  DispatchSerialQueue queue("limited");
  auto gate = std::make_shared<Gate>();
  queue.async(gate->task(gate));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(gate->startedNow(), 0);
  EXPECT_GE(limit.refused(), 2);
  limit.lift();
  EXPECT_TRUE(gate->waitStarted(1, 3s));
  gate->release();
}

// When not even the spawner's own thread can start, the run loop's timer keeps trying: the work
// runs once the limit goes, although nothing is submitted again.
TEST(GlobalQueueWorkers, WorkRunsAfterTheSpawnersOwnShortageWithoutAnotherSubmission) {
  const auto threads =
      std::distance(std::filesystem::directory_iterator("/proc/self/task"), std::filesystem::directory_iterator());
  if (threads > 1) GTEST_SKIP() << "the spawner already runs here; ctest runs this test in a process of its own";
  NSLogCapture log;
  testing_support::ThreadLimit limit(ScopedWorkerStartGate::Spawner::included);
  auto gate = std::make_shared<Gate>();
  for (int i = 0; i < 2; ++i) DispatchQueue::global(DispatchQoS::userInitiated).async(gate->task(gate));
  const auto submitted = Clock::now();

  runMainQueueUntil([] { return false; }, 300ms);
  EXPECT_EQ(gate->startedNow(), 0);
  EXPECT_GE(limit.refused(), 3) << "the timer retried";
  EXPECT_LE(limit.refused(), 40) << "backing off, not a busy loop";
  expectBackingOff(limit.refusedSince(submitted));

  limit.lift();
  EXPECT_TRUE(runMainQueueUntil([&] { return gate->startedNow() == 2; }, 3s));
  gate->release();
  const std::vector<std::string> expected = {"[dispatch] ⚠️ cannot start a worker thread: errno=" +
                                                 std::to_string(EAGAIN) + "; the queued work waits, retrying",
                                             "[dispatch] worker threads start again; the waiting work runs"};
  EXPECT_EQ(log.lines(), expected);
}

}  // namespace
