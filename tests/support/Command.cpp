#include "tests/support/Command.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {
namespace {

// A name no other test process picks: random bits plus a per-process counter.
std::string UniqueName(const std::string& tag) {
    static std::mutex lock;
    static std::mt19937_64 random{std::random_device{}()};
    static uint64_t counter = 0;
    std::lock_guard<std::mutex> hold(lock);
    char buf[64];
    std::snprintf(buf, sizeof buf, "-%016llx-%llu", static_cast<unsigned long long>(random()),
                  static_cast<unsigned long long>(++counter));
    return "velundra-" + tag + buf;
}

// A file removed when the object goes (for captured streams and fed input).
struct ScratchFile {
    std::string path = (fs::temp_directory_path() / UniqueName("cmd")).string();
    ~ScratchFile() {
        std::error_code ec;
        fs::remove(path, ec);
    }
};

std::string ReadAllOrEmpty(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs `body` (a shell command that ends in the program) with the options' environment,
// directory, time limit and streams, and decodes the wait status of the program itself:
// the shell execs it, so pclose reports the program's own exit or signal.
// With a sink, standard output goes there instead of into the result.
CommandResult RunWithShell(const std::string& program, bool isShellLine,
                           const CommandOptions& options, const OutputSink* sink = nullptr) {
    ScratchFile errFile, inFile;
    std::string line;
    if (!options.workingDir.empty()) {
        line += "cd ";
        line += ShellQuote(options.workingDir);
        line += " && ";
    }
    std::string prefix;
    if (!options.env.empty()) {
        prefix += "env";
        for (const auto& [name, value] : options.env) {
            prefix += ' ';
            prefix += ShellQuote(name + "=" + value);
        }
        prefix += " ";
    }
    if (options.timeoutSeconds > 0)
        prefix += "timeout -k 5 " + std::to_string(options.timeoutSeconds) + " ";
    line += "exec ";
    line += prefix;
    line += isShellLine ? "/bin/sh -c " + ShellQuote(program) : program;
    if (!options.input.empty()) {
        WriteFileBytes(inFile.path, options.input);
        line += " <";
        line += ShellQuote(inFile.path);
    } else {
        line += " </dev/null";
    }
    if (options.mergeStderr && !sink) {
        line += " 2>&1";
    } else {
        line += " 2>";
        line += ShellQuote(errFile.path);
    }

    CommandResult r;
    std::fflush(nullptr);
    FILE* pipe = popen(line.c_str(), "r");
    if (!pipe) return r;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        if (sink)
            (*sink)(buffer, n);
        else
            r.out.append(buffer, n);
    }
    const int status = pclose(pipe);
    if (status == -1) return r;
    if (WIFSIGNALED(status)) {
        r.signaled = true;
        r.signal = WTERMSIG(status);
        r.exitCode = 128 + r.signal;
    } else if (WIFEXITED(status)) {
        r.exitCode = WEXITSTATUS(status);
        // timeout(1) says 124 when it had to stop the program (137 when KILL was needed).
        if (options.timeoutSeconds > 0 && (r.exitCode == 124 || r.exitCode == 137))
            r.timedOut = true;
        // The shell reports a program that could not be run as 126 or 127.
    }
    if (!options.mergeStderr || sink) r.err = ReadAllOrEmpty(errFile.path);
    return r;
}

}  // namespace

std::string CommandResult::Describe() const {
    std::string s;
    if (timedOut)
        s = "timed out";
    else if (signaled)
        s = "killed by signal " + std::to_string(signal);
    else
        s = "exit " + std::to_string(exitCode);
    const std::string& text = err.empty() ? out : err;
    if (!text.empty()) s += ": " + text.substr(0, 2000);
    return s;
}

std::string ShellQuote(const std::string& word) {
    std::string q = "'";
    for (char c : word) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

namespace {

// argv as one shell word list, each word quoted.
std::string QuotedWords(const std::vector<std::string>& argv) {
    std::string program;
    for (const std::string& a : argv) {
        if (!program.empty()) program += ' ';
        program += ShellQuote(a);
    }
    return program;
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, const CommandOptions& options) {
    if (argv.empty()) return {};
    return RunWithShell(QuotedWords(argv), false, options);
}

CommandResult RunCommandStreaming(const std::vector<std::string>& argv, const OutputSink& sink,
                                  const CommandOptions& options) {
    if (argv.empty()) return {};
    return RunWithShell(QuotedWords(argv), false, options, &sink);
}

CommandResult RunShell(const std::string& commandLine, const CommandOptions& options) {
    return RunWithShell(commandLine, true, options);
}

std::string BinDir() {
#ifdef VELUNDRA_BIN_DIR
    return VELUNDRA_BIN_DIR;
#else
    return "build/bin";
#endif
}

std::string ToolPath(const std::string& shortName) { return BinDir() + "/velundra-" + shortName; }

std::string ProgramPath(const std::string& fileName) { return BinDir() + "/" + fileName; }

std::string BuildDir() { return fs::path(BinDir()).parent_path().string(); }

std::string SourcePath(const std::string& relative) {
#ifdef VELUNDRA_SOURCE_DIR
    return std::string(VELUNDRA_SOURCE_DIR) + "/" + relative;
#else
    return relative;
#endif
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) throw std::runtime_error("cannot read " + path);
    return s.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

TempDir::TempDir(const std::string& tag) {
    path_ = (fs::temp_directory_path() / UniqueName(tag)).string();
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    UnmountBelow(path_);
    const char* keep = std::getenv("VELUNDRA_KEEP_TEMP");
    if (keep && *keep && std::string(keep) != "0") return;
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& name) const { return path_ + "/" + name; }

namespace {

// Mount points in /proc/self/mountinfo escape space, tab, newline and backslash as \ooo.
std::string UnescapeMountPath(const std::string& s) {
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string r;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && octal(s[i + 1]) && octal(s[i + 2]) &&
            octal(s[i + 3])) {
            r += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            r += s[i];
        }
    }
    return r;
}

}  // namespace

int UnmountBelow(const std::string& dir) {
    std::error_code ec;
    const std::string base = fs::weakly_canonical(dir, ec).string();
    if (base.empty()) return 0;
    std::ifstream info("/proc/self/mountinfo");
    std::vector<std::string> found;
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, mountPoint;
        if (!(fields >> id >> parent >> devno >> root >> mountPoint)) continue;
        const std::string mp = UnescapeMountPath(mountPoint);
        if (mp == base || (mp.size() > base.size() && mp.compare(0, base.size(), base) == 0 &&
                           mp[base.size()] == '/'))
            found.push_back(mp);
    }
    std::sort(found.begin(), found.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& mp : found) {
        if (!RunCommand({"umount", mp}).Ok()) RunCommand({"umount", "-l", mp});
    }
    return static_cast<int>(found.size());
}

}  // namespace testsupport
