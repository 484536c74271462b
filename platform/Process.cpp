#include "platform/Process.h"

#include <fcntl.h>
#include <spawn.h>
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

}  // namespace

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               ChildOutput output, int* error) {
    auto fail = [error](int code) {
        if (error) *error = code;
        return -1;
    };
    if (program.empty()) return fail(EINVAL);

    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

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

bool IsEffectiveRoot() { return geteuid() == 0; }

}  // namespace platform
