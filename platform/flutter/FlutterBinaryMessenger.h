// The binary messenger: raw platform messages by channel name, as the engine carries them.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

// Answers one message. An empty reply means no handler answered (or the answer was
// "not implemented"); the Flutter side reads it as such. Call it exactly once.
using FlutterBinaryReply = std::function<void(std::vector<uint8_t> reply)>;

using FlutterBinaryMessageHandler = std::function<void(std::span<const uint8_t> message, FlutterBinaryReply reply)>;

class FlutterBinaryMessenger {
 public:
  virtual ~FlutterBinaryMessenger() = default;

  // Sends to the Flutter side; `reply`, when given, runs on the main thread with its answer.
  virtual void sendOnChannel(const std::string& channel, std::span<const uint8_t> message,
                             FlutterBinaryReply reply = {}) = 0;
  // Installs the one handler of a channel, replacing any earlier one; an empty handler removes it.
  // Handlers are called on the main thread.
  virtual void setMessageHandlerOnChannel(const std::string& channel, FlutterBinaryMessageHandler handler) = 0;
};
