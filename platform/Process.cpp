#include "platform/Process.h"

#include "platform/SystemProgram.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace platform {

namespace {

// posix_spawn file actions and their release, whatever path the spawn takes.
struct SpawnActions {
    posix_spawn_file_actions_t actions;
    bool ready = false;
    SpawnActions() { ready = posix_spawn_file_actions_init(&actions) == 0; }
    ~SpawnActions() {
        if (ready) posix_spawn_file_actions_destroy(&actions);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

// argv for a spawn: the program, its arguments, a null; pointers into the strings given.
std::vector<char*> SpawnArgv(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               ChildOutput output, int* error) {
    auto fail = [error](int code) {
        if (error) *error = code;
        return -1;
    };
    if (program.empty()) return fail(EINVAL);

    std::vector<char*> argv = SpawnArgv(program, args);

    SpawnActions fa;
    if (!fa.ready) return fail(ENOMEM);
    int rc = posix_spawn_file_actions_addopen(&fa.actions, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0 && output == ChildOutput::Discard) {
        rc = posix_spawn_file_actions_addopen(&fa.actions, 1, "/dev/null", O_WRONLY, 0);
        if (rc == 0) rc = posix_spawn_file_actions_adddup2(&fa.actions, 1, 2);
    }
    if (rc != 0) return fail(rc);

    pid_t pid = 0;
    rc = posix_spawnp(&pid, program.c_str(), &fa.actions, nullptr, argv.data(), environ);
    if (rc != 0) return fail(rc);

    int status = 0;
    for (;;) {
        pid_t w = waitpid(pid, &status, 0);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) return fail(errno);
    }
    if (WIFEXITED(status)) {
        if (error) *error = 0;
        return WEXITSTATUS(status);
    }
    return fail(0);
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (char c : commandLine) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

std::unique_ptr<CChildProcess> CChildProcess::Start(const std::string& program,
                                                    const std::vector<std::string>& args,
                                                    int* error) {
    return Start(program, args, ChildStreams{}, error);
}

std::unique_ptr<CChildProcess> CChildProcess::StartCommandLine(const std::string& commandLine,
                                                               const ChildStreams& streams,
                                                               int* error) {
    std::vector<std::string> words = SplitCommandLine(commandLine);
    if (words.empty()) {
        if (error) *error = EINVAL;
        return nullptr;
    }
    std::string program = SystemProgramPath(words.front());
    if (program.empty() && words.front().find('/') != std::string::npos) program = words.front();
    if (program.empty()) {
        if (error) *error = ENOENT;
        return nullptr;
    }
    words.erase(words.begin());
    return Start(program, words, streams, error);
}

std::unique_ptr<CChildProcess> CChildProcess::Start(const std::string& program,
                                                    const std::vector<std::string>& args,
                                                    const ChildStreams& streams, int* error) {
    if (program.empty()) {
        if (error) *error = EINVAL;
        return nullptr;
    }
    std::vector<char*> argv = SpawnArgv(program, args);
    SpawnActions fa;
    if (!fa.ready) {
        if (error) *error = ENOMEM;
        return nullptr;
    }
    int rc = 0;
    const int targets[3] = {0, 1, 2};
    const int sources[3] = {streams.Input, streams.Output, streams.Error};
    for (int i = 0; i < 3 && rc == 0; ++i)
        if (sources[i] >= 0) rc = posix_spawn_file_actions_adddup2(&fa.actions, sources[i], targets[i]);
    pid_t pid = 0;
    if (rc == 0) rc = posix_spawn(&pid, program.c_str(), &fa.actions, nullptr, argv.data(), environ);
    if (rc != 0) {
        if (error) *error = rc;
        return nullptr;
    }
    // The pid cannot be reused before we collect the child, so the descriptor is the child's.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        const int code = errno;
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        if (error) *error = code;
        return nullptr;
    }
    if (error) *error = 0;
    return std::unique_ptr<CChildProcess>(new CChildProcess(pid, pidfd));
}

CChildProcess::~CChildProcess() {
    Ended();
    close(PidFd_);
}

bool CChildProcess::Reap(int waitFlags) {
    if (Reaped_) return true;
    int raw = 0;
    pid_t w;
    do {
        w = waitpid(Pid_, &raw, waitFlags);
    } while (w < 0 && errno == EINTR);
    if (w != Pid_) return false;
    Reaped_ = true;
    Status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
}

bool CChildProcess::Ended(int* status) {
    if (!Reap(WNOHANG)) return false;
    if (status) *status = Status_;
    return true;
}

int CChildProcess::Wait() {
    return Reap(0) ? Status_ : -1;  // not reaped here: collected elsewhere, the status is lost
}

bool IsEffectiveRoot() { return geteuid() == 0; }

}  // namespace platform
