#include "platform/SharedSegment.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <new>
#include <thread>

namespace platform {

namespace {

bool ValidName(const std::string& name) {
    return !name.empty() && name.size() <= 250 && name.find('/') == std::string::npos;
}

std::unique_ptr<CSharedSegment> Fail(int* error, int code) {
    if (error) *error = code;
    return nullptr;
}

// The mutex segment. It lives in memory only (never on disk), so the platform's own
// pthread_mutex_t is the right type.
struct MutexBlock {
    // 0: fresh, zero-filled segment; kReady: Mutex is initialised; any other value: the pid
    // of the process initialising it right now.
    uint32_t State;
    uint32_t Reserved;
    pthread_mutex_t Mutex;
};
constexpr uint32_t kReady = 0xFFFFFFFFu;
constexpr auto kInitWait = std::chrono::seconds(2);

pthread_mutex_t* MutexOf(CSharedSegment* segment) {
    return &static_cast<MutexBlock*>(segment->Data())->Mutex;
}

bool InitialiseMutex(pthread_mutex_t* m) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) return false;
    bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutex_init(m, &attr) == 0;
    pthread_mutexattr_destroy(&attr);
    return ok;
}

// Makes sure the block's mutex is initialised exactly once across all processes.
// Steps:
// 1. Ready: done.
// 2. Fresh, or claimed by a process that no longer exists: claim it with our pid (compare
//    and swap, so only one claimant wins), initialise, publish kReady.
// 3. Claimed by a live process: wait for it, up to kInitWait.
bool EnsureInitialised(MutexBlock* block, int* error) {
    std::atomic_ref<uint32_t> state(block->State);
    const uint32_t self = static_cast<uint32_t>(getpid());
    const auto deadline = std::chrono::steady_clock::now() + kInitWait;
    for (;;) {
        uint32_t seen = state.load(std::memory_order_acquire);
        if (seen == kReady) return true;
        bool claimable = seen == 0 ||
                         (seen != self && kill(static_cast<pid_t>(seen), 0) != 0 && errno == ESRCH);
        if (claimable && state.compare_exchange_strong(seen, self, std::memory_order_acq_rel)) {
            if (!InitialiseMutex(&block->Mutex)) {
                state.store(0, std::memory_order_release);
                if (error) *error = EINVAL;
                return false;
            }
            state.store(kReady, std::memory_order_release);
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            if (error) *error = ETIMEDOUT;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

std::unique_ptr<CSharedSegment> CSharedSegment::Open(const std::string& name, size_t bytes,
                                                     SegmentOpen mode, int* error) {
    if (!ValidName(name) || bytes == 0) return Fail(error, EINVAL);
    const std::string path = "/" + name;
    int flags = O_RDWR | O_CLOEXEC | (mode == SegmentOpen::CreateOrOpen ? O_CREAT : 0);
    int fd = shm_open(path.c_str(), flags, 0600);
    if (fd < 0) return Fail(error, errno);

    // Grow to the size asked for. posix_fallocate only ever extends, so two processes
    // sizing the same new segment at once cannot cut each other's size; the new bytes
    // read as zeros. A segment that is already big enough is left alone.
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        return Fail(error, e);
    }
    if (static_cast<uint64_t>(st.st_size) < bytes) {
        int rc = posix_fallocate(fd, 0, static_cast<off_t>(bytes));
        if (rc == EOPNOTSUPP || rc == EINVAL) {
            // No fallocate here: extend with ftruncate, re-checking the size first.
            rc = 0;
            if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < bytes &&
                ftruncate(fd, static_cast<off_t>(bytes)) != 0)
                rc = errno;
        }
        if (rc != 0) {
            close(fd);
            return Fail(error, rc);
        }
    }

    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        int e = errno;
        close(fd);
        return Fail(error, e);
    }
    if (error) *error = 0;
    return std::unique_ptr<CSharedSegment>(new (std::nothrow) CSharedSegment(fd, data, bytes));
}

bool CSharedSegment::Remove(const std::string& name) {
    return ValidName(name) && shm_unlink(("/" + name).c_str()) == 0;
}

CSharedSegment::~CSharedSegment() {
    if (Data_) munmap(Data_, Size_);
    if (Fd_ >= 0) close(Fd_);
}

CSharedMutex::CSharedMutex(std::unique_ptr<CSharedSegment> segment) : Segment_(std::move(segment)) {}

std::unique_ptr<CSharedMutex> CSharedMutex::Open(const std::string& name, int* error) {
    auto segment = CSharedSegment::Open(name, sizeof(MutexBlock), SegmentOpen::CreateOrOpen, error);
    if (!segment) return nullptr;
    if (!EnsureInitialised(static_cast<MutexBlock*>(segment->Data()), error)) return nullptr;
    if (error) *error = 0;
    return std::unique_ptr<CSharedMutex>(new (std::nothrow) CSharedMutex(std::move(segment)));
}

bool CSharedMutex::Remove(const std::string& name) { return CSharedSegment::Remove(name); }

MutexLock CSharedMutex::Lock(uint32_t timeoutMs) {
    struct timespec deadline {};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_t* m = MutexOf(Segment_.get());
    int rc;
    do {
        rc = pthread_mutex_clocklock(m, CLOCK_MONOTONIC, &deadline);
    } while (rc == EINTR);
    switch (rc) {
    case 0:
        return MutexLock::Acquired;
    case EOWNERDEAD:
        // The holder died: mark the mutex usable again; we hold it now.
        if (pthread_mutex_consistent(m) == 0) return MutexLock::Recovered;
        pthread_mutex_unlock(m);
        return MutexLock::Failed;
    case ETIMEDOUT:
        return MutexLock::TimedOut;
    default:
        return MutexLock::Failed;
    }
}

void CSharedMutex::Unlock() { pthread_mutex_unlock(MutexOf(Segment_.get())); }

}  // namespace platform
