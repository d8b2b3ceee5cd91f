// How the queues start their threads, shared by Dispatch.cpp and SerialQueue.cpp.
#pragma once

#include <cstddef>
#include <functional>

// Starts a detached thread of `stackSize` bytes that runs `main(argument)`; returns 0 or
// pthread_create's error.
int startDetachedThread(size_t stackSize, void* (*main)(void*), void* argument);

// Hands a serial queue's thread start to the global queues' spawner, which retries it under a
// thread limit until it starts.
void startSerialQueueThread(std::function<int()> start);
