// The host's end of the engine link: serves the engine's binary messenger to Flutter-side
// processes over a Unix stream socket (see docs/engine-link.md).
//
// Contract:
// - The socket's folder is made 0700 and the socket 0600. A stale socket left by a dead host is
//   replaced; a live one is never stolen (start fails and says so).
// - A peer whose uid differs from the host's (SO_PEERCRED) is closed at once.
// - Every connection first receives a hello frame with the bundle identifier.
// - Incoming messages are handed to `deliver` on the main queue in arrival order, across all
//   connections. The reply callback given with each may be called once from any thread; it never
//   blocks on a slow client. A reply for a connection that has gone is dropped. A reply callback
//   that is destroyed without being called answers empty; a second call, or a reply too large
//   for a frame, is logged (the latter goes as the empty reply).
// - Memory is bounded in bytes, counted at what they take: a client that leaves more than 32 MiB of
//   output unread is closed; one whose messages waiting for replies (and partial frame) take
//   32 MiB is not read from until replies go out; when all clients together hold more than
//   128 MiB, the one holding the most is closed. A client that shuts down its writing side still
//   gets its replies, then the connection closes.
// - A malformed frame (see FrameReader) closes only its connection, with one log line.
// - send() carries a host-originated message to the Flutter side: the oldest live connection.
//   Its reply callback runs on the main queue; with no connection it gets the empty reply at once.
// - `peersChanged`, when given, hears on the main queue the process ids of the connected clients,
//   oldest first (the one send() reaches leads), each time that list changes.
// - Socket I/O runs on one thread of the link's own; the destructor stops it and closes every
//   connection and the listening socket (unlinking the socket file).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/flutter/FlutterBinaryMessenger.h"
#include "platform/posix/Expected.h"

class EngineLink {
 public:
  using Deliver =
      std::function<void(const std::string& channel, std::vector<uint8_t> payload, FlutterBinaryReply reply)>;
  using PeersChanged = std::function<void(std::vector<int> pids)>;

  // Binds and starts serving; why not when the socket cannot be served.
  static posix::Expected<std::unique_ptr<EngineLink>> start(const std::string& socketPath,
                                                            const std::string& bundleIdentifier, Deliver deliver,
                                                            PeersChanged peersChanged = {});

  virtual ~EngineLink() = default;
  virtual void send(const std::string& channel, std::vector<uint8_t> payload, FlutterBinaryReply reply) = 0;
  virtual const std::string& path() const = 0;

 protected:
  EngineLink() = default;
};
