#include "platform/swiftui/ViewHost.h"

#include <atomic>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/swiftui/ObservedObject.h"

namespace SwiftUI {

namespace {
// The objects read by the drawing under way on this thread.
thread_local std::vector<Combine::ObservableObjectPublisher>* currentDependencies = nullptr;
}  // namespace

void detail::noteObservedObject(const Combine::ObservableObject& object) {
  if (currentDependencies == nullptr) return;
  const auto& publisher = object.objectWillChange();
  for (const auto& known : *currentDependencies) {
    if (known == publisher) return;
  }
  currentDependencies->push_back(publisher);
}

struct ViewHost::State : std::enable_shared_from_this<ViewHost::State> {
  std::function<ViewNode()> draw;
  ViewNode rendered;
  size_t evaluations = 0;
  std::atomic<bool> updatePending{false};
  std::vector<Combine::AnyCancellable> subscriptions;

  // Main thread.
  void redraw() {
    updatePending.store(false);
    std::vector<Combine::ObservableObjectPublisher> dependencies;
    auto* outer = std::exchange(currentDependencies, &dependencies);
    rendered = draw();
    currentDependencies = outer;
    ++evaluations;
    // The new subscriptions go in before the old ones end, so an object observed before and
    // after is never left unobserved.
    std::vector<Combine::AnyCancellable> next;
    std::weak_ptr<State> weak = weak_from_this();
    for (const auto& publisher : dependencies) {
      next.push_back(publisher.sink([weak] {
        if (auto state = weak.lock()) state->announce();
      }));
    }
    subscriptions.swap(next);
  }

  // Any thread.
  void announce() {
    if (updatePending.exchange(true)) return;
    DispatchQueue::main().async([weak = weak_from_this()] {
      if (auto state = weak.lock()) state->redraw();
    });
  }
};

ViewHost::ViewHost(std::function<ViewNode()> draw) : state_(std::make_shared<State>()) {
  state_->draw = std::move(draw);
  state_->redraw();
}

ViewHost::~ViewHost() = default;

const ViewNode& ViewHost::rendered() const { return state_->rendered; }
size_t ViewHost::evaluationCount() const { return state_->evaluations; }
bool ViewHost::hasPendingUpdate() const { return state_->updatePending.load(); }
size_t ViewHost::observedObjectCount() const { return state_->subscriptions.size(); }

}  // namespace SwiftUI
