// A ready-made switch that shows and changes launch at login.
//
//   LaunchAtLogin::Toggle()                                    // "Launch at login", as it is
//   LaunchAtLogin::Toggle("Start with the system")             // a literal: looked up
//   LaunchAtLogin::Toggle(SwiftUI::LocalizedStringKey(key))    // looked up
//   LaunchAtLogin::Toggle(std::string(title))                  // any other string: as it is
//   LaunchAtLogin::Toggle([] { return MyLabel(); })            // any label view
//
// It observes LaunchAtLogin::observable(), so every write, from anywhere in the process, redraws
// every toggle on screen with the state the registry then reports; flipping it writes through
// LaunchAtLogin::setIsEnabled. Main thread.
#pragma once

#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

#include "login_item/LaunchAtLogin.h"
#include "platform/swiftui/SwiftUI.h"

namespace LaunchAtLogin {

template <SwiftUI::View Label = SwiftUI::Text>
class Toggle {
 public:
  // A label view, built once, now.
  template <typename MakeLabel>
  requires std::invocable<MakeLabel&> && std::same_as<std::invoke_result_t<MakeLabel&>, Label>
  explicit Toggle(MakeLabel label) : label_(label()) {}

  Toggle(SwiftUI::LocalizedStringKey titleKey) requires std::same_as<Label, SwiftUI::Text>
      : label_(SwiftUI::Text(std::move(titleKey))) {}

  // A literal is a key to look up, as on the platform.
  template <std::size_t N>
  Toggle(const char (&titleKey)[N]) requires std::same_as<Label, SwiftUI::Text>
      : label_(SwiftUI::Text(SwiftUI::LocalizedStringKey(titleKey))) {}

  Toggle(std::string title) requires std::same_as<Label, SwiftUI::Text>
      : label_(SwiftUI::Text::verbatim(std::move(title))) {}

  Toggle(std::string_view title) requires std::same_as<Label, SwiftUI::Text>
      : label_(SwiftUI::Text::verbatim(std::string(title))) {}

  Toggle() requires std::same_as<Label, SwiftUI::Text> : label_(SwiftUI::Text::verbatim("Launch at login")) {}

  auto body() const {
    return SwiftUI::Toggle(launchAtLogin_.projectedValue().binding(&Observable::isEnabled, &Observable::setIsEnabled),
                           [this] { return label_; });
  }

 private:
  SwiftUI::ObservedObject<Observable> launchAtLogin_{observable()};
  Label label_;
};

Toggle()->Toggle<SwiftUI::Text>;
Toggle(SwiftUI::LocalizedStringKey)->Toggle<SwiftUI::Text>;
template <std::size_t N>
Toggle(const char (&)[N]) -> Toggle<SwiftUI::Text>;
Toggle(std::string)->Toggle<SwiftUI::Text>;
Toggle(std::string_view)->Toggle<SwiftUI::Text>;
template <typename MakeLabel>
requires std::invocable<MakeLabel&> Toggle(MakeLabel)
->Toggle<std::invoke_result_t<MakeLabel&>>;

}  // namespace LaunchAtLogin
