#include "tests/proxy/ProxyTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "proxy/PrivilegedRunQueue.h"
#include "tests/support/TestSupport.h"

namespace proxy_test {

namespace {

// Every proxy test process: the shared run queue takes runs (the host lets it once launching has
// finished), the proxy record it keeps lives in a folder of the test's own, never the user's, and
// the machine counts as one whose decode step works (the scripting doubles stand for a Mac).
class ProxyTestEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    proxy::setDecodeStepCheckForTesting(decodeStepWorks);
    state_ = std::make_unique<testing_support::TempDir>();
    ::setenv("XDG_STATE_HOME", state_->path().c_str(), 1);
    proxy::PrivilegedRunQueue::shared().activate();
  }
  void TearDown() override { state_.reset(); }

 private:
  std::unique_ptr<testing_support::TempDir> state_;
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new ProxyTestEnvironment);

}  // namespace

posix::Expected<void> decodeStepWorks() { return {}; }

std::optional<std::string> decodeBase64(std::string_view text) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t quad = 0;
    int padding = 0;
    for (size_t k = 0; k < 4; ++k) {
      char c = text[i + k];
      uint32_t v = 0;
      if (c == '=') {
        if (i + 4 != text.size() || k < 2) return std::nullopt;
        ++padding;
      } else {
        if (padding > 0) return std::nullopt;
        size_t at = kAlphabet.find(c);
        if (at == std::string_view::npos) return std::nullopt;
        v = static_cast<uint32_t>(at);
      }
      quad = (quad << 6) | v;
    }
    out.push_back(static_cast<char>((quad >> 16) & 0xFF));
    if (padding < 2) out.push_back(static_cast<char>((quad >> 8) & 0xFF));
    if (padding < 1) out.push_back(static_cast<char>(quad & 0xFF));
  }
  return out;
}

std::optional<std::string> scriptInAdministratorSource(const std::string& source) {
  const std::string head = "do shell script \"echo '";
  const std::string tail = "' | /usr/bin/base64 -D | /bin/bash\" with administrator privileges";
  if (source.size() < head.size() + tail.size() || source.compare(0, head.size(), head) != 0 ||
      source.compare(source.size() - tail.size(), tail.size(), tail) != 0) {
    return std::nullopt;
  }
  return decodeBase64(std::string_view(source).substr(head.size(), source.size() - head.size() - tail.size()));
}

class FakeScripting::Script final : public NSAppleScript {
 public:
  Script(FakeScripting& owner, std::string source) : NSAppleScript(std::move(source)), owner_(owner) {}

  std::optional<NSAppleEventDescriptor> executeAndReturnError(std::optional<NSDictionary>* errorInfo) override {
    std::string script = scriptInAdministratorSource(source()).value_or("");
    {
      std::lock_guard lock(owner_.mutex_);
      owner_.scriptsRun_.push_back(script);
    }
    owner_.changed_.notify_all();
    std::optional<NSDictionary> error = owner_.answer_ ? owner_.answer_(script) : std::nullopt;
    if (error) {
      if (errorInfo != nullptr) *errorInfo = std::move(error);
      return std::nullopt;
    }
    return NSAppleEventDescriptor("");
  }

 private:
  FakeScripting& owner_;
};

FakeScripting::FakeScripting(Answer answer) : answer_(std::move(answer)) {
  NSAppleScript::setCompilerForTesting([this](const std::string& source) -> std::unique_ptr<NSAppleScript> {
    {
      std::lock_guard lock(mutex_);
      sources_.push_back(source);
    }
    return std::make_unique<Script>(*this, source);
  });
}

FakeScripting::~FakeScripting() { NSAppleScript::setCompilerForTesting({}); }

std::vector<std::string> FakeScripting::sources() const {
  std::lock_guard lock(mutex_);
  return sources_;
}

std::vector<std::string> FakeScripting::scriptsRun() const {
  std::lock_guard lock(mutex_);
  return scriptsRun_;
}

bool FakeScripting::waitForRuns(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return scriptsRun_.size() >= count; });
}

void Gate::open() {
  {
    std::lock_guard lock(mutex_);
    open_ = true;
  }
  opened_.notify_all();
}

bool Gate::wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return opened_.wait_for(lock, timeout, [&] { return open_; });
}

}  // namespace proxy_test
