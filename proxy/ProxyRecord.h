// The record of proxies this host may have switched on, kept in the user's state folder so that
// a crash, a kill -9 or a power loss cannot leave them on unnoticed: the guard and the next start
// read it. An absent record means nothing is on.
//
//   ProxyRecord& record = ProxyRecord::forThisApplication();
//   if (auto kept = record.addEnabled(services, host, port, socks); !kept) refuse(kept.error());  // before an enable
//   ProxyRecord::Lock lock = record.lock();               // a guard or a start that cleans up
//   if (record.read().mayBeOn() && ...) { cleanup(); record.clear(); }
//
// Only a finished cleanup takes anything off: a disable's script goes on past failures and
// answers success all the same, so its answer proves nothing, and a cleanup that runs when all is
// already off costs only its runs.
//
// The file is <folder>/proxy-record, replaced atomically on every change, so a reader finds the
// old content or the new. One that cannot be read whole (torn by a disk fault, edited, of another
// version, not a regular file) reads `unreadable`, which counts as "something may be on"; it is
// opened without blocking, so a FIFO planted there cannot hold a start. <folder>/proxy-record.lock
// is the lock that keeps a guard still cleaning up and a host starting from both running. The
// folder belongs to the real user alone (posix::createOwnFolder): two users' hosts never share a
// record, also when one of them runs through sudo with the other's HOME. Safe from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ThreadSafety.h"
#include "platform/posix/Process.h"
#include "platform/posix/UniqueFd.h"

namespace proxy {

struct ProxyRecordContent {
  posix::ProcessIdentity owner;
  std::vector<std::string> services;  // switched on, in the order they first were
  std::string host;
  int64_t port = 0;
  int64_t socks = 0;
  bool operator==(const ProxyRecordContent&) const = default;
};

// The file's text, and back: nothing when the text is not a whole record.
std::string encodeProxyRecord(const ProxyRecordContent& content);
std::optional<ProxyRecordContent> decodeProxyRecord(std::string_view text);

class ProxyRecord {
 public:
  enum class State { absent, present, unreadable };
  struct Reading {
    State state = State::absent;
    std::optional<ProxyRecordContent> content;  // when present
    bool mayBeOn() const { return state != State::absent; }
  };

  // The record in `folder` (made, only as the real user's own, when first written).
  explicit ProxyRecord(std::string folder);
  // <user state folder>/<bundle identifier>: $XDG_STATE_HOME, or ~/.local/state; when that is
  // not the real user's own, the same folder under the account's home from the password database.
  static ProxyRecord& forThisApplication();

  Reading read() const;
  // Adds `services` (keeping the ones already there) for this process as the owner, with the
  // host and ports of the latest enable; why not when it cannot be written.
  posix::Expected<void> addEnabled(const std::vector<std::string>& services, const std::string& host, int64_t port,
                                   int64_t socks);
  void clear();

  // An exclusive lock on the record between processes, held while the object lives; blocks
  // until it is free.
  class Lock {
   public:
    // Closing the only descriptor releases the lock.
    explicit Lock(posix::UniqueFd fd) : fd_(std::move(fd)) {}

   private:
    posix::UniqueFd fd_;
  };
  Lock lock() const;

  const std::string& path() const { return path_; }
  // The file lock() locks; an administrator run holds it shared while it runs.
  std::string lockPath() const { return path_ + ".lock"; }

 private:
  posix::Expected<void> writeLocked(const ProxyRecordContent& content) REQUIRES(mutex_);

  std::string folder_;
  std::string path_;
  Mutex mutex_;  // one change at a time within this process
};

}  // namespace proxy
