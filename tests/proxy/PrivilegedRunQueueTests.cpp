// The privileged runs' queue on its own: order, answers on the main thread, the record around
// the runs, and the stop at shutdown (drop, wait within the limit, then stop the run).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <thread>

#include "platform/foundation/NSLog.h"
#include "proxy/PrivilegedRunQueue.h"
#include "proxy/ProxyRecord.h"
#include "tests/proxy/ProxyTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using proxy::AdminRunOutcome;
using proxy::PrivilegedRun;
using proxy::PrivilegedRunQueue;
using proxy_test::Gate;
using testing_support::Reply;

PrivilegedRun enable(const std::string& service) {
  return {PrivilegedRun::Kind::enable, "on " + service, {service}, "127.0.0.1", 7890, 7891};
}
PrivilegedRun disable(const std::string& service) {
  return {PrivilegedRun::Kind::disable, "off " + service, {service}, "", 0, 0};
}

Reply replyOf(const FlutterResultValue& value) {
  if (const auto* v = std::get_if<EncodableValue>(&value)) return *v;
  if (const auto* e = std::get_if<FlutterError>(&value)) return *e;
  return testing_support::NotImplemented{};
}

const Reply kStopping = FlutterError{"failed", std::string(proxy::kStoppingMessage), {}};

class RunQueue : public ::testing::Test {
 protected:
  // Each run's script, blocked until its gate opens (runs named in `open` go at once).
  AdminRunOutcome run(const std::string& script) {
    {
      std::lock_guard lock(mutex_);
      started_.push_back(script);
      const auto content = record_.read().content;
      recordedAtStart_.push_back(content ? content->services.size() : 0);
    }
    if (script.ends_with("slow")) {
      EXPECT_TRUE(release_.wait(20s));
    }
    if (script.ends_with("hang")) {
      while (!stopped_) std::this_thread::sleep_for(1ms);
      return AdminRunOutcome::failed("killed");
    }
    return AdminRunOutcome::success();
  }

  PrivilegedRunQueue& queue() {
    if (!queue_) {
      queue_ = std::make_unique<PrivilegedRunQueue>(
          PrivilegedRunQueue::Environment{.run = [this](const std::string& s) { return run(s); },
                                          .stopRun = [this] { stopped_ = true; },
                                          .record = &record_},
          DispatchSerialQueue::Activation::active);
    }
    return *queue_;
  }

  void submit(PrivilegedRun r) {
    queue().submit(std::move(r), [this](FlutterResultValue value) {
      EXPECT_TRUE(isMainThread());
      replies_.push_back(replyOf(value));
    });
  }
  bool waitForReplies(size_t n) {
    return runMainQueueUntil([&] { return replies_.size() >= n; }, 20s);
  }
  std::vector<std::string> started() {
    std::lock_guard lock(mutex_);
    return started_;
  }

  testing_support::TempDir dir_;
  proxy::ProxyRecord record_{dir_.file("record")};
  Gate release_;
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::vector<std::string> started_;
  std::vector<size_t> recordedAtStart_;
  std::vector<Reply> replies_;
  std::unique_ptr<PrivilegedRunQueue> queue_;
};

TEST_F(RunQueue, ALaterOffIsNeverOvertakenAndTheRecordFollowsTheRuns) {
  submit(PrivilegedRun{PrivilegedRun::Kind::enable, "on slow", {"Wi-Fi", "LAN"}, "h", 1, 2});
  submit(disable("Wi-Fi"));
  submit(disable("LAN"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(started(), std::vector<std::string>{"on slow"});
  release_.open();
  ASSERT_TRUE(waitForReplies(3));
  EXPECT_EQ(started(), (std::vector<std::string>{"on slow", "off Wi-Fi", "off LAN"}));
  for (const auto& r : replies_) EXPECT_EQ(r, Reply(EncodableValue(true)));
  // Written before the enable ran; a disable's success proves nothing (its script goes on past
  // failures), so only a cleanup takes services off.
  EXPECT_EQ(recordedAtStart_, (std::vector<size_t>{2, 2, 2}));
  EXPECT_TRUE(record_.read().mayBeOn());
}

TEST_F(RunQueue, AnEnableThatCannotBeRecordedIsRefusedAndNeverRuns) {
  std::ofstream(dir_.file("record")) << "a file where the record's folder belongs";
  submit(enable("Wi-Fi"));
  submit(disable("Wi-Fi"));
  ASSERT_TRUE(waitForReplies(2));
  EXPECT_EQ(started(), std::vector<std::string>{"off Wi-Fi"});
  const auto* error = std::get_if<FlutterError>(&replies_[0]);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, "failed");
  const std::string message = error->message.value_or("");
  EXPECT_TRUE(message.starts_with(std::string(proxy::kUnrecordedMessage) + " (")) << message;
  EXPECT_NE(message.find(dir_.file("record")), std::string::npos) << message;
  EXPECT_EQ(replies_[1], Reply(EncodableValue(true)));
}

TEST_F(RunQueue, StopLetsTheRunInFlightFinishAndDropsTheRestWithAnAnswer) {
  submit(enable("slow"));
  submit(enable("Wi-Fi"));
  submit(disable("Wi-Fi"));
  while (started().empty()) std::this_thread::sleep_for(1ms);
  std::thread releaser([&] {
    std::this_thread::sleep_for(200ms);
    release_.open();
  });
  auto begin = std::chrono::steady_clock::now();
  queue().stop(5s);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 150ms);  // it waited for the run
  releaser.join();
  EXPECT_FALSE(stopped_);
  submit(enable("after"));  // refused at once
  ASSERT_TRUE(waitForReplies(4));
  EXPECT_EQ(started(), std::vector<std::string>{"on slow"});
  EXPECT_EQ(replies_[0], kStopping);  // answered before the main queue ran the rest
  EXPECT_EQ(replies_[1], Reply(EncodableValue(true)));
  EXPECT_EQ(replies_[2], kStopping);
  EXPECT_EQ(replies_[3], kStopping);
}

TEST_F(RunQueue, ARunPastTheLimitIsStoppedAndAReopenedQueueRunsOnlyNewCalls) {
  submit(enable("hang"));
  submit(disable("queued before the stop"));
  while (started().empty()) std::this_thread::sleep_for(1ms);
  auto begin = std::chrono::steady_clock::now();
  queue().stop(100ms);
  EXPECT_TRUE(stopped_);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  ASSERT_TRUE(waitForReplies(2));
  EXPECT_EQ(replies_[0], Reply(FlutterError{"failed", std::string("killed"), {}}));
  EXPECT_EQ(replies_[1], kStopping);
  // The enable that was stopped may have switched something on: the record still says so.
  EXPECT_TRUE(record_.read().mayBeOn());

  // A call queued before a stop stays dropped when its turn comes only after the queue reopened:
  // the queue's thread holds it (inactive) until then, whatever the machine's load.
  queue_ = std::make_unique<PrivilegedRunQueue>(
      PrivilegedRunQueue::Environment{.run = [this](const std::string& s) { return run(s); }, .record = &record_},
      DispatchSerialQueue::Activation::inactive);
  submit(disable("queued before the stop"));
  queue().stop(100ms);
  queue().reopen();
  submit(disable("new"));
  queue().activate();
  ASSERT_TRUE(waitForReplies(4));
  EXPECT_EQ(started(), (std::vector<std::string>{"on hang", "off new"}));
  EXPECT_EQ(replies_[2], kStopping);
  EXPECT_EQ(replies_[3], Reply(EncodableValue(true)));
}

TEST_F(RunQueue, AnInactiveQueueHoldsItsRunsUntilActivated) {
  queue_ = std::make_unique<PrivilegedRunQueue>(
      PrivilegedRunQueue::Environment{
          .run = [this](const std::string& s) { return run(s); }, .stopRun = nullptr, .record = &record_},
      DispatchSerialQueue::Activation::inactive);
  submit(disable("Wi-Fi"));
  EXPECT_FALSE(runMainQueueUntil([&] { return !started().empty(); }, 200ms));
  queue().activate();
  ASSERT_TRUE(waitForReplies(1));
  EXPECT_EQ(started(), std::vector<std::string>{"off Wi-Fi"});
}

// A thread limit when the first run comes: the call waits, one line says why, and it is answered
// once a thread can start, without another call to push it.
TEST_F(RunQueue, ARunWhoseThreadCannotStartYetIsAnsweredOnceItCan) {
  NSLogCapture log;
  testing_support::ThreadLimit limit;
  submit(disable("Wi-Fi"));
  EXPECT_FALSE(runMainQueueUntil([&] { return !replies_.empty(); }, 300ms));
  EXPECT_GE(limit.refused(), 2);
  EXPECT_TRUE(started().empty());
  limit.lift();
  ASSERT_TRUE(waitForReplies(1));
  EXPECT_EQ(replies_[0], Reply(EncodableValue(true)));
  const auto lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.starts_with("[dispatch] ⚠️ cannot start a worker thread: errno=" +
                                                 std::to_string(EAGAIN));
                          }),
            1)
      << testing::PrintToString(lines);
}

}  // namespace
