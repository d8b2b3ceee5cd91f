// The Flutter side built into the engine: the interface a person uses in the Flutter view, drawn
// with GTK 4 and libadwaita. It reaches the host only through the method channels (ChannelClient),
// as the Dart side would; what a Dart side could do besides (run networksetup to read the services,
// keep its preferences) it does too. Main thread throughout; slow reads run on a global queue.
#include <adwaita.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/LoopSource.h"
#include "platform/appkit/NSApplication.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/flutter/FlutterViewController.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"
#include "platform/macos_tools/MacOSTools.h"
#include "ui/ChannelClient.h"
#include "ui/ChannelErrors.h"
#include "ui/GObjectPtr.h"
#include "ui/NetworkServiceState.h"
#include "ui/Preferences.h"
#include "ui/ProxyForm.h"
#include "ui/StatusNotifierItem.h"

// Made by glib-compile-resources from ui/resources, compiled with this as C++.
GResource* proxyhost_ui_get_resource();

namespace ui {

namespace {

constexpr const char* kLayout = "/net/proxyhost/client/ui/main.ui";
constexpr const char* kStyle = "/net/proxyhost/client/ui/style.css";
// Another Flutter side, the guard or a person at a terminal may change the services at any time:
// the page reads them again when networksetup's state file changes, once the burst of runs that a
// change is (one per proxy kind) has settled; where the folder cannot be watched, this often while
// the window shows it.
constexpr std::chrono::milliseconds kStateSettle{150};
constexpr std::chrono::seconds kFallbackRefreshPeriod{60};
// Typing settles before the choices are written.
constexpr std::chrono::milliseconds kSaveDelay{400};
// Latency answers come in bursts (one per target, all at once): they are shown together this often,
// so the main thread takes each answer in a moment and the rows change once per batch.
constexpr std::chrono::milliseconds kResultBatch{50};

// What a test finished with, per target.
struct TargetRow {
  LatencyTarget target;
  AdwEntryRow* row = nullptr;
  GtkLabel* result = nullptr;
  GtkWidget* remove = nullptr;
  // Sort key: milliseconds; timed out and errors after every answer, not yet tested last.
  int64_t sortKey = INT64_MAX;
};

// A latency answer not yet shown: its row and the test it answers.
struct PendingResult {
  AdwEntryRow* row = nullptr;
  int generation = 0;
  MethodOutcome outcome;
};

struct ServiceRow {
  NetworkService service;
  AdwActionRow* row = nullptr;
  GtkSwitch* choice = nullptr;  // whether the system proxy switch sets this service
};

class Interface final : public BuiltInFlutterSide {
 public:
  explicit Interface(FlutterViewController& controller);
  ~Interface() override;

  void engineAttachmentChanged() override { showEngineState(); }

 private:
  template <typename T>
  T* widget(const char* id) {
    return reinterpret_cast<T*>(gtk_builder_get_object(builder_.get(), id));
  }
  // Runs `work` on the main thread later, unless the interface has gone by then.
  template <typename F>
  auto guarded(F work) {
    return [alive = std::weak_ptr<Interface*>(alive_), work = std::move(work)](auto&&... args) mutable {
      if (alive.lock()) work(std::forward<decltype(args)>(args)...);
    };
  }

  void addActions();
  void connectSignals();
  void showEngineState();

  // System proxy.
  bool proxySwitchAsked(bool on);
  void proxyCallFinished(bool on, MethodOutcome outcome);
  void setSwitchQuietly(GtkSwitch* sw, bool on);
  void setProxySwitch(bool on);
  void settleProxySwitchLater();
  void showError(const ExplainedError& error);
  void hideError();
  void toast(const std::string& text);
  void refreshServices();
  void watchServiceState();
  void applySnapshot(NetworkSnapshot snapshot, int changeSerial);
  std::vector<std::string> chosenServices() const;
  void formChanged();

  // Latency.
  void addTarget(const LatencyTarget& target);
  void removeTarget(AdwEntryRow* row);
  void editTarget(AdwEntryRow* row);
  void testLatency();
  void showResults();
  void resortTargets();

  // Launch at login.
  void readLoginState();
  bool loginSwitchAsked(bool on);
  void setLoginSwitch(bool on);

  void startTray();
  void scheduleSave();
  void save();

  FlutterEngine& engine_;
  ChannelClient channels_;
  const std::string bundleIdentifier_;
  const std::string proxyChannel_, pingChannel_;
  // Callbacks and GLib sources that may outlive the interface hold it weakly through this.
  std::shared_ptr<Interface*> alive_ = std::make_shared<Interface*>(this);
  GObjectPtr<GtkBuilder> builder_;
  GObjectPtr<GtkCssProvider> css_;
  std::string preferencesFile_;
  Preferences prefs_;

  bool proxyBusy_ = false;
  bool proxyOn_ = false;  // what the switch shows as settled
  bool settingSwitch_ = false;
  bool readInFlight_ = false;
  bool readAgain_ = false;
  int changeSerial_ = 0;  // counts this side's finished proxy calls: a read begun before one is stale
  std::unique_ptr<StatusNotifierItem> tray_;
  std::vector<ServiceRow> services_;
  std::vector<TargetRow> targets_;
  int testGeneration_ = 0;
  std::vector<PendingResult> pendingResults_;
  // Work later on the main loop; each goes with the interface.
  appkit::LoopSource resortLater_, saveLater_, refreshLater_, resultsLater_, settleLater_;
  GObjectPtr<GFile> stateFolder_;
  GObjectPtr<GFileMonitor> stateMonitor_;
  bool loginBusy_ = false;
};

Interface::Interface(FlutterViewController& controller)
    : engine_(controller.engine()),
      channels_(engine_),
      bundleIdentifier_(NSBundle::mainBundle().bundleIdentifier().value_or("net.proxyhost.client")),
      proxyChannel_(bundleIdentifier_ + "/privileged_proxy"),
      pingChannel_(bundleIdentifier_ + "/native_tcp_ping") {
  adw_init();
  g_resources_register(proxyhost_ui_get_resource());
  builder_ = GObjectPtr<GtkBuilder>(gtk_builder_new_from_resource(kLayout));
  css_ = GObjectPtr<GtkCssProvider>(gtk_css_provider_new());
  gtk_css_provider_load_from_resource(css_.get(), kStyle);
  gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(css_.get()),
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);

  preferencesFile_ = preferencesPath(bundleIdentifier_);
  LoadedPreferences loaded = loadPreferences(preferencesFile_);
  prefs_ = loaded.preferences;

  gtk_editable_set_text(GTK_EDITABLE(widget<AdwEntryRow>("host_row")), prefs_.proxy.host.c_str());
  gtk_editable_set_text(GTK_EDITABLE(widget<AdwEntryRow>("http_port_row")),
                        std::to_string(prefs_.proxy.httpPort).c_str());
  gtk_editable_set_text(GTK_EDITABLE(widget<AdwEntryRow>("socks_port_row")),
                        std::to_string(prefs_.proxy.socksPort).c_str());
  gtk_editable_set_text(GTK_EDITABLE(widget<AdwEntryRow>("bypass_row")), joinList(prefs_.proxy.bypass).c_str());
  gtk_spin_button_set_value(widget<GtkSpinButton>("timeout_spin"), prefs_.timeoutMs);
  for (const LatencyTarget& target : prefs_.targets) addTarget(target);

  addActions();
  connectSignals();
  showEngineState();

  GtkWidget* root = widget<GtkWidget>("root");
  controller.view().setNativeContent(
      std::shared_ptr<void>(g_object_ref_sink(root), [](void* object) { g_object_unref(object); }));

  if (loaded.note) {
    NSLog("Interface: %@ (%@)", loaded.note->message(), preferencesFile_);
    // The details go to the log; the person needs to know only that defaults stand in.
    toast("Your saved choices could not all be read; defaults stand in for them");
  }
  watchServiceState();
  refreshServices();
  readLoginState();

  startTray();
}

Interface::~Interface() {
  alive_.reset();
  tray_.reset();
  if (stateMonitor_) {
    g_signal_handlers_disconnect_by_data(stateMonitor_.get(), this);
    g_file_monitor_cancel(stateMonitor_.get());
  }
  if (saveLater_.pending()) save();
  // The widgets may outlive this (the view holds the root until the window lets it go): none of
  // their handlers may reach it any more.
  GSList* objects = gtk_builder_get_objects(builder_.get());
  for (GSList* object = objects; object != nullptr; object = object->next) {
    g_signal_handlers_disconnect_by_data(object->data, this);
  }
  g_slist_free(objects);
  for (ServiceRow& row : services_) g_signal_handlers_disconnect_by_data(row.choice, this);
  for (TargetRow& row : targets_) {
    g_signal_handlers_disconnect_by_data(row.row, this);
    if (row.remove != nullptr) g_signal_handlers_disconnect_by_data(row.remove, this);
  }
  gtk_widget_insert_action_group(widget<GtkWidget>("root"), "ui", nullptr);
}

void Interface::startTray() {
  tray_ = StatusNotifierItem::start(
      bundleIdentifier_, NSBundle::mainBundle().objectForInfoDictionaryKey("CFBundleName").value_or("ProxyHost"),
      StatusNotifierItem::Callbacks{
          .showWindow =
              [] {
                // As a second start does: the application comes to the front and shows its window.
                NSApplication& app = NSApplication::sharedApplication();
                app.activateIgnoringOtherApps(true);
                app.reopen();
              },
          .toggleProxy = guarded([this] {
            GtkSwitch* sw = widget<GtkSwitch>("proxy_switch");
            gtk_switch_set_active(sw, !gtk_switch_get_active(sw));
          }),
          .quit = [] { NSApplication::sharedApplication().terminate(nullptr); },
      });
}

void Interface::addActions() {
  GSimpleActionGroup* group = g_simple_action_group_new();
  static const GActionEntry entries[] = {
      {"refresh",
       [](GSimpleAction*, GVariant*, gpointer self) { static_cast<Interface*>(self)->refreshServices(); },
       nullptr,
       nullptr,
       nullptr,
       {}},
      {"test-latency",
       [](GSimpleAction*, GVariant*, gpointer self) { static_cast<Interface*>(self)->testLatency(); },
       nullptr,
       nullptr,
       nullptr,
       {}},
      {"toggle-proxy",
       [](GSimpleAction*, GVariant*, gpointer self) {
         auto* me = static_cast<Interface*>(self);
         GtkSwitch* sw = me->widget<GtkSwitch>("proxy_switch");
         gtk_switch_set_active(sw, !gtk_switch_get_active(sw));
       },
       nullptr,
       nullptr,
       nullptr,
       {}},
      {"show-page",
       [](GSimpleAction*, GVariant* page, gpointer self) {
         auto* me = static_cast<Interface*>(self);
         adw_view_stack_set_visible_child_name(me->widget<AdwViewStack>("stack"), g_variant_get_string(page, nullptr));
       },
       "s",
       nullptr,
       nullptr,
       {}},
  };
  g_action_map_add_action_entries(G_ACTION_MAP(group), entries, G_N_ELEMENTS(entries), this);
  GtkWidget* root = widget<GtkWidget>("root");
  gtk_widget_insert_action_group(root, "ui", G_ACTION_GROUP(group));
  g_object_unref(group);

  // Accelerators anywhere in the window: F5 reads the services again, Ctrl+T tests the latency,
  // Ctrl+Shift+P flips the system proxy, Alt+1..3 pick the pages.
  GtkEventController* shortcuts = gtk_shortcut_controller_new();
  gtk_shortcut_controller_set_scope(GTK_SHORTCUT_CONTROLLER(shortcuts), GTK_SHORTCUT_SCOPE_GLOBAL);
  struct Binding {
    const char* keys;
    const char* action;
    const char* page;
  };
  for (const Binding& b :
       {Binding{"F5", "ui.refresh", nullptr}, Binding{"<Control>t", "ui.test-latency", nullptr},
        Binding{"<Control><Shift>p", "ui.toggle-proxy", nullptr}, Binding{"<Alt>1", "ui.show-page", "proxy"},
        Binding{"<Alt>2", "ui.show-page", "latency"}, Binding{"<Alt>3", "ui.show-page", "general"}}) {
    GtkShortcut* shortcut = gtk_shortcut_new(gtk_shortcut_trigger_parse_string(b.keys), gtk_named_action_new(b.action));
    if (b.page != nullptr) gtk_shortcut_set_arguments(shortcut, g_variant_new_string(b.page));
    gtk_shortcut_controller_add_shortcut(GTK_SHORTCUT_CONTROLLER(shortcuts), shortcut);
  }
  gtk_widget_add_controller(root, shortcuts);
}

void Interface::connectSignals() {
  g_signal_connect(widget<GtkSwitch>("proxy_switch"), "state-set",
                   G_CALLBACK(+[](GtkSwitch*, gboolean on, gpointer self) -> gboolean {
                     return static_cast<Interface*>(self)->proxySwitchAsked(on);
                   }),
                   this);
  g_signal_connect(widget<GtkSwitch>("login_switch"), "state-set",
                   G_CALLBACK(+[](GtkSwitch*, gboolean on, gpointer self) -> gboolean {
                     return static_cast<Interface*>(self)->loginSwitchAsked(on);
                   }),
                   this);
  g_signal_connect_swapped(widget<GtkButton>("error_dismiss"), "clicked",
                           G_CALLBACK(+[](Interface* self) { self->hideError(); }), this);
  for (const char* id : {"host_row", "http_port_row", "socks_port_row", "bypass_row"}) {
    g_signal_connect_swapped(widget<GtkEditable>(id), "changed",
                             G_CALLBACK(+[](Interface* self) { self->formChanged(); }), this);
  }
  auto addFromEntry = +[](Interface* self) {
    AdwEntryRow* row = self->widget<AdwEntryRow>("add_target_row");
    auto parsed = parseTarget(gtk_editable_get_text(GTK_EDITABLE(row)));
    if (!parsed) {
      self->toast(parsed.error().message());
      return;
    }
    self->addTarget(*parsed);
    gtk_editable_set_text(GTK_EDITABLE(row), "");
    self->scheduleSave();
  };
  g_signal_connect_swapped(widget<GtkButton>("add_target_button"), "clicked", G_CALLBACK(addFromEntry), this);
  g_signal_connect_swapped(widget<AdwEntryRow>("add_target_row"), "entry-activated", G_CALLBACK(addFromEntry), this);
  g_signal_connect_swapped(widget<GtkSpinButton>("timeout_spin"), "value-changed", G_CALLBACK(+[](Interface* self) {
                             self->prefs_.timeoutMs =
                                 gtk_spin_button_get_value_as_int(self->widget<GtkSpinButton>("timeout_spin"));
                             self->scheduleSave();
                           }),
                           this);
  g_signal_connect_swapped(widget<GtkSwitch>("sort_switch"), "notify::active",
                           G_CALLBACK(+[](Interface* self) { self->resortTargets(); }), this);
}

void Interface::showEngineState() {
  const std::string path = engine_.linkPath();
  adw_action_row_set_subtitle(widget<AdwActionRow>("link_row"), path.empty() ? "Not served" : path.c_str());
  const std::vector<int>& pids = engine_.attachedProcesses();
  std::string attached = "None attached: this window is the Flutter side";
  if (!pids.empty()) {
    attached = "Attached: process " + std::to_string(pids.front());
    if (pids.size() > 1) attached += " and " + std::to_string(pids.size() - 1) + " more";
    attached += " (the last request wins)";
  }
  adw_action_row_set_subtitle(widget<AdwActionRow>("attached_row"), attached.c_str());
}

// ---- System proxy ----

std::vector<std::string> Interface::chosenServices() const { return prefs_.proxy.services; }

void Interface::formChanged() {
  struct Field {
    const char* id;
    bool valid;
  };
  auto text = [&](const char* id) { return std::string(gtk_editable_get_text(widget<GtkEditable>(id))); };
  const auto host = parseHost(text("host_row"));
  const auto http = parsePort(text("http_port_row"));
  const auto socks = parsePort(text("socks_port_row"));
  for (Field field : {Field{"host_row", host.has_value()}, Field{"http_port_row", http.has_value()},
                      Field{"socks_port_row", socks.has_value()}}) {
    if (field.valid) {
      gtk_widget_remove_css_class(widget<GtkWidget>(field.id), "error");
    } else {
      gtk_widget_add_css_class(widget<GtkWidget>(field.id), "error");
    }
  }
  if (host) prefs_.proxy.host = *host;
  if (http) prefs_.proxy.httpPort = *http;
  if (socks) prefs_.proxy.socksPort = *socks;
  prefs_.proxy.bypass = splitList(text("bypass_row"));
  scheduleSave();
}

void Interface::settleProxySwitchLater() {
  // Not from inside the switch's own change: GTK finishes that change after its handler returns,
  // and would show the new position again.
  settleLater_.after(std::chrono::milliseconds(0), [this] { setProxySwitch(proxyOn_); });
}

// Shows a settled state without asking for it: the switch's own handlers let this one pass. A
// switch that already shows it is left alone: a person's click takes effect only when the switch's
// slide ends, and setting the switch meanwhile would end the slide and drop the click (a read of
// the services lands at any moment).
void Interface::setSwitchQuietly(GtkSwitch* sw, bool on) {
  if (gtk_switch_get_active(sw) == on && gtk_switch_get_state(sw) == on) return;
  settingSwitch_ = true;
  gtk_switch_set_active(sw, on);
  gtk_switch_set_state(sw, on);
  settingSwitch_ = false;
}

void Interface::setProxySwitch(bool on) {
  setSwitchQuietly(widget<GtkSwitch>("proxy_switch"), on);
  proxyOn_ = on;
  if (tray_) tray_->setProxyOn(on);
}

bool Interface::proxySwitchAsked(bool on) {
  if (settingSwitch_) return FALSE;
  GtkSwitch* sw = widget<GtkSwitch>("proxy_switch");
  if (proxyBusy_) {
    // One change at a time from here: the one in flight decides.
    settleProxySwitchLater();
    return TRUE;
  }
  std::vector<std::string> services = chosenServices();
  EncodableValue arguments;
  if (on) {
    auto text = [&](const char* id) { return std::string(gtk_editable_get_text(widget<GtkEditable>(id))); };
    auto checked =
        checkProxyForm(text("host_row"), text("http_port_row"), text("socks_port_row"), text("bypass_row"), services);
    if (!checked) {
      showError({"The system proxy was not switched on", checked.error().message(), "checked here; nothing was sent"});
      settleProxySwitchLater();
      return TRUE;
    }
    arguments = enableArguments(*checked);
  } else {
    if (services.empty()) {
      showError({"The system proxy was not switched off", "Choose the network services to switch off.",
                 "checked here; nothing was sent"});
      settleProxySwitchLater();
      return TRUE;
    }
    arguments = disableArguments(services);
  }
  hideError();
  proxyBusy_ = true;
  // Busy, for the eye and for a screen reader: one change at a time, the rest of the window live.
  gtk_widget_set_sensitive(GTK_WIDGET(sw), FALSE);
  gtk_spinner_start(widget<GtkSpinner>("proxy_busy"));
  adw_action_row_set_subtitle(widget<AdwActionRow>("proxy_row"),
                              on ? "Switching on: waiting for approval…" : "Switching off…");
  channels_.invoke(proxyChannel_, on ? "setProxyElevated" : "disableProxyElevated", std::move(arguments),
                   guarded([this, on](MethodOutcome outcome) { proxyCallFinished(on, std::move(outcome)); }));
  return TRUE;  // the state follows the answer
}

void Interface::proxyCallFinished(bool on, MethodOutcome outcome) {
  proxyBusy_ = false;
  ++changeSerial_;
  gtk_widget_set_sensitive(widget<GtkWidget>("proxy_switch"), TRUE);
  gtk_spinner_stop(widget<GtkSpinner>("proxy_busy"));
  const char* method = on ? "setProxyElevated" : "disableProxyElevated";
  if (std::holds_alternative<EncodableValue>(outcome)) {
    setProxySwitch(on);
    toast(on ? "System proxy on" : "System proxy off");
  } else if (auto* error = std::get_if<FlutterError>(&outcome)) {
    NSLog("Interface: %@ answered %@", std::string(method), detailsLine(*error));
    showError(explainProxyError(*error, on));
    setProxySwitch(proxyOn_);
  } else {
    showError(explainNoAnswer(proxyChannel_, method, std::get<NotImplemented>(outcome).why));
    setProxySwitch(proxyOn_);
  }
  refreshServices();
}

void Interface::showError(const ExplainedError& error) {
  gtk_label_set_text(widget<GtkLabel>("error_title"), error.title.c_str());
  gtk_label_set_text(widget<GtkLabel>("error_explanation"), error.explanation.c_str());
  gtk_label_set_text(widget<GtkLabel>("error_details"), ("Details: " + error.details).c_str());
  GtkWidget* card = widget<GtkWidget>("error_card");
  gtk_accessible_update_property(GTK_ACCESSIBLE(card), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 (error.title + ". " + error.explanation).c_str(), -1);
  gtk_widget_set_visible(card, TRUE);
  adw_view_stack_set_visible_child_name(widget<AdwViewStack>("stack"), "proxy");
}

void Interface::hideError() {
  gtk_widget_set_visible(widget<GtkWidget>("error_card"), FALSE);
  // Emptied too, so a screen reader walking the page finds no stale error.
  for (const char* id : {"error_title", "error_explanation", "error_details"})
    gtk_label_set_text(widget<GtkLabel>(id), "");
}

void Interface::toast(const std::string& text) {
  adw_toast_overlay_add_toast(widget<AdwToastOverlay>("toasts"), adw_toast_new(text.c_str()));
}

void Interface::refreshServices() {
  if (readInFlight_) {
    readAgain_ = true;
    return;
  }
  readInFlight_ = true;
  std::vector<std::string> chosen = chosenServices();
  auto done =
      guarded([this, serial = changeSerial_](NetworkSnapshot snapshot) { applySnapshot(std::move(snapshot), serial); });
  DispatchQueue::global(DispatchQoS::userInitiated).async([chosen, done]() mutable {
    NetworkSnapshot snapshot = readNetworkSnapshot(chosen);
    DispatchQueue::main().async([done, snapshot = std::move(snapshot)]() mutable { done(std::move(snapshot)); });
  });
}

void Interface::watchServiceState() {
  // A folder not made yet (no run so far for this user) is watched for: GLib looks for it every few
  // seconds, and the page reads the services when it appears.
  const std::string folder = macos_tools::networkSetupStateFolder();
  GObjectPtr<GFile> file(g_file_new_for_path(folder.c_str()));
  GError* error = nullptr;
  stateMonitor_ =
      GObjectPtr<GFileMonitor>(g_file_monitor_directory(file.get(), G_FILE_MONITOR_WATCH_MOVES, nullptr, &error));
  stateFolder_ = std::move(file);
  if (!stateMonitor_) {
    NSLog("Interface: cannot watch networksetup's state in %@ (%@); the services are read every %@ s instead", folder,
          std::string(error->message), std::to_string(kFallbackRefreshPeriod.count()));
    g_error_free(error);
    refreshLater_.every(kFallbackRefreshPeriod, [this] {
      if (gtk_widget_get_mapped(widget<GtkWidget>("root"))) refreshServices();
    });
    return;
  }
  // Only the state file and the folder itself: every run, the page's own reads included, also
  // appends to the run log there.
  g_signal_connect(stateMonitor_.get(), "changed",
                   G_CALLBACK(+[](GFileMonitor*, GFile* file, GFile* other, GFileMonitorEvent event, gpointer self) {
                     auto* me = static_cast<Interface*>(self);
                     auto counts = [me](GFile* f) {
                       if (f == nullptr) return false;
                       if (g_file_equal(f, me->stateFolder_.get())) return true;
                       char* name = g_file_get_basename(f);
                       const bool state = name != nullptr && std::string(name) == macos_tools::kNetworkSetupStateFile;
                       g_free(name);
                       return state;
                     };
                     if (event == G_FILE_MONITOR_EVENT_ATTRIBUTE_CHANGED || !(counts(file) || counts(other))) return;
                     if (!me->refreshLater_.pending()) {
                       me->refreshLater_.after(kStateSettle, [me] { me->refreshServices(); });
                     }
                   }),
                   this);
}

void Interface::applySnapshot(NetworkSnapshot snapshot, int changeSerial) {
  readInFlight_ = false;
  if (changeSerial != changeSerial_) {
    // Read while a change of ours was landing: what it says may be from before; read again.
    readAgain_ = false;
    refreshServices();
    return;
  }
  AdwPreferencesGroup* group = widget<AdwPreferencesGroup>("services_group");
  const bool listed = snapshot.services.has_value();
  std::vector<NetworkService> shown = listed ? std::move(*snapshot.services) : std::vector<NetworkService>{};
  if (listed && !prefs_.servicesChosen) {
    // Nothing chosen yet: the system proxy is every enabled service's, as the cleanup's is.
    prefs_.proxy.services.clear();
    for (const NetworkService& service : shown) {
      if (service.enabled) prefs_.proxy.services.push_back(service.name);
    }
    prefs_.servicesChosen = true;
    readAgain_ = true;
  }
  if (listed) {
    // A chosen service the tool no longer lists stays shown, so the person can see it and take it
    // out of the choice.
    for (const std::string& name : prefs_.proxy.services) {
      auto found = std::find_if(shown.begin(), shown.end(), [&](const NetworkService& s) { return s.name == name; });
      if (found == shown.end()) shown.push_back({name, true, false});
    }
  }
  bool sameList = shown.size() == services_.size();
  for (size_t i = 0; sameList && i < services_.size(); ++i) sameList = services_[i].service == shown[i];
  if (listed && !sameList) {
    for (ServiceRow& row : services_) adw_preferences_group_remove(group, GTK_WIDGET(row.row));
    services_.clear();
    for (const NetworkService& service : shown) {
      ServiceRow row{service, ADW_ACTION_ROW(adw_action_row_new()), GTK_SWITCH(gtk_switch_new())};
      adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row.row), service.name.c_str());
      adw_preferences_row_set_use_markup(ADW_PREFERENCES_ROW(row.row), FALSE);
      gtk_widget_set_valign(GTK_WIDGET(row.choice), GTK_ALIGN_CENTER);
      const auto& chosen = prefs_.proxy.services;
      gtk_switch_set_active(row.choice, std::find(chosen.begin(), chosen.end(), service.name) != chosen.end());
      adw_action_row_add_suffix(row.row, GTK_WIDGET(row.choice));
      adw_action_row_set_activatable_widget(row.row, GTK_WIDGET(row.choice));
      g_signal_connect_swapped(row.choice, "notify::active", G_CALLBACK(+[](Interface* self) {
                                 // The chosen services in the order the tool lists them.
                                 std::vector<std::string> chosen;
                                 for (const ServiceRow& r : self->services_) {
                                   if (gtk_switch_get_active(r.choice)) chosen.push_back(r.service.name);
                                 }
                                 self->prefs_.proxy.services = chosen;
                                 self->prefs_.servicesChosen = true;
                                 self->scheduleSave();
                                 self->refreshServices();
                               }),
                               this);
      adw_preferences_group_add(group, GTK_WIDGET(row.row));
      services_.push_back(row);
    }
  }
  if (!listed) {
    adw_preferences_group_set_description(
        group, ("The services cannot be read: " + snapshot.services.error().message()).c_str());
  } else {
    adw_preferences_group_set_description(
        group, "The services whose proxies the switch sets, with their state as networksetup reads it.");
  }
  std::vector<std::string> onFor;
  for (ServiceRow& row : services_) {
    std::string subtitle = !row.service.listed   ? "Not found: networksetup does not list this service"
                           : row.service.enabled ? "Not chosen"
                                                 : "Disabled service; not chosen";
    for (const ServiceProxies& proxies : snapshot.proxies) {
      if (proxies.service != row.service.name) continue;
      if (row.service.listed) subtitle = (row.service.enabled ? "" : "Disabled service. ") + describe(proxies);
      if (proxies.readable && proxies.anyOn()) onFor.push_back(proxies.service);
    }
    adw_action_row_set_subtitle(row.row, subtitle.c_str());
  }
  if (!proxyBusy_) {
    // The switch tells what the chosen services really have, whoever changed them.
    setProxySwitch(!onFor.empty());
    adw_action_row_set_subtitle(widget<AdwActionRow>("proxy_row"),
                                onFor.empty() ? "Off" : ("On for " + joinList(onFor)).c_str());
  }
  if (readAgain_) {
    readAgain_ = false;
    refreshServices();
  }
}

// ---- Latency ----

void Interface::addTarget(const LatencyTarget& target) {
  TargetRow entry{target, ADW_ENTRY_ROW(adw_entry_row_new()), GTK_LABEL(gtk_label_new("Not tested"))};
  const std::string text = targetText(target);
  adw_preferences_row_set_title(ADW_PREFERENCES_ROW(entry.row), "Target");
  gtk_editable_set_text(GTK_EDITABLE(entry.row), text.c_str());
  adw_entry_row_set_show_apply_button(entry.row, TRUE);
  gtk_accessible_update_property(GTK_ACCESSIBLE(entry.row), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 ("Target " + text).c_str(), -1);
  gtk_widget_add_css_class(GTK_WIDGET(entry.result), "dim-label");
  gtk_widget_add_css_class(GTK_WIDGET(entry.result), "numeric");
  gtk_accessible_update_property(GTK_ACCESSIBLE(entry.result), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                 ("Result for " + text).c_str(), -1);
  adw_entry_row_add_suffix(entry.row, GTK_WIDGET(entry.result));
  GtkWidget* remove = gtk_button_new_from_icon_name("user-trash-symbolic");
  gtk_widget_set_valign(remove, GTK_ALIGN_CENTER);
  gtk_widget_add_css_class(remove, "flat");
  gtk_widget_set_tooltip_text(remove, "Remove");
  gtk_accessible_update_property(GTK_ACCESSIBLE(remove), GTK_ACCESSIBLE_PROPERTY_LABEL, ("Remove " + text).c_str(), -1);
  adw_entry_row_add_suffix(entry.row, remove);
  entry.remove = remove;
  g_object_set_data(G_OBJECT(remove), "target-row", entry.row);
  g_signal_connect(
      remove, "clicked", G_CALLBACK(+[](GtkButton* button, gpointer self) {
        static_cast<Interface*>(self)->removeTarget(ADW_ENTRY_ROW(g_object_get_data(G_OBJECT(button), "target-row")));
      }),
      this);
  g_signal_connect(entry.row, "apply",
                   G_CALLBACK(+[](AdwEntryRow* row, gpointer self) { static_cast<Interface*>(self)->editTarget(row); }),
                   this);
  adw_preferences_group_add(widget<AdwPreferencesGroup>("targets_group"), GTK_WIDGET(entry.row));
  targets_.push_back(entry);
  prefs_.targets.clear();
  for (const TargetRow& row : targets_) prefs_.targets.push_back(row.target);
}

void Interface::removeTarget(AdwEntryRow* row) {
  auto it = std::find_if(targets_.begin(), targets_.end(), [&](const TargetRow& r) { return r.row == row; });
  if (it == targets_.end()) return;
  adw_preferences_group_remove(widget<AdwPreferencesGroup>("targets_group"), GTK_WIDGET(row));
  targets_.erase(it);
  prefs_.targets.clear();
  for (const TargetRow& r : targets_) prefs_.targets.push_back(r.target);
  scheduleSave();
}

void Interface::editTarget(AdwEntryRow* row) {
  auto it = std::find_if(targets_.begin(), targets_.end(), [&](const TargetRow& r) { return r.row == row; });
  if (it == targets_.end()) return;
  auto parsed = parseTarget(gtk_editable_get_text(GTK_EDITABLE(row)));
  if (!parsed) {
    toast(parsed.error().message());
    gtk_editable_set_text(GTK_EDITABLE(row), targetText(it->target).c_str());
    return;
  }
  it->target = *parsed;
  const std::string text = targetText(it->target);
  gtk_editable_set_text(GTK_EDITABLE(row), text.c_str());
  gtk_accessible_update_property(GTK_ACCESSIBLE(row), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION, ("Target " + text).c_str(),
                                 -1);
  gtk_label_set_text(it->result, "Not tested");
  it->sortKey = INT64_MAX;
  prefs_.targets.clear();
  for (const TargetRow& r : targets_) prefs_.targets.push_back(r.target);
  scheduleSave();
}

void Interface::testLatency() {
  const int generation = ++testGeneration_;
  const int timeoutMs = gtk_spin_button_get_value_as_int(widget<GtkSpinButton>("timeout_spin"));
  for (TargetRow& row : targets_) {
    gtk_label_set_text(row.result, "Testing…");
    for (const char* css : {"result-ok", "result-timeout", "result-error"}) {
      gtk_widget_remove_css_class(GTK_WIDGET(row.result), css);
    }
    row.sortKey = INT64_MAX;
    // Every ping goes at once: the host runs each on its own worker.
    AdwEntryRow* key = row.row;
    channels_.invoke(pingChannel_, "tcpPing", pingArguments(row.target, timeoutMs),
                     guarded([this, key, generation](MethodOutcome outcome) {
                       pendingResults_.push_back({key, generation, std::move(outcome)});
                       if (!resultsLater_.pending()) resultsLater_.after(kResultBatch, [this] { showResults(); });
                     }));
  }
}

void Interface::showResults() {
  std::vector<PendingResult> results;
  results.swap(pendingResults_);
  for (PendingResult& result : results) {
    auto it = std::find_if(targets_.begin(), targets_.end(), [&](const TargetRow& r) { return r.row == result.row; });
    if (it == targets_.end() || result.generation != testGeneration_) continue;  // removed, or a newer test
    std::string text;
    const char* css = "result-error";
    if (auto* value = std::get_if<EncodableValue>(&result.outcome); value && value->asInteger()) {
      int64_t ms = *value->asInteger();
      if (ms >= 0) {
        text = std::to_string(ms) + " ms";
        css = "result-ok";
        it->sortKey = ms;
      } else {
        text = "timed out";
        css = "result-timeout";
        it->sortKey = INT64_MAX - 2;
      }
    } else if (auto* error = std::get_if<FlutterError>(&result.outcome)) {
      text = shortProbeError(*error);
      it->sortKey = INT64_MAX - 1;
    } else {
      text = "no answer";
      it->sortKey = INT64_MAX - 1;
    }
    gtk_label_set_text(it->result, text.c_str());
    gtk_widget_add_css_class(GTK_WIDGET(it->result), css);
  }
  resortTargets();
}

void Interface::resortTargets() {
  if (!gtk_switch_get_active(widget<GtkSwitch>("sort_switch")) || resortLater_.pending()) return;
  // Results arrive in bursts: the rows are put in order once per burst, not once per answer.
  resortLater_.idle([this] {
    std::stable_sort(targets_.begin(), targets_.end(),
                     [](const TargetRow& a, const TargetRow& b) { return a.sortKey < b.sortKey; });
    GtkWidget* previous = nullptr;
    for (TargetRow& row : targets_) {
      GtkWidget* listBox = gtk_widget_get_parent(GTK_WIDGET(row.row));
      if (GTK_IS_LIST_BOX(listBox)) {
        g_object_ref(row.row);
        gtk_list_box_remove(GTK_LIST_BOX(listBox), GTK_WIDGET(row.row));
        int position = previous == nullptr ? 1 : gtk_list_box_row_get_index(GTK_LIST_BOX_ROW(previous)) + 1;
        gtk_list_box_insert(GTK_LIST_BOX(listBox), GTK_WIDGET(row.row), position);
        g_object_unref(row.row);
      }
      previous = GTK_WIDGET(row.row);
    }
  });
}

// ---- Launch at login ----

void Interface::setLoginSwitch(bool on) { setSwitchQuietly(widget<GtkSwitch>("login_switch"), on); }

void Interface::readLoginState() {
  channels_.invoke("launch_at_startup", "launchAtStartupIsEnabled", EncodableValue(),
                   guarded([this](MethodOutcome outcome) {
                     if (auto* value = std::get_if<EncodableValue>(&outcome); value && value->asBool()) {
                       setLoginSwitch(*value->asBool());
                     }
                   }));
}

bool Interface::loginSwitchAsked(bool on) {
  if (settingSwitch_) return FALSE;
  if (loginBusy_) return TRUE;
  loginBusy_ = true;
  channels_.invoke("launch_at_startup", "launchAtStartupSetEnabled", EncodableMap{{"setEnabledValue", on}},
                   guarded([this, on](MethodOutcome outcome) {
                     // The set answers nothing: what it did is read back.
                     if (auto* error = std::get_if<FlutterError>(&outcome))
                       toast("Start at login: " + detailsLine(*error));
                     channels_.invoke("launch_at_startup", "launchAtStartupIsEnabled", EncodableValue(),
                                      guarded([this, on](MethodOutcome readBack) {
                                        loginBusy_ = false;
                                        auto* value = std::get_if<EncodableValue>(&readBack);
                                        std::optional<bool> now = value ? value->asBool() : std::nullopt;
                                        setLoginSwitch(now.value_or(!on));
                                        if (now != on) {
                                          toast(on ? "Start at login could not be turned on"
                                                   : "Start at login could not be turned off");
                                        }
                                      }));
                   }));
  return TRUE;
}

// ---- Saved choices ----

void Interface::scheduleSave() {
  saveLater_.after(kSaveDelay, [this] { save(); });
}

void Interface::save() {
  if (auto saved = savePreferences(preferencesFile_, prefs_); !saved) {
    NSLog("Interface: cannot keep your choices in %@: %@", preferencesFile_, saved.error().message());
    toast("Your choices cannot be kept: " + saved.error().message());
  }
}

std::unique_ptr<BuiltInFlutterSide> start(FlutterViewController& controller) {
  return std::make_unique<Interface>(controller);
}

// The engine starts this side in every view controller made while a window system runs.
const bool registered = [] {
  FlutterViewController::setBuiltInFlutterSideEntrypoint(&start);
  return true;
}();

}  // namespace

}  // namespace ui
