// Puts a view on (an imaginary) screen and keeps it current.
//
//   SwiftUI::ViewHost host(MyView{});          // drawn once, now
//   model->setFlag(true);                       // its objectWillChange announces a change
//   runMainQueueUntil([&] { return !host.hasPendingUpdate(); }, 1s);   // redrawn
//   host.rendered().toggles()[0]->isOn          // the state as drawn
//
// The host observes every ObservableObject the view read while drawing. An announcement comes
// before the object changes, so the host does not redraw at once: it schedules one redraw on the
// main queue, which runs after the writer has finished (several announcements before it runs
// give one redraw). In a process without a run loop, drain the main queue to let it run
// (drainMainQueue or runMainQueueUntil). Made, read and destroyed on the main thread;
// announcements may come from any thread.
#pragma once

#include <functional>
#include <memory>

#include "platform/swiftui/View.h"

namespace SwiftUI {

class ViewHost {
 public:
  template <View Root>
  explicit ViewHost(Root root)
      : ViewHost(std::function<ViewNode()>([root = std::move(root)] { return renderView(root); })) {}
  ~ViewHost();
  ViewHost(const ViewHost&) = delete;
  ViewHost& operator=(const ViewHost&) = delete;

  // What the last drawing showed.
  const ViewNode& rendered() const;
  // How many times the root's body has been drawn, the first time included.
  size_t evaluationCount() const;
  // True from an announcement until the redraw it scheduled has run.
  bool hasPendingUpdate() const;
  // How many objects the host observes now.
  size_t observedObjectCount() const;

 private:
  struct State;
  explicit ViewHost(std::function<ViewNode()> draw);
  std::shared_ptr<State> state_;
};

}  // namespace SwiftUI
