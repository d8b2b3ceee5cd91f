// A view's reference to an observable object: the view is redrawn whenever the object announces
// a change (objectWillChange), and its projected value makes bindings to the object's properties.
//
//   SwiftUI::ObservedObject<Settings> settings(sharedSettings);
//   SwiftUI::Binding<bool> b = settings.projectedValue().binding(&Settings::flag, &Settings::setFlag);
//
// Reading the object (wrappedValue or projectedValue) while a ViewHost draws makes that host
// observe it.
#pragma once

#include <concepts>
#include <memory>

#include "platform/combine/Combine.h"
#include "platform/swiftui/View.h"

namespace SwiftUI {

namespace detail {
// Tells the ViewHost drawing on this thread, if any, that what it draws depends on `object`.
void noteObservedObject(const Combine::ObservableObject& object);
}  // namespace detail

template <typename ObjectType>
requires std::derived_from<ObjectType, Combine::ObservableObject>
class ObservedObject {
 public:
  // Makes bindings to the object's properties.
  class Wrapper {
   public:
    template <typename Value>
    Binding<Value> binding(Value (ObjectType::*get)() const, void (ObjectType::*set)(Value)) const {
      return Binding<Value>([object = object_, get] { return ((*object).*get)(); },
                            [object = object_, set](Value v) { ((*object).*set)(std::move(v)); });
    }

   private:
    friend class ObservedObject;
    explicit Wrapper(std::shared_ptr<ObjectType> object) : object_(std::move(object)) {}
    std::shared_ptr<ObjectType> object_;
  };

  explicit ObservedObject(std::shared_ptr<ObjectType> object) : object_(std::move(object)) {}

  ObjectType& wrappedValue() const {
    detail::noteObservedObject(*object_);
    return *object_;
  }
  Wrapper projectedValue() const {
    detail::noteObservedObject(*object_);
    return Wrapper(object_);
  }

 private:
  std::shared_ptr<ObjectType> object_;
};

}  // namespace SwiftUI
