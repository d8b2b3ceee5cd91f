// The main thread takes the process's asynchronous signals (quit, termination, hang-up); the
// threads that serve (queue workers, the engine link, watchers, the termination cleanup) leave
// them to it. A thread started while a `ServiceThreadSignals` is in scope begins with them
// blocked, so such a signal never interrupts a worker's connect or poll, and is never left with a
// thread that is about to end or that sits in a read that a handler's byte alone can finish.
//
//   {
//     posix::ServiceThreadSignals blocked;
//     pthread_create(&thread, &attr, serve, context);
//   }
#pragma once

#include <signal.h>

namespace posix {

class ServiceThreadSignals {
 public:
  // Blocks every signal a thread can be spared (all but those a fault raises on the thread
  // itself) on the calling thread, keeping its mask to put back.
  ServiceThreadSignals();
  ~ServiceThreadSignals();
  ServiceThreadSignals(const ServiceThreadSignals&) = delete;
  ServiceThreadSignals& operator=(const ServiceThreadSignals&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace posix
