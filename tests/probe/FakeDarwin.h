// A scripted stand-in for the probe's outside world (interfaces, resolver, sockets, clock) that
// writes down, in order, every call the probe makes and every log line it writes, and checks that
// each socket, address list and interface list it handed out is released exactly once.
#pragma once

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/darwin/DarwinSystem.h"
#include "platform/foundation/NSLog.h"

namespace probe_testing {

struct FakeInterface {
  std::string name;
  unsigned int flags = 0;
  std::optional<int> family;  // none: an entry without an address
  std::string address;        // numeric text for AF_INET / AF_INET6
};

// What becomes of the connection attempt to one resolved address. By default: a connect under
// way, a wait that sees the socket writable, no pending error, no time passing.
//
//   FakeAttempt::at("192.0.2.10").bindFails(EPERM).takes(7 * kMs)
struct FakeAttempt {
  std::string address;             // numeric IPv4 or IPv6 text
  int socketErrno = 0;             // socket() fails with it
  int bindErrno = 0;               // the interface binding fails with it
  int connectErrno = EINPROGRESS;  // 0: connected at once
  int selectResult = 1;            // the wait's result
  int selectErrno = 0;             // set by a wait that fails
  int soError = 0;                 // the pending error read after the wait
  bool getsockoptFails = false;
  uint64_t ticks = 0;                // clock ticks that pass in connect() or the wait
  std::function<void()> duringWait;  // runs inside the wait, outside the fake's lock

  static FakeAttempt at(std::string address) {
    FakeAttempt a;
    a.address = std::move(address);
    return a;
  }
  FakeAttempt& socketFails(int error) { return socketErrno = error, *this; }
  FakeAttempt& bindFails(int error) { return bindErrno = error, *this; }
  FakeAttempt& connectsAtOnce() { return connectErrno = 0, *this; }
  FakeAttempt& connectFails(int error) { return connectErrno = error, *this; }
  FakeAttempt& waitReturns(int result, int error = 0) { return selectResult = result, selectErrno = error, *this; }
  FakeAttempt& pendingError(int error) { return soError = error, *this; }
  FakeAttempt& cannotReadPendingError() { return getsockoptFails = true, *this; }
  FakeAttempt& takes(uint64_t t) { return ticks = t, *this; }
  FakeAttempt& whileWaiting(std::function<void()> fn) { return duringWait = std::move(fn), *this; }
};

struct FakeResolution {
  int code = 0;
  std::vector<FakeAttempt> attempts;  // code 0 with none: an empty list
};

class FakeDarwin : public darwin::DarwinSystem {
 public:
  FakeDarwin();
  ~FakeDarwin() override;

  // The world, set up before the probe runs.
  std::vector<FakeInterface> interfaces;
  std::optional<int> getifaddrsErrno;   // set: getifaddrs() fails with it
  bool getifaddrsListsNothing = false;  // returns 0 and no list
  std::map<std::string, uint32_t> indexes;
  // Set: the interface list's change count the platform reports (a test moves it to announce a
  // change). Unset: a new count on every question, as if the list changed before every probe.
  std::optional<uint64_t> interfaceGeneration;
  std::map<std::string, FakeResolution> hosts;  // unknown hosts: EAI_NONAME
  uint32_t numer = 1, denom = 1;
  // The clock: `now` plus the ticks that the calling thread's calls took, so that probes running
  // side by side do not see each other's time pass.
  uint64_t now = 5'000'000'000;
  uint64_t setupTicks = 0;     // ticks each interface, resolver and socket set-up call takes
  int firstDescriptor = 1500;  // above FD_SETSIZE on purpose

  // Every call and log line, in order: "socket(2,1,6)=1500", "close(1500)", "log: ...".
  std::vector<std::string> journal() const;
  // Only what must come in a fixed order around the answer: log lines, closes and frees.
  std::vector<std::string> transcript() const;
  // The log lines alone.
  std::vector<std::string> logLines() const;
  // Sockets still open, lists not freed, double frees or closes of unknown descriptors.
  std::vector<std::string> leaks() const;

  int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) override;
  void freeaddrinfo(addrinfo* list) override;
  int socket(int domain, int type, int protocol) override;
  int setsockopt(int fd, int level, int option, const void* value, socklen_t length) override;
  int getsockopt(int fd, int level, int option, void* value, socklen_t* length) override;
  int fcntl(int fd, int command, int argument) override;
  int connect(int fd, const sockaddr* address, socklen_t length) override;
  int select(int nfds, darwin::FdSet* readfds, darwin::FdSet* writefds, darwin::FdSet* errorfds,
             timeval* timeout) override;
  int close(int fd) override;
  int getifaddrs(ifaddrs** list) override;
  void freeifaddrs(ifaddrs* list) override;
  unsigned int if_nametoindex(const char* name) override;
  uint64_t interfaceListGeneration() override;
  uint64_t mach_absolute_time() override;
  darwin::kern_return_t mach_timebase_info(darwin::mach_timebase_info_data_t* info) override;

 private:
  struct Socket {
    FakeAttempt attempt;
    int flags = 2;  // O_RDWR
  };
  void record(std::string entry);
  const FakeAttempt* attemptFor(int fd) const;

  mutable std::mutex mutex_;
  std::vector<std::string> journal_;
  // Lists handed out, by head (a head may come again once its list is gone), and whether freed.
  struct AddressList {
    std::vector<FakeAttempt> attempts;
    bool freed = false;
  };
  std::map<const addrinfo*, AddressList> addressLists_;
  std::map<const ifaddrs*, bool> interfaceLists_;
  std::map<std::thread::id, std::pair<const addrinfo*, size_t>> cursors_;
  std::map<std::thread::id, uint64_t> elapsed_;  // next attempt per thread
  std::map<int, Socket> open_;
  std::vector<std::string> faults_;
  int nextDescriptor_ = 0;
  uint64_t serial_ = 0;  // this double's number among all made
  std::unique_ptr<NSLogCapture> capture_;
  std::unique_ptr<darwin::ScopedDarwinSystem> scope_;
};

// "192.0.2.1:443" or "[2001:db8::1]:443".
std::string describe(const sockaddr* address);

}  // namespace probe_testing
