#include "platform/flutter/FlutterEngine.h"

#include <atomic>
#include <cstdlib>

#include "platform/dispatch/Dispatch.h"
#include "platform/flutter/EngineLinkFrame.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"

namespace {
std::atomic<bool> runsLinkByDefault{true};
std::function<void(const std::string&)> handlerInstallationObserver;  // main thread
}  // namespace

class FlutterEngine::Messenger final : public FlutterBinaryMessenger {
 public:
  void sendOnChannel(const std::string& channel, std::span<const uint8_t> message, FlutterBinaryReply reply) override {
    if (link != nullptr) {
      link->send(channel, std::vector<uint8_t>(message.begin(), message.end()), std::move(reply));
    } else if (reply) {
      // Nobody listens on the Flutter side: the empty reply, on the main thread as always.
      DispatchQueue::main().async([reply = std::move(reply)] { reply({}); });
    }
  }

  void setMessageHandlerOnChannel(const std::string& channel, FlutterBinaryMessageHandler handler) override {
    dispatchAssertMainThread("FlutterBinaryMessenger::setMessageHandlerOnChannel");
    if (handler) {
      handlers_[channel] = std::move(handler);
      if (handlerInstallationObserver) handlerInstallationObserver(channel);
    } else {
      handlers_.erase(channel);
    }
  }

  void deliver(const std::string& channel, std::span<const uint8_t> message, FlutterBinaryReply reply) {
    dispatchAssertMainThread("FlutterBinaryMessenger: message delivery");
    auto it = handlers_.find(channel);
    if (it == handlers_.end()) {
      reply({});
      return;
    }
    FlutterBinaryMessageHandler handler = it->second;  // a handler may replace itself while it runs
    handler(message, std::move(reply));
  }

  EngineLink* link = nullptr;
  std::vector<int> attached;
  std::function<void()> attachmentObserver;

 private:
  std::map<std::string, FlutterBinaryMessageHandler> handlers_;
};

FlutterEngine::FlutterEngine(std::string labelPrefix, FlutterDartProject project)
    : messenger_(std::make_shared<Messenger>()) {}

FlutterEngine::~FlutterEngine() {
  messenger_->link = nullptr;
  link_.reset();
}

FlutterBinaryMessenger& FlutterEngine::binaryMessenger() { return *messenger_; }

void FlutterEngine::run() {
  if (link_) return;
  std::string bundleIdentifier = NSBundle::mainBundle().bundleIdentifier().value_or("");
  std::string path = enginelink::socketPath(bundleIdentifier);
  std::weak_ptr<Messenger> messenger = messenger_;
  posix::Expected<std::unique_ptr<EngineLink>> link = EngineLink::start(
      path, bundleIdentifier,
      [messenger](const std::string& channel, std::vector<uint8_t> payload, FlutterBinaryReply reply) {
        if (auto m = messenger.lock()) {
          m->deliver(channel, payload, std::move(reply));
        } else {
          reply({});
        }
      },
      [messenger](std::vector<int> pids) {
        auto m = messenger.lock();
        if (!m) return;
        m->attached = std::move(pids);
        if (m->attachmentObserver) m->attachmentObserver();
      });
  if (!link) {
    NSLog("Flutter engine: cannot serve the engine link at %@: %@", path, link.error().message());
    exit(1);
  }
  link_ = std::move(*link);
  messenger_->link = link_.get();
  NSLog("Flutter engine: serving the Flutter side at %@", path);
}

const std::vector<int>& FlutterEngine::attachedProcesses() const { return messenger_->attached; }

void FlutterEngine::setAttachmentObserver(std::function<void()> observer) {
  messenger_->attachmentObserver = std::move(observer);
}

void FlutterEngine::handlePlatformMessage(const std::string& channel, std::span<const uint8_t> message,
                                          FlutterBinaryReply reply) {
  messenger_->deliver(channel, message, std::move(reply));
}

void FlutterEngine::sendFromBuiltInFlutterSide(const std::string& channel, std::vector<uint8_t> message,
                                               FlutterBinaryReply reply) {
  std::weak_ptr<Messenger> messenger = messenger_;
  DispatchQueue::main().async([messenger, channel, message = std::move(message), reply = std::move(reply)] {
    // A handler may answer from a worker thread; the Flutter side hears it on the main thread, and
    // never inside the handler's own call.
    FlutterBinaryReply onMain = [reply](std::vector<uint8_t> answer) {
      DispatchQueue::main().async([reply, answer = std::move(answer)] { reply(answer); });
    };
    if (auto m = messenger.lock()) {
      m->deliver(channel, message, std::move(onMain));
    } else {
      onMain({});
    }
  });
}

void FlutterEngine::setRunsEngineLinkByDefault(bool runs) { runsLinkByDefault = runs; }
bool FlutterEngine::runsEngineLinkByDefault() { return runsLinkByDefault; }

void FlutterEngine::setHandlerInstallationObserverForTesting(std::function<void(const std::string&)> observer) {
  handlerInstallationObserver = std::move(observer);
}
