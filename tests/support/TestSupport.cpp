#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "platform/dispatch/Dispatch.h"
#include "platform/macos_tools/MacOSTools.h"
#include "platform/posix/Files.h"

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

PrivateSyslog::PrivateSyslog() {
  auto fail = [](const std::string& call) { throw std::runtime_error(call + ": " + std::strerror(errno)); };
  if (unshare(CLONE_NEWNS) != 0) fail("unshare");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("mount --make-rprivate /");
  std::filesystem::create_directory(dir_.file("upper"));
  std::filesystem::create_directory(dir_.file("work"));
  const std::string options = "lowerdir=/dev,upperdir=" + dir_.file("upper") + ",workdir=" + dir_.file("work");
  if (mount("overlay", "/dev", "overlay", 0, options.c_str()) != 0) fail("mount overlay on /dev");
  socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ < 0) fail("socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/dev/log");
  unlink(address.sun_path);
  if (bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) fail("bind /dev/log");
}

PrivateSyslog::~PrivateSyslog() {
  if (socket_ >= 0) close(socket_);
  umount2("/dev", MNT_DETACH);
}

std::optional<std::string> PrivateSyslog::receive(std::chrono::milliseconds timeout) {
  pollfd ready{socket_, POLLIN, 0};
  if (poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
  char line[4096];
  const ssize_t n = recv(socket_, line, sizeof line, 0);
  if (n < 0) return std::nullopt;
  return std::string(line, static_cast<size_t>(n));
}

std::string readFile(const std::string& path) { return posix::readFile(path).value_or(""); }

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
  auto envelope = StandardMethodCodec::getInstance().decodeEnvelope(bytes);
  if (!envelope) {
    ADD_FAILURE() << "undecodable reply envelope: " << envelope.error().message();
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
