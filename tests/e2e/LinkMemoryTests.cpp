// The host's memory under engine-link clients that flood it, never read, or send one huge message
// of tiny values: bounded while they do, and given back once they are gone.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "platform/flutter/EngineLinkFrame.h"
#include "platform/flutter/FlutterCodecs.h"
#include "tests/e2e/HostProcess.h"

namespace {

using namespace std::chrono_literals;
using testing_support::callOver;
using testing_support::eventually;
using testing_support::HostProcess;
using testing_support::NotImplemented;
using testing_support::Reply;
using Bytes = std::vector<uint8_t>;

// gcc says so with __SANITIZE_*__, clang (which builds the tsan preset) through __has_feature.
#if defined(__has_feature)
#define PROXYHOST_HAS_FEATURE(x) __has_feature(x)
#else
#define PROXYHOST_HAS_FEATURE(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || PROXYHOST_HAS_FEATURE(address_sanitizer) || \
    PROXYHOST_HAS_FEATURE(thread_sanitizer)
constexpr bool kSanitized = true;  // the sanitizers' allocators hold memory on purpose
#else
constexpr bool kSanitized = false;
#endif

// A line of /proc/<pid>/status in MiB: VmHWM is the peak resident size, VmRSS the present one.
long statusMiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1)) / 1024;
  }
  return -1;
}

int connectTo(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  return fd;
}

// Sends calls on `fd` as fast as the host takes them and reads nothing, until the host cuts the
// connection off or stops taking more.
void flood(int fd) {
  const Bytes call = StandardMethodCodec::getInstance().encodeMethodCall({"m", EncodableValue()});
  Bytes batch;
  for (uint32_t id = 0; id < 1000; ++id) {
    const Bytes frame = enginelink::encodeFrame(enginelink::MessageFrame{id, "flood/nobody", call}).value();
    batch.insert(batch.end(), frame.begin(), frame.end());
  }
  timeval timeout{3, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  for (size_t sent = 0; sent < (400u << 20);) {
    ssize_t n = ::send(fd, batch.data(), batch.size(), MSG_NOSIGNAL);
    if (n <= 0 && errno != EINTR) return;
    if (n > 0) sent += static_cast<size_t>(n);
  }
}

}  // namespace

TEST(LinkMemory, ClientsThatNeverReadCannotMakeTheHostHoldWithoutBoundAndTheirMemoryComesBack) {
  if (kSanitized) GTEST_SKIP() << "resident memory is the sanitizer allocator's here";
  HostProcess host;
  auto armed = host.connect();
  ASSERT_TRUE(armed && testing_support::waitUntilArmed(*armed));
  const pid_t pid = host.process().pid();

  std::vector<int> fds;
  std::vector<std::thread> flooders;
  for (int i = 0; i < 4; ++i) fds.push_back(connectTo(host.socketPath()));
  for (int fd : fds) flooders.emplace_back(flood, fd);
  for (auto& t : flooders) t.join();
  // All four together once drove the host past 1.5 GB; the link holds at most 128 MiB for them.
  EXPECT_LT(statusMiB(pid, "VmHWM"), 192);

  for (int fd : fds) ::close(fd);
  // Once they are gone, so is what was held for them (it once stayed, at about 1.5 GB).
  eventually([&] { return statusMiB(pid, "VmRSS") < 48; }, 10s);
  EXPECT_LT(statusMiB(pid, "VmRSS"), 48);
  EXPECT_EQ(callOver(*host.connect(), "no/such/channel", "m"), Reply(NotImplemented{}));
}

TEST(LinkMemory, OneMessageOfManySmallValuesCostsAFewTimesItsSize) {
  if (kSanitized) GTEST_SKIP() << "resident memory is the sanitizer allocator's here";
  HostProcess host;
  auto client = host.connect();
  ASSERT_TRUE(client && testing_support::waitUntilArmed(*client));

  // A method call whose arguments are a list of nearly 16 MiB nulls: 40 bytes each once decoded.
  const size_t count = enginelink::kMaxFrameLength - 64;
  Bytes call = StandardMethodCodec::getInstance().encodeMethodCall({"launchAtStartupIsEnabled", EncodableValue()});
  call.pop_back();
  call.insert(call.end(), {12, 255, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                           static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 24)});
  call.resize(call.size() + count, 0);
  auto reply = client->call("launch_at_startup", call, 30s);
  ASSERT_TRUE(reply) << reply.error().message();
  // It once decoded to about 670 MB; now the decoder refuses what would grow past 8 times the bytes.
  EXPECT_LT(statusMiB(host.process().pid(), "VmHWM"), 128);
  EXPECT_TRUE(reply->empty());  // a payload that does not decode gets the empty reply
}
