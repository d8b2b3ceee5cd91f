#include "platform/appkit/NSNib.h"

#include <map>

#include "platform/NoDestructor.h"

namespace {
std::map<std::string, const NSNibDescription*>& registry() {
  static NoDestructor<std::map<std::string, const NSNibDescription*>> nibs;
  return *nibs;
}
}  // namespace

void NSNib::registerDescription(const NSNibDescription* nib) { registry()[nib->name] = nib; }

const NSNibDescription* NSNib::named(const std::string& name) {
  auto it = registry().find(name);
  return it == registry().end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<NSWindow>> NSNib::instantiate(const NSNibDescription& nib, NSApplication& app) {
  if (nib.makeDelegate) {
    auto delegate = nib.makeDelegate();
    app.keepTopLevelObject(delegate);
    app.setDelegate(delegate);
  }
  std::vector<std::shared_ptr<NSWindow>> windows;
  for (const auto& w : nib.windows) {
    auto window = w.make(w.contentRect, w.styleMask, NSBackingStoreBuffered, false);
    window->setTitle(w.title);
    app.keepTopLevelObject(window);
    if (w.visibleAtLaunch) app.markVisibleAtLaunch(window.get());
    windows.push_back(std::move(window));
  }
  // Every object exists before any of them wakes, as when an interface file is unarchived.
  for (const auto& window : windows) window->awakeFromNib();
  return windows;
}
