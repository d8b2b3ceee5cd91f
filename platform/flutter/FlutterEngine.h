// The Flutter engine as the host sees it: it owns the binary messenger, and while it runs it
// carries platform messages to and from the Flutter side over the engine link.
//
// Messages from the Flutter side reach the messenger's handlers on the main thread, in arrival
// order; a message for a channel without a handler gets the empty reply.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/flutter/EngineLink.h"
#include "platform/flutter/FlutterBinaryMessenger.h"

class FlutterDartProject {
 public:
  FlutterDartProject() = default;
};

class FlutterEngine {
 public:
  explicit FlutterEngine(std::string labelPrefix = "io.flutter", FlutterDartProject project = {});
  ~FlutterEngine();
  FlutterEngine(const FlutterEngine&) = delete;
  FlutterEngine& operator=(const FlutterEngine&) = delete;

  FlutterBinaryMessenger& binaryMessenger();

  // Starts serving the Flutter side over the engine link at its usual place. A host whose link
  // cannot be served (another live host holds the socket) cannot reach its Flutter side: the
  // reason is logged and the process ends with status 1.
  void run();
  bool isRunning() const { return link_ != nullptr; }
  // Where the engine link is served; empty while it is not.
  std::string linkPath() const { return link_ ? link_->path() : std::string(); }
  // The process ids of the Flutter side's connections, oldest first (the one the engine sends
  // to leads); empty while none is attached. Main thread.
  const std::vector<int>& attachedProcesses() const;
  // Hears each change of attachedProcesses() on the main thread; empty to stop.
  void setAttachmentObserver(std::function<void()> observer);

  // What the Flutter side built into this engine sends (see FlutterViewController.h): the message
  // reaches the channel's handler on the main queue, after the messages already queued, as one from
  // the engine link does; `reply` runs on the main queue with the answer (empty when no handler
  // answered), whichever thread the handler answers from. Any thread.
  void sendFromBuiltInFlutterSide(const std::string& channel, std::vector<uint8_t> message, FlutterBinaryReply reply);

  // What the embedder calls when the Flutter side sends a platform message: the channel's
  // handler gets it, or the reply is empty. Main thread. Tests use it to play the Flutter side.
  void handlePlatformMessage(const std::string& channel, std::span<const uint8_t> message, FlutterBinaryReply reply);

  // Whether engines made by FlutterViewController's default initialiser start the engine link.
  // In-process tests turn it off and talk through handlePlatformMessage instead.
  static void setRunsEngineLinkByDefault(bool runs);
  static bool runsEngineLinkByDefault();

  // Tells `observer` the channel name each time a handler is installed on any engine's messenger,
  // so a test can see the order in which channels come into being. Empty to stop.
  static void setHandlerInstallationObserverForTesting(std::function<void(const std::string& channel)> observer);

 private:
  class Messenger;
  std::shared_ptr<Messenger> messenger_;
  std::unique_ptr<EngineLink> link_;
};
