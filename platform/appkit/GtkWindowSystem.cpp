// AppKit's windows on GTK 4: the application is a GtkApplication, each NSWindow a
// GtkApplicationWindow with a header bar and the primary menu, and the loop GLib's main context.
#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <X11/Xlib.h>
#include <gdk/x11/gdkx.h>
#endif

#include <charconv>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "platform/NoDestructor.h"
#include "platform/appkit/LoopSource.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWindow.h"
#include "platform/appkit/WindowSystem.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSLog.h"
#include "platform/foundation/NSPathUtilities.h"
#include "platform/posix/Files.h"
#include "platform/posix/Signals.h"

namespace appkit {

namespace {

WindowSystem* activeSystem = nullptr;

// Sizes outside this range are not a window the user made: a damaged or foreign state file.
constexpr int kSmallestKeptSize = 120;
constexpr int kLargestKeptSize = 16384;
// Resizing sends a stream of changes: the state file is written once the stream has settled.
constexpr std::chrono::milliseconds kSaveDelay{500};

std::string bundleName() {
  const NSBundle& bundle = NSBundle::mainBundle();
  return bundle.objectForInfoDictionaryKey("CFBundleName").value_or(g_get_prgname() ? g_get_prgname() : "");
}

class GtkSystem;

class GtkNativeWindow final : public NativeWindow {
 public:
  GtkNativeWindow(GtkSystem& system, GtkApplication* app, NSWindow& owner);
  ~GtkNativeWindow() override;

  void setTitle(const std::string& title) override { gtk_window_set_title(window_, title.c_str()); }

  void setSize(NSSize size) override {
    settingSize_ = true;
    gtk_window_set_default_size(window_, static_cast<int>(size.width), static_cast<int>(size.height));
    settingSize_ = false;
  }

  void show(bool makeKey) override {
    if (makeKey) {
      gtk_window_present(window_);
    } else {
      gtk_widget_set_visible(GTK_WIDGET(window_), TRUE);
    }
  }

  void hide() override { gtk_widget_set_visible(GTK_WIDGET(window_), FALSE); }

  bool isVisible() const override { return gtk_widget_get_visible(GTK_WIDGET(window_)); }

  void setContentView(NSView* view) override {
    if (view_ != nullptr) view_->setContentObserver(nullptr);
    view_ = view;
    if (view_ != nullptr) view_->setContentObserver([this] { showContent(); });
    showContent();
  }

 private:
  // The view's own widget when it draws itself, else its text in the label.
  void showContent() {
    GtkWidget* widget = view_ != nullptr ? static_cast<GtkWidget*>(view_->nativeContent()) : nullptr;
    if (widget == nullptr) widget = GTK_WIDGET(content_);
    gtk_label_set_text(content_, view_ != nullptr ? view_->stringValue().c_str() : "");
    if (gtk_window_get_child(window_) != widget) {
      // A widget shown elsewhere before is taken from there: one widget has one parent.
      if (GtkWidget* parent = gtk_widget_get_parent(widget); parent != nullptr && GTK_IS_WINDOW(parent)) {
        gtk_window_set_child(GTK_WINDOW(parent), nullptr);
      }
      gtk_window_set_child(window_, widget);
    }
  }

  static gboolean onCloseRequest(GtkWindow*, gpointer self) {
    // The platform decides: a closed window is hidden and stays in the application's list.
    static_cast<GtkNativeWindow*>(self)->owner_.nativeWindowCloseRequested();
    return TRUE;
  }
  static void onActiveChanged(GObject* window, GParamSpec*, gpointer self) {
    auto* me = static_cast<GtkNativeWindow*>(self);
    NSApplication::sharedApplication().windowKeyStateChanged(&me->owner_, gtk_window_is_active(GTK_WINDOW(window)));
  }
  static void onSizeChanged(GObject*, GParamSpec*, gpointer self);

  GtkSystem& system_;
  NSWindow& owner_;
  GtkWindow* window_;
  GtkLabel* content_;
  NSView* view_ = nullptr;
  bool settingSize_ = false;
};

class GtkSystem final : public WindowSystem {
 public:
  explicit GtkSystem(GtkApplication* app, std::string stateFile) : app_(app), stateFile_(std::move(stateFile)) {
    g_signal_connect(app_, "activate", G_CALLBACK(&GtkSystem::onActivate), this);
    addActions();
  }

  std::unique_ptr<NativeWindow> makeWindow(NSWindow& owner) override {
    return std::make_unique<GtkNativeWindow>(*this, app_, owner);
  }

  void activate(NSApplication& app) override {
    NSWindow* front = app.keyWindow();
    if (front == nullptr || !front->isVisible()) {
      auto ordered = app.orderedWindows();
      front = ordered.empty() ? nullptr : ordered.front();
    }
    if (front != nullptr && front->nativeWindow() != nullptr) front->nativeWindow()->show(true);
  }

  void restoreWindowState(NSApplication& app) override {
    gchar* contents = nullptr;
    if (!g_file_get_contents(stateFile_.c_str(), &contents, nullptr, nullptr)) return;
    std::vector<NSSize> sizes = parseSizes(contents);
    g_free(contents);
    auto windows = app.windows();
    for (size_t i = 0; i < windows.size() && i < sizes.size(); ++i) {
      NSRect frame = windows[i]->frame();
      double top = frame.origin.y + frame.size.height;
      windows[i]->setFrame({{frame.origin.x, top - sizes[i].height}, sizes[i]}, true);
    }
  }

  void saveWindowState(NSApplication& app) override {
    std::string text;
    for (NSWindow* w : app.windows()) {
      text += std::to_string(static_cast<int>(w->frame().size.width)) + " " +
              std::to_string(static_cast<int>(w->frame().size.height)) + "\n";
    }
    posix::Expected<void> kept = posix::createFolders(posix::folderOf(stateFile_), 0700);
    if (kept) kept = posix::writeFileAtomically(stateFile_, text, 0600);
    if (!kept) NSLog("Cannot keep the window sizes: %@", kept.error().message());
  }

  void run(NSApplication& app) override {
    // Closing every window must not end the loop: the application decides when it ends.
    g_application_hold(G_APPLICATION(app_));
    char* argv[] = {const_cast<char*>(g_get_prgname() ? g_get_prgname() : "proxyhost"), nullptr};
    g_application_run(G_APPLICATION(app_), 1, argv);
    g_application_release(G_APPLICATION(app_));
  }

  // A resize settled or a window closed: keep the sizes, once the changes have stopped.
  void scheduleSave() {
    saveLater_.after(kSaveDelay, [this] { saveWindowState(NSApplication::sharedApplication()); });
  }

  GMenuModel* primaryMenu() const { return primaryMenu_; }

  static std::vector<NSSize> parseSizes(const char* text) {
    std::vector<NSSize> sizes;
    gchar** lines = g_strsplit(text, "\n", -1);
    for (gchar** line = lines; *line != nullptr && **line != '\0'; ++line) {
      int w = 0, h = 0;
      const char* end = *line + strlen(*line);
      auto [afterW, errW] = std::from_chars(*line, end, w);
      if (errW != std::errc() || afterW == end || *afterW != ' ') break;
      auto [afterH, errH] = std::from_chars(afterW + 1, end, h);
      if (errH != std::errc() || afterH != end) break;
      if (w < kSmallestKeptSize || h < kSmallestKeptSize || w > kLargestKeptSize || h > kLargestKeptSize) break;
      sizes.push_back({static_cast<double>(w), static_cast<double>(h)});
    }
    g_strfreev(lines);
    return sizes;
  }

 private:
  // g_application_run activates the primary instance once as it starts; that is the launch, not
  // a reopen. Every later activation comes from another start in the session.
  static void onActivate(GApplication*, gpointer self) {
    auto* me = static_cast<GtkSystem*>(self);
    if (!me->launchActivationSeen_) {
      me->launchActivationSeen_ = true;
      return;
    }
    // As a click on the Dock icon: the application becomes active, then handles the reopen.
    NSApplication& app = NSApplication::sharedApplication();
    app.activateIgnoringOtherApps(true);
    app.reopen();
  }

  void addActions() {
    static const GActionEntry entries[] = {
        {"about",
         [](GSimpleAction*, GVariant*, gpointer self) { static_cast<GtkSystem*>(self)->showAbout(); },
         nullptr,
         nullptr,
         nullptr,
         {}},
        {"quit",
         [](GSimpleAction*, GVariant*, gpointer) { NSApplication::sharedApplication().terminate(nullptr); },
         nullptr,
         nullptr,
         nullptr,
         {}},
    };
    g_action_map_add_action_entries(G_ACTION_MAP(app_), entries, G_N_ELEMENTS(entries), this);
    const char* quitKeys[] = {"<Control>q", nullptr};
    gtk_application_set_accels_for_action(app_, "app.quit", quitKeys);

    GMenu* menu = g_menu_new();
    std::string about = "About " + bundleName();
    g_menu_append(menu, about.c_str(), "app.about");
    g_menu_append(menu, "Quit", "app.quit");
    primaryMenu_ = G_MENU_MODEL(menu);
  }

  void showAbout() {
    const NSBundle& bundle = NSBundle::mainBundle();
    std::string version = bundle.objectForInfoDictionaryKey("CFBundleShortVersionString").value_or("");
    std::string icon = bundle.bundleIdentifier().value_or("");
    GtkWindow* parent = gtk_application_get_active_window(app_);
    gtk_show_about_dialog(parent, "program-name", bundleName().c_str(), "version", version.c_str(), "logo-icon-name",
                          icon.c_str(), "comments", "Native host of the proxy client", nullptr);
  }

  GtkApplication* app_;
  const std::string stateFile_;
  GMenuModel* primaryMenu_ = nullptr;
  LoopSource saveLater_;
  bool launchActivationSeen_ = false;
};

GtkNativeWindow::GtkNativeWindow(GtkSystem& system, GtkApplication* app, NSWindow& owner)
    : system_(system), owner_(owner), window_(GTK_WINDOW(gtk_application_window_new(app))) {
  g_object_ref(window_);
  // The primary menu in the header bar, as GNOME and KDE applications have it.
  GtkWidget* header = gtk_header_bar_new();
  GtkWidget* menuButton = gtk_menu_button_new();
  gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(menuButton), "open-menu-symbolic");
  gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(menuButton), system_.primaryMenu());
  gtk_widget_set_tooltip_text(menuButton, "Main Menu");
  gtk_accessible_update_property(GTK_ACCESSIBLE(menuButton), GTK_ACCESSIBLE_PROPERTY_LABEL, "Main Menu", -1);
  // F10 opens it, as the primary menu of a GNOME application.
  gtk_menu_button_set_primary(GTK_MENU_BUTTON(menuButton), TRUE);
  gtk_header_bar_pack_end(GTK_HEADER_BAR(header), menuButton);
  gtk_window_set_titlebar(window_, header);

  // Held here, so the label outlives its turns out of the window while the view draws itself.
  content_ = GTK_LABEL(g_object_ref_sink(gtk_label_new("")));
  gtk_label_set_wrap(content_, TRUE);
  gtk_label_set_justify(content_, GTK_JUSTIFY_CENTER);
  gtk_widget_set_margin_start(GTK_WIDGET(content_), 24);
  gtk_widget_set_margin_end(GTK_WIDGET(content_), 24);
  gtk_window_set_child(window_, GTK_WIDGET(content_));

  g_signal_connect(window_, "close-request", G_CALLBACK(&GtkNativeWindow::onCloseRequest), this);
  g_signal_connect(window_, "notify::is-active", G_CALLBACK(&GtkNativeWindow::onActiveChanged), this);
  g_signal_connect(window_, "notify::default-width", G_CALLBACK(&GtkNativeWindow::onSizeChanged), this);
  g_signal_connect(window_, "notify::default-height", G_CALLBACK(&GtkNativeWindow::onSizeChanged), this);
}

GtkNativeWindow::~GtkNativeWindow() {
  g_signal_handlers_disconnect_by_data(window_, this);
  if (view_ != nullptr) view_->setContentObserver(nullptr);
  gtk_window_destroy(window_);
  g_object_unref(window_);
  g_object_unref(content_);
}

void GtkNativeWindow::onSizeChanged(GObject* window, GParamSpec*, gpointer self) {
  auto* me = static_cast<GtkNativeWindow*>(self);
  if (me->settingSize_) return;
  int width = 0, height = 0;
  gtk_window_get_default_size(GTK_WINDOW(window), &width, &height);
  if (width <= 0 || height <= 0) return;
  me->owner_.nativeWindowResized({static_cast<double>(width), static_cast<double>(height)});
  me->system_.scheduleSave();
}

#ifdef GDK_WINDOWING_X11
// The X server went away: the desktop session ended without a session manager to say so (or the
// display was stopped). GTK would end the process at once, without the cleanup; this is the end
// of the session, so the application terminates through the platform first. Xlib ends the
// process when this returns, which terminate() never does.
int onDisplayLost(Display*) {
  NSLog("The display went away: the desktop session has ended");
  NSApplication::sharedApplication().terminate(nullptr);
  return 0;
}

// Another X client destroyed a window of ours (XDestroyWindow) behind GDK's back. Left alone, GTK
// goes on drawing into it, and the X errors that earns end the process at once (GDK's handler
// too), without the cleanup. No window the user sees is left to serve, so the application
// terminates, as when the display goes away, before GTK makes another request. Main thread: X
// events and errors are read there.
std::set<XID>& windowsGone() {
  static NoDestructor<std::set<XID>> gone;
  return *gone;
}

bool noteWindowGone(XID window) {
  if (!windowsGone().insert(window).second) return false;
  NSLog("Another X client destroyed the window: terminating");
  return true;
}

gboolean onXEvent(GdkX11Display* display, gpointer event, gpointer) {
  const auto* x = static_cast<const XEvent*>(event);
  if (x->type != DestroyNotify) return FALSE;
  // GDK marks a surface destroyed before it destroys the window itself.
  GdkSurface* surface = gdk_x11_surface_lookup_for_display(GDK_DISPLAY(display), x->xdestroywindow.window);
  if (surface == nullptr || gdk_surface_is_destroyed(surface)) return FALSE;
  noteWindowGone(x->xdestroywindow.window);
  // Here, not later: GTK's next frame would draw into the window that is gone. Kept from GDK,
  // which would tear the surface down under its renderer (GTK 4.8 aborts on a GL one).
  NSApplication::sharedApplication().terminate(nullptr);
  return TRUE;
}

XErrorHandler passOnXError = nullptr;

// An error on a live window of ours can come before its DestroyNotify is read: the window is gone
// all the same. From then on errors are the aftermath, passed over until the application ends
// (Xlib's handlers must not terminate themselves: the run loop's next turn does).
int onXError(Display* xdisplay, XErrorEvent* error) {
  const bool onWindow = error->error_code == BadWindow || error->error_code == BadDrawable;
  GdkSurface* surface = gdk_x11_surface_lookup_for_display(gdk_display_get_default(), error->resourceid);
  if (onWindow && surface != nullptr && !gdk_surface_is_destroyed(surface) && noteWindowGone(error->resourceid)) {
    DispatchQueue::main().async([] { NSApplication::sharedApplication().terminate(nullptr); });
  }
  if (!windowsGone().empty()) return 0;
  return passOnXError != nullptr ? passOnXError(xdisplay, error) : 0;
}
#endif

bool headlessChosen() {
  const char* headless = std::getenv("PROXYHOST_HEADLESS");
  return headless != nullptr && *headless != '\0' && std::string(headless) != "0";
}

bool hasDisplay() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 != nullptr && *x11 != '\0') || (wayland != nullptr && *wayland != '\0');
}

}  // namespace

WindowSystem* WindowSystem::active() { return activeSystem; }

LaunchMode chooseWindowSystem(NSApplication& app) {
  dispatchAssertMainThread("chooseWindowSystem");
  if (headlessChosen()) {
    NSLog("No window: headless, as PROXYHOST_HEADLESS asks");
    return LaunchMode::headless;
  }
  if (!hasDisplay()) {
    NSLog("No window: headless, as there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)");
    return LaunchMode::headless;
  }
  // The window draws a header bar and text, which GTK's cairo renderer does in well under a
  // millisecond a frame; its OpenGL renderer, on a machine without a GPU (a virtual machine, a
  // remote or virtual X server), rasterises in software on the main thread for tens of
  // milliseconds a frame, and the Flutter side's calls would wait behind it. A renderer the user
  // chose is kept.
  g_setenv("GSK_RENDERER", "cairo", FALSE);
  // The threads GTK and GDBus start here leave the process's signals to the main thread.
  posix::ServiceThreadSignals blocked;
  if (!gtk_init_check()) {
    NSLog("No window: headless, as the display cannot be opened");
    return LaunchMode::headless;
  }
  const NSBundle& bundle = NSBundle::mainBundle();
  std::optional<std::string> identifier = bundle.bundleIdentifier();
  if (identifier && !g_application_id_is_valid(identifier->c_str())) identifier.reset();
  // One instance per desktop session, found on the session bus by the bundle identifier.
  GtkApplication* gtkApp = gtk_application_new(identifier ? identifier->c_str() : nullptr,
                                               identifier ? G_APPLICATION_DEFAULT_FLAGS : G_APPLICATION_NON_UNIQUE);
  g_object_set(gtkApp, "register-session", TRUE, nullptr);
  GError* error = nullptr;
  if (!g_application_register(G_APPLICATION(gtkApp), nullptr, &error)) {
    NSLog("The desktop session cannot register the application (%@); a second start will not find it",
          std::string(error->message));
    g_clear_error(&error);
  }
  if (g_application_get_is_remote(G_APPLICATION(gtkApp))) {
    g_application_activate(G_APPLICATION(gtkApp));
    if (GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(gtkApp))) {
      g_dbus_connection_flush_sync(bus, nullptr, nullptr);
    }
    NSLog("%@ is already running in this desktop session: asked it to show its window", bundleName());
    return LaunchMode::reachedRunningInstance;
  }

  GdkDisplay* display = gdk_display_get_default();
#ifdef GDK_WINDOWING_X11
  if (GDK_IS_X11_DISPLAY(display)) {
    XSetIOErrorHandler(&onDisplayLost);
    passOnXError = XSetErrorHandler(&onXError);
    g_signal_connect(display, "xevent", G_CALLBACK(&onXEvent), nullptr);
  }
#endif
  // The application's icon is in the bundle's resources, named by CFBundleIconFile.
  gtk_icon_theme_add_search_path(gtk_icon_theme_get_for_display(display), bundle.resourcePath().c_str());
  std::string iconFile = bundle.objectForInfoDictionaryKey("CFBundleIconFile").value_or("");
  if (iconFile.ends_with(".svg")) iconFile.resize(iconFile.size() - 4);
  if (!iconFile.empty()) gtk_window_set_default_icon_name(iconFile.c_str());
  g_set_application_name(bundleName().c_str());

  std::string stateFile = applicationSupportDirectory() + "/" + identifier.value_or(g_get_prgname()) + "/window-state";
  static GtkSystem* system = new GtkSystem(gtkApp, stateFile);
  activeSystem = system;
  NSLog("Windows on display %@ (GTK %d.%d)", std::string(gdk_display_get_name(display)), gtk_get_major_version(),
        gtk_get_minor_version());
  return LaunchMode::windowed;
}

}  // namespace appkit
