#include "platform/flutter/EngineLink.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "platform/ThreadSafety.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/flutter/EngineLinkFrame.h"
#include "platform/foundation/NSLog.h"
#include "platform/posix/Files.h"
#include "platform/posix/Signals.h"
#include "platform/posix/UniqueFd.h"

namespace {

using enginelink::Frame;
using enginelink::FrameReader;
using enginelink::HelloFrame;
using enginelink::kMaxFrameLength;
using enginelink::MessageFrame;
using enginelink::ReplyFrame;

// Memory budgets, counted at what the bytes take in memory. The most a well-behaved client makes
// the host hold is a frame of at most 16 MiB each way at a time; these leave room for two, so only
// a client that floods the host or stops reading meets them.
// Replies and messages waiting to be written to one client: past it, the client is cut off.
constexpr size_t kClientOutputBudget = 32u << 20;
// One client's messages handed to the main queue and not answered yet, with its partial frame: at
// it, the client's socket is not read until replies go out.
constexpr size_t kClientInboundBudget = 32u << 20;
// All that the link holds for its clients together: past it, the client holding the most is cut
// off; with half of it in messages waiting for their replies, no client is read.
constexpr size_t kHostBudget = 128u << 20;
// What a message waiting for the main thread costs beyond its bytes: the queued work, the reply
// state and their allocations.
constexpr size_t kQueuedMessageCost = 512;
// Output is packed into chunks of this size, so a small reply costs its own bytes rather than an
// allocation of its own (a 9-byte reply alone takes 56).
constexpr size_t kOutputChunk = 64 * 1024;
// Freed memory the allocator keeps is handed back to the system once this much was released.
constexpr size_t kTrimAfter = 8u << 20;
constexpr size_t kReadChunk = 64 * 1024;
// How long accepting pauses when the process runs out of descriptors.
constexpr int kAcceptPauseMs = 100;

std::string errnoText(int err) { return std::strerror(err); }

// What the link shares with reply callbacks and main-queue work, which may run on any thread
// and after the link is gone.
struct Shared {
  struct Reply {
    uint64_t connection;
    uint32_t id;
    std::vector<uint8_t> payload;
    size_t messageCost;  // what the message answered was counted at while it waited
  };
  struct Send {
    std::string channel;
    std::vector<uint8_t> payload;
    FlutterBinaryReply reply;
  };

  Shared(posix::UniqueFd wake, EngineLink::Deliver d, EngineLink::PeersChanged p)
      : wakeFd(std::move(wake)), deliver(std::move(d)), peersChanged(std::move(p)) {}

  // False once the link is stopping: the caller's work was not taken.
  bool post(Reply reply) {
    MutexLock lock(mutex);
    if (stopped) return false;
    replies.push_back(std::move(reply));
    wakeLocked();
    return true;
  }

  // Takes `send` only when it returns true.
  bool post(Send& send) {
    MutexLock lock(mutex);
    if (stopped) return false;
    sends.push_back(std::move(send));
    wakeLocked();
    return true;
  }

  void wakeLocked() REQUIRES(mutex) {
    uint64_t one = 1;
    // EAGAIN would mean the counter is saturated, which still reads as "wake up".
    posix::retryOnInterrupt([&] { return ::write(wakeFd.get(), &one, sizeof one); });
  }

  const posix::UniqueFd wakeFd;
  Mutex mutex;
  bool stopped GUARDED_BY(mutex) = false;
  std::vector<Reply> replies GUARDED_BY(mutex);
  std::vector<Send> sends GUARDED_BY(mutex);
  // Read on the main thread only; set once at start.
  const EngineLink::Deliver deliver;
  const EngineLink::PeersChanged peersChanged;
};

// Answers one message from the Flutter side. Copies of the FlutterBinaryReply share it, so the
// first call wins and a reply that is dropped without being called still answers (empty) when
// the last copy goes: the client would otherwise wait for it forever.
class PendingReply {
 public:
  PendingReply(std::weak_ptr<Shared> shared, uint64_t connection, uint32_t id, std::string channel, size_t cost)
      : shared_(std::move(shared)), connection_(connection), id_(id), channel_(std::move(channel)), cost_(cost) {}
  PendingReply(const PendingReply&) = delete;
  PendingReply& operator=(const PendingReply&) = delete;

  ~PendingReply() {
    if (answered_.load()) return;
    if (auto shared = shared_.lock()) {
      NSLog("engine link: message %u on %@ was dropped without a reply; sending the empty reply", id_, channel_);
      shared->post(Shared::Reply{connection_, id_, {}, cost_});
    }
  }

  void answer(std::vector<uint8_t> payload) {
    if (answered_.exchange(true)) {
      NSLog("engine link: message %u on %@ was answered twice; the second reply is dropped", id_, channel_);
      return;
    }
    auto shared = shared_.lock();
    if (!shared) return;
    if (payload.size() > enginelink::kMaxReplyPayload) {
      NSLog("engine link: the reply to message %u on %@ is %lu bytes, above the frame limit; sending the empty reply",
            id_, channel_, payload.size());
      payload.clear();
    }
    shared->post(Shared::Reply{connection_, id_, std::move(payload), cost_});
  }

 private:
  std::weak_ptr<Shared> shared_;
  const uint64_t connection_;
  const uint32_t id_;
  const std::string channel_;
  const size_t cost_;
  std::atomic<bool> answered_{false};
};

// Frames waiting to be written to one client, as one stream of bytes. Small frames are packed
// into shared chunks, so what the queue holds is what it costs.
class OutputQueue {
 public:
  void push(const std::vector<uint8_t>& frame) {
    if (frame.size() >= kOutputChunk / 2) {
      chunks_.push_back(frame);
      cost_ += chunks_.back().capacity();
      return;
    }
    if (chunks_.empty() || chunks_.back().size() + frame.size() > chunks_.back().capacity()) {
      chunks_.emplace_back().reserve(kOutputChunk);
      cost_ += chunks_.back().capacity();
    }
    chunks_.back().insert(chunks_.back().end(), frame.begin(), frame.end());
  }

  bool empty() const { return chunks_.empty(); }
  // Bytes allocated for what waits.
  size_t cost() const { return cost_; }

  // Points `iov` at up to `max` pieces of what waits, in order; how many.
  size_t pending(iovec* iov, size_t max) {
    size_t count = 0;
    for (auto it = chunks_.begin(); it != chunks_.end() && count < max; ++it, ++count) {
      const size_t skip = count == 0 ? offset_ : 0;
      iov[count] = {it->data() + skip, it->size() - skip};
    }
    return count;
  }

  // Forgets `n` bytes that were written; the bytes of memory that freed.
  size_t consume(size_t n) {
    size_t freed = 0;
    while (n > 0) {
      const size_t left = chunks_.front().size() - offset_;
      if (n < left) {
        offset_ += n;
        break;
      }
      n -= left;
      freed += chunks_.front().capacity();
      chunks_.pop_front();
      offset_ = 0;
    }
    cost_ -= freed;
    return freed;
  }

  // Drops everything; the bytes of memory that freed.
  size_t clear() {
    const size_t freed = cost_;
    chunks_.clear();
    offset_ = 0;
    cost_ = 0;
    return freed;
  }

 private:
  std::deque<std::vector<uint8_t>> chunks_;
  size_t offset_ = 0;  // bytes of the first chunk already written
  size_t cost_ = 0;
};

void answerEmptyOnMain(FlutterBinaryReply reply) {
  if (!reply) return;
  DispatchQueue::main().async([reply = std::move(reply)] { reply({}); });
}

class EngineLinkServer final : public EngineLink {
 public:
  EngineLinkServer(std::string path, std::string bundleIdentifier, posix::UniqueFd listenFd, struct stat socketFile,
                   std::shared_ptr<Shared> shared)
      : path_(std::move(path)),
        // A bundle identifier is far below the frame limit.
        hello_(enginelink::encodeFrame(HelloFrame{std::move(bundleIdentifier)}).value()),
        listenFd_(std::move(listenFd)),
        socketFile_(socketFile),
        shared_(std::move(shared)) {
    posix::ServiceThreadSignals blocked;
    thread_ = std::thread([this] { run(); });
  }

  ~EngineLinkServer() override {
    std::vector<Shared::Send> unsent;
    {
      MutexLock lock(shared_->mutex);
      shared_->stopped = true;
      shared_->wakeLocked();
      unsent.swap(shared_->sends);
    }
    thread_.join();
    for (auto& [serial, connection] : connections_) drop(connection);
    connections_.clear();
    for (auto& send : unsent) answerEmptyOnMain(std::move(send.reply));
    listenFd_.reset();
    // Only our own socket file: never one that another host bound after ours went stale.
    struct stat now {};
    if (::lstat(path_.c_str(), &now) == 0 && now.st_dev == socketFile_.st_dev && now.st_ino == socketFile_.st_ino) {
      ::unlink(path_.c_str());
    }
  }

  void send(const std::string& channel, std::vector<uint8_t> payload, FlutterBinaryReply reply) override {
    if (channel.size() > 0xffff || payload.size() + channel.size() > kMaxFrameLength - (1 + 4 + 2)) {
      NSLog("engine link: a message on %@ is too large for the link (%lu bytes); it gets the empty reply",
            channel.substr(0, 200), payload.size());
      answerEmptyOnMain(std::move(reply));
      return;
    }
    Shared::Send s{channel, std::move(payload), std::move(reply)};
    if (!shared_->post(s)) answerEmptyOnMain(std::move(s.reply));
  }

  const std::string& path() const override { return path_; }

 private:
  struct Connection {
    posix::UniqueFd fd;
    int pid = 0;  // the client's process, from SO_PEERCRED
    FrameReader reader;
    OutputQueue out;
    size_t unanswered = 0;    // messages handed to the main queue, not yet answered
    size_t inbound = 0;       // what those messages were counted at
    bool readClosed = false;  // the client shut down its side: answer what it sent, then close
    bool closed = false;
    std::map<uint32_t, FlutterBinaryReply> awaiting;  // our messages to it, by id

    // What cutting the client off would give back at once.
    size_t releasable() const { return out.cost() + reader.memoryCost(); }
  };

  void run() {
    std::vector<pollfd> fds;
    std::vector<uint64_t> serials;
    std::vector<uint8_t> chunk(kReadChunk);
    for (;;) {
      fds.clear();
      serials.clear();
      fds.push_back({shared_->wakeFd.get(), POLLIN, 0});
      const bool accepting = std::chrono::steady_clock::now() >= acceptPausedUntil_;
      fds.push_back({listenFd_.get(), static_cast<short>(accepting ? POLLIN : 0), 0});
      for (auto& [serial, c] : connections_) {
        short events = 0;
        if (!c.readClosed && c.inbound + c.reader.memoryCost() < kClientInboundBudget && inbound_ < kHostBudget / 2) {
          events |= POLLIN;
        }
        if (!c.out.empty()) events |= POLLOUT;
        fds.push_back({c.fd.get(), events, 0});
        serials.push_back(serial);
      }
      if (posix::retryOnInterrupt([&] { return ::poll(fds.data(), fds.size(), accepting ? -1 : kAcceptPauseMs); }) <
          0) {
        NSLog("engine link: poll failed: %@", errnoText(errno));
        return;
      }
      if (fds[0].revents & POLLIN) {
        uint64_t count;
        posix::retryOnInterrupt([&] { return ::read(shared_->wakeFd.get(), &count, sizeof count); });
      }
      if (!takeWork()) return;
      if (fds[1].revents & POLLIN) acceptAll();
      for (size_t i = 0; i < serials.size(); ++i) {
        auto it = connections_.find(serials[i]);
        if (it == connections_.end()) continue;
        Connection& c = it->second;
        const short revents = fds[i + 2].revents;
        if (!c.closed && (revents & (POLLIN | POLLERR))) readFrom(it->first, c, chunk);
        // Hang-up: the client closed both ways, so nothing more can reach it. Whatever it sent
        // before is still read (and delivered) first.
        if (!c.closed && (revents & POLLHUP) && (c.readClosed || !(revents & POLLIN))) drop(c);
        if (!c.closed && (revents & POLLOUT)) flush(c);
      }
      keepWithinHostBudget();
      std::erase_if(connections_, [](const auto& entry) { return entry.second.closed; });
      reportPeers();
      if (released_ >= kTrimAfter) {
        // glibc keeps freed memory for reuse; what a flood made it take should not stay held.
        ::malloc_trim(0);
        released_ = 0;
      }
    }
  }

  // Cuts off the clients holding the most until all that the link holds fits the host's budget.
  // Messages already on the main queue are not taken back: they count until answered.
  void keepWithinHostBudget() {
    size_t total = inbound_;
    for (const auto& [serial, c] : connections_) total += c.releasable();
    while (total > kHostBudget) {
      Connection* largest = nullptr;
      for (auto& [serial, c] : connections_) {
        if (!c.closed && (largest == nullptr || c.releasable() > largest->releasable())) largest = &c;
      }
      if (largest == nullptr || largest->releasable() == 0) return;
      NSLog(
          "engine link: closed the connection holding the most memory (%lu bytes): all clients together held "
          "%lu bytes, more than the %lu allowed",
          largest->releasable(), total, kHostBudget);
      total -= largest->releasable();
      drop(*largest);
    }
  }

  // Tells the main thread who is connected, when that changed since it was last told.
  void reportPeers() {
    if (!shared_->peersChanged) return;
    std::vector<int> pids;
    for (const auto& [serial, c] : connections_) {
      if (!c.closed) pids.push_back(c.pid);
    }
    if (pids == reportedPeers_) return;
    reportedPeers_ = pids;
    DispatchQueue::main().async([weak = std::weak_ptr<Shared>(shared_), pids = std::move(pids)]() mutable {
      if (auto shared = weak.lock()) shared->peersChanged(std::move(pids));
    });
  }

  // Replies and sends queued by other threads; false when the link is stopping.
  bool takeWork() {
    std::vector<Shared::Reply> replies;
    std::vector<Shared::Send> sends;
    {
      MutexLock lock(shared_->mutex);
      if (shared_->stopped) return false;
      replies.swap(shared_->replies);
      sends.swap(shared_->sends);
    }
    for (auto& r : replies) {
      inbound_ -= r.messageCost;
      released_ += r.messageCost;
      auto it = connections_.find(r.connection);
      if (it == connections_.end() || it->second.closed) continue;  // its client has gone
      Connection& c = it->second;
      if (c.unanswered > 0) --c.unanswered;
      c.inbound -= r.messageCost;
      // Replies and messages were held to the frame limit when they were handed over.
      queue(c, enginelink::encodeFrame(ReplyFrame{r.id, std::move(r.payload)}).value());
    }
    for (auto& s : sends) {
      Connection* target = nullptr;
      for (auto& [serial, c] : connections_) {
        if (!c.closed && !c.readClosed) {
          target = &c;
          break;
        }
      }
      if (target == nullptr) {
        answerEmptyOnMain(std::move(s.reply));
        continue;
      }
      const uint32_t id = nextMessageId_++;
      if (s.reply) target->awaiting.emplace(id, std::move(s.reply));
      queue(*target, enginelink::encodeFrame(MessageFrame{id, std::move(s.channel), std::move(s.payload)}).value());
    }
    for (auto& [serial, c] : connections_) {
      if (!c.closed && !c.out.empty()) flush(c);
    }
    return true;
  }

  void acceptAll() {
    for (;;) {
      posix::UniqueFd fd(posix::retryOnInterrupt(
          [&] { return ::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }));
      if (!fd.valid()) {
        if (errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          NSLog("engine link: cannot accept a connection: %@; pausing", errnoText(errno));
          acceptPausedUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
        }
        return;
      }
      ucred peer{};
      socklen_t size = sizeof peer;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        NSLog("engine link: closed a connection whose peer cannot be identified: %@", errnoText(errno));
        continue;
      }
      if (peer.uid != ::geteuid()) {
        NSLog("engine link: closed a connection from uid %u (pid %d): only uid %u may connect", peer.uid, peer.pid,
              ::geteuid());
        continue;
      }
      const uint64_t serial = nextSerial_++;
      Connection& c = connections_[serial];
      c.fd = std::move(fd);
      c.pid = peer.pid;
      queue(c, hello_);
      flush(c);
    }
  }

  void readFrom(uint64_t serial, Connection& c, std::vector<uint8_t>& chunk) {
    const ssize_t n = posix::retryOnInterrupt([&] { return ::recv(c.fd.get(), chunk.data(), chunk.size(), 0); });
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      drop(c);  // reset by the client: it no longer wants its replies
      return;
    }
    if (n == 0) {
      c.readClosed = true;
      failAwaiting(c);
      closeIfDone(c);
      return;
    }
    c.reader.append(chunk.data(), static_cast<size_t>(n));
    while (auto frame = c.reader.next()) {
      if (auto* m = std::get_if<MessageFrame>(&*frame)) {
        deliver(serial, c, std::move(*m));
      } else if (auto* r = std::get_if<ReplyFrame>(&*frame)) {
        auto it = c.awaiting.find(r->id);
        if (it == c.awaiting.end()) {
          NSLog("engine link: ignored a reply to %u, which the host never sent or was already answered", r->id);
          continue;
        }
        DispatchQueue::main().async(
            [reply = std::move(it->second), payload = std::move(r->payload)]() mutable { reply(std::move(payload)); });
        c.awaiting.erase(it);
      } else {
        NSLog("engine link: closed a connection that sent a hello; only the host sends one");
        drop(c);
        return;
      }
    }
    if (c.reader.failed()) {
      NSLog("engine link: closed a connection that sent a malformed frame: %@", c.reader.error());
      drop(c);
    }
  }

  void deliver(uint64_t serial, Connection& c, MessageFrame m) {
    const size_t cost = m.payload.capacity() + m.channel.capacity() + kQueuedMessageCost;
    ++c.unanswered;
    c.inbound += cost;
    inbound_ += cost;
    auto pending = std::make_shared<PendingReply>(shared_, serial, m.id, m.channel, cost);
    FlutterBinaryReply reply = [pending](std::vector<uint8_t> payload) { pending->answer(std::move(payload)); };
    DispatchQueue::main().async([weak = std::weak_ptr<Shared>(shared_), channel = std::move(m.channel),
                                 payload = std::move(m.payload), reply = std::move(reply)]() mutable {
      // A message that reaches the main queue after the link is gone has nobody to go to.
      if (auto shared = weak.lock()) shared->deliver(channel, std::move(payload), std::move(reply));
    });
  }

  void queue(Connection& c, const std::vector<uint8_t>& frame) {
    c.out.push(frame);
    if (c.out.cost() > kClientOutputBudget) {
      NSLog("engine link: closed a connection that left more than %lu bytes unread", kClientOutputBudget);
      drop(c);
    }
  }

  void flush(Connection& c) {
    // Many small replies go out in one call; sendmsg, unlike writev, takes MSG_NOSIGNAL.
    constexpr size_t kMaxIov = 64;
    iovec iov[kMaxIov];
    while (!c.out.empty()) {
      msghdr msg{};
      msg.msg_iov = iov;
      msg.msg_iovlen = c.out.pending(iov, kMaxIov);
      const ssize_t n =
          posix::retryOnInterrupt([&] { return ::sendmsg(c.fd.get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT); });
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        drop(c);  // EPIPE, ECONNRESET: the client has gone, and with it the replies it was owed
        return;
      }
      released_ += c.out.consume(static_cast<size_t>(n));
    }
    closeIfDone(c);
  }

  void closeIfDone(Connection& c) {
    if (c.readClosed && c.unanswered == 0 && c.out.empty()) drop(c);
  }

  void failAwaiting(Connection& c) {
    for (auto& [id, reply] : c.awaiting) answerEmptyOnMain(std::move(reply));
    c.awaiting.clear();
  }

  // Closes the socket now; the entry goes at the end of the poll round.
  void drop(Connection& c) {
    if (c.closed) return;
    c.closed = true;
    failAwaiting(c);
    c.fd.reset();
    released_ += c.out.clear() + c.reader.memoryCost();
    c.reader = FrameReader();
  }

  const std::string path_;
  const std::vector<uint8_t> hello_;
  posix::UniqueFd listenFd_;
  const struct stat socketFile_;
  const std::shared_ptr<Shared> shared_;

  // Owned by the I/O thread while it runs.
  std::map<uint64_t, Connection> connections_;  // by serial, so the first is the oldest
  uint64_t nextSerial_ = 1;
  uint32_t nextMessageId_ = 1;
  std::chrono::steady_clock::time_point acceptPausedUntil_{};
  size_t inbound_ = 0;   // messages of every client, gone ones too, waiting for their replies
  size_t released_ = 0;  // bytes freed since the allocator last gave memory back
  std::vector<int> reportedPeers_;

  std::thread thread_;
};

// Holds an exclusive lock on the socket's folder: two hosts starting at once must not both take
// the other's fresh socket for a stale one (it refuses connections between bind and listen).
class FolderLock {
 public:
  explicit FolderLock(const std::string& dir) : fd_(posix::lockFile(dir, O_RDONLY | O_DIRECTORY)) {}

 private:
  posix::Expected<posix::UniqueFd> fd_;
};

}  // namespace

posix::Expected<std::unique_ptr<EngineLink>> EngineLink::start(const std::string& socketPath,
                                                               const std::string& bundleIdentifier, Deliver deliver,
                                                               PeersChanged peersChanged) {
  auto fail = [](std::string reason) { return posix::Error(std::move(reason)); };

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty()) return fail("no socket path");
  if (socketPath.size() >= sizeof address.sun_path) {
    return fail("socket path " + socketPath + " is too long (" + std::to_string(socketPath.size()) +
                " bytes; at most " + std::to_string(sizeof address.sun_path - 1) + ")");
  }
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  const socklen_t addressSize = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath.size() + 1);

  const std::string dir = enginelink::socketFolder(socketPath);
  // An existing folder is left as it is, whoever owns it: whether it can be trusted is checked next.
  if (auto made = posix::createFolders(dir, 0700); !made) return fail(made.error().message());
  if (auto trusted = enginelink::checkSocketFolder(dir); !trusted) {
    return fail(trusted.error().message() +
                "; refusing to serve from it (another user could put their socket in its place)");
  }
  FolderLock lock(dir);

  struct stat existing {};
  if (::lstat(socketPath.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) return fail(socketPath + " exists and is not a socket");
    posix::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe.valid()) return fail("socket: " + errnoText(errno));
    int rc = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), addressSize);
    int err = errno;
    probe.reset();
    // A full backlog (EAGAIN) is a live host too.
    if (rc == 0 || err == EAGAIN || err == EINPROGRESS) {
      return fail("another host is already serving " + socketPath);
    }
    if (err != ECONNREFUSED) return fail("cannot check the existing socket " + socketPath + ": " + errnoText(err));
    NSLog("engine link: replacing the stale socket %@", socketPath);
    if (::unlink(socketPath.c_str()) != 0 && errno != ENOENT) {
      return fail("cannot remove the stale socket " + socketPath + ": " + errnoText(errno));
    }
  } else if (errno != ENOENT) {
    return fail("cannot inspect " + socketPath + ": " + errnoText(errno));
  }

  posix::UniqueFd listenFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listenFd.valid()) return fail("socket: " + errnoText(errno));
  if (::bind(listenFd.get(), reinterpret_cast<const sockaddr*>(&address), addressSize) != 0) {
    return fail("cannot bind " + socketPath + ": " + errnoText(errno));
  }
  // Nobody can connect before listen(), so the mode is right before anyone could use the socket.
  struct stat bound {};
  if (::chmod(socketPath.c_str(), 0600) != 0 || ::lstat(socketPath.c_str(), &bound) != 0 ||
      ::listen(listenFd.get(), SOMAXCONN) != 0) {
    int err = errno;
    ::unlink(socketPath.c_str());
    return fail("cannot serve " + socketPath + ": " + errnoText(err));
  }
  posix::UniqueFd wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wakeFd.valid()) {
    int err = errno;
    ::unlink(socketPath.c_str());
    return fail("eventfd: " + errnoText(err));
  }
  auto shared = std::make_shared<Shared>(std::move(wakeFd), std::move(deliver), std::move(peersChanged));
  return std::unique_ptr<EngineLink>(
      std::make_unique<EngineLinkServer>(socketPath, bundleIdentifier, std::move(listenFd), bound, std::move(shared)));
}
