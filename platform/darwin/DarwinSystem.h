// The BSD socket calls, the resolver, the interface list and the Darwin clock, as the latency
// probe calls them, behind one seam.
//
//   int fd = darwin::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
//   uint32_t index = darwin::if_nametoindex("en0");
//   darwin::setsockopt(fd, IPPROTO_IP, darwin::IP_BOUND_IF, &index, sizeof index);
//   darwin::FdSet writeSet;
//   writeSet.set(fd);
//   timeval interval{1, 500000};
//   int ready = darwin::select(fd + 1, nullptr, &writeSet, nullptr, &interval);
//
// The free functions forward to DarwinSystem::current(): the real calls unless a test has put a
// double in place with ScopedDarwinSystem. A double derives from DarwinSystem and overrides only
// what it fakes; the rest stays real.
//
// Where Linux differs from the platform:
// - IP_BOUND_IF / IPV6_BOUND_IF become SO_BINDTODEVICE with the name of the interface that has
//   the index, so the connection leaves through that interface whatever the routes say; a bad
//   index is ENXIO, a length other than 4 EINVAL. Binding a fresh socket needs no privilege on
//   Linux 5.7 and later; changing an existing binding needs CAP_NET_RAW (docs/probe.md).
// - connect() on a socket bound to a non-loopback interface refuses a loopback destination with
//   ENETUNREACH, as the platform cannot reach it that way; Linux would send it to the interface's
//   gateway.
// - select() takes an FdSet, which has no FD_SETSIZE ceiling (the platform's
//   _DARWIN_UNLIMITED_SELECT), and waits with ppoll: a negative or malformed interval fails at
//   once with EINVAL, a zero one returns at once, and any other one is honoured in full, however
//   long, also across signals (EINTR does not end the wait early).
// - interfaceListGeneration() reads rtnetlink link and IPv4 address messages on one socket of the
//   process, in the network namespace of the thread that first asks; the binding option's
//   index-to-name table is refreshed by the same messages.
// - The clock is CLOCK_MONOTONIC in nanoseconds, so the timebase ratio is 1/1.
// - Error numbers, EAI codes and the socket constants are Linux's own; code uses their names.
#pragma once

#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <vector>

namespace darwin {

// The platform's numbers for its interface-binding options (levels IPPROTO_IP and IPPROTO_IPV6).
inline constexpr int IP_BOUND_IF = 25;
inline constexpr int IPV6_BOUND_IF = 125;

using kern_return_t = int;
inline constexpr kern_return_t KERN_SUCCESS = 0;

struct mach_timebase_info_data_t {
  uint32_t numer = 0;
  uint32_t denom = 0;
};

// A descriptor set for select() that holds any descriptor, however high.
class FdSet {
 public:
  void zero() { words_.clear(); }
  void set(int fd);
  void clear(int fd);
  bool isSet(int fd) const;
  // The highest descriptor in the set plus one, or 0 when it is empty.
  int span() const;

 private:
  std::vector<uint64_t> words_;
};

class DarwinSystem {
 public:
  virtual ~DarwinSystem() = default;

  // The resolver.
  virtual int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
  virtual void freeaddrinfo(addrinfo* list);

  // Sockets.
  virtual int socket(int domain, int type, int protocol);
  virtual int setsockopt(int fd, int level, int option, const void* value, socklen_t length);
  virtual int getsockopt(int fd, int level, int option, void* value, socklen_t* length);
  virtual int fcntl(int fd, int command, int argument);
  virtual int connect(int fd, const sockaddr* address, socklen_t length);
  // Waits until a descriptor below `nfds` in a given set is ready, or `timeout` (null: no limit)
  // has passed; returns the number of ready descriptors and leaves only those in the sets, 0 on
  // timeout (sets cleared, errno untouched), -1 with errno on failure.
  virtual int select(int nfds, FdSet* readfds, FdSet* writefds, FdSet* errorfds, timeval* timeout);
  virtual int close(int fd);

  // The interface list.
  virtual int getifaddrs(ifaddrs** list);
  virtual void freeifaddrs(ifaddrs* list);
  virtual unsigned int if_nametoindex(const char* name);
  // A number that moves whenever an interface or an IPv4 address may have come, gone or changed
  // (name, flags, address) since it last moved, so a caller may keep a snapshot of the list for
  // as long as the number stays. Every change that the kernel has made by the time of the call is
  // counted in its answer. Stands for the platform's routing-socket messages.
  virtual uint64_t interfaceListGeneration();

  // The clock.
  virtual uint64_t mach_absolute_time();
  virtual kern_return_t mach_timebase_info(mach_timebase_info_data_t* info);

  // The one in force: a test's double, or the real calls.
  static DarwinSystem& current();
  static DarwinSystem& real();
};

// Puts `double_` in force for as long as it lives. The caller sees to it that no call is under
// way on another thread when it is made or goes (tests wait for their replies first).
class ScopedDarwinSystem {
 public:
  explicit ScopedDarwinSystem(DarwinSystem& double_);
  ~ScopedDarwinSystem();
  ScopedDarwinSystem(const ScopedDarwinSystem&) = delete;
  ScopedDarwinSystem& operator=(const ScopedDarwinSystem&) = delete;

 private:
  DarwinSystem* previous_;
};

inline int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  return DarwinSystem::current().getaddrinfo(node, service, hints, result);
}
inline void freeaddrinfo(addrinfo* list) { DarwinSystem::current().freeaddrinfo(list); }
inline int socket(int domain, int type, int protocol) { return DarwinSystem::current().socket(domain, type, protocol); }
inline int setsockopt(int fd, int level, int option, const void* value, socklen_t length) {
  return DarwinSystem::current().setsockopt(fd, level, option, value, length);
}
inline int getsockopt(int fd, int level, int option, void* value, socklen_t* length) {
  return DarwinSystem::current().getsockopt(fd, level, option, value, length);
}
inline int fcntl(int fd, int command, int argument) { return DarwinSystem::current().fcntl(fd, command, argument); }
inline int connect(int fd, const sockaddr* address, socklen_t length) {
  return DarwinSystem::current().connect(fd, address, length);
}
inline int select(int nfds, FdSet* readfds, FdSet* writefds, FdSet* errorfds, timeval* timeout) {
  return DarwinSystem::current().select(nfds, readfds, writefds, errorfds, timeout);
}
inline int close(int fd) { return DarwinSystem::current().close(fd); }
inline int getifaddrs(ifaddrs** list) { return DarwinSystem::current().getifaddrs(list); }
inline void freeifaddrs(ifaddrs* list) { DarwinSystem::current().freeifaddrs(list); }
inline unsigned int if_nametoindex(const char* name) { return DarwinSystem::current().if_nametoindex(name); }
inline uint64_t interfaceListGeneration() { return DarwinSystem::current().interfaceListGeneration(); }
inline uint64_t mach_absolute_time() { return DarwinSystem::current().mach_absolute_time(); }
inline kern_return_t mach_timebase_info(mach_timebase_info_data_t* info) {
  return DarwinSystem::current().mach_timebase_info(info);
}

}  // namespace darwin
