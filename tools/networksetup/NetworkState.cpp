#include "tools/networksetup/NetworkState.h"

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

#include "platform/Utf8.h"

namespace networksetup {

namespace {

constexpr uint64_t kFormatVersion = 1;

struct PlistDeleter {
  void operator()(void* node) const { plist_free(node); }
};
using PlistOwner = std::unique_ptr<void, PlistDeleter>;

// XML 1.0 cannot carry most control characters, and a UTF-16 conversion would mangle bytes that are not
// UTF-8; such text goes into the file as raw data instead.
bool fitsPlistString(std::string_view bytes) {
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\t' && u != '\n') || u == 0x7F) return false;
  }
  return utf8::isValid(bytes);
}

plist_t newText(const std::string& bytes) {
  if (fitsPlistString(bytes)) return plist_new_string(bytes.c_str());
  return plist_new_data(bytes.data(), bytes.size());
}

std::optional<std::string> readText(plist_t node) {
  if (node == nullptr) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      char* value = nullptr;
      plist_get_string_val(node, &value);
      if (value == nullptr) return std::nullopt;
      std::string text(value);
      std::free(value);
      return text;
    }
    case PLIST_DATA: {
      char* value = nullptr;
      uint64_t length = 0;
      plist_get_data_val(node, &value, &length);
      std::string text(value == nullptr ? "" : std::string(value, length));
      std::free(value);
      return text;
    }
    default: return std::nullopt;
  }
}

std::optional<bool> readBool(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_BOOLEAN) return std::nullopt;
  uint8_t value = 0;
  plist_get_bool_val(node, &value);
  return value != 0;
}

std::optional<uint64_t> readUint(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
  uint64_t value = 0;
  plist_get_uint_val(node, &value);
  return value;
}

plist_t newProxy(const ProxySetting& proxy) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "Enabled", plist_new_bool(proxy.enabled));
  plist_dict_set_item(dict, "Server", newText(proxy.server));
  plist_dict_set_item(dict, "Port", plist_new_uint(proxy.port));
  return dict;
}

std::optional<ProxySetting> readProxy(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_DICT) return std::nullopt;
  auto enabled = readBool(plist_dict_get_item(node, "Enabled"));
  auto server = readText(plist_dict_get_item(node, "Server"));
  auto port = readUint(plist_dict_get_item(node, "Port"));
  if (!enabled || !server || !port || *port > 65535) return std::nullopt;
  return ProxySetting{*enabled, std::move(*server), static_cast<uint16_t>(*port)};
}

struct ProxyKey {
  ProxyKind kind;
  const char* key;
};
constexpr ProxyKey kProxyKeys[] = {
    {ProxyKind::web, "WebProxy"},
    {ProxyKind::secureWeb, "SecureWebProxy"},
    {ProxyKind::socksFirewall, "SOCKSFirewallProxy"},
};

std::optional<NetworkService> readService(plist_t node) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_DICT) return std::nullopt;
  NetworkService service;
  auto name = readText(plist_dict_get_item(node, "Name"));
  auto hardwarePort = readText(plist_dict_get_item(node, "HardwarePort"));
  auto enabled = readBool(plist_dict_get_item(node, "Enabled"));
  if (!name || !hardwarePort || !enabled) return std::nullopt;
  service.name = std::move(*name);
  service.hardwarePort = std::move(*hardwarePort);
  service.enabled = *enabled;
  for (const auto& [kind, key] : kProxyKeys) {
    auto proxy = readProxy(plist_dict_get_item(node, key));
    if (!proxy) return std::nullopt;
    service.proxy(kind) = std::move(*proxy);
  }
  plist_t domains = plist_dict_get_item(node, "BypassDomains");
  if (domains == nullptr || plist_get_node_type(domains) != PLIST_ARRAY) return std::nullopt;
  for (uint32_t i = 0; i < plist_array_get_size(domains); ++i) {
    auto domain = readText(plist_array_get_item(domains, i));
    if (!domain) return std::nullopt;
    service.bypassDomains.push_back(std::move(*domain));
  }
  if (plist_t device = plist_dict_get_item(node, "Device"); device != nullptr) {
    auto text = readText(device);
    if (!text) return std::nullopt;
    service.device = std::move(*text);
  }
  return service;
}

plist_t newSettings(const SavedSettings& settings) {
  plist_t values = plist_new_dict();
  for (const auto& [key, value] : settings) plist_dict_set_item(values, key.c_str(), newText(value));
  return values;
}

plist_t newCarried(const CarriedProxy& carried) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "Proxy", newText(carried.proxy));
  plist_dict_set_item(dict, "Written", newSettings(carried.written));
  return dict;
}

// uid -> backend -> `newValue(value)`.
template <typename Value, typename NewValue>
plist_t newPerUserAndBackend(const std::map<uint32_t, std::map<std::string, Value>>& map, NewValue newValue) {
  plist_t users = plist_new_dict();
  for (const auto& [uid, backends] : map) {
    plist_t byBackend = plist_new_dict();
    for (const auto& [backend, value] : backends) plist_dict_set_item(byBackend, backend.c_str(), newValue(value));
    plist_dict_set_item(users, std::to_string(uid).c_str(), byBackend);
  }
  return users;
}

// Calls `each(key, value)` for every entry of a dictionary; false when `node` is not one or `each` refuses.
template <typename Each>
bool forEachEntry(plist_t node, Each each) {
  if (node == nullptr || plist_get_node_type(node) != PLIST_DICT) return false;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(node, &it);
  bool ok = true;
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(node, it, &key, &value);
    if (key == nullptr) break;
    const std::string name(key);
    std::free(key);
    if (!each(name, value)) {
      ok = false;
      break;
    }
  }
  std::free(it);
  return ok;
}

bool readSettings(plist_t node, SavedSettings& values) {
  return forEachEntry(node, [&](const std::string& key, plist_t value) {
    auto text = readText(value);
    if (!text) return false;
    values[key] = std::move(*text);
    return true;
  });
}

bool readCarried(plist_t node, CarriedProxy& carried) {
  auto proxy = readText(plist_dict_get_item(node, "Proxy"));
  if (!proxy) return false;
  carried.proxy = std::move(*proxy);
  return readSettings(plist_dict_get_item(node, "Written"), carried.written);
}

// uid -> backend -> `readValue(node, value)`.
template <typename Value, typename ReadValue>
bool readPerUserAndBackend(plist_t node, std::map<uint32_t, std::map<std::string, Value>>& map, ReadValue readValue) {
  return forEachEntry(node, [&](const std::string& uidText, plist_t backends) {
    if (uidText.empty() || uidText.size() > 10 || uidText.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    const uint64_t uid = std::stoull(uidText);
    if (uid > UINT32_MAX) return false;
    auto& byBackend = map[static_cast<uint32_t>(uid)];
    return forEachEntry(backends, [&](const std::string& backend, plist_t value) {
      return plist_get_node_type(value) == PLIST_DICT && readValue(value, byBackend[backend]);
    });
  });
}

NetworkService makeService(std::string name, bool enabled) {
  NetworkService service;
  service.hardwarePort = name;
  service.name = std::move(name);
  service.enabled = enabled;
  return service;
}

}  // namespace

ProxySetting& NetworkService::proxy(ProxyKind kind) {
  return const_cast<ProxySetting&>(static_cast<const NetworkService&>(*this).proxy(kind));
}

const ProxySetting& NetworkService::proxy(ProxyKind kind) const {
  switch (kind) {
    case ProxyKind::web: return webProxy;
    case ProxyKind::secureWeb: return secureWebProxy;
    case ProxyKind::socksFirewall: return socksFirewallProxy;
  }
  return webProxy;
}

NetworkState NetworkState::fresh() {
  NetworkState state;
  state.services.push_back(makeService("Wi-Fi", true));
  state.services.push_back(makeService("Ethernet", true));
  state.services.push_back(makeService("Thunderbolt Bridge", true));
  state.services.push_back(makeService("Bluetooth PAN", false));
  return state;
}

NetworkService* NetworkState::find(std::string_view name) {
  return const_cast<NetworkService*>(static_cast<const NetworkState&>(*this).find(name));
}

const NetworkService* NetworkState::find(std::string_view name) const {
  for (const auto& service : services) {
    if (service.present && service.name == name) return &service;
  }
  return nullptr;
}

std::string encodeStatePlist(const NetworkState& state) {
  PlistOwner root(plist_new_dict());
  plist_dict_set_item(root.get(), "Version", plist_new_uint(kFormatVersion));
  plist_t services = plist_new_array();
  for (const auto& service : state.services) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "Name", newText(service.name));
    plist_dict_set_item(dict, "HardwarePort", newText(service.hardwarePort));
    plist_dict_set_item(dict, "Enabled", plist_new_bool(service.enabled));
    for (const auto& [kind, key] : kProxyKeys) plist_dict_set_item(dict, key, newProxy(service.proxy(kind)));
    plist_t domains = plist_new_array();
    for (const auto& domain : service.bypassDomains) plist_array_append_item(domains, newText(domain));
    plist_dict_set_item(dict, "BypassDomains", domains);
    if (!service.device.empty()) plist_dict_set_item(dict, "Device", newText(service.device));
    plist_array_append_item(services, dict);
  }
  plist_dict_set_item(root.get(), "Services", services);
  if (!state.desktopSaved.empty()) {
    plist_dict_set_item(root.get(), "DesktopSaved", newPerUserAndBackend(state.desktopSaved, newSettings));
  }
  if (!state.desktopCarried.empty()) {
    plist_dict_set_item(root.get(), "DesktopCarried", newPerUserAndBackend(state.desktopCarried, newCarried));
  }

  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(root.get(), &xml, &length);
  std::string bytes(xml == nullptr ? "" : std::string(xml, length));
  plist_to_xml_free(xml);
  return bytes;
}

std::optional<NetworkState> decodeStatePlist(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > UINT32_MAX) return std::nullopt;
  plist_t parsed = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &parsed);
  PlistOwner root(parsed);
  if (parsed == nullptr || plist_get_node_type(parsed) != PLIST_DICT) return std::nullopt;
  auto version = readUint(plist_dict_get_item(parsed, "Version"));
  if (!version || *version != kFormatVersion) return std::nullopt;
  plist_t services = plist_dict_get_item(parsed, "Services");
  if (services == nullptr || plist_get_node_type(services) != PLIST_ARRAY) return std::nullopt;
  NetworkState state;
  for (uint32_t i = 0; i < plist_array_get_size(services); ++i) {
    auto service = readService(plist_array_get_item(services, i));
    if (!service) return std::nullopt;
    state.services.push_back(std::move(*service));
  }
  if (plist_t saved = plist_dict_get_item(parsed, "DesktopSaved");
      saved != nullptr && !readPerUserAndBackend(saved, state.desktopSaved, readSettings)) {
    return std::nullopt;
  }
  if (plist_t carried = plist_dict_get_item(parsed, "DesktopCarried");
      carried != nullptr && !readPerUserAndBackend(carried, state.desktopCarried, readCarried)) {
    return std::nullopt;
  }
  return state;
}

}  // namespace networksetup
