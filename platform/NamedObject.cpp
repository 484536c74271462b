#include "platform/NamedObject.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace platform {

namespace {

static_assert(sizeof(sockaddr_un) <= sizeof(NamedEventTarget::Address));

// Abstract address: a NUL, then the name's bytes (no terminator; the length bounds it).
bool AbstractAddress(const std::string& name, sockaddr_un* addr, socklen_t* length) {
    if (name.empty() || name.size() > sizeof(addr->sun_path) - 1 ||
        name.find('\0') != std::string::npos)
        return false;
    std::memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path + 1, name.data(), name.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

// A close-on-exec datagram socket bound to `name`; -1 with *error on failure.
int BindName(const std::string& name, int* error) {
    sockaddr_un addr;
    socklen_t length = 0;
    if (!AbstractAddress(name, &addr, &length)) {
        if (error) *error = EINVAL;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        if (error) *error = errno;
        return -1;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), length) != 0) {
        if (error) *error = errno;
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// ---- CInstanceLock ----

InstanceLockResult CInstanceLock::Acquire(const std::string& name,
                                          std::unique_ptr<CInstanceLock>* lock, int* error) {
    int code = 0;
    int fd = BindName(name, &code);
    if (fd < 0) {
        if (error) *error = code;
        return code == EADDRINUSE ? InstanceLockResult::HeldElsewhere : InstanceLockResult::Failed;
    }
    if (lock) {
        lock->reset(new CInstanceLock(fd));
    } else {
        close(fd);  // nobody to hold it: the lock goes at once
    }
    if (error) *error = 0;
    return InstanceLockResult::Owned;
}

CInstanceLock::~CInstanceLock() { close(Fd_); }

// ---- CNamedEvent ----

std::unique_ptr<CNamedEvent> CNamedEvent::Create(const std::string& name, int* error) {
    int fd = BindName(name, error);
    if (fd < 0) return nullptr;
    // The kernel attaches each sender's credentials, which Consume checks.
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0) {
        if (error) *error = errno;
        close(fd);
        return nullptr;
    }
    if (error) *error = 0;
    return std::unique_ptr<CNamedEvent>(new CNamedEvent(fd));
}

CNamedEvent::~CNamedEvent() { close(Fd_); }

bool CNamedEvent::Consume() {
    bool set = false;
    for (;;) {
        char byte = 0;
        iovec iov{&byte, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        ssize_t n = recvmsg(Fd_, &msg, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return set;  // EAGAIN: nothing more pending
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS) continue;
            ucred cred;
            std::memcpy(&cred, CMSG_DATA(c), sizeof(cred));
            if (cred.uid == 0 || cred.uid == getuid() || cred.uid == geteuid()) set = true;
        }
    }
}

// ---- Setting an event ----

bool PrepareNamedEvent(const std::string& name, NamedEventTarget* target) {
    if (!target) return false;
    sockaddr_un addr;
    socklen_t length = 0;
    if (!AbstractAddress(name, &addr, &length)) {
        target->Length = 0;
        return false;
    }
    std::memcpy(target->Address, &addr, sizeof(addr));
    target->Length = length;
    return true;
}

bool SetNamedEvent(const NamedEventTarget& target) {
    // Only async-signal-safe calls: socket, sendto, close.
    if (target.Length == 0) return false;
    const int saved = errno;
    bool set = false;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        const char byte = 1;
        ssize_t n = sendto(fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(target.Address), target.Length);
        set = n == 1 || errno == EAGAIN || errno == EWOULDBLOCK;
        close(fd);
    }
    errno = saved;
    return set;
}

bool SetNamedEvent(const std::string& name) {
    NamedEventTarget target;
    return PrepareNamedEvent(name, &target) && SetNamedEvent(target);
}

}  // namespace platform
