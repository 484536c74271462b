// Machine-wide named objects that vanish with the process holding them: instance locks and
// events, used to keep one launcher and one wizard running and to signal the launcher.
//
// Each object is a Unix datagram socket bound in the abstract namespace under its name
// exactly as given. The kernel removes an abstract name when its last socket closes, so a
// process that crashes or is killed never leaves a name behind that blocks the next start.
// Sockets are close-on-exec: child programs never inherit a lock or an event.
//
//  - CInstanceLock: the name bound = the lock held. A second process finds the name taken.
//  - CNamedEvent: the creator binds the name and waits until its socket is readable; anyone
//    sets the event by sending one datagram to the name (SetNamedEvent). Auto-reset: Consume
//    clears every set pending, so sets that arrive before the waiter wakes count as one.
//    Only datagrams from processes running with the creator's user id, or as root, set the
//    event; others are read and thrown away, so another user on the machine cannot signal
//    a root launcher.
//
// Names: 1 to 107 bytes (the abstract namespace's limit), any bytes but NUL. Abstract names
// belong to the network namespace, which all processes of one session share.
//
// Ownership: each object owns its socket and closes it when destroyed.
// Threads: any thread; SetNamedEvent(const NamedEventTarget&) is also safe in a signal
// handler.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class InstanceLockResult {
    Owned,          // the lock is ours until the object is destroyed
    HeldElsewhere,  // another process holds the name
    Failed,         // the lock could not be made at all (*error says why)
};

class CInstanceLock {
public:
    // Takes the lock called `name`. *lock receives it when the result is Owned.
    static InstanceLockResult Acquire(const std::string& name, std::unique_ptr<CInstanceLock>* lock,
                                      int* error = nullptr);

    ~CInstanceLock();
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

private:
    explicit CInstanceLock(int fd) : Fd_(fd) {}
    int Fd_;
};

class CNamedEvent {
public:
    // Creates the event called `name`, clear. Null when the name is taken (*error EADDRINUSE)
    // or the socket cannot be made.
    static std::unique_ptr<CNamedEvent> Create(const std::string& name, int* error = nullptr);

    ~CNamedEvent();
    CNamedEvent(const CNamedEvent&) = delete;
    CNamedEvent& operator=(const CNamedEvent&) = delete;

    // Readable while a set is pending (for poll; see platform/Wait.h).
    int Fd() const { return Fd_; }
    // Clears the event without blocking. True when an accepted set was pending.
    bool Consume();

private:
    explicit CNamedEvent(int fd) : Fd_(fd) {}
    int Fd_;
};

// The address of an event, prepared ahead of time so that a signal handler can set the event
// without allocating or formatting anything.
struct NamedEventTarget {
    alignas(8) unsigned char Address[112];  // a sockaddr_un in the abstract namespace
    uint32_t Length = 0;                    // bytes of Address in use; 0: not prepared
};

// Fills *target for the event called `name`. False when the name is not a valid name.
bool PrepareNamedEvent(const std::string& name, NamedEventTarget* target);

// Sets the event: one datagram, without blocking. True when the event is set (also when
// sets are already queued beyond what the socket holds); false when nobody has created it.
// Async-signal-safe; errno is kept.
bool SetNamedEvent(const NamedEventTarget& target);

// The same for a name given directly (not for signal handlers).
bool SetNamedEvent(const std::string& name);

}  // namespace platform
