#include "tests/e2e/FakeSessionManager.h"

#include <gio/gio.h>

#include <mutex>
#include <thread>

namespace testing_support {

namespace {

constexpr const char* kManagerPath = "/org/gnome/SessionManager";
constexpr const char* kClientPath = "/org/gnome/SessionManager/Client1";
constexpr const char* kInterfaces = R"(
<node>
  <interface name="org.gnome.SessionManager">
    <method name="RegisterClient"><arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="o" direction="out"/></method>
    <method name="UnregisterClient"><arg type="o" direction="in"/></method>
    <method name="IsInhibited"><arg type="u" direction="in"/><arg type="b" direction="out"/></method>
  </interface>
  <interface name="org.gnome.SessionManager.ClientPrivate">
    <method name="EndSessionResponse"><arg type="b" direction="in"/><arg type="s" direction="in"/></method>
    <signal name="QueryEndSession"><arg type="u"/></signal>
    <signal name="EndSession"><arg type="u"/></signal>
    <signal name="CancelEndSession"/>
    <signal name="Stop"/>
  </interface>
</node>)";

}  // namespace

struct FakeSessionManager::State {
  std::mutex mutex;
  bool serving = false;
  std::optional<std::string> client;
  std::optional<bool> response;
  GMainContext* context = g_main_context_new();
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  GDBusConnection* bus = nullptr;
  std::thread thread;

  ~State() {
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  }

  static void onCall(GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant* args,
                     GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<State*>(data);
    const std::string name = method;
    std::lock_guard lock(self->mutex);
    if (name == "RegisterClient") {
      const char* appId = nullptr;
      g_variant_get(args, "(&s&s)", &appId, nullptr);
      self->client = appId;
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", kClientPath));
    } else if (name == "IsInhibited") {
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
    } else if (name == "EndSessionResponse") {
      gboolean ok = FALSE;
      g_variant_get(args, "(b&s)", &ok, nullptr);
      self->response = ok;
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else {
      g_dbus_method_invocation_return_value(invocation, nullptr);
    }
  }

  void serve(const std::string& address) {
    g_main_context_push_thread_default(context);
    bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    GDBusNodeInfo* node = bus ? g_dbus_node_info_new_for_xml(kInterfaces, nullptr) : nullptr;
    if (node != nullptr) {
      static const GDBusInterfaceVTable vtable = {&State::onCall, nullptr, nullptr, {}};
      g_dbus_connection_register_object(bus, kManagerPath, node->interfaces[0], &vtable, this, nullptr, nullptr);
      g_dbus_connection_register_object(bus, kClientPath, node->interfaces[1], &vtable, this, nullptr, nullptr);
      GVariant* owned =
          g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                      "RequestName", g_variant_new("(su)", "org.gnome.SessionManager", 4u),
                                      G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      if (owned != nullptr) {
        std::lock_guard lock(mutex);
        serving = true;
        g_variant_unref(owned);
      }
      g_dbus_node_info_unref(node);
      g_main_loop_run(loop);
    }
    if (bus != nullptr) {
      g_dbus_connection_close_sync(bus, nullptr, nullptr);
      g_object_unref(bus);
    }
    g_main_context_pop_thread_default(context);
  }
};

FakeSessionManager::FakeSessionManager(const std::string& busAddress) : state_(std::make_shared<State>()) {
  state_->thread = std::thread([state = state_, busAddress] { state->serve(busAddress); });
  for (int i = 0; i < 500 && !serving(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

FakeSessionManager::~FakeSessionManager() {
  g_main_context_invoke(
      state_->context,
      [](gpointer loop) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      state_->loop);
  state_->thread.join();
}

bool FakeSessionManager::serving() const {
  std::lock_guard lock(state_->mutex);
  return state_->serving;
}

std::optional<std::string> FakeSessionManager::registeredClient() const {
  std::lock_guard lock(state_->mutex);
  return state_->client;
}

std::optional<bool> FakeSessionManager::endSessionResponse() const {
  std::lock_guard lock(state_->mutex);
  return state_->response;
}

void FakeSessionManager::endSession() {
  for (const char* signal : {"QueryEndSession", "EndSession"}) {
    g_dbus_connection_emit_signal(state_->bus, nullptr, kClientPath, "org.gnome.SessionManager.ClientPrivate", signal,
                                  g_variant_new("(u)", 0u), nullptr);
  }
}

}  // namespace testing_support
