// The Flutter side's end of the engine link (docs/engine-link.md), for proxyhostctl, tests and
// benchmarks: connect, read the host's hello, call channels, answer what the host sends.
//
//   auto client = enginelink::LinkClient::connect(path, 2s);
//   if (!client) return client.error();
//   auto reply = (*client)->call("net.proxyhost.client/window", payload, 5s);
//
// One thread uses a client at a time. Messages the host sends while the client waits are answered
// by the message handler (by default with the empty reply, as Flutter does for a channel nobody
// listens on); replies that come for other calls are kept until asked for.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/flutter/EngineLinkFrame.h"
#include "platform/posix/Expected.h"
#include "platform/posix/UniqueFd.h"

namespace enginelink {

class LinkClient {
 public:
  using Milliseconds = std::chrono::milliseconds;
  // Returns the reply payload for a message from the host (empty: no handler).
  using MessageHandler = std::function<std::vector<uint8_t>(const MessageFrame& message)>;

  // Connects and reads the hello. An error when nobody serves `path`, or the hello does not come
  // within `timeout`.
  static posix::Expected<std::unique_ptr<LinkClient>> connect(const std::string& path, Milliseconds timeout);
  // Connects without reading anything: for tests that look at the stream from its first byte.
  static posix::Expected<std::unique_ptr<LinkClient>> connectRaw(const std::string& path);

  LinkClient(const LinkClient&) = delete;
  LinkClient& operator=(const LinkClient&) = delete;

  // From the hello; empty for a client made by connectRaw until readHello() succeeds.
  const std::string& bundleIdentifier() const { return bundleIdentifier_; }
  posix::Expected<void> readHello(Milliseconds timeout);
  int fd() const { return fd_.get(); }

  // Sends a message and waits for its reply payload (empty: the host had no answer). An error when
  // the link breaks, the host misbehaves or no reply comes within `timeout`.
  posix::Expected<std::vector<uint8_t>> call(const std::string& channel, std::span<const uint8_t> payload,
                                             Milliseconds timeout);
  // The two halves of call(), for callers that keep several messages in flight.
  posix::Expected<uint32_t> post(const std::string& channel, std::span<const uint8_t> payload);
  posix::Expected<std::vector<uint8_t>> waitReply(uint32_t id, Milliseconds timeout);

  void setMessageHandler(MessageHandler handler) { handler_ = std::move(handler); }
  // Handles what arrives for `timeout` (host messages answered, replies kept); an error when the
  // link broke.
  posix::Expected<void> pump(Milliseconds timeout);

  // Raw access, for tests that break the rules on purpose.
  posix::Expected<void> sendRaw(std::span<const uint8_t> bytes);
  posix::Expected<void> sendFrame(const Frame& frame);
  // The next frame as it comes, not handled. An error on timeout, close or a malformed frame.
  posix::Expected<Frame> readFrame(Milliseconds timeout);
  // True when the host closes the connection within `timeout`; what it sends before is dropped.
  bool waitForClose(Milliseconds timeout);
  // Tells the host nothing more comes; replies still do.
  void shutdownWrite();

 private:
  explicit LinkClient(posix::UniqueFd fd) : fd_(std::move(fd)) {}
  // Reads once (waiting at most until `deadline`); an error on close, error or timeout.
  posix::Expected<void> fill(std::chrono::steady_clock::time_point deadline);
  // Handles one frame for call()/pump(): replies kept, host messages answered.
  posix::Expected<void> handle(Frame frame);

  posix::UniqueFd fd_;
  std::string bundleIdentifier_;
  FrameReader reader_;
  std::map<uint32_t, std::vector<uint8_t>> replies_;
  uint32_t nextId_ = 1;
  MessageHandler handler_;
};

}  // namespace enginelink
