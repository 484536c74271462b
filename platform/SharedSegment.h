// Named shared memory and a named mutex that several processes share.
//
// CSharedSegment is a POSIX shared-memory object "/" + name, mapped read-write. A segment
// that is created starts zero-filled. CSharedMutex is a process-shared, robust pthread mutex
// living in a small segment of its own, named after the mutex: when a holder dies, the next
// locker gets the mutex back (MutexLock::Recovered) instead of waiting forever.
//
// Names are plain words (no '/'), at most 250 bytes. The objects outlive the processes that
// made them until Remove is called, as POSIX shared memory does; a stale segment left by a
// crashed process is simply opened again.
//
// Ownership: each object owns its descriptor and mapping and releases both when destroyed;
// destroying one never removes the name.
// Threads: an object may be used from several threads; Lock/Unlock follow the rules of a
// pthread mutex (the locking thread unlocks).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class SegmentOpen {
    OpenExisting,  // fail with ENOENT when nobody created the name yet
    CreateOrOpen,  // create it when missing, else open the existing one
};

class CSharedSegment {
public:
    // Opens (or creates) the segment and maps its first `bytes` bytes, growing a smaller
    // segment to that size (never shrinking one). Null on failure with *error = errno.
    // Safe against another process creating or opening the same name at the same time.
    static std::unique_ptr<CSharedSegment> Open(const std::string& name, size_t bytes,
                                                SegmentOpen mode, int* error = nullptr);
    // Removes the name; processes that have it mapped keep their mapping.
    static bool Remove(const std::string& name);

    ~CSharedSegment();
    CSharedSegment(const CSharedSegment&) = delete;
    CSharedSegment& operator=(const CSharedSegment&) = delete;

    void* Data() const { return Data_; }
    size_t Size() const { return Size_; }

private:
    CSharedSegment(int fd, void* data, size_t size) : Fd_(fd), Data_(data), Size_(size) {}
    int Fd_;
    void* Data_;
    size_t Size_;
};

enum class MutexLock {
    Acquired,   // locked
    Recovered,  // locked; its previous holder died holding it (the data it guards may be
                // half-updated, the caller decides)
    TimedOut,   // not obtained within the time-out
    Failed,     // not obtained: the mutex is unusable
};

inline bool IsLocked(MutexLock r) { return r == MutexLock::Acquired || r == MutexLock::Recovered; }

class CSharedMutex {
public:
    // Creates the mutex or opens the existing one, unlocked when created. The first opener
    // initialises it; others wait for that (an initialiser that died is replaced).
    // Null on failure with *error = errno.
    static std::unique_ptr<CSharedMutex> Open(const std::string& name, int* error = nullptr);
    // Removes the mutex's name (see CSharedSegment::Remove).
    static bool Remove(const std::string& name);

    // Waits at most timeoutMs milliseconds (measured on the monotonic clock) for the mutex.
    MutexLock Lock(uint32_t timeoutMs);
    void Unlock();

    ~CSharedMutex() = default;
    CSharedMutex(const CSharedMutex&) = delete;
    CSharedMutex& operator=(const CSharedMutex&) = delete;

private:
    explicit CSharedMutex(std::unique_ptr<CSharedSegment> segment);
    std::unique_ptr<CSharedSegment> Segment_;
};

// Holds a CSharedMutex from construction (when obtained) to destruction.
class CSharedMutexGuard {
public:
    CSharedMutexGuard(CSharedMutex* mutex, uint32_t timeoutMs)
        : Mutex_(mutex), Result_(mutex ? mutex->Lock(timeoutMs) : MutexLock::Failed) {}
    ~CSharedMutexGuard() {
        if (Locked()) Mutex_->Unlock();
    }
    CSharedMutexGuard(const CSharedMutexGuard&) = delete;
    CSharedMutexGuard& operator=(const CSharedMutexGuard&) = delete;

    bool Locked() const { return IsLocked(Result_); }
    MutexLock Result() const { return Result_; }

private:
    CSharedMutex* Mutex_;
    MutexLock Result_;
};

}  // namespace platform
