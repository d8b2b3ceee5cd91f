// Helpers shared by the tests.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/flutter/FlutterChannels.h"
#include "platform/flutter/FlutterEngine.h"

namespace testing_support {

// A parameterized row's test name from its description, so ctest lists rows by what they check:
// "tool cannot start: the fallback" becomes "ToolCannotStartTheFallback" (letters and digits only).
std::string testNameFrom(std::string_view description);

// A process thread limit, as a test needs one: until lift(), every worker and serial-queue thread
// start fails with EAGAIN, and with Spawner::included the spawner's own start too.
class ThreadLimit {
 public:
  explicit ThreadLimit(ScopedWorkerStartGate::Spawner spawner = ScopedWorkerStartGate::Spawner::excluded)
      : gate_(
            [this] {
              if (!refusing_) return 0;
              std::lock_guard lock(mutex_);
              ++refused_;
              refusedAt_.push_back(std::chrono::steady_clock::now());
              return EAGAIN;
            },
            spawner) {}
  void lift() { refusing_ = false; }
  // How many starts were refused so far.
  int refused() const { return refused_; }
  // When the starts refused after `since` were.
  std::vector<std::chrono::steady_clock::time_point> refusedSince(std::chrono::steady_clock::time_point since) const {
    std::lock_guard lock(mutex_);
    std::vector<std::chrono::steady_clock::time_point> times;
    for (auto at : refusedAt_) {
      if (at > since) times.push_back(at);
    }
    return times;
  }

 private:
  std::atomic<bool> refusing_{true};
  std::atomic<int> refused_{0};
  mutable std::mutex mutex_;
  std::vector<std::chrono::steady_clock::time_point> refusedAt_;
  ScopedWorkerStartGate gate_;
};

// A fresh folder under $TMPDIR, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

// For a root test in a process of its own, still single-threaded when this is made: a private
// mount namespace for the process in which /dev/log (an overlay over /dev; nothing of the
// machine's changes) is a datagram socket of the test's, so the syslog lines of the children it
// starts can be read back. Throws std::runtime_error naming the call that failed.
class PrivateSyslog {
 public:
  PrivateSyslog();
  ~PrivateSyslog();
  PrivateSyslog(const PrivateSyslog&) = delete;
  PrivateSyslog& operator=(const PrivateSyslog&) = delete;
  // The next line as syslog(3) sent it ("<PRI>TIMESTAMP IDENT[PID]: MESSAGE"), or nothing in time.
  std::optional<std::string> receive(std::chrono::milliseconds timeout);

 private:
  TempDir dir_;
  int socket_ = -1;
};

// Polls `done` every few milliseconds until it holds (true) or `timeout` passes (false).
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// What the Flutter side receives for one method call.
struct NotImplemented {
  bool operator==(const NotImplemented&) const = default;
};
using Reply = std::variant<EncodableValue, FlutterError, NotImplemented>;

// Decodes raw reply bytes as the Flutter side would; an undecodable envelope fails the test.
Reply decodeReply(const std::vector<uint8_t>& bytes);

// A binary messenger without an engine behind it, for testing one channel handler alone: it keeps
// the handler last installed, and the test plays the Flutter side by handing it messages on its
// own (main) thread, as the engine would.
//
//   TestBinaryMessenger messenger;
//   FlutterMethodChannel::methodChannelWithName("c", messenger)->setMethodCallHandler(handler);
//   auto reply = callMethod(messenger, "method", EncodableMap{...});
class TestBinaryMessenger : public FlutterBinaryMessenger {
 public:
  // No Flutter side listens: `reply`, when given, gets the empty reply on the main queue.
  void sendOnChannel(const std::string& channel, std::span<const uint8_t> message, FlutterBinaryReply reply) override;
  void setMessageHandlerOnChannel(const std::string& channel, FlutterBinaryMessageHandler handler) override {
    handler_ = std::move(handler);
  }
  // Hands `message` to the installed handler; without one the test fails and the reply is empty.
  void deliver(std::span<const uint8_t> message, FlutterBinaryReply reply);

 private:
  FlutterBinaryMessageHandler handler_;
};

// Plays the Flutter side in-process: encodes a method call, hands it to the engine or messenger as
// a platform message on the calling (main) thread, then drains the main queue until the reply
// arrives. Returns nothing when no reply came within `timeout`.
std::optional<Reply> callMethod(FlutterEngine& engine, const std::string& channel, const std::string& method,
                                EncodableValue arguments = {},
                                std::chrono::milliseconds timeout = std::chrono::seconds(5));
std::optional<Reply> callMethod(TestBinaryMessenger& messenger, const std::string& method,
                                EncodableValue arguments = {},
                                std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace testing_support
