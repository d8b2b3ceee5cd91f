#include "platform/flutter/FlutterChannels.h"

#include <atomic>

#include "platform/dispatch/Dispatch.h"
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

std::vector<uint8_t> encodeResultValue(const FlutterResultValue& value, const StandardMethodCodec& codec) {
  if (const auto* v = std::get_if<EncodableValue>(&value)) return codec.encodeSuccessEnvelope(*v);
  if (const auto* e = std::get_if<FlutterError>(&value)) return codec.encodeErrorEnvelope(*e);
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
  messenger_.setMessageHandlerOnChannel(
      name_, [name = name_, &codec, handler = std::move(handler)](std::span<const uint8_t> message,
                                                                   FlutterBinaryReply reply) {
        dispatchAssertMainThread("FlutterMethodChannel: method call handler");
        std::string why;
        auto call = codec.decodeMethodCall(message, &why);
        if (!call) {
          NSLog("Flutter channel %@: undecodable method call (%@); sending the empty reply", name, why);
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
