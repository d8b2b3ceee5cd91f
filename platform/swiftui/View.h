// Views of the declarative user interface, and what drawing one gives.
//
// A view is a value. A primitive view (Text, Toggle, VStack) draws itself into a ViewNode with
// makeNode(); any other view has a body() that gives another view, drawn in its place. Drawing
// happens on the main thread, inside a ViewHost (ViewHost.h), which redraws when an observed
// object announces a change. There are no pixels here: a ViewNode records what would be on
// screen (texts, switch states) and lets a test click a switch.
#pragma once

#include <concepts>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace SwiftUI {

// A two-way connection to a value that lives elsewhere: reading asks the owner, writing tells it.
template <typename Value>
class Binding {
 public:
  Binding(std::function<Value()> get, std::function<void(Value)> set) : get_(std::move(get)), set_(std::move(set)) {}

  // A binding that always reads `value` and ignores writes.
  static Binding constant(Value value) {
    return Binding([value] { return value; }, [](Value) {});
  }

  Value wrappedValue() const { return get_(); }
  void setWrappedValue(Value value) const { set_(std::move(value)); }

 private:
  std::function<Value()> get_;
  std::function<void(Value)> set_;
};

// What one view drew.
struct ViewNode {
  enum class Kind { text, toggle, stack };

  Kind kind = Kind::stack;
  std::string text;                          // text: what it shows
  bool isOn = false;                         // toggle: the state it showed when drawn
  std::optional<Binding<bool>> isOnBinding;  // toggle: what a click writes through
  std::vector<ViewNode> children;            // toggle: its label; stack: its views

  // The texts shown at and below this node, joined by single spaces.
  std::string shownText() const;
  // Every toggle at and below this node, depth first.
  std::vector<const ViewNode*> toggles() const;
  // A click on a toggle: writes the opposite of what its binding reads now, as a switch does.
  void click() const;
};

template <typename V>
concept PrimitiveView = requires(const V& v) {
  { v.makeNode() } -> std::same_as<ViewNode>;
};

template <typename V>
concept CompositeView = !PrimitiveView<V> && requires(const V& v) {
  v.body();
};

template <typename V>
concept View = PrimitiveView<V> || CompositeView<V>;

// Draws `view`: a composite view's body is evaluated afresh each time.
template <View V>
ViewNode renderView(const V& view) {
  if constexpr (PrimitiveView<V>) {
    return view.makeNode();
  } else {
    return renderView(view.body());
  }
}

// Views one above the other.
template <View... Content>
class VStack {
 public:
  explicit VStack(Content... content) : content_(std::move(content)...) {}

  ViewNode makeNode() const {
    ViewNode node;
    node.kind = ViewNode::Kind::stack;
    std::apply([&node](const auto&... view) { (node.children.push_back(renderView(view)), ...); }, content_);
    return node;
  }

 private:
  std::tuple<Content...> content_;
};

}  // namespace SwiftUI
