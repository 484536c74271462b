#include "platform/ShellOpen.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace platform {

namespace {

// The user to run as, read before fork: between fork and exec only async-signal-safe calls
// are allowed, and the password and group databases are not.
struct TargetUser {
    bool Switch = false;
    uid_t Uid = 0;
    gid_t Gid = 0;
    std::vector<gid_t> Groups;
    std::string Name;
    std::string Home;
};

// The user named by PKEXEC_UID when we are root; Switch stays false otherwise.
bool FindTargetUser(TargetUser* user, int* error) {
    if (geteuid() != 0) return true;
    const char* v = std::getenv("PKEXEC_UID");
    if (!v || !*v) return true;
    char* end = nullptr;
    errno = 0;
    const unsigned long uid = std::strtoul(v, &end, 10);
    if (errno != 0 || end == v || *end != '\0' || uid > 0x7fffffffUL) {
        *error = EINVAL;
        return false;
    }
    if (uid == 0) return true;  // started by root: nothing to drop
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(static_cast<uid_t>(uid), &pw, buffer.data(), buffer.size(), &found) != 0 || !found) {
        *error = ENOENT;
        return false;
    }
    user->Switch = true;
    user->Uid = pw.pw_uid;
    user->Gid = pw.pw_gid;
    user->Name = pw.pw_name;
    user->Home = pw.pw_dir;
    int count = 32;
    for (;;) {
        user->Groups.assign(static_cast<size_t>(count), 0);
        int n = count;
        if (getgrouplist(pw.pw_name, pw.pw_gid, user->Groups.data(), &n) >= 0) {
            user->Groups.resize(static_cast<size_t>(n));
            break;
        }
        if (n <= count) {
            user->Groups.assign(1, pw.pw_gid);
            break;
        }
        count = n;
    }
    return true;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Our environment with the user's identity and session put in when we switch users.
std::vector<std::string> ChildEnvironment(const TargetUser& user) {
    std::vector<std::string> env;
    if (!user.Switch) {
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        return env;
    }
    const std::string runtime = "/run/user/" + std::to_string(user.Uid);
    const bool hasRuntime = Exists(runtime);
    const bool hasBus = Exists(runtime + "/bus");
    auto replaced = [&](const char* entry) {
        for (const char* name : {"HOME=", "USER=", "LOGNAME=", "XDG_RUNTIME_DIR=", "DBUS_SESSION_BUS_ADDRESS="}) {
            if (std::strncmp(entry, name, std::strlen(name)) == 0) {
                if (std::strcmp(name, "XDG_RUNTIME_DIR=") == 0 && !hasRuntime) return false;
                if (std::strcmp(name, "DBUS_SESSION_BUS_ADDRESS=") == 0 && !hasBus) return false;
                return true;
            }
        }
        return false;
    };
    for (char** e = environ; *e; ++e)
        if (!replaced(*e)) env.emplace_back(*e);
    env.push_back("HOME=" + user.Home);
    env.push_back("USER=" + user.Name);
    env.push_back("LOGNAME=" + user.Name);
    if (hasRuntime) env.push_back("XDG_RUNTIME_DIR=" + runtime);
    if (hasBus) env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
    return env;
}

// The first executable `program` along PATH.
std::string FindInPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = end > start ? dirs.substr(start, end - start) : std::string(".");
        candidate.push_back('/');
        candidate.append(program);
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

// Writes errno to the status pipe and ends the child; async-signal-safe.
[[noreturn]] void ChildFail(int fd) {
    const int code = errno;
    ssize_t ignored = write(fd, &code, sizeof code);
    (void)ignored;
    _exit(127);
}

// Drops to the target user in a forked child; ends the child through ChildFail on failure.
void BecomeUser(const TargetUser& user, int statusFd) {
    if (!user.Switch) return;
    if (setgroups(user.Groups.size(), user.Groups.data()) != 0) ChildFail(statusFd);
    if (setgid(user.Gid) != 0) ChildFail(statusFd);
    if (setuid(user.Uid) != 0) ChildFail(statusFd);
}

// How the program is started: detached from us with every stream on /dev/null, or as our
// child with stdin on /dev/null and our stdout and stderr, waited for.
enum class StartMode { Detached, Waited };

// Runs `program` (looked up in PATH) with `args` as the desktop's user. Detached: true result
// 0 once it was started. Waited: its exit status (0..255). -1 with *error = errno when it
// could not be found or started, or (waited) with *error = 0 when it died from a signal.
int RunAsDesktopUser(const char* program, const std::vector<std::string>& args, StartMode mode,
                     int* error) {
    int ignored = 0;
    if (!error) error = &ignored;
    *error = 0;

    // 1. Everything that reads files or allocates is done before fork.
    TargetUser user;
    if (!FindTargetUser(&user, error)) return -1;
    const std::string path = FindInPath(program);
    if (path.empty()) {
        *error = ENOENT;
        return -1;
    }
    const std::vector<std::string> envStrings = ChildEnvironment(user);
    std::vector<char*> envp;
    for (const std::string& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // 2. A pipe closed on exec tells us whether exec happened: it ends empty on success and
    //    carries errno otherwise.
    int status[2];
    if (pipe2(status, O_CLOEXEC) != 0) {
        *error = errno;
        return -1;
    }

    // 3. Detached: fork twice, so that the program is adopted by init and never left as our
    //    zombie. Waited: one child, ours to wait for.
    const pid_t child = fork();
    if (child < 0) {
        *error = errno;
        close(status[0]);
        close(status[1]);
        return -1;
    }
    if (child == 0) {
        close(status[0]);
        const int null = open("/dev/null", O_RDWR);
        if (null < 0) ChildFail(status[1]);
        dup2(null, 0);
        if (mode == StartMode::Detached) {
            setsid();
            const pid_t grandchild = fork();
            if (grandchild < 0) ChildFail(status[1]);
            if (grandchild > 0) _exit(0);
            dup2(null, 1);
            dup2(null, 2);
        }
        if (null > 2) close(null);
        BecomeUser(user, status[1]);
        execve(path.c_str(), argv.data(), envp.data());
        ChildFail(status[1]);
    }
    close(status[1]);
    int code = 0;
    ssize_t n;
    do {
        n = read(status[0], &code, sizeof code);
    } while (n < 0 && errno == EINTR);
    close(status[0]);
    int exitStatus = 0;
    while (waitpid(child, &exitStatus, 0) < 0 && errno == EINTR) {
    }
    if (n == static_cast<ssize_t>(sizeof code)) {
        *error = code ? code : EIO;
        return -1;
    }
    if (mode == StartMode::Detached) return 0;
    if (WIFEXITED(exitStatus)) return WEXITSTATUS(exitStatus);
    return -1;
}

}  // namespace

bool OpenForUser(const std::string& target, int* error) {
    return RunAsDesktopUser("xdg-open", {target}, StartMode::Detached, error) == 0;
}

int RunForUser(const std::string& program, const std::vector<std::string>& args, int* error) {
    return RunAsDesktopUser(program.c_str(), args, StartMode::Waited, error);
}

}  // namespace platform
