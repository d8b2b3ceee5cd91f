#include "platform/appkit/SignalSource.h"

#include <glib-unix.h>
#include <glib.h>

#include <thread>

#include "platform/appkit/LoopSource.h"
#include "platform/posix/Signals.h"

namespace appkit {

void handleSignal(int signo, SignalThread thread, std::function<void()> handler) {
  GMainContext* context = thread == SignalThread::main ? g_main_context_default() : g_main_context_new();
  // Installs GLib's handler at once, on this thread: the signal is ours from here on.
  attachSource(
      g_unix_signal_source_new(signo),
      [handler = std::move(handler)] {
        handler();
        return true;
      },
      context);
  if (thread == SignalThread::own) {
    // The thread takes no signal itself: GLib's handler runs on whichever thread the kernel picks
    // and only wakes this loop.
    posix::ServiceThreadSignals blocked;
    std::thread([context] {
      for (;;) g_main_context_iteration(context, TRUE);
    }).detach();
  }
}

}  // namespace appkit
