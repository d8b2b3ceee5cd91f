// Frames of the engine link, the Unix stream socket that carries platform messages between the
// Flutter side and the host (see docs/engine-link.md).
//
// Every frame: u32 length (little-endian; the bytes that follow, at most kMaxFrameLength), u8 type,
// body. Bodies:
//   message 0x01: u32 id, u16 channel length, channel (UTF-8), payload (codec-encoded method call)
//   reply   0x02: u32 id of the message answered, payload (encoded envelope; empty = no handler)
//   hello   0x03: the host's bundle identifier (UTF-8); the host sends it first on every connection
//
// Shared by the host's link server and by every client (proxyhostctl, tests, benchmarks).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/posix/Expected.h"

namespace enginelink {

inline constexpr uint32_t kMaxFrameLength = 16u * 1024 * 1024;
// The largest reply payload one frame carries: the frame less its type byte and the id.
inline constexpr size_t kMaxReplyPayload = kMaxFrameLength - 1 - 4;

enum class FrameType : uint8_t { message = 0x01, reply = 0x02, hello = 0x03 };

struct MessageFrame {
  uint32_t id = 0;
  std::string channel;
  std::vector<uint8_t> payload;
  bool operator==(const MessageFrame&) const = default;
};

struct ReplyFrame {
  uint32_t id = 0;
  std::vector<uint8_t> payload;  // empty: the engine's empty reply
  bool operator==(const ReplyFrame&) const = default;
};

struct HelloFrame {
  std::string bundleIdentifier;
  bool operator==(const HelloFrame&) const = default;
};

using Frame = std::variant<MessageFrame, ReplyFrame, HelloFrame>;

// The whole frame, length prefix included; an error for what the format cannot carry: a channel
// name above 65535 bytes, or a frame above kMaxFrameLength.
posix::Expected<std::vector<uint8_t>> encodeFrame(const Frame& frame);

// Cuts frames out of a byte stream as it arrives.
//
//   FrameReader reader;
//   reader.append(buf, n);
//   while (auto frame = reader.next()) handle(*frame);
//   if (reader.failed()) closeConnection(reader.error());
//
// A length above kMaxFrameLength fails as soon as the four length bytes are in, before anything
// is allocated for the body. So do an unknown type and a body too short for its type (checked as
// soon as the type byte, and for a message the channel length, are in). Whole frames that came
// before the bad one are still handed out; the failure shows once they are taken, and after it
// the reader gives no more frames and keeps nothing more of what is appended.
//
// Which types a side may receive is the caller's business: a hello is well-formed here.
class FrameReader {
 public:
  void append(const uint8_t* data, size_t n);
  std::optional<Frame> next();

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  // Bytes held that do not yet make a whole frame.
  size_t buffered() const { return buffer_.size() - start_; }
  // What the reader's buffer takes in memory: room for the frame coming in, at most one frame's
  // worth plus a read beyond it; a large buffer is given back once its frames are taken.
  size_t memoryCost() const { return buffer_.capacity(); }

 private:
  void scan();

  std::vector<uint8_t> buffer_;
  size_t start_ = 0;       // first byte not yet handed out by next()
  size_t scanned_ = 0;     // end of the whole frames whose headers were checked
  size_t partialEnd_ = 0;  // where the frame coming in will end, once its length is in; else 0
  std::string error_;
  std::string pendingError_;  // a bad header behind frames not yet taken
};

// Where the host listens: PROXYHOST_ENGINE_SOCKET when set, else
// $XDG_RUNTIME_DIR/<bundle identifier>/engine.sock, else /tmp/<bundle identifier>-<uid>/engine.sock.
std::string socketPath(const std::string& bundleIdentifier);

// The folder that holds the socket at `path` ("." for a bare name).
std::string socketFolder(const std::string& path);

// Whether `dir` can be trusted to hold the link's socket, and why not. Trusted: a folder
// itself (a symbolic link is not), belonging to this user or to root, and writable by no other
// user unless it is sticky as /tmp is (then nobody can remove or rename what is ours). Anything
// else would let another local user put a socket of their own in the host's place.
posix::Expected<void> checkSocketFolder(const std::string& dir);

}  // namespace enginelink
