// One strong reference to a GObject, released when the holder goes. Taking a floating reference
// sinks it, so a widget made here and held here is this holder's alone until it is given away.
//
//   ui::GObjectPtr<GtkBuilder> builder(gtk_builder_new_from_resource(path));
#pragma once

#include <glib-object.h>

#include <utility>

namespace ui {

template <typename T>
class GObjectPtr {
 public:
  GObjectPtr() = default;
  // Adopts the reference the caller owns (a floating one is sunk into it).
  explicit GObjectPtr(T* object) : object_(object) {
    if (object_ != nullptr && g_object_is_floating(object_)) g_object_ref_sink(object_);
  }
  // A reference of its own to an object someone else holds.
  static GObjectPtr retain(T* object) {
    if (object != nullptr) g_object_ref_sink(object);
    GObjectPtr holder;
    holder.object_ = object;
    return holder;
  }
  GObjectPtr(const GObjectPtr&) = delete;
  GObjectPtr& operator=(const GObjectPtr&) = delete;
  GObjectPtr(GObjectPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  GObjectPtr& operator=(GObjectPtr&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~GObjectPtr() { reset(); }

  void reset() {
    if (object_ != nullptr) g_object_unref(std::exchange(object_, nullptr));
  }
  T* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

}  // namespace ui
