// Child programs and the process's own rights.
//
// Threads: any thread. RunProgram and CChildProcess::Wait block the calling thread until the
// child has ended; one CChildProcess is used by one thread at a time.
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

// Descriptors that become a child's standard input, output and error; -1 keeps ours. The
// descriptors stay ours: the child gets copies.
struct ChildStreams {
    int Input = -1;
    int Output = -1;
    int Error = -1;
};

// The words of a command line: runs of characters apart from spaces and tabs; a double
// quote starts or ends a part in which spaces and tabs belong to the word (the quotes
// themselves are dropped). "convert E: /FS:NTFS /X" gives convert, E:, /FS:NTFS, /X.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// A child program started to run beside us, watched through a process descriptor (pidfd)
// that becomes readable when the child ends, so that it can be waited for in one poll with
// other descriptors (platform/Wait.h).
//
// Ownership: the object owns the descriptor. Destroying it neither stops nor waits for the
// child: the child runs on (its exit status is collected then if it has already ended).
class CChildProcess {
public:
    // Starts `program` (a path, never looked up in PATH) with `args` (argv[1..]); the child
    // inherits our environment, current directory and standard streams, except those that
    // `streams` redirects. Null with *error = errno on failure (ENOENT, EACCES, ENOEXEC: no
    // such program, not executable, not a program).
    static std::unique_ptr<CChildProcess> Start(const std::string& program,
                                                const std::vector<std::string>& args,
                                                int* error = nullptr);
    static std::unique_ptr<CChildProcess> Start(const std::string& program,
                                                const std::vector<std::string>& args,
                                                const ChildStreams& streams, int* error = nullptr);
    // Starts a command line: its words (SplitCommandLine), the first naming the program.
    // The program is a system program of SystemProgramPath (platform/SystemProgram.h) or a
    // path with a '/'; a bare name is never looked up in PATH (ENOENT when it is no system
    // program). Null with *error = errno on failure (EINVAL for an empty command line).
    static std::unique_ptr<CChildProcess> StartCommandLine(const std::string& commandLine,
                                                           const ChildStreams& streams,
                                                           int* error = nullptr);

    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    int Pid() const { return Pid_; }
    int PidFd() const { return PidFd_; }
    // Collects the exit status of an ended child without blocking: true when it has ended,
    // with *status its exit status (0..255) or 128 + N after signal N.
    bool Ended(int* status = nullptr);
    // Waits without time-out until the child has ended; its status as for Ended, or -1 when
    // the status could not be collected (somebody else reaped the child).
    int Wait();

private:
    CChildProcess(int pid, int pidfd) : Pid_(pid), PidFd_(pidfd) {}
    // Collects the child's status with waitpid's flags; true once it is collected.
    bool Reap(int waitFlags);
    int Pid_;
    int PidFd_;
    bool Reaped_ = false;
    int Status_ = 0;
};

// True when the process runs with effective user id 0 (our "administrator" right).
bool IsEffectiveRoot();

}  // namespace platform
