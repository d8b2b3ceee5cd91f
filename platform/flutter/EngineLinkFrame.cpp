#include "platform/flutter/EngineLinkFrame.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace enginelink {

namespace {

// The most buffer a reader keeps once it has handed out everything it held.
constexpr size_t kKeptBuffer = 256 * 1024;

// Fixed parts of each body, type byte excluded.
constexpr size_t kMessageHead = 4 + 2;  // id, channel length
constexpr size_t kReplyHead = 4;        // id

void putU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void putU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void putBytes(std::vector<uint8_t>& out, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  out.insert(out.end(), p, p + n);
}

}  // namespace

posix::Expected<std::vector<uint8_t>> encodeFrame(const Frame& frame) {
  std::vector<uint8_t> out;
  std::optional<posix::Error> failure;
  std::visit(
      [&out, &failure](const auto& f) {
        using T = std::decay_t<decltype(f)>;
        size_t length = 1;
        if constexpr (std::is_same_v<T, MessageFrame>) {
          if (f.channel.size() > 0xffff) {
            failure = posix::Error("engine link: channel name longer than 65535 bytes");
            return;
          }
          length += kMessageHead + f.channel.size() + f.payload.size();
        } else if constexpr (std::is_same_v<T, ReplyFrame>) {
          length += kReplyHead + f.payload.size();
        } else {
          length += f.bundleIdentifier.size();
        }
        if (length > kMaxFrameLength) {
          failure = posix::Error("engine link: frame longer than 16 MiB");
          return;
        }
        out.reserve(4 + length);
        putU32(out, static_cast<uint32_t>(length));
        if constexpr (std::is_same_v<T, MessageFrame>) {
          out.push_back(static_cast<uint8_t>(FrameType::message));
          putU32(out, f.id);
          putU16(out, static_cast<uint16_t>(f.channel.size()));
          putBytes(out, f.channel.data(), f.channel.size());
          putBytes(out, f.payload.data(), f.payload.size());
        } else if constexpr (std::is_same_v<T, ReplyFrame>) {
          out.push_back(static_cast<uint8_t>(FrameType::reply));
          putU32(out, f.id);
          putBytes(out, f.payload.data(), f.payload.size());
        } else {
          out.push_back(static_cast<uint8_t>(FrameType::hello));
          putBytes(out, f.bundleIdentifier.data(), f.bundleIdentifier.size());
        }
      },
      frame);
  if (failure) return *failure;
  return out;
}

void FrameReader::append(const uint8_t* data, size_t n) {
  if (failed() || n == 0) return;
  // Drop what was already taken before growing, so a long-lived connection keeps one frame's worth.
  if (start_ > 0 && (start_ == buffer_.size() || start_ >= buffer_.size() / 2)) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    scanned_ -= start_;
    if (partialEnd_ > 0) partialEnd_ -= start_;
    start_ = 0;
  }
  if (buffer_.size() + n > buffer_.capacity()) {
    // Grow as the bytes come (a header alone never buys 16 MiB), but never past the end of the
    // frame coming in: doubling would hold up to twice a large frame.
    size_t room = std::max(buffer_.size() + n, 2 * buffer_.capacity());
    if (partialEnd_ >= buffer_.size() + n) room = std::min(room, partialEnd_);
    buffer_.reserve(room);
  }
  buffer_.insert(buffer_.end(), data, data + n);
  partialEnd_ = 0;
  scan();
}

// Walks the headers that are in, so a bad one is refused as soon as its bytes arrive rather than
// when the frame completes: a peer must not make us hold (or wait for) up to 16 MiB first.
void FrameReader::scan() {
  while (pendingError_.empty()) {
    const size_t have = buffer_.size() - scanned_;
    if (have < 4) return;
    const uint8_t* p = buffer_.data() + scanned_;
    const uint32_t length = getU32(p);
    std::string bad;
    if (length > kMaxFrameLength) {
      bad = "frame length " + std::to_string(length) + " exceeds the limit of " + std::to_string(kMaxFrameLength);
    } else if (length == 0) {
      bad = "empty frame (no type byte)";
    } else if (have >= 5) {
      const uint8_t type = p[4];
      if (type == static_cast<uint8_t>(FrameType::message)) {
        if (length < 1 + kMessageHead) {
          bad = "message frame too short for its header";
        } else if (have >= 4 + 1 + kMessageHead && length < 1 + kMessageHead + getU16(p + 9)) {
          bad = "message frame too short for its channel name";
        }
      } else if (type == static_cast<uint8_t>(FrameType::reply)) {
        if (length < 1 + kReplyHead) bad = "reply frame too short for its id";
      } else if (type != static_cast<uint8_t>(FrameType::hello)) {
        bad = "unknown frame type " + std::to_string(type);
      }
    }
    if (!bad.empty()) {
      pendingError_ = std::move(bad);
      buffer_.resize(scanned_);  // nothing past a bad header is of any use
      if (scanned_ == start_) error_ = pendingError_;
      return;
    }
    // Only a whole frame lets the scan move on; a partial one is looked at again when more comes
    // (its channel length may not be in yet).
    if (have < 4 + static_cast<size_t>(length)) {
      partialEnd_ = scanned_ + 4 + static_cast<size_t>(length);
      return;
    }
    scanned_ += 4 + static_cast<size_t>(length);
  }
}

std::optional<Frame> FrameReader::next() {
  if (failed()) return std::nullopt;
  if (start_ == scanned_) {
    // Frames ahead of a bad one are handed out first; the failure shows once they are taken.
    if (!pendingError_.empty()) error_ = pendingError_;
    return std::nullopt;
  }
  // Everything below scanned_ is a whole frame whose header scan() accepted.
  const uint8_t* p = buffer_.data() + start_;
  const uint32_t length = getU32(p);
  const uint8_t type = p[4];
  const uint8_t* body = p + 5;
  const size_t bodySize = length - 1;
  start_ += 4 + static_cast<size_t>(length);
  if (start_ == scanned_ && !pendingError_.empty()) error_ = pendingError_;

  Frame frame;
  if (type == static_cast<uint8_t>(FrameType::message)) {
    MessageFrame m;
    m.id = getU32(body);
    const size_t channelSize = getU16(body + 4);
    m.channel.assign(reinterpret_cast<const char*>(body + kMessageHead), channelSize);
    m.payload.assign(body + kMessageHead + channelSize, body + bodySize);
    frame = std::move(m);
  } else if (type == static_cast<uint8_t>(FrameType::reply)) {
    ReplyFrame r;
    r.id = getU32(body);
    r.payload.assign(body + kReplyHead, body + bodySize);
    frame = std::move(r);
  } else {
    frame = HelloFrame{std::string(reinterpret_cast<const char*>(body), bodySize)};
  }
  if (start_ == buffer_.size()) {
    // Everything taken: a buffer grown for a large frame goes back rather than staying held by an
    // idle connection.
    buffer_.clear();
    start_ = scanned_ = 0;
    if (buffer_.capacity() > kKeptBuffer) std::vector<uint8_t>().swap(buffer_);
  }
  return frame;
}

std::string socketPath(const std::string& bundleIdentifier) {
  const char* explicitPath = std::getenv("PROXYHOST_ENGINE_SOCKET");
  if (explicitPath != nullptr && explicitPath[0] != '\0') return explicitPath;
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  if (runtimeDir != nullptr && runtimeDir[0] != '\0') {
    return std::string(runtimeDir) + "/" + bundleIdentifier + "/engine.sock";
  }
  return "/tmp/" + bundleIdentifier + "-" + std::to_string(getuid()) + "/engine.sock";
}

std::string socketFolder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

posix::Expected<void> checkSocketFolder(const std::string& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0)
    return posix::Error("cannot inspect the socket folder " + dir + ": " + std::strerror(errno));
  if (S_ISLNK(st.st_mode)) return posix::Error("the socket folder " + dir + " is a symbolic link");
  if (!S_ISDIR(st.st_mode)) return posix::Error(dir + " is not a folder");
  const uid_t self = ::geteuid();
  if (st.st_uid != self && st.st_uid != 0) {
    return posix::Error("the socket folder " + dir + " belongs to uid " + std::to_string(st.st_uid) + ", not to uid " +
                        std::to_string(self));
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return posix::Error("the socket folder " + dir + " can be written by other users (mode " + mode + ")");
  }
  return {};
}

}  // namespace enginelink
