// A switch bound to a Boolean, with a label view.
//
//   SwiftUI::Toggle(isOnBinding, [] { return SwiftUI::Text("Wi-Fi"); })
//
// Drawing reads the binding; a click writes its opposite through the binding. The label is made
// once, when the toggle is.
#pragma once

#include <concepts>
#include <type_traits>

#include "platform/swiftui/View.h"

namespace SwiftUI {

template <View Label>
class Toggle {
 public:
  template <typename MakeLabel>
  requires std::invocable<MakeLabel&> && std::same_as<std::invoke_result_t<MakeLabel&>, Label> Toggle(
      Binding<bool> isOn, MakeLabel label)
      : isOn_(std::move(isOn)), label_(label()) {}

  const Binding<bool>& isOn() const { return isOn_; }
  const Label& label() const { return label_; }

  ViewNode makeNode() const {
    ViewNode node;
    node.kind = ViewNode::Kind::toggle;
    node.isOn = isOn_.wrappedValue();
    node.isOnBinding = isOn_;
    node.children.push_back(renderView(label_));
    return node;
  }

 private:
  Binding<bool> isOn_;
  Label label_;
};

template <typename MakeLabel>
Toggle(Binding<bool>, MakeLabel) -> Toggle<std::invoke_result_t<MakeLabel&>>;

}  // namespace SwiftUI
