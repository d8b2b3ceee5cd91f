#include "platform/darwin/DarwinSystem.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "platform/NoDestructor.h"
#include "platform/darwin/InterfaceWatch.h"
#include "platform/posix/UniqueFd.h"

namespace darwin {

namespace {

std::atomic<DarwinSystem*> overridden{nullptr};

constexpr long kNanosPerSecond = 1000000000L;

timespec monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// now + interval, saturating: an interval of centuries must not wrap into the past.
timespec deadlineAfter(const timespec& now, const timespec& interval) {
  timespec deadline{};
  constexpr time_t kLatest = std::numeric_limits<time_t>::max();
  if (interval.tv_sec > kLatest - now.tv_sec - 1) {
    deadline.tv_sec = kLatest;
    deadline.tv_nsec = kNanosPerSecond - 1;
    return deadline;
  }
  deadline.tv_sec = now.tv_sec + interval.tv_sec;
  deadline.tv_nsec = now.tv_nsec + interval.tv_nsec;
  if (deadline.tv_nsec >= kNanosPerSecond) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= kNanosPerSecond;
  }
  return deadline;
}

timespec remainingUntil(const timespec& deadline, const timespec& now) {
  timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
  if (left.tv_nsec < 0) {
    left.tv_sec -= 1;
    left.tv_nsec += kNanosPerSecond;
  }
  return left;
}

bool isLoopbackDestination(const sockaddr* address, socklen_t length) {
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    sockaddr_in v4;
    std::memcpy(&v4, address, sizeof v4);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    sockaddr_in6 v6;
    std::memcpy(&v6, address, sizeof v6);
    if (IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr) && v6.sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

bool boundToNonLoopbackInterface(int fd) {
  ifreq request{};
  socklen_t length = IFNAMSIZ;
  if (::getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, request.ifr_name, &length) != 0 || request.ifr_name[0] == '\0') {
    return false;
  }
  if (::ioctl(fd, SIOCGIFFLAGS, &request) != 0) return false;
  return (request.ifr_flags & IFF_LOOPBACK) == 0;
}

}  // namespace

void FdSet::set(int fd) {
  if (fd < 0) return;
  size_t word = static_cast<size_t>(fd) / 64;
  if (words_.size() <= word) words_.resize(word + 1, 0);
  words_[word] |= uint64_t{1} << (fd % 64);
}

void FdSet::clear(int fd) {
  if (fd < 0) return;
  size_t word = static_cast<size_t>(fd) / 64;
  if (word < words_.size()) words_[word] &= ~(uint64_t{1} << (fd % 64));
}

bool FdSet::isSet(int fd) const {
  if (fd < 0) return false;
  size_t word = static_cast<size_t>(fd) / 64;
  return word < words_.size() && (words_[word] & (uint64_t{1} << (fd % 64))) != 0;
}

int FdSet::span() const {
  for (size_t word = words_.size(); word-- > 0;) {
    if (words_[word] != 0) return static_cast<int>(word * 64) + (64 - __builtin_clzll(words_[word]));
  }
  return 0;
}

namespace {

// A decimal service outside 0..65535 (a minus sign included). glibc reduces such a number modulo
// 65536 and resolves another port; the macOS resolver takes a number as a port only within the
// range, so there it resolves nothing.
bool isPortNumberOutOfRange(const char* service) {
  if (service == nullptr) return false;
  std::string_view text(service);
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
  const size_t firstDigit = text.find_first_not_of('0');
  if (firstDigit == std::string_view::npos) return false;  // 0, 00, -0
  const std::string_view digits = text.substr(firstDigit);
  return negative || digits.size() > 5 || (digits.size() == 5 && digits > "65535");
}

}  // namespace

int DarwinSystem::getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) {
  if (isPortNumberOutOfRange(service)) {
    if (result != nullptr) *result = nullptr;
    return EAI_SERVICE;
  }
  return ::getaddrinfo(node, service, hints, result);
}

void DarwinSystem::freeaddrinfo(addrinfo* list) { ::freeaddrinfo(list); }

int DarwinSystem::socket(int domain, int type, int protocol) { return ::socket(domain, type, protocol); }

int DarwinSystem::setsockopt(int fd, int level, int option, const void* value, socklen_t length) {
  bool boundInterface =
      (level == IPPROTO_IP && option == IP_BOUND_IF) || (level == IPPROTO_IPV6 && option == IPV6_BOUND_IF);
  if (!boundInterface) return ::setsockopt(fd, level, option, value, length);

  if (value == nullptr || length != sizeof(uint32_t)) {
    errno = EINVAL;
    return -1;
  }
  uint32_t index = 0;
  std::memcpy(&index, value, sizeof index);
  // Index 0 lifts the binding, as on the platform.
  if (index == 0) return ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, "", 0);
  // Linux binds by name (SO_BINDTOIFINDEX would take the index, but takes an index no interface
  // has without a word). The name comes from the watched table, not from a look-up per socket.
  const std::string name = interfaceNameOfIndex(index);
  if (name.empty()) {
    errno = ENXIO;
    return -1;
  }
  return ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(), static_cast<socklen_t>(name.size()));
}

int DarwinSystem::getsockopt(int fd, int level, int option, void* value, socklen_t* length) {
  return ::getsockopt(fd, level, option, value, length);
}

int DarwinSystem::fcntl(int fd, int command, int argument) { return ::fcntl(fd, command, argument); }

int DarwinSystem::connect(int fd, const sockaddr* address, socklen_t length) {
  // A socket bound to a physical interface cannot reach the loopback on the platform. Linux would
  // route it out through that interface's gateway instead, a loopback-addressed packet on the
  // wire, so such a connection is refused here before anything is sent.
  if (address != nullptr && isLoopbackDestination(address, length) && boundToNonLoopbackInterface(fd)) {
    errno = ENETUNREACH;
    return -1;
  }
  return ::connect(fd, address, length);
}

int DarwinSystem::select(int nfds, FdSet* readfds, FdSet* writefds, FdSet* errorfds, timeval* timeout) {
  const int savedErrno = errno;
  if (nfds < 0) {
    errno = EINVAL;
    return -1;
  }
  std::optional<timespec> interval;
  if (timeout != nullptr) {
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0 || timeout->tv_usec >= 1000000) {
      errno = EINVAL;
      return -1;
    }
    interval = timespec{timeout->tv_sec, static_cast<long>(timeout->tv_usec) * 1000};
  }

  std::vector<pollfd> polled;
  int highest = 0;
  for (FdSet* set : {readfds, writefds, errorfds}) {
    if (set != nullptr) highest = std::max(highest, set->span());
  }
  highest = std::min(highest, nfds);
  for (int fd = 0; fd < highest; ++fd) {
    short events = 0;
    if (readfds != nullptr && readfds->isSet(fd)) events |= POLLIN;
    if (writefds != nullptr && writefds->isSet(fd)) events |= POLLOUT;
    if (errorfds != nullptr && errorfds->isSet(fd)) events |= POLLPRI;
    if (events != 0) polled.push_back(pollfd{fd, events, 0});
  }

  // ppoll takes the whole interval as a timespec, so no millisecond count can overflow; a
  // signal only interrupts the wait, which then goes on for what is left of the interval.
  const timespec start = monotonicNow();
  const timespec deadline = interval ? deadlineAfter(start, *interval) : timespec{};
  std::optional<timespec> left = interval;
  const int ready = posix::retryOnInterrupt([&] {
    const int n = ::ppoll(polled.data(), polled.size(), left ? &*left : nullptr, nullptr);
    if (n < 0 && errno == EINTR && interval) {
      const timespec now = monotonicNow();
      if (!before(now, deadline)) return 0;
      left = remainingUntil(deadline, now);
    }
    return n;
  });
  if (ready < 0) return -1;

  for (const pollfd& p : polled) {
    if (p.revents & POLLNVAL) {
      errno = EBADF;
      return -1;
    }
  }
  for (FdSet* set : {readfds, writefds, errorfds}) {
    if (set != nullptr) set->zero();
  }
  int count = 0;
  for (const pollfd& p : polled) {
    // What select reports: a failed or hung-up descriptor counts as readable and writable.
    if ((p.events & POLLIN) && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
      readfds->set(p.fd);
      ++count;
    }
    if ((p.events & POLLOUT) && (p.revents & (POLLOUT | POLLHUP | POLLERR))) {
      writefds->set(p.fd);
      ++count;
    }
    if ((p.events & POLLPRI) && (p.revents & POLLPRI)) {
      errorfds->set(p.fd);
      ++count;
    }
  }
  errno = savedErrno;  // a timeout leaves errno as the caller had it
  return count;
}

int DarwinSystem::close(int fd) { return ::close(fd); }

int DarwinSystem::getifaddrs(ifaddrs** list) { return ::getifaddrs(list); }

void DarwinSystem::freeifaddrs(ifaddrs* list) { ::freeifaddrs(list); }

unsigned int DarwinSystem::if_nametoindex(const char* name) { return ::if_nametoindex(name); }

uint64_t DarwinSystem::mach_absolute_time() {
  timespec now = monotonicNow();
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
}

kern_return_t DarwinSystem::mach_timebase_info(mach_timebase_info_data_t* info) {
  if (info == nullptr) return 4;  // KERN_INVALID_ARGUMENT
  info->numer = 1;
  info->denom = 1;
  return KERN_SUCCESS;
}

DarwinSystem& DarwinSystem::real() {
  static NoDestructor<DarwinSystem> system;  // used by worker threads, also while exit runs
  return *system;
}

DarwinSystem& DarwinSystem::current() {
  DarwinSystem* d = overridden.load(std::memory_order_acquire);
  return d != nullptr ? *d : real();
}

ScopedDarwinSystem::ScopedDarwinSystem(DarwinSystem& double_)
    : previous_(overridden.exchange(&double_, std::memory_order_acq_rel)) {}

ScopedDarwinSystem::~ScopedDarwinSystem() { overridden.store(previous_, std::memory_order_release); }

}  // namespace darwin
