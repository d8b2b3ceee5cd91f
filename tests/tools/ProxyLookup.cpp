// proxy_lookup URL ...: what GLib's own proxy resolver answers for each URL, one line per URL with
// the proxies in order, space-separated. Run with GIO_USE_PROXY_RESOLVER=gnome (and
// XDG_CURRENT_DESKTOP=GNOME) it reads org.gnome.system.proxy as GTK applications do.
#include <gio/gio.h>

#include <cstdio>

int main(int argc, char** argv) {
  GProxyResolver* resolver = g_proxy_resolver_get_default();
  for (int i = 1; i < argc; ++i) {
    GError* error = nullptr;
    gchar** proxies = g_proxy_resolver_lookup(resolver, argv[i], nullptr, &error);
    if (proxies == nullptr) {
      std::printf("error: %s\n", error->message);
      g_error_free(error);
      continue;
    }
    for (gchar** proxy = proxies; *proxy != nullptr; ++proxy) std::printf(proxy == proxies ? "%s" : " %s", *proxy);
    std::printf("\n");
    g_strfreev(proxies);
  }
  return 0;
}
