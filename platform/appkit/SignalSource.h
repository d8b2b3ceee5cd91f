// Asynchronous signals as events of a GLib main context: the process's one way to act on them.
//
//   appkit::handleSignal(SIGINT, appkit::SignalThread::main, [] { NSApp->terminate(nullptr); });
//
// GLib's own handler does only async-signal-safe work (it notes the signal and wakes a loop);
// `handler` runs later, outside signal context, so it may allocate, spawn and wait. Several
// deliveries before the handler runs count as one. Install before the signal can matter: until
// then the signal keeps its default action.
#pragma once

#include <functional>

namespace appkit {

enum class SignalThread {
  // The main run loop's context (NSApplication::run): the handler runs on the main thread when
  // the loop next turns, between other main-thread work.
  main,
  // A thread of its own that does nothing else, for a handler that must not wait for the main
  // thread (which may be busy, even in the same work). A handler that never returns takes no
  // further delivery of any signal handled on that thread.
  own,
};

// Runs `handler` whenever `signo` (SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2) arrives.
void handleSignal(int signo, SignalThread thread, std::function<void()> handler);

}  // namespace appkit
