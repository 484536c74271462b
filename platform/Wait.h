// Waiting for the first of several descriptors to become readable (a child's pidfd, a named
// event), with a time-out.
//
// Threads: any thread; the call blocks the calling thread.
#pragma once

#include <vector>

namespace platform {

constexpr int kWaitTimedOut = -1;
constexpr int kWaitFailed = -2;

// Waits at most timeoutMs milliseconds (negative: no limit) until one of `fds` is readable or
// has hung up. Returns the lowest index of such a descriptor, kWaitTimedOut, or kWaitFailed
// with *error = errno (also for an empty list or a descriptor that is not open). Signals that
// interrupt the wait do not end it early.
int WaitForReadable(const std::vector<int>& fds, int timeoutMs, int* error = nullptr);

}  // namespace platform
