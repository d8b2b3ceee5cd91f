#include "platform/swiftui/View.h"

namespace SwiftUI {

std::string ViewNode::shownText() const {
  std::string out = kind == Kind::text ? text : "";
  for (const auto& child : children) {
    std::string inner = child.shownText();
    if (inner.empty()) continue;
    if (!out.empty()) out += ' ';
    out += inner;
  }
  return out;
}

std::vector<const ViewNode*> ViewNode::toggles() const {
  std::vector<const ViewNode*> out;
  if (kind == Kind::toggle) out.push_back(this);
  for (const auto& child : children) {
    auto inner = child.toggles();
    out.insert(out.end(), inner.begin(), inner.end());
  }
  return out;
}

void ViewNode::click() const {
  if (kind != Kind::toggle || !isOnBinding) return;
  isOnBinding->setWrappedValue(!isOnBinding->wrappedValue());
}

}  // namespace SwiftUI
