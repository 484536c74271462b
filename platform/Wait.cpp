#include "platform/Wait.h"

#include <poll.h>

#include <cerrno>
#include <chrono>

namespace platform {

int WaitForReadable(const std::vector<int>& fds, int timeoutMs, int* error) {
    auto fail = [error](int code) {
        if (error) *error = code;
        return kWaitFailed;
    };
    if (fds.empty()) return fail(EINVAL);
    std::vector<pollfd> polled;
    polled.reserve(fds.size());
    for (int fd : fds) polled.push_back(pollfd{fd, POLLIN, 0});

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int wait = timeoutMs;
    for (;;) {
        int n = poll(polled.data(), polled.size(), wait);
        if (n > 0) break;
        if (n == 0) return kWaitTimedOut;
        if (errno != EINTR) return fail(errno);
        if (timeoutMs >= 0) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return kWaitTimedOut;
            wait = static_cast<int>(left.count());
        }
    }
    for (const pollfd& p : polled) {
        if (p.revents & POLLNVAL) return fail(EBADF);
    }
    for (size_t i = 0; i < polled.size(); ++i) {
        if (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) return static_cast<int>(i);
    }
    return fail(EIO);  // poll reported an event we did not ask for
}

}  // namespace platform
