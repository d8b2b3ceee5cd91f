#include "platform/flutter/FlutterChannels.h"

#include <atomic>
#include <string_view>

#include "platform/dispatch/Dispatch.h"
#include "platform/flutter/EngineLinkFrame.h"
#include "platform/foundation/NSLog.h"

namespace {

// Holds one message's reply until the handler answers; answers empty if it never does.
class PendingReply {
 public:
  PendingReply(std::string channel, std::string method, FlutterBinaryReply reply, const StandardMethodCodec& codec)
      : channel_(std::move(channel)), method_(std::move(method)), reply_(std::move(reply)), codec_(codec) {}

  ~PendingReply() {
    if (!answered_.exchange(true)) {
      NSLog("Flutter channel %@: method %@ was dropped without a result; sending the empty reply", channel_, method_);
      reply_({});
    }
  }

  void answer(const FlutterResultValue& value) {
    if (answered_.exchange(true)) {
      NSLog("Flutter channel %@: result of %@ called more than once; ignored", channel_, method_);
      return;
    }
    reply_(encodeResultValue(value, codec_));
  }

 private:
  std::string channel_, method_;
  FlutterBinaryReply reply_;
  const StandardMethodCodec& codec_;
  std::atomic<bool> answered_{false};
};

}  // namespace

namespace {

// Appended to an error's text that was cut to fit a reply.
constexpr std::string_view kTrimmedMark = "\u2026(trimmed)";
// What a string costs in an envelope beyond its text: its type byte and the longest size prefix.
constexpr size_t kStringOverhead = 1 + 5;
// Room kept for the alignment padding that the details' float64 values may need where they land.
constexpr size_t kAlignmentSlack = 64;
// Codes are short names; one that is not is cut to this many bytes when the error must shrink.
constexpr size_t kMaxTrimmedCode = 4096;

// The longest prefix of `text` of at most `size` bytes that does not split a UTF-8 sequence.
std::string utf8Prefix(const std::string& text, size_t size) {
  if (size >= text.size()) return text;
  while (size > 0 && (static_cast<uint8_t>(text[size]) & 0xc0) == 0x80) --size;
  return text.substr(0, size);
}

// An error whose envelope exceeds `limit` bytes, cut to fit: the code kept (a very long one cut),
// the message cut and marked, details that are text cut and marked with what room is left, other
// details kept when small and dropped otherwise. Whatever was cut, the message says so.
FlutterError trimToFit(const FlutterError& error, size_t limit) {
  const std::string mark(kTrimmedMark);
  FlutterError out{utf8Prefix(error.code, kMaxTrimmedCode), std::nullopt, EncodableValue()};
  bool dropped = out.code.size() < error.code.size();
  // Room for the message and text details, a mark's worth kept back for a message that must
  // say that something else was cut.
  size_t room = limit - 1 - kAlignmentSlack - 3 * kStringOverhead - out.code.size() - mark.size();

  const std::string* detailsText = error.details.asString();
  if (detailsText == nullptr) {
    // Small structured details (an errno, a few fields) are worth more than the message's tail.
    const size_t size = StandardMessageCodec::getInstance().encodeMessage(error.details).size();
    if (size <= room / 4) {
      out.details = error.details;
      room -= size;
    } else {
      dropped = true;
    }
  }
  // The message first: it is what a person reads.
  std::string message = error.message.value_or("");
  const bool messageCut = message.size() > room;
  if (messageCut) message = utf8Prefix(message, room - mark.size()) + mark;
  room -= message.size();
  if (detailsText != nullptr) {
    if (detailsText->size() <= room) {
      out.details = *detailsText;
    } else if (room >= mark.size() + 1) {
      out.details = utf8Prefix(*detailsText, room - mark.size()) + mark;
    } else {
      dropped = true;
    }
  }
  if (dropped && !messageCut) message += mark;
  if (error.message || !message.empty()) out.message = std::move(message);
  return out;
}

}  // namespace

std::vector<uint8_t> encodeResultValue(const FlutterResultValue& value, const StandardMethodCodec& codec) {
  if (const auto* v = std::get_if<EncodableValue>(&value)) return codec.encodeSuccessEnvelope(*v);
  if (const auto* e = std::get_if<FlutterError>(&value)) {
    std::vector<uint8_t> bytes = codec.encodeErrorEnvelope(*e);
    if (bytes.size() <= enginelink::kMaxReplyPayload) return bytes;
    NSLog("Flutter channel: an error reply of %lu bytes is too large for the link; it goes trimmed", bytes.size());
    return codec.encodeErrorEnvelope(trimToFit(*e, enginelink::kMaxReplyPayload));
  }
  return {};
}

std::shared_ptr<FlutterMethodChannel> FlutterMethodChannel::methodChannelWithName(std::string name,
                                                                                  FlutterBinaryMessenger& messenger,
                                                                                  const StandardMethodCodec& codec) {
  return std::make_shared<FlutterMethodChannel>(std::move(name), messenger, codec);
}

FlutterMethodChannel::FlutterMethodChannel(std::string name, FlutterBinaryMessenger& messenger,
                                           const StandardMethodCodec& codec)
    : name_(std::move(name)), messenger_(messenger), codec_(codec) {}

void FlutterMethodChannel::setMethodCallHandler(FlutterMethodCallHandler handler) {
  dispatchAssertMainThread("FlutterMethodChannel::setMethodCallHandler");
  if (!handler) {
    messenger_.setMessageHandlerOnChannel(name_, {});
    return;
  }
  const StandardMethodCodec& codec = codec_;
  messenger_.setMessageHandlerOnChannel(name_, [name = name_, &codec, handler = std::move(handler)](
                                                   std::span<const uint8_t> message, FlutterBinaryReply reply) {
    dispatchAssertMainThread("FlutterMethodChannel: method call handler");
    auto call = codec.decodeMethodCall(message);
    if (!call) {
      NSLog("Flutter channel %@: undecodable method call (%@); sending the empty reply", name, call.error().message());
      reply({});
      return;
    }
    auto pending = std::make_shared<PendingReply>(name, call->method, std::move(reply), codec);
    handler(*call, [pending](FlutterResultValue value) { pending->answer(value); });
  });
}

void FlutterMethodChannel::invokeMethod(const std::string& method, EncodableValue arguments, FlutterResult callback) {
  auto bytes = codec_.encodeMethodCall({method, std::move(arguments)});
  if (!callback) {
    messenger_.sendOnChannel(name_, bytes);
    return;
  }
  const StandardMethodCodec& codec = codec_;
  messenger_.sendOnChannel(name_, bytes, [&codec, callback = std::move(callback)](std::vector<uint8_t> reply) {
    if (reply.empty()) return callback(FlutterMethodNotImplemented);
    auto envelope = codec.decodeEnvelope(reply);
    if (!envelope) return callback(FlutterError{"bad-envelope", "undecodable reply", {}});
    if (auto* v = std::get_if<EncodableValue>(&*envelope)) return callback(std::move(*v));
    callback(std::get<FlutterError>(std::move(*envelope)));
  });
}
