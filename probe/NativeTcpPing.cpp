// The bound connect probe: resolve, then per address a non-blocking connect on a socket bound to
// the physical interface and one bounded wait, timed from just before connect().
#include "probe/NativeTcpPing.h"

#include <fcntl.h>
#include <netinet/in.h>

#include <cerrno>
#include <memory>
#include <string_view>

#include "platform/darwin/DarwinSystem.h"
#include "platform/foundation/NSLog.h"
#include "platform/posix/UniqueFd.h"

namespace {

struct AddressListFree {
  void operator()(addrinfo* list) const { darwin::freeaddrinfo(list); }
};

// Closed through the probe's own calls on every way out; the success and failure paths close
// explicitly, so that the log line comes first.
struct CloseThroughDarwin {
  void operator()(int fd) const { darwin::close(fd); }
};
using ProbeSocket = posix::BasicUniqueFd<CloseThroughDarwin>;

}  // namespace

timeval NativeTcpPing::waitInterval(int64_t timeoutMs) {
  timeval interval{};
  interval.tv_sec = timeoutMs / 1000;
  interval.tv_usec = static_cast<int32_t>(timeoutMs % 1000) * 1000;
  return interval;
}

int64_t NativeTcpPing::elapsedMillis(uint64_t start) {
  darwin::mach_timebase_info_data_t timebase;
  if (darwin::mach_timebase_info(&timebase) != darwin::KERN_SUCCESS || timebase.denom == 0) {
    // A clock that cannot say its ratio is taken to count nanoseconds rather than divide by zero.
    timebase = {1, 1};
  }
  uint64_t now = darwin::mach_absolute_time();
  uint64_t ticks = now - start;
  uint64_t nanos = ticks * timebase.numer / timebase.denom;
  return static_cast<int64_t>(nanos / 1000000);
}

int64_t NativeTcpPing::tcpPingBoundToPhysical(const std::string& host, int32_t port, int64_t timeoutMs) {
  const std::optional<PhysicalInterface> iface = pickPhysicalInterface();
  NSLog("[NativeTcpPing] → tcpPing %@:%d (timeout=%dms, iface=%@)", host, port, timeoutMs,
        iface ? std::string_view(iface->name) : std::string_view("<none, fallback default route>"));

  addrinfo hints{};
  hints.ai_flags = 0;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  const std::string service = std::to_string(port);
  addrinfo* resolved = nullptr;
  const int resolution = darwin::getaddrinfo(host.c_str(), service.c_str(), &hints, &resolved);
  if (resolution != 0 || resolved == nullptr) {
    NSLog("[NativeTcpPing] ✗ DNS resolution failed for %@: %d", host, resolution);
    return -1;
  }
  std::unique_ptr<addrinfo, AddressListFree> list(resolved);

  const timeval interval = waitInterval(timeoutMs);

  for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
    const int fd = darwin::socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
    if (fd < 0) {
      const int error = errno;
      NSLog("[NativeTcpPing] ✗ socket() failed: errno=%d", error);
      continue;
    }
    ProbeSocket socket(fd);

    if (iface) {
      const bool v6 = entry->ai_family == AF_INET6;
      const uint32_t index = iface->index;
      if (darwin::setsockopt(fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? darwin::IPV6_BOUND_IF : darwin::IP_BOUND_IF,
                             &index, sizeof index) == 0) {
        NSLog("[NativeTcpPing]   bound to iface %@(idx=%d)", iface->name, iface->index);
      } else {
        const int error = errno;
        NSLog("[NativeTcpPing] ⚠️ setsockopt(IP_BOUND_IF, %@(%d)) failed: errno=%d", iface->name, iface->index,
              error);
      }
    }

    // A blocking socket would make connect() ignore the timeout, so even flags that cannot be
    // read do not stop the switch.
    const int flags = darwin::fcntl(fd, F_GETFL, 0);
    darwin::fcntl(fd, F_SETFL, (flags < 0 ? 0 : flags) | O_NONBLOCK);

    const uint64_t start = darwin::mach_absolute_time();
    if (darwin::connect(fd, entry->ai_addr, entry->ai_addrlen) == 0) {
      const int64_t elapsed = elapsedMillis(start);
      NSLog("[NativeTcpPing] ✓ connect immediate %@:%d → %dms", host, port, elapsed);
      socket.reset();
      list.reset();
      return elapsed;
    }
    if (errno != EINPROGRESS) {
      const int error = errno;
      NSLog("[NativeTcpPing] ✗ connect() failed: errno=%d", error);
      socket.reset();
      continue;
    }

    darwin::FdSet writeSet;
    writeSet.zero();
    writeSet.set(fd);
    // Written afresh for every attempt: a select() that lowers its interval must not shorten the
    // next attempt's wait.
    timeval wait = interval;
    const int ready = darwin::select(fd + 1, nullptr, &writeSet, nullptr, &wait);
    if (ready <= 0) {
      const int error = errno;  // after a timeout: what connect() left, as a rule EINPROGRESS
      NSLog("[NativeTcpPing] ✗ select timeout/error: ret=%d errno=%d", ready, error);
      socket.reset();
      continue;
    }

    int pending = 0;
    socklen_t length = sizeof pending;
    darwin::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length);
    if (pending != 0) {
      NSLog("[NativeTcpPing] ✗ SO_ERROR=%d", pending);
      socket.reset();
      continue;
    }
    const int64_t elapsed = elapsedMillis(start);
    NSLog("[NativeTcpPing] ✓ connect ok %@:%d → %dms", host, port, elapsed);
    socket.reset();
    list.reset();
    return elapsed;
  }

  NSLog("[NativeTcpPing] ✗ all addrinfo entries failed for %@:%d", host, port);
  list.reset();
  return -1;
}
