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

void setError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

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

std::unique_ptr<LinkClient> LinkClient::connectRaw(const std::string& path, std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    setError(error, "unusable socket path '" + path + "'");
    return nullptr;
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  // Only the user's own host is spoken to: a socket that someone else could have put there, or
  // that another user serves, may be an impostor that would read the calls and forge answers.
  struct stat socketFile {};
  if (::lstat(path.c_str(), &socketFile) == 0) {
    if (auto trusted = checkSocketFolder(socketFolder(path)); !trusted) {
      setError(error, trusted.error().message() + "; not connecting to " + path);
      return nullptr;
    }
    if (socketFile.st_uid != ::geteuid()) {
      setError(error, "the socket " + path + " belongs to uid " + std::to_string(socketFile.st_uid) + ", not to uid " +
                          std::to_string(::geteuid()) + "; not connecting");
      return nullptr;
    }
  }
  posix::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    setError(error, std::string("socket: ") + std::strerror(errno));
    return nullptr;
  }
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
    setError(error, "cannot connect to " + path + ": " + std::strerror(errno));
    return nullptr;
  }
  // The file checks above leave a moment between look and connect; the peer's own credentials
  // leave none.
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0) {
    setError(error, "cannot tell who serves " + path + ": " + std::strerror(errno));
    return nullptr;
  }
  if (peer.uid != ::geteuid()) {
    setError(error, "the process serving " + path + " runs as uid " + std::to_string(peer.uid) + ", not as uid " +
                        std::to_string(::geteuid()) + "; not talking to it");
    return nullptr;
  }
  return std::unique_ptr<LinkClient>(new LinkClient(std::move(fd)));
}

std::unique_ptr<LinkClient> LinkClient::connect(const std::string& path, Milliseconds timeout, std::string* error) {
  auto client = connectRaw(path, error);
  if (client && !client->readHello(timeout, error)) return nullptr;
  return client;
}

bool LinkClient::readHello(Milliseconds timeout, std::string* error) {
  auto frame = readFrame(timeout, error);
  if (!frame) return false;
  auto* hello = std::get_if<HelloFrame>(&*frame);
  if (hello == nullptr) {
    setError(error, "the host did not start with a hello");
    return false;
  }
  bundleIdentifier_ = hello->bundleIdentifier;
  return true;
}

bool LinkClient::sendRaw(std::span<const uint8_t> bytes, std::string* error) {
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
      setError(error, std::string("the link broke while sending: ") + std::strerror(errno));
      return false;
    }
    if (waitFor(fd_.get(), POLLOUT, deadline) <= 0) {
      setError(error, "the host does not take what is sent");
      return false;
    }
  }
  return true;
}

bool LinkClient::sendFrame(const Frame& frame, std::string* error) {
  const posix::Expected<std::vector<uint8_t>> bytes = encodeFrame(frame);
  if (!bytes) {
    setError(error, bytes.error().message());
    return false;
  }
  return sendRaw(*bytes, error);
}

bool LinkClient::fill(Clock::time_point deadline, std::string* error) {
  uint8_t buf[64 * 1024];
  for (;;) {
    const ssize_t n = posix::retryOnInterrupt([&] { return ::recv(fd_.get(), buf, sizeof buf, 0); });
    if (n > 0) {
      reader_.append(buf, static_cast<size_t>(n));
      return true;
    }
    if (n == 0) {
      setError(error, "the host closed the connection");
      return false;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      setError(error, std::string("the link broke: ") + std::strerror(errno));
      return false;
    }
    int revents = waitFor(fd_.get(), POLLIN, deadline);
    if (revents == 0) {
      setError(error, "timed out waiting for the host");
      return false;
    }
    if (revents < 0) {
      setError(error, std::string("poll: ") + std::strerror(errno));
      return false;
    }
  }
}

std::optional<Frame> LinkClient::readFrame(Milliseconds timeout, std::string* error) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto frame = reader_.next()) return frame;
    if (reader_.failed()) {
      setError(error, "the host sent a malformed frame: " + reader_.error());
      return std::nullopt;
    }
    if (!fill(deadline, error)) return std::nullopt;
  }
}

bool LinkClient::handle(Frame frame, std::string* error) {
  if (auto* reply = std::get_if<ReplyFrame>(&frame)) {
    replies_[reply->id] = std::move(reply->payload);
    return true;
  }
  if (auto* message = std::get_if<MessageFrame>(&frame)) {
    std::vector<uint8_t> answer = handler_ ? handler_(*message) : std::vector<uint8_t>{};
    return sendFrame(ReplyFrame{message->id, std::move(answer)}, error);
  }
  setError(error, "the host sent a second hello");
  return false;
}

std::optional<uint32_t> LinkClient::post(const std::string& channel, std::span<const uint8_t> payload,
                                         std::string* error) {
  const uint32_t id = nextId_++;
  if (!sendFrame(MessageFrame{id, channel, std::vector<uint8_t>(payload.begin(), payload.end())}, error)) {
    return std::nullopt;
  }
  return id;
}

std::optional<std::vector<uint8_t>> LinkClient::waitReply(uint32_t id, Milliseconds timeout, std::string* error) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto it = replies_.find(id); it != replies_.end()) {
      std::vector<uint8_t> payload = std::move(it->second);
      replies_.erase(it);
      return payload;
    }
    if (auto frame = reader_.next()) {
      if (!handle(std::move(*frame), error)) return std::nullopt;
      continue;
    }
    if (reader_.failed()) {
      setError(error, "the host sent a malformed frame: " + reader_.error());
      return std::nullopt;
    }
    if (!fill(deadline, error)) return std::nullopt;
  }
}

std::optional<std::vector<uint8_t>> LinkClient::call(const std::string& channel, std::span<const uint8_t> payload,
                                                     Milliseconds timeout, std::string* error) {
  auto id = post(channel, payload, error);
  if (!id) return std::nullopt;
  return waitReply(*id, timeout, error);
}

bool LinkClient::pump(Milliseconds timeout, std::string* error) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    while (auto frame = reader_.next()) {
      if (!handle(std::move(*frame), error)) return false;
    }
    if (reader_.failed()) {
      setError(error, "the host sent a malformed frame: " + reader_.error());
      return false;
    }
    if (Clock::now() >= deadline) return true;
    std::string why;
    if (!fill(deadline, &why)) {
      if (Clock::now() >= deadline && why.starts_with("timed out")) return true;
      setError(error, why);
      return false;
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
