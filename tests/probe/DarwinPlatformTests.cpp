// The platform's BSD calls and clock on the real kernel: select without the descriptor ceiling and
// with select's whole range of intervals, the interface-binding option and the privilege it needs,
// and the probe end to end over loopback on a descriptor above FD_SETSIZE.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/darwin/DarwinSystem.h"
#include "platform/foundation/NSLog.h"
#include "probe/NativeTcpPing.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A connected pair whose first end is not writable until `drain` empties the second.
struct FullPipe {
  int writer = -1, reader = -1;
  FullPipe() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    writer = fds[0];
    reader = fds[1];
    int small = 4096;
    setsockopt(writer, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    fcntl(writer, F_SETFL, O_NONBLOCK);
    char chunk[4096] = {};
    while (write(writer, chunk, sizeof chunk) > 0) {
    }
  }
  ~FullPipe() {
    close(writer);
    close(reader);
  }
  void drain() const {
    char chunk[65536];
    fcntl(reader, F_SETFL, O_NONBLOCK);
    while (read(reader, chunk, sizeof chunk) > 0) {
    }
  }
  // Moves the writing end to a descriptor at or above `at`.
  void moveWriterAbove(int at) {
    int moved = fcntl(writer, F_DUPFD_CLOEXEC, at);
    ASSERT_GE(moved, at) << strerror(errno);
    close(writer);
    writer = moved;
  }
};

// Lets this process hold descriptors past FD_SETSIZE.
void allowDescriptorsUpTo(rlim_t count) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < count) {
    limit.rlim_cur = std::min<rlim_t>(count, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  getrlimit(RLIMIT_NOFILE, &limit);
  ASSERT_GE(limit.rlim_cur, count) << "the descriptor limit cannot be raised past FD_SETSIZE here";
}

int waitWritable(int fd, timeval interval) {
  darwin::FdSet set;
  set.set(fd);
  return darwin::select(fd + 1, nullptr, &set, nullptr, &interval);
}

TEST(DarwinSelect, RefusesAMalformedIntervalAtOnceAndReturnsAtOnceForZero) {
  FullPipe pipe;
  struct Case {
    const char* what;
    timeval interval;
    int result;
    int error;  // errno after the call; EINPROGRESS is what the caller had left there
  };
  const Case cases[] = {
      {"negative seconds", {-1, -500000}, -1, EINVAL},
      {"negative microseconds", {0, -1000}, -1, EINVAL},
      {"a million microseconds", {0, 1000000}, -1, EINVAL},
      {"zero: no wait, errno untouched", {0, 0}, 0, EINPROGRESS},
  };
  for (const Case& c : cases) {
    errno = EINPROGRESS;
    auto start = Clock::now();
    EXPECT_EQ(waitWritable(pipe.writer, c.interval), c.result) << c.what;
    EXPECT_EQ(errno, c.error) << c.what;
    EXPECT_LT(Clock::now() - start, 50ms) << c.what;
  }
}

TEST(DarwinSelect, WaitsTheFullIntervalAndLeavesErrnoAsItWas) {
  FullPipe pipe;
  errno = EINPROGRESS;
  darwin::FdSet set;
  set.set(pipe.writer);
  timeval interval{0, 80000};
  auto start = Clock::now();
  EXPECT_EQ(darwin::select(pipe.writer + 1, nullptr, &set, nullptr, &interval), 0);
  EXPECT_GE(Clock::now() - start, 80ms);
  EXPECT_EQ(errno, EINPROGRESS);
  EXPECT_FALSE(set.isSet(pipe.writer)) << "a timeout leaves the sets empty";
}

TEST(DarwinSelect, HandlesADescriptorAboveFdSetSize) {
  allowDescriptorsUpTo(4200);
  FullPipe pipe;
  pipe.moveWriterAbove(4000);
  darwin::FdSet set;
  set.set(pipe.writer);
  timeval interval{0, 20000};
  EXPECT_EQ(darwin::select(pipe.writer + 1, nullptr, &set, nullptr, &interval), 0);

  pipe.drain();
  set.zero();
  set.set(pipe.writer);
  interval = {5, 0};
  EXPECT_EQ(darwin::select(pipe.writer + 1, nullptr, &set, nullptr, &interval), 1);
  EXPECT_TRUE(set.isSet(pipe.writer));
  EXPECT_EQ(set.span(), pipe.writer + 1);
}

// 4294967306 ms wrapped into poll's int would be 10 ms; the wait must last until the pipe frees.
TEST(DarwinSelect, AnIntervalOfWeeksIsNeitherShortenedNorRefused) {
  FullPipe pipe;
  std::thread drainer([&] {
    std::this_thread::sleep_for(150ms);  // the event the wait must outlast
    pipe.drain();
  });
  auto start = Clock::now();
  EXPECT_EQ(waitWritable(pipe.writer, timeval{4'294'967, 306000}), 1);
  EXPECT_GE(Clock::now() - start, 140ms);
  drainer.join();
}

void ignoreSignal(int) {}

TEST(DarwinSelect, ASignalDoesNotEndTheWait) {
  struct sigaction action {};
  action.sa_handler = ignoreSignal;  // no SA_RESTART: ppoll would give up with EINTR
  struct sigaction previous {};
  sigaction(SIGUSR2, &action, &previous);

  FullPipe pipe;
  const pthread_t waiter = pthread_self();
  std::thread interrupter([&] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(20ms);
      pthread_kill(waiter, SIGUSR2);
    }
  });
  errno = EINPROGRESS;
  auto start = Clock::now();
  EXPECT_EQ(waitWritable(pipe.writer, timeval{0, 200000}), 0);
  EXPECT_GE(Clock::now() - start, 200ms);
  EXPECT_EQ(errno, EINPROGRESS) << "a timeout after interruptions still leaves errno alone";
  interrupter.join();
  sigaction(SIGUSR2, &previous, nullptr);
}

// Binds `fd` to a free loopback port; returns the address it got.
sockaddr_in bindLoopback(int fd) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return address;
}
int loopbackPort(int fd) { return ntohs(bindLoopback(fd).sin_port); }

TEST(DarwinSelect, ARefusedConnectionCountsAsWritableWithItsErrorPending) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = bindLoopback(listener);
  close(listener);  // the port is now closed

  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (rc != 0 && errno == EINPROGRESS) {
    EXPECT_EQ(waitWritable(fd, timeval{5, 0}), 1);
    int pending = 0;
    socklen_t size = sizeof pending;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size);
    EXPECT_EQ(pending, ECONNREFUSED);
  } else {
    EXPECT_EQ(errno, ECONNREFUSED);
  }
  close(fd);
}

std::string boundDevice(int fd) {
  char name[IF_NAMESIZE] = {};
  socklen_t length = sizeof name;
  getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, &length);
  return name;
}

TEST(DarwinBoundInterface, BindsByTheIndexesNameForBothFamilies) {
  const uint32_t lo = if_nametoindex("lo");
  ASSERT_NE(lo, 0u);
  struct Case {
    const char* what;
    int family, level, option;
    uint32_t index;
    socklen_t length;
    int result, error;
    std::string device;
  };
  const Case cases[] = {
      {"IPv4", AF_INET, IPPROTO_IP, darwin::IP_BOUND_IF, lo, 4, 0, 0, "lo"},
      {"IPv6", AF_INET6, IPPROTO_IPV6, darwin::IPV6_BOUND_IF, lo, 4, 0, 0, "lo"},
      {"an index no interface has", AF_INET, IPPROTO_IP, darwin::IP_BOUND_IF, 0x7ffffff0u, 4, -1, ENXIO, ""},
      {"a length other than 4", AF_INET, IPPROTO_IP, darwin::IP_BOUND_IF, lo, 2, -1, EINVAL, ""},
  };
  for (const Case& c : cases) {
    int fd = socket(c.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    errno = 0;
    EXPECT_EQ(darwin::setsockopt(fd, c.level, c.option, &c.index, c.length), c.result) << c.what;
    if (c.result != 0) {
      EXPECT_EQ(errno, c.error) << c.what;
    }
    EXPECT_EQ(boundDevice(fd), c.device) << c.what;
    close(fd);
  }

  // Index 0 lifts the binding; other options pass through to the kernel unchanged.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(darwin::setsockopt(fd, IPPROTO_IP, darwin::IP_BOUND_IF, &lo, 4), 0);
  const uint32_t none = 0;
  EXPECT_EQ(darwin::setsockopt(fd, IPPROTO_IP, darwin::IP_BOUND_IF, &none, 4), 0);
  EXPECT_EQ(boundDevice(fd), "");
  int yes = 1, value = 0;
  socklen_t size = sizeof value;
  EXPECT_EQ(darwin::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes), 0);
  EXPECT_EQ(darwin::getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &value, &size), 0);
  EXPECT_EQ(value, 1);
  close(fd);
}

// What docs/probe.md says of the privilege, checked on the running kernel: with no capability at
// all, a fresh socket may be bound to an interface, but an existing binding cannot be changed.
TEST(DarwinBoundInterface, AFreshSocketNeedsNoPrivilegeButRebindingNeedsCapNetRaw) {
  const uint32_t lo = if_nametoindex("lo");
  pid_t child = fork();
  if (child == 0) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    if (syscall(SYS_capset, &header, none) != 0) _exit(10);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (darwin::setsockopt(fd, IPPROTO_IP, darwin::IP_BOUND_IF, &lo, 4) != 0) _exit(20 + (errno & 0x0f));
    if (darwin::setsockopt(fd, IPPROTO_IP, darwin::IP_BOUND_IF, &lo, 4) == 0) _exit(30);
    _exit(errno == EPERM ? 0 : 40);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: capabilities not dropped; 2x: first binding refused; "
                                       "30: rebinding allowed; 40: rebinding refused for another reason";
}

TEST(DarwinClock, CountsMonotonicNanosecondsAtRatioOneToOne) {
  darwin::mach_timebase_info_data_t timebase;
  ASSERT_EQ(darwin::mach_timebase_info(&timebase), darwin::KERN_SUCCESS);
  EXPECT_EQ(timebase.numer, 1u);
  EXPECT_EQ(timebase.denom, 1u);
  const uint64_t before = darwin::mach_absolute_time();
  const auto wallBefore = Clock::now();
  std::this_thread::sleep_for(20ms);  // a span of time to measure, not a synchronisation
  const uint64_t after = darwin::mach_absolute_time();
  const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - wallBefore).count();
  EXPECT_GE(after - before, 20'000'000u);
  EXPECT_LE(after - before, static_cast<uint64_t>(wall) + 1'000'000u);
}

// The probe on the real kernel, over loopback. The machine's own interface would be chosen and
// bound (and loopback is not reachable through it), so the interface list is the one thing faked.
class NoInterfaces : public darwin::DarwinSystem {
 public:
  int getifaddrs(ifaddrs** list) override {
    *list = nullptr;
    errno = 0;
    return 0;
  }
};

// A server listening on a loopback port, probed with no interface to bind to; the log captured.
class ProbeOnLoopback : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(listen(listener_, 16), 0); }
  void TearDown() override { close(listener_); }

  NoInterfaces noInterfaces_;
  darwin::ScopedDarwinSystem scope_{noInterfaces_};
  NSLogCapture log_;
  const int listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int port_ = loopbackPort(listener_);
};

TEST_F(ProbeOnLoopback, MeasuresOnASocketAboveFdSetSizeAndClosesIt) {
  allowDescriptorsUpTo(4200);
  int unused = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int closedPort = loopbackPort(unused);
  close(unused);

  // The process's one interface watch (a socket it keeps) is open before the count begins.
  darwin::DarwinSystem::real().interfaceListGeneration();
  // Every descriptor below 1100 taken, so the probe's socket lands above FD_SETSIZE.
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(null, 0);
  std::vector<int> fillers;
  for (int fd = dup(null); fd >= 0 && fd < 1100; fd = dup(null)) fillers.push_back(fd);
  int next = dup(null);
  ASSERT_GE(next, 1024);
  close(next);

  EXPECT_GE(NativeTcpPing::tcpPingBoundToPhysical("127.0.0.1", port_, 2000), 0);
  EXPECT_EQ(NativeTcpPing::tcpPingBoundToPhysical("127.0.0.1", closedPort, 2000), -1);

  // The probe's sockets are gone: the lowest free descriptor is the one they had.
  int after = dup(null);
  EXPECT_EQ(after, next);
  close(after);
  for (int fd : fillers) close(fd);
  close(null);

  auto lines = log_.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1], "[NativeTcpPing] → tcpPing 127.0.0.1:" + std::to_string(port_) +
                          " (timeout=2000ms, iface=<none, fallback default route>)");
  EXPECT_TRUE(lines[2].starts_with("[NativeTcpPing] ✓ connect ")) << lines[2];
  EXPECT_EQ(lines.back(), "[NativeTcpPing] ✗ all addrinfo entries failed for 127.0.0.1:" + std::to_string(closedPort));
}

// glibc would take port P + 65536 for P itself: the listening port answered a probe of another.
TEST_F(ProbeOnLoopback, APortOutsideTcpsRangeResolvesNothingAndIsNeverAnotherPort) {
  ASSERT_GE(NativeTcpPing::tcpPingBoundToPhysical("127.0.0.1", port_, 2000), 0);
  for (int wrong : {port_ + 65536, port_ - 65536, 65536, -1}) {
    EXPECT_EQ(NativeTcpPing::tcpPingBoundToPhysical("127.0.0.1", wrong, 2000), -1) << wrong;
    EXPECT_EQ(log_.lines().back(),
              "[NativeTcpPing] ✗ DNS resolution failed for 127.0.0.1: " + std::to_string(EAI_SERVICE))
        << wrong;
  }
  // The edges of the range and their spellings still resolve.
  for (const char* service : {"0", "65535", "00443", "-0"}) {
    addrinfo* list = nullptr;
    EXPECT_EQ(darwin::getaddrinfo("127.0.0.1", service, nullptr, &list), 0) << service;
    if (list != nullptr) darwin::freeaddrinfo(list);
  }
}

}  // namespace
