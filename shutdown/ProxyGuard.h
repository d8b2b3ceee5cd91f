// The guard: a small process that outlives the host to switch the proxies off when the host ends
// without its own cleanup (a crash, an out-of-memory kill, kill -9), which no handler inside the
// host can cover.
//
//   ProxyGuard::start();                         // host, end of launching: returns once it watches
//   return ProxyGuard::runGuard(argc, argv);     // proxyhost-guard's main
//
// The guard runs in a session of its own, so a closing terminal or a kill of the host's process
// group leaves it be, and watches the host through a process descriptor: a stopped host is not an
// ended one. When the host ends, the guard runs ShutdownHandler::cleanupAfterHostEnded for that
// very host (its pid and start time) and exits: the cleanup runs only when the host's own record
// says proxies may still be on. The host watches its guard the same way and replaces one that
// ends at once (a stopped guard has not ended). docs/guard.md says how this maps onto macOS.
#pragma once

#include <string>

namespace ProxyGuard {

// The guard executable beside the host's own in the bundle.
std::string guardExecutablePath();

// Host side: starts the guard for this process and waits until it watches (or could not); false
// with a log line when no guard watches. From then on a thread of its own watches the guard and
// starts another as soon as it ends, trying again every second while a start fails.
bool start(const std::string& executable = guardExecutablePath());

// The guard's main: `proxyhost-guard <host pid>`, started by the host. The first process prints
// the guard proper's "<pid> <start time>" line and returns as soon as the guard proper (its child,
// in a session of its own) watches the host.
int runGuard(int argc, char* argv[]);

}  // namespace ProxyGuard
