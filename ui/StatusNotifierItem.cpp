#include "ui/StatusNotifierItem.h"

#include <gio/gio.h>
#include <unistd.h>

#include "platform/appkit/LoopSource.h"
#include "platform/foundation/NSLog.h"

namespace ui {

namespace {

constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kMenuPath = "/MenuBar";

// The menu's items by dbusmenu id; 0 is the root.
enum MenuItem : int32_t { kRoot = 0, kSystemProxy = 1, kShowWindow = 2, kQuit = 3 };

constexpr const char* kInterfaces = R"xml(
<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg name="parentId" type="i" direction="in"/><arg name="recursionDepth" type="i" direction="in"/>
      <arg name="propertyNames" type="as" direction="in"/>
      <arg name="revision" type="u" direction="out"/><arg name="layout" type="(ia{sv}av)" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg name="ids" type="ai" direction="in"/><arg name="propertyNames" type="as" direction="in"/>
      <arg name="properties" type="a(ia{sv})" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg name="id" type="i" direction="in"/><arg name="name" type="s" direction="in"/>
      <arg name="value" type="v" direction="out"/>
    </method>
    <method name="Event">
      <arg name="id" type="i" direction="in"/><arg name="eventId" type="s" direction="in"/>
      <arg name="data" type="v" direction="in"/><arg name="timestamp" type="u" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg name="events" type="a(isvu)" direction="in"/><arg name="idErrors" type="ai" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg name="id" type="i" direction="in"/><arg name="needUpdate" type="b" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg name="ids" type="ai" direction="in"/>
      <arg name="updatesNeeded" type="ai" direction="out"/><arg name="idErrors" type="ai" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg name="updatedProps" type="a(ia{sv})"/><arg name="removedProps" type="a(ias)"/>
    </signal>
    <signal name="LayoutUpdated"><arg name="revision" type="u"/><arg name="parent" type="i"/></signal>
  </interface>
</node>)xml";

class DBusItem final : public StatusNotifierItem {
 public:
  DBusItem(GDBusConnection* bus, std::string id, std::string title, Callbacks callbacks)
      : bus_(bus), id_(std::move(id)), title_(std::move(title)), callbacks_(std::move(callbacks)) {
    busName_ = "org.kde.StatusNotifierItem-" + std::to_string(getpid()) + "-1";
    GError* error = nullptr;
    info_ = g_dbus_node_info_new_for_xml(kInterfaces, &error);
    if (info_ == nullptr) {
      NSLog("Tray: %@", std::string(error->message));
      g_error_free(error);
      return;
    }
    static const GDBusInterfaceVTable vtable = {&DBusItem::onMethod, &DBusItem::onProperty, nullptr, {}};
    itemObject_ =
        g_dbus_connection_register_object(bus_, kItemPath, info_->interfaces[0], &vtable, this, nullptr, nullptr);
    menuObject_ =
        g_dbus_connection_register_object(bus_, kMenuPath, info_->interfaces[1], &vtable, this, nullptr, nullptr);
    nameOwner_ = g_bus_own_name_on_connection(bus_, busName_.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr,
                                              nullptr, nullptr);
    watcher_ =
        g_bus_watch_name_on_connection(bus_, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE, &DBusItem::onWatcherAppeared,
                                       &DBusItem::onWatcherVanished, this, nullptr);
  }

  ~DBusItem() override {
    if (watcher_ != 0) g_bus_unwatch_name(watcher_);
    if (nameOwner_ != 0) g_bus_unown_name(nameOwner_);
    if (itemObject_ != 0) g_dbus_connection_unregister_object(bus_, itemObject_);
    if (menuObject_ != 0) g_dbus_connection_unregister_object(bus_, menuObject_);
    if (info_ != nullptr) g_dbus_node_info_unref(info_);
    g_object_unref(bus_);
  }

  void setProxyOn(bool on) override {
    if (on == proxyOn_) return;
    proxyOn_ = on;
    ++revision_;
    emit(kItemPath, "org.kde.StatusNotifierItem", "NewIcon", nullptr);
    emit(kItemPath, "org.kde.StatusNotifierItem", "NewToolTip", nullptr);
    GVariantBuilder updated;
    g_variant_builder_init(&updated, G_VARIANT_TYPE("a(ia{sv})"));
    g_variant_builder_add_value(&updated, g_variant_new("(i@a{sv})", kSystemProxy, itemProperties(kSystemProxy)));
    emit(kMenuPath, "com.canonical.dbusmenu", "ItemsPropertiesUpdated",
         g_variant_new("(a(ia{sv})a(ias))", &updated, nullptr));
    emit(kMenuPath, "com.canonical.dbusmenu", "LayoutUpdated", g_variant_new("(ui)", revision_, kRoot));
  }

 private:
  void emit(const char* path, const char* interface, const char* signal, GVariant* arguments) {
    g_dbus_connection_emit_signal(bus_, nullptr, path, interface, signal, arguments, nullptr);
  }

  GVariant* itemProperties(int32_t id) const {
    GVariantBuilder props;
    g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
    switch (id) {
      case kRoot: g_variant_builder_add(&props, "{sv}", "children-display", g_variant_new_string("submenu")); break;
      case kSystemProxy:
        g_variant_builder_add(&props, "{sv}", "label", g_variant_new_string("System proxy"));
        g_variant_builder_add(&props, "{sv}", "toggle-type", g_variant_new_string("checkmark"));
        g_variant_builder_add(&props, "{sv}", "toggle-state", g_variant_new_int32(proxyOn_ ? 1 : 0));
        break;
      case kShowWindow:
        g_variant_builder_add(&props, "{sv}", "label", g_variant_new_string(("Show " + title_).c_str()));
        break;
      case kQuit: g_variant_builder_add(&props, "{sv}", "label", g_variant_new_string("Quit")); break;
    }
    return g_variant_builder_end(&props);
  }

  GVariant* layout() const {
    GVariantBuilder children;
    g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
    for (int32_t id : {kSystemProxy, kShowWindow, kQuit}) {
      g_variant_builder_add(&children, "v",
                            g_variant_new("(i@a{sv}@av)", id, itemProperties(id),
                                          g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0)));
    }
    return g_variant_new("(u(i@a{sv}av))", revision_, kRoot, itemProperties(kRoot), &children);
  }

  void activate(int32_t id) {
    // Run after the reply has gone: quitting ends the process, and a toggle may take a while.
    std::function<void()> action = id == kSystemProxy  ? callbacks_.toggleProxy
                                   : id == kShowWindow ? callbacks_.showWindow
                                   : id == kQuit       ? callbacks_.quit
                                                       : std::function<void()>();
    if (!action) return;
    appkit::runSoon(std::move(action));
  }

  static void onMethod(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                       GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
    auto* me = static_cast<DBusItem*>(self);
    const std::string name = method;
    if (name == "Activate" || name == "SecondaryActivate") {
      me->activate(kShowWindow);
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (name == "ContextMenu" || name == "Scroll") {
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (name == "GetLayout") {
      g_dbus_method_invocation_return_value(invocation, me->layout());
    } else if (name == "GetGroupProperties") {
      GVariantIter* ids = nullptr;
      g_variant_get(parameters, "(ai@as)", &ids, nullptr);
      GVariantBuilder result;
      g_variant_builder_init(&result, G_VARIANT_TYPE("a(ia{sv})"));
      int32_t id = 0;
      while (g_variant_iter_next(ids, "i", &id)) {
        if (id >= kRoot && id <= kQuit) g_variant_builder_add(&result, "(i@a{sv})", id, me->itemProperties(id));
      }
      g_variant_iter_free(ids);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ia{sv}))", &result));
    } else if (name == "GetProperty") {
      int32_t id = 0;
      const gchar* property = nullptr;
      g_variant_get(parameters, "(i&s)", &id, &property);
      GVariant* props = me->itemProperties(id);
      GVariant* value = g_variant_lookup_value(props, property, nullptr);
      g_variant_unref(g_variant_ref_sink(props));
      if (value == nullptr) {
        g_dbus_method_invocation_return_dbus_error(invocation, "com.canonical.dbusmenu.Error.UnknownProperty",
                                                   property);
      } else {
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
        g_variant_unref(value);
      }
    } else if (name == "Event") {
      int32_t id = 0;
      const gchar* event = nullptr;
      g_variant_get(parameters, "(i&svu)", &id, &event, nullptr, nullptr);
      if (std::string(event) == "clicked") me->activate(id);
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else if (name == "EventGroup") {
      GVariantIter* events = nullptr;
      g_variant_get(parameters, "(a(isvu))", &events);
      int32_t id = 0;
      const gchar* event = nullptr;
      while (g_variant_iter_next(events, "(i&svu)", &id, &event, nullptr, nullptr)) {
        if (std::string(event) == "clicked") me->activate(id);
      }
      g_variant_iter_free(events);
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(@ai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0)));
    } else if (name == "AboutToShow") {
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
    } else if (name == "AboutToShowGroup") {
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(@ai@ai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0),
                                    g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0)));
    } else {
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod", method);
    }
  }

  static GVariant* onProperty(GDBusConnection*, const gchar*, const gchar*, const gchar* interface,
                              const gchar* property, GError** error, gpointer self) {
    auto* me = static_cast<DBusItem*>(self);
    const std::string name = property;
    const bool menu = std::string(interface) == "com.canonical.dbusmenu";
    const char* icon = me->proxyOn_ ? "network-vpn-symbolic" : "network-vpn-disabled-symbolic";
    std::string tip = me->title_ + (me->proxyOn_ ? ": system proxy on" : ": system proxy off");
    if (menu) {
      if (name == "Version") return g_variant_new_uint32(3);
      if (name == "TextDirection") return g_variant_new_string("ltr");
      if (name == "Status") return g_variant_new_string("normal");
      if (name == "IconThemePath") return g_variant_new_strv(nullptr, 0);
    } else {
      if (name == "Category") return g_variant_new_string("ApplicationStatus");
      if (name == "Id") return g_variant_new_string(me->id_.c_str());
      if (name == "Title") return g_variant_new_string(me->title_.c_str());
      if (name == "Status") return g_variant_new_string("Active");
      if (name == "IconName") return g_variant_new_string(icon);
      if (name == "ItemIsMenu") return g_variant_new_boolean(FALSE);
      if (name == "Menu") return g_variant_new_object_path(kMenuPath);
      if (name == "ToolTip") {
        return g_variant_new("(s@a(iiay)ss)", icon, g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0),
                             me->title_.c_str(), tip.c_str());
      }
    }
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", property);
    return nullptr;
  }

  static void onWatcherAppeared(GDBusConnection* bus, const gchar*, const gchar*, gpointer self) {
    auto* me = static_cast<DBusItem*>(self);
    g_dbus_connection_call(
        bus, kWatcherName, kWatcherPath, kWatcherName, "RegisterStatusNotifierItem",
        g_variant_new("(s)", me->busName_.c_str()), nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer) {
          GError* error = nullptr;
          GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
          if (reply != nullptr) {
            g_variant_unref(reply);
          } else {
            NSLog("Tray: the StatusNotifierWatcher refused the item: %@", std::string(error->message));
            g_error_free(error);
          }
        },
        nullptr);
  }

  static void onWatcherVanished(GDBusConnection*, const gchar*, gpointer self) {
    auto* me = static_cast<DBusItem*>(self);
    if (!me->saidNoWatcher_) {
      me->saidNoWatcher_ = true;
      NSLog(
          "Tray: no StatusNotifierWatcher on the session bus, so no tray item (the window stays reachable by "
          "starting ProxyHost again)");
    }
  }

  GDBusConnection* bus_;
  const std::string id_, title_;
  Callbacks callbacks_;
  std::string busName_;
  GDBusNodeInfo* info_ = nullptr;
  guint itemObject_ = 0, menuObject_ = 0, nameOwner_ = 0, watcher_ = 0;
  uint32_t revision_ = 1;
  bool proxyOn_ = false;
  bool saidNoWatcher_ = false;
};

}  // namespace

std::unique_ptr<StatusNotifierItem> StatusNotifierItem::start(const std::string& id, const std::string& title,
                                                              Callbacks callbacks) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (bus == nullptr) {
    NSLog("Tray: no session bus (%@), so no tray item", std::string(error->message));
    g_error_free(error);
    return nullptr;
  }
  return std::make_unique<DBusItem>(bus, id, title, std::move(callbacks));
}

}  // namespace ui
