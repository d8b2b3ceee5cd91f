// Work handed to a GLib main context as a source: the one way this process gives GLib's loop a
// C++ callable, for timers, idle work and signals alike.
//
//   appkit::LoopSource save_;                   // a member: its work never outlives the owner
//   save_.after(400ms, [this] { save(); });      // a later call replaces the pending one
//   appkit::runSoon([] { NSApp->reopen(); });    // once, after the caller's own call returns
#pragma once

#include <glib.h>

#include <chrono>
#include <functional>

namespace appkit {

// Attaches `source` to `context` (the main one by default) with `work` as its callback, run again
// for as long as it returns true. The source owns `work` and lets it go with itself; the caller's
// reference to `source` is taken over. The source's id in that context.
guint attachSource(GSource* source, std::function<bool()> work, GMainContext* context = nullptr);

// Runs `work` once on the main loop when it next turns, never inside the caller's own call.
void runSoon(std::function<void()> work);

// At most one pending run of work on the main loop, held by its owner: a new run replaces the
// pending one, and it is removed when the owner goes, so its work never reaches a gone owner.
// Main thread.
class LoopSource {
 public:
  LoopSource() = default;
  LoopSource(const LoopSource&) = delete;
  LoopSource& operator=(const LoopSource&) = delete;
  ~LoopSource() { cancel(); }

  // Runs `work` once, `delay` from now.
  void after(std::chrono::milliseconds delay, std::function<void()> work);
  // Runs `work` every `period` until cancelled.
  void every(std::chrono::milliseconds period, std::function<void()> work);
  // Runs `work` once when the loop has nothing more urgent to do.
  void idle(std::function<void()> work);
  void cancel();
  bool pending() const { return id_ != 0; }

 private:
  void start(GSource* source, std::function<void()> work, bool repeat);

  guint id_ = 0;
};

}  // namespace appkit
