// How the queues start their threads, shared by Dispatch.cpp and SerialQueue.cpp.
#pragma once

#include <cstddef>
#include <functional>

#include "platform/dispatch/Dispatch.h"

// Starts a detached thread of `stackSize` bytes that runs `main(argument)`; returns 0 or
// pthread_create's error.
int startDetachedThread(size_t stackSize, void* (*main)(void*), void* argument);

// Hands a serial queue's thread start to the global queues' spawner, which retries it under a
// thread limit until it starts.
void startSerialQueueThread(std::function<int()> start);

// Puts the calling thread where `qos` sits on the Mac, relative to the main thread: nice values
// above the main thread's for userInitiated, default and utility, SCHED_IDLE for background;
// userInteractive stays with the main thread. A thread can only be lowered (raising needs
// privilege), so it is called once, as a queue's thread begins.
void applyQualityOfService(DispatchQoS qos);
