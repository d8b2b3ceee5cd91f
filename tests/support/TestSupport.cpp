#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/macos_tools/MacOSTools.h"

namespace testing_support {

namespace {
// A test program sits outside the bundle; the product's tools its children run are the build's.
[[maybe_unused]] const bool kUsesTheBuildsTools = [] {
  macos_tools::setToolFolderForTesting(PROXYHOST_TOOLS_DIR);
  return true;
}();
}  // namespace

std::string testNameFrom(std::string_view description) {
  std::string name;
  bool wordStart = true;
  for (char c : description) {
    const bool alnum = std::isalnum(static_cast<unsigned char>(c)) != 0;
    if (alnum) name += wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    wordStart = !alnum;
  }
  return name;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "proxyhost-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = made;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

Reply decodeReply(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return NotImplemented{};
  std::string why;
  auto envelope = StandardMethodCodec::getInstance().decodeEnvelope(bytes, &why);
  if (!envelope) {
    ADD_FAILURE() << "undecodable reply envelope: " << why;
    return NotImplemented{};
  }
  if (auto* v = std::get_if<EncodableValue>(&*envelope)) return *v;
  return std::get<FlutterError>(*envelope);
}

void TestBinaryMessenger::sendOnChannel(const std::string& channel, std::span<const uint8_t> message,
                                        FlutterBinaryReply reply) {
  if (reply) DispatchQueue::main().async([reply = std::move(reply)] { reply({}); });
}

void TestBinaryMessenger::deliver(std::span<const uint8_t> message, FlutterBinaryReply reply) {
  if (!handler_) {
    ADD_FAILURE() << "no handler installed";
    reply({});
    return;
  }
  handler_(message, std::move(reply));
}

namespace {

using Deliver = std::function<void(std::span<const uint8_t> message, FlutterBinaryReply reply)>;

std::optional<Reply> callThrough(const Deliver& deliver, const std::string& method, EncodableValue arguments,
                                 std::chrono::milliseconds timeout) {
  auto bytes = StandardMethodCodec::getInstance().encodeMethodCall({method, std::move(arguments)});
  auto reply = std::make_shared<std::optional<std::vector<uint8_t>>>();
  deliver(bytes, [reply](std::vector<uint8_t> r) {
    // Replies may come from any thread; hop to the main queue so the test reads them safely.
    DispatchQueue::main().async([reply, r = std::move(r)]() mutable { *reply = std::move(r); });
  });
  if (!runMainQueueUntil([&] { return reply->has_value(); }, timeout)) return std::nullopt;
  return decodeReply(**reply);
}

}  // namespace

std::optional<Reply> callMethod(FlutterEngine& engine, const std::string& channel, const std::string& method,
                                EncodableValue arguments, std::chrono::milliseconds timeout) {
  return callThrough(
      [&](std::span<const uint8_t> message, FlutterBinaryReply reply) {
        engine.handlePlatformMessage(channel, message, std::move(reply));
      },
      method, std::move(arguments), timeout);
}

std::optional<Reply> callMethod(TestBinaryMessenger& messenger, const std::string& method, EncodableValue arguments,
                                std::chrono::milliseconds timeout) {
  return callThrough(
      [&](std::span<const uint8_t> message, FlutterBinaryReply reply) { messenger.deliver(message, std::move(reply)); },
      method, std::move(arguments), timeout);
}

}  // namespace testing_support
