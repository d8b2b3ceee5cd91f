#include "tools/proxyhostctl/LinkClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/posix/UniqueFd.h"

namespace enginelink {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 60'000 ? 60'000 : static_cast<int>(left);
}

// Waits for `events` on `fd` until `deadline`; the revents, 0 on timeout, -1 on error.
int waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int n = posix::retryOnInterrupt([&] { return ::poll(&p, 1, msLeft(deadline)); });
    if (n < 0) return -1;
    if (n == 0) {
      if (Clock::now() < deadline) continue;  // capped wait, not the deadline yet
      return 0;
    }
    return p.revents;
  }
}

}  // namespace

posix::Expected<std::unique_ptr<LinkClient>> LinkClient::connectRaw(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return posix::Error("unusable socket path '" + path + "'");
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  // Only the user's own host is spoken to: a socket that someone else could have put there, or
  // that another user serves, may be an impostor that would read the calls and forge answers.
  struct stat socketFile {};
  if (::lstat(path.c_str(), &socketFile) == 0) {
    if (auto trusted = checkSocketFolder(socketFolder(path)); !trusted) {
      return posix::Error(trusted.error().message() + "; not connecting to " + path);
    }
    if (socketFile.st_uid != ::geteuid()) {
      return posix::Error("the socket " + path + " belongs to uid " + std::to_string(socketFile.st_uid) +
                          ", not to uid " + std::to_string(::geteuid()) + "; not connecting");
    }
  }
  posix::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return posix::Error(std::string("socket: ") + std::strerror(errno));
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  // A host with a full backlog refuses a non-blocking connect with EAGAIN for a moment.
  for (int attempt = 0;; ++attempt) {
    if (posix::retryOnInterrupt(
            [&] { return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), size); }) == 0)
      break;
    if (errno == EAGAIN && attempt < 100) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    return posix::Error("cannot connect to " + path + ": " + std::strerror(errno));
  }
  // The file checks above leave a moment between look and connect; the peer's own credentials
  // leave none.
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0) {
    return posix::Error("cannot tell who serves " + path + ": " + std::strerror(errno));
  }
  if (peer.uid != ::geteuid()) {
    return posix::Error("the process serving " + path + " runs as uid " + std::to_string(peer.uid) + ", not as uid " +
                        std::to_string(::geteuid()) + "; not talking to it");
  }
  return std::unique_ptr<LinkClient>(new LinkClient(std::move(fd)));
}

posix::Expected<std::unique_ptr<LinkClient>> LinkClient::connect(const std::string& path, Milliseconds timeout) {
  auto client = connectRaw(path);
  if (!client) return client;
  if (auto hello = (*client)->readHello(timeout); !hello) return hello.error();
  return client;
}

posix::Expected<void> LinkClient::readHello(Milliseconds timeout) {
  auto frame = readFrame(timeout);
  if (!frame) return frame.error();
  auto* hello = std::get_if<HelloFrame>(&*frame);
  if (hello == nullptr) return posix::Error("the host did not start with a hello");
  bundleIdentifier_ = hello->bundleIdentifier;
  return {};
}

posix::Expected<void> LinkClient::sendRaw(std::span<const uint8_t> bytes) {
  size_t off = 0;
  // The host reads whatever it gets; a generous deadline only guards against a stuck host.
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (off < bytes.size()) {
    const ssize_t n = posix::retryOnInterrupt(
        [&] { return ::send(fd_.get(), bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL); });
    if (n >= 0) {
      off += static_cast<size_t>(n);
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return posix::Error(std::string("the link broke while sending: ") + std::strerror(errno));
    }
    if (waitFor(fd_.get(), POLLOUT, deadline) <= 0) return posix::Error("the host does not take what is sent");
  }
  return {};
}

posix::Expected<void> LinkClient::sendFrame(const Frame& frame) {
  const posix::Expected<std::vector<uint8_t>> bytes = encodeFrame(frame);
  if (!bytes) return bytes.error();
  return sendRaw(*bytes);
}

posix::Expected<void> LinkClient::fill(Clock::time_point deadline) {
  uint8_t buf[64 * 1024];
  for (;;) {
    const ssize_t n = posix::retryOnInterrupt([&] { return ::recv(fd_.get(), buf, sizeof buf, 0); });
    if (n > 0) {
      reader_.append(buf, static_cast<size_t>(n));
      return {};
    }
    if (n == 0) return posix::Error("the host closed the connection");
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return posix::Error(std::string("the link broke: ") + std::strerror(errno));
    }
    int revents = waitFor(fd_.get(), POLLIN, deadline);
    if (revents == 0) return posix::Error("timed out waiting for the host");
    if (revents < 0) return posix::Error(std::string("poll: ") + std::strerror(errno));
  }
}

posix::Expected<Frame> LinkClient::readFrame(Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto frame = reader_.next()) return std::move(*frame);
    if (reader_.failed()) return posix::Error("the host sent a malformed frame: " + reader_.error());
    if (auto filled = fill(deadline); !filled) return filled.error();
  }
}

posix::Expected<void> LinkClient::handle(Frame frame) {
  if (auto* reply = std::get_if<ReplyFrame>(&frame)) {
    replies_[reply->id] = std::move(reply->payload);
    return {};
  }
  if (auto* message = std::get_if<MessageFrame>(&frame)) {
    std::vector<uint8_t> answer = handler_ ? handler_(*message) : std::vector<uint8_t>{};
    return sendFrame(ReplyFrame{message->id, std::move(answer)});
  }
  return posix::Error("the host sent a second hello");
}

posix::Expected<uint32_t> LinkClient::post(const std::string& channel, std::span<const uint8_t> payload) {
  const uint32_t id = nextId_++;
  if (auto sent = sendFrame(MessageFrame{id, channel, std::vector<uint8_t>(payload.begin(), payload.end())}); !sent) {
    return sent.error();
  }
  return id;
}

posix::Expected<std::vector<uint8_t>> LinkClient::waitReply(uint32_t id, Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto it = replies_.find(id); it != replies_.end()) {
      std::vector<uint8_t> payload = std::move(it->second);
      replies_.erase(it);
      return payload;
    }
    if (auto frame = reader_.next()) {
      if (auto handled = handle(std::move(*frame)); !handled) return handled.error();
      continue;
    }
    if (reader_.failed()) return posix::Error("the host sent a malformed frame: " + reader_.error());
    if (auto filled = fill(deadline); !filled) return filled.error();
  }
}

posix::Expected<std::vector<uint8_t>> LinkClient::call(const std::string& channel, std::span<const uint8_t> payload,
                                                       Milliseconds timeout) {
  auto id = post(channel, payload);
  if (!id) return id.error();
  return waitReply(*id, timeout);
}

posix::Expected<void> LinkClient::pump(Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    while (auto frame = reader_.next()) {
      if (auto handled = handle(std::move(*frame)); !handled) return handled;
    }
    if (reader_.failed()) return posix::Error("the host sent a malformed frame: " + reader_.error());
    if (Clock::now() >= deadline) return {};
    if (auto filled = fill(deadline); !filled) {
      if (Clock::now() >= deadline && filled.error().message().starts_with("timed out")) return {};
      return filled;
    }
  }
}

bool LinkClient::waitForClose(Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  uint8_t buf[64 * 1024];
  for (;;) {
    const ssize_t n = posix::retryOnInterrupt([&] { return ::recv(fd_.get(), buf, sizeof buf, 0); });
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return true;  // reset: closed all the same
    if (waitFor(fd_.get(), POLLIN, deadline) <= 0) return false;
  }
}

void LinkClient::shutdownWrite() { ::shutdown(fd_.get(), SHUT_WR); }

}  // namespace enginelink
