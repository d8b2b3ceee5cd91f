// The main queue and the global queues: where work runs, in which order, and that blocked work
// never holds up other work.
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/flutter/FlutterChannels.h"
#include "platform/flutter/FlutterEngine.h"
#include "tests/platform/dispatch/BlockingTasks.h"

namespace {

using namespace std::chrono_literals;

// Clears whatever earlier tests left on the main queue.
void drainLeftovers() {
  while (drainMainQueue() > 0) {
  }
}

bool wakeDescriptorReadable() {
  pollfd pfd{mainQueueWakeDescriptor(), POLLIN, 0};
  return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN) != 0;
}

// Work that runs on the main queue appends here; only the main thread touches it.
struct MainLog {
  std::vector<std::string> order;
  bool allOnMainThread = true;
  void record(const std::string& tag) {
    order.push_back(tag);
    allOnMainThread = allOnMainThread && isMainThread();
  }
};

TEST(MainQueue, RunsOnTheMainThreadInSubmissionOrder) {
  ASSERT_TRUE(isMainThread());
  drainLeftovers();
  MainLog log;
  auto& main = DispatchQueue::main();

  main.async([&] {
    log.record("A");
    // Work submitted by work goes to the back and runs at the next drain, so work that keeps
    // submitting more cannot starve the loop.
    main.async([&] { log.record("A2"); });
  });
  std::thread worker([&] {
    EXPECT_FALSE(isMainThread());
    main.async([&] { log.record("B"); });
  });
  worker.join();
  main.async([&] { log.record("C"); });

  EXPECT_TRUE(log.order.empty()) << "nothing runs before the queue is drained";
  EXPECT_EQ(drainMainQueue(), 3u);
  EXPECT_EQ(log.order, (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(drainMainQueue(), 1u);
  EXPECT_EQ(log.order, (std::vector<std::string>{"A", "B", "C", "A2"}));
  EXPECT_TRUE(log.allOnMainThread);
  EXPECT_EQ(drainMainQueue(), 0u);
}

TEST(MainQueue, KeepsEachWorkersOrderWhenManySubmitAtOnce) {
  drainLeftovers();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 200;
  std::vector<std::vector<int>> seen(kThreads);
  bool allOnMainThread = true;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        DispatchQueue::main().async([&, t, i] {
          seen[t].push_back(i);
          allOnMainThread = allOnMainThread && isMainThread();
        });
      }
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(drainMainQueue(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_TRUE(allOnMainThread);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kPerThread)) << "thread " << t;
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(seen[t][i], i) << "thread " << t;
  }
}

TEST(MainQueue, WakeDescriptorSignalsPendingWork) {
  drainLeftovers();
  EXPECT_FALSE(wakeDescriptorReadable());
  bool ran = false;
  std::thread([&] { DispatchQueue::main().async([&] { ran = true; }); }).join();
  EXPECT_TRUE(wakeDescriptorReadable());
  EXPECT_EQ(drainMainQueue(), 1u);
  EXPECT_TRUE(ran);
  EXPECT_FALSE(wakeDescriptorReadable());
}

TEST(MainQueue, RunMainQueueUntilTimesOutOrReturnsWhenDone) {
  drainLeftovers();
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(runMainQueueUntil([] { return false; }, 150ms));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 150ms);
  EXPECT_LT(waited, 1500ms);

  // Done as soon as a worker's work lands, long before the timeout.
  auto done = std::make_shared<bool>(false);
  std::thread worker([done] {
    std::this_thread::sleep_for(50ms);
    DispatchQueue::main().async([done] { *done = true; });
  });
  start = std::chrono::steady_clock::now();
  EXPECT_TRUE(runMainQueueUntil([&] { return *done; }, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  worker.join();
}

// Each class's threads sit where that class sits on the Mac relative to the main thread: lower
// for each class below userInteractive, and background only when nothing else wants to run.
TEST(GlobalQueue, ThreadsRunAtTheirClassesPlaceBelowTheMainThread) {
  struct Place {
    int nice;
    int policy;
    bool operator==(const Place&) const = default;
  };
  auto placeOf = [](DispatchQueue& queue) {
    std::optional<Place> place;
    queue.async([&] {
      const Place seen{getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), sched_getscheduler(0)};
      DispatchQueue::main().async([&, seen] { place = seen; });
    });
    EXPECT_TRUE(runMainQueueUntil([&] { return place.has_value(); }, std::chrono::seconds(5)));
    return place.value_or(Place{-100, -1});
  };
  const int main = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  auto at = [&](int above) { return Place{std::min(19, main + above), SCHED_OTHER}; };
  EXPECT_EQ(placeOf(DispatchQueue::global(DispatchQoS::userInteractive)), at(0));
  EXPECT_EQ(placeOf(DispatchQueue::global(DispatchQoS::userInitiated)), at(5));
  EXPECT_EQ(placeOf(DispatchQueue::global(DispatchQoS::default_)), at(8));
  EXPECT_EQ(placeOf(DispatchQueue::global(DispatchQoS::utility)), at(12));
  EXPECT_EQ(placeOf(DispatchQueue::global(DispatchQoS::background)), (Place{19, SCHED_IDLE}));
  // A serial queue's work starts processes (the administrator runs), which would inherit a lowered
  // place; on the Mac a started process does not take its starter's class.
  DispatchSerialQueue serial("qos");
  EXPECT_EQ(placeOf(serial), at(0));
}

TEST(GlobalQueue, BlockedTasksNeverHoldUpNewOnes) {
  constexpr int kTasks = 50;
  auto gate = std::make_shared<Gate>();
  auto& queue = DispatchQueue::global(DispatchQoS::utility);
  for (int i = 0; i < kTasks; ++i) queue.async(gate->task(gate));
  // Every task must be running at once: each blocks until all have started.
  const bool allStarted = gate->waitStarted(kTasks, 1500ms);
  const int started = gate->startedNow();
  EXPECT_TRUE(allStarted) << "only " << started << " of " << kTasks << " started";
  EXPECT_EQ(gate->onMainThreadNow(), 0);
  EXPECT_GE(globalQueueThreadCount(), static_cast<size_t>(started));
  gate->release();
}

TEST(GlobalQueue, EveryQualityOfServiceRunsWorkOffTheMainThread) {
  drainLeftovers();
  const DispatchQoS classes[] = {DispatchQoS::userInteractive, DispatchQoS::userInitiated, DispatchQoS::default_,
                                 DispatchQoS::utility, DispatchQoS::background};
  struct Tally {
    std::atomic<int> workerOffMain{0};
    int answered = 0;  // main thread only
    int answeredOnMain = 0;
  };
  auto tally = std::make_shared<Tally>();
  for (DispatchQoS qos : classes) {
    DispatchQueue::global(qos).async([tally] {
      if (!isMainThread()) ++tally->workerOffMain;
      // A task hands its result back to the main queue.
      DispatchQueue::main().async([tally] {
        ++tally->answered;
        if (isMainThread()) ++tally->answeredOnMain;
      });
    });
  }
  EXPECT_TRUE(runMainQueueUntil([&] { return tally->answered == 5; }, 2s));
  EXPECT_EQ(tally->answeredOnMain, 5);
  EXPECT_EQ(tally->workerOffMain.load(), 5);
}

// A quit or termination signal goes to the main thread, whose loop acts on it; a worker that took
// it could hold it (or be cut short in a connect) instead.
TEST(QueueThreads, LeaveTheQuitAndTerminationSignalsToTheMainThread) {
  drainLeftovers();
  auto blocksBoth = [] {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1 && sigismember(&mask, SIGHUP) == 1;
  };
  auto globalBlocks = std::make_shared<std::optional<bool>>();
  DispatchQueue::global().async([globalBlocks, blocksBoth] {
    DispatchQueue::main().async([globalBlocks, v = blocksBoth()] { *globalBlocks = v; });
  });
  ASSERT_TRUE(runMainQueueUntil([&] { return globalBlocks->has_value(); }, 2s));
  EXPECT_TRUE(**globalBlocks);

  DispatchSerialQueue queue("test signals");
  std::atomic<int> serialBlocks{-1};
  queue.async([&] { serialBlocks = blocksBoth() ? 1 : 0; });
  runMainQueueUntil([&] { return serialBlocks >= 0; }, 10s);
  EXPECT_EQ(serialBlocks, 1);
  EXPECT_FALSE(blocksBoth()) << "the test's own main thread keeps taking them";
}

TEST(GlobalQueue, WorkSubmittedFromWorkRuns) {
  drainLeftovers();
  auto innerRan = std::make_shared<bool>(false);
  DispatchQueue::global().async([innerRan] {
    DispatchQueue::global().async([innerRan] { DispatchQueue::main().async([innerRan] { *innerRan = true; }); });
  });
  EXPECT_TRUE(runMainQueueUntil([&] { return *innerRan; }, 2s));
}

// Main-thread-only work done off the main thread stops the process at once, naming what was
// called, in the builds that check thread contracts (debug and sanitizer builds).
TEST(MainThreadContractDeathTest, WorkOffTheMainThreadStopsTheProcess) {
#if defined(NDEBUG) && !defined(PROXYHOST_CHECK_THREADS)
  GTEST_SKIP() << "this build does not check thread contracts";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto offMain = [](auto work) { std::thread(work).join(); };
  EXPECT_DEATH(offMain([] { drainMainQueue(); }), "drainMainQueue: called on thread [0-9]+, not on the main thread");

  FlutterEngine engine;
  auto channel = FlutterMethodChannel::methodChannelWithName("contract", engine.binaryMessenger());
  EXPECT_DEATH(offMain([&] { channel->setMethodCallHandler([](const FlutterMethodCall&, FlutterResult) {}); }),
               "setMethodCallHandler: called on thread");
  channel->setMethodCallHandler([](const FlutterMethodCall&, FlutterResult result) { result(EncodableValue()); });
  const auto call = StandardMethodCodec::getInstance().encodeMethodCall({"m", EncodableValue()});
  EXPECT_DEATH(offMain([&] { engine.handlePlatformMessage("contract", call, [](std::vector<uint8_t>) {}); }),
               "message delivery: called on thread");
}

// A serial queue knows its own sequence: inside its work, not on the main thread nor inside
// another queue's work; its contract breaks as the main thread's does.
TEST(SerialQueueContractDeathTest, WorkOffTheQueueStopsTheProcess) {
  DispatchSerialQueue queue("contract"), other("contract other");
  std::atomic<int> inOwn{-1}, inOther{-1};
  queue.async([&] {
    queue.assertCurrent("own work");
    inOwn = queue.isCurrent() && !other.isCurrent() ? 1 : 0;
  });
  other.async([&] { inOther = queue.isCurrent() ? 1 : 0; });
  ASSERT_TRUE(runMainQueueUntil([&] { return inOwn >= 0 && inOther >= 0; }, 10s));
  EXPECT_EQ(inOwn, 1);
  EXPECT_EQ(inOther, 0);
  EXPECT_FALSE(queue.isCurrent());
#if defined(NDEBUG) && !defined(PROXYHOST_CHECK_THREADS)
  GTEST_SKIP() << "this build does not check thread contracts";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(queue.assertCurrent("a privileged run"),
               "a privileged run: called on thread [0-9]+, not on the serial queue \"contract\"");
}

TEST(SerialQueue, RunsOneItemAtATimeInSubmissionOrderFromManyThreadsOnOneThreadOfItsOwn) {
  DispatchSerialQueue queue("test serial");
  std::mutex mutex;
  std::vector<int> order;
  std::atomic<int> running{0}, overlaps{0}, done{0};
  std::set<std::thread::id> threads;
  for (int i = 0; i < 50; ++i) {
    queue.async([&, i] {
      if (running++ > 0) ++overlaps;
      std::this_thread::sleep_for(200us);
      {
        std::lock_guard lock(mutex);
        order.push_back(i);
        threads.insert(std::this_thread::get_id());
      }
      --running;
      ++done;
    });
  }
  runMainQueueUntil([&] { return done == 50; }, 10s);
  ASSERT_EQ(done, 50);
  EXPECT_EQ(overlaps, 0);
  std::vector<int> expected(50);
  for (int i = 0; i < 50; ++i) expected[i] = i;
  EXPECT_EQ(order, expected);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST(SerialQueue, AnInactiveQueueHoldsItsWorkUntilActivated) {
  DispatchSerialQueue queue("test inactive", DispatchSerialQueue::Activation::inactive);
  std::atomic<int> ran{0};
  queue.async([&] { ++ran; });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(ran, 0);
  queue.activate();
  runMainQueueUntil([&] { return ran > 0; }, 10s);
  EXPECT_EQ(ran, 1);
}

}  // namespace
