#include "platform/swiftui/Text.h"

namespace SwiftUI {

Text::Text(LocalizedStringKey key, std::string tableName, std::optional<NSBundle> bundle)
    : key_(std::move(key)), tableName_(std::move(tableName)), bundle_(std::move(bundle)) {}

Text::Text(std::string content) : verbatim_(std::move(content)) {}

Text Text::verbatim(std::string content) { return Text(std::move(content)); }

std::string Text::resolvedText() const {
  if (!key_) return verbatim_;
  const NSBundle& bundle = bundle_ ? *bundle_ : NSBundle::mainBundle();
  return bundle.localizedStringForKey(key_->key, "", tableName_);
}

ViewNode Text::makeNode() const {
  ViewNode node;
  node.kind = ViewNode::Kind::text;
  node.text = resolvedText();
  return node;
}

}  // namespace SwiftUI
