// Child programs and the process's own rights.
//
// Threads: any thread. RunProgram blocks the calling thread until the child has ended.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform {

// How a child's standard streams are connected.
enum class ChildOutput {
    Inherit,  // the child writes to our stdout / stderr
    Discard,  // the child's stdout and stderr go to /dev/null
};

// Runs `program` with `args` (argv[1..]; argv[0] is the program itself) and waits for it.
// A program name without '/' is looked up in PATH. The child's stdin is /dev/null.
// Returns the child's exit status (0..255), or -1 when it could not be started or was
// killed by a signal; *error (optional) then holds errno, or 0 for a signal death.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               ChildOutput output = ChildOutput::Inherit, int* error = nullptr);

// A child program started to run beside us, watched through a process descriptor (pidfd)
// that becomes readable when the child ends, so that it can be waited for in one poll with
// other descriptors (platform/Wait.h).
//
// Ownership: the object owns the descriptor. Destroying it neither stops nor waits for the
// child: the child runs on (its exit status is collected then if it has already ended).
class CChildProcess {
public:
    // Starts `program` (a path, never looked up in PATH) with `args` (argv[1..]); the child
    // inherits our environment and standard streams. Null with *error = errno on failure.
    static std::unique_ptr<CChildProcess> Start(const std::string& program,
                                                const std::vector<std::string>& args,
                                                int* error = nullptr);

    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    int Pid() const { return Pid_; }
    int PidFd() const { return PidFd_; }
    // Collects the exit status of an ended child without blocking: true when it has ended,
    // with *status its exit status (0..255) or 128 + N after signal N.
    bool Ended(int* status = nullptr);

private:
    CChildProcess(int pid, int pidfd) : Pid_(pid), PidFd_(pidfd) {}
    int Pid_;
    int PidFd_;
    bool Reaped_ = false;
    int Status_ = 0;
};

// True when the process runs with effective user id 0 (our "administrator" right).
bool IsEffectiveRoot();

}  // namespace platform
