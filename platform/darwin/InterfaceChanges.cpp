// The interface list's change count and the index-to-name table, kept current by the kernel's
// routing messages (rtnetlink on Linux, where the platform has its routing socket) instead of
// asking the kernel afresh on every probe.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/ThreadSafety.h"
#include "platform/darwin/DarwinSystem.h"
#include "platform/darwin/InterfaceWatch.h"
#include "platform/posix/UniqueFd.h"

namespace darwin {

namespace {

// One netlink socket subscribed to link and IPv4 address changes, read only when someone asks:
// whatever the kernel has reported by then is taken in before the answer, so a change that has
// happened (the `ip` command that made it has returned) is never missed. No thread of its own.
class InterfaceWatch {
 public:
  // A forked child gets a watch of its own: reading the parent's socket would take the parent's
  // messages away, and the parent's lock may have been held by a thread the child does not have.
  static InterfaceWatch& shared() {
    static const bool registered = [] { return pthread_atfork(nullptr, nullptr, [] { forked = true; }) == 0; }();
    (void)registered;
    static InterfaceWatch* watch = new InterfaceWatch;  // used by worker threads, also while exit runs
    if (forked) {
      forked = false;
      watch->fd_.reset();
      watch = new InterfaceWatch;  // the rest of the parent's copy is left: its lock may be taken
    }
    return *watch;
  }

  uint64_t generation() {
    const int savedErrno = errno;  // an answer, not a failure: the caller's errno stays
    MutexLock lock(mutex_);
    takeInChanges();
    errno = savedErrno;
    return generation_;
  }

  // The name of the interface with `index`, from a table made after the last change; empty when
  // none has it.
  std::string nameOf(unsigned index) {
    const int savedErrno = errno;
    MutexLock lock(mutex_);
    takeInChanges();
    errno = savedErrno;
    if (!tableCurrent_) {
      table_.clear();
      if (struct if_nameindex* list = ::if_nameindex()) {
        for (const struct if_nameindex* e = list; e->if_index != 0; ++e) table_.emplace_back(e->if_index, e->if_name);
        ::if_freenameindex(list);
        tableCurrent_ = true;  // a list that could not be read is read again next time
      }
    }
    for (const auto& [i, name] : table_) {
      if (i == index) return name;
    }
    return {};
  }

 private:
  InterfaceWatch() {
    fd_.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!fd_.valid()) return;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) fd_.reset();
  }

  // Counts one change per batch of messages waiting on the socket. A lost batch (the socket's
  // buffer overflowed) counts too; without a working socket every question counts as a change,
  // which is a fresh read each time.
  void takeInChanges() REQUIRES(mutex_) {
    if (!fd_.valid()) {
      change();
      return;
    }
    bool changed = false;
    for (;;) {
      const ssize_t n =
          posix::retryOnInterrupt([&] { return ::recv(fd_.get(), buffer_, sizeof buffer_, MSG_DONTWAIT); });
      if (n > 0 || (n < 0 && errno == ENOBUFS)) {
        changed = true;
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        fd_.reset();
        changed = true;
      }
      break;
    }
    if (changed) change();
  }

  void change() REQUIRES(mutex_) {
    ++generation_;
    tableCurrent_ = false;
  }

  static inline bool forked = false;  // set in a forked child, which has one thread then

  Mutex mutex_;
  posix::UniqueFd fd_;  // under mutex_, but for a forked child's one thread dropping the parent's
  uint64_t generation_ GUARDED_BY(mutex_) = 1;
  bool tableCurrent_ GUARDED_BY(mutex_) = false;
  std::vector<std::pair<unsigned, std::string>> table_ GUARDED_BY(mutex_);
  char buffer_[16384] GUARDED_BY(mutex_);
};

}  // namespace

uint64_t DarwinSystem::interfaceListGeneration() { return InterfaceWatch::shared().generation(); }

std::string interfaceNameOfIndex(unsigned index) { return InterfaceWatch::shared().nameOf(index); }

}  // namespace darwin
