// The main window: carries the Flutter view, opens the application's three method channels and
// registers the plug-ins when it wakes from the main interface file. It is also the home of the
// static channel handlers of the privileged proxy and TCP ping services.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/FlutterChannelContract.h"
#include "platform/appkit/NSWindow.h"

class MainFlutterWindow : public NSWindow {
 public:
  // Used in channel names when the main bundle has no identifier.
  static constexpr std::string_view kFallbackBundleIdentifier = "net.proxyhost.client";

  MainFlutterWindow(NSRect contentRect, NSWindowStyleMask style, NSBackingStoreType backing, bool defer);
  ~MainFlutterWindow() override;
  void awakeFromNib() override;

 private:
  friend struct MainFlutterWindowTestAccess;

  static void handlePrivilegedProxyCall(const FlutterMethodCall& call, FlutterResult result);

  // System proxy control (proxy/): the scripts the privileged proxy channel runs, and the run.
  class AdminRunOutcome {
   public:
    enum class Case { success, cancelled, failed };
    static AdminRunOutcome success() { return AdminRunOutcome(Case::success, {}); }
    static AdminRunOutcome cancelled() { return AdminRunOutcome(Case::cancelled, {}); }
    static AdminRunOutcome failed(std::string message) { return AdminRunOutcome(Case::failed, std::move(message)); }
    Case kind() const { return kind_; }
    // Empty unless the run failed.
    const std::string& message() const { return message_; }
    bool operator==(const AdminRunOutcome&) const = default;

   private:
    AdminRunOutcome(Case kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Case kind_;
    std::string message_;
  };
  static std::string shellQuote(std::string_view text);
  static std::string buildEnableProxyScript(const std::vector<std::string>& services, const std::string& host,
                                            int64_t port, int64_t socks, const std::vector<std::string>& bypass);
  static std::string buildDisableProxyScript(const std::vector<std::string>& services);
  // Blocks until the authorization is answered and the script has run: never on the main thread.
  static AdminRunOutcome runAsAdministrator(const std::string& script);

  static void handleNativeTcpPingCall(const FlutterMethodCall& call, FlutterResult result);
};
