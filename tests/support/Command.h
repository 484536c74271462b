// Helpers for end-to-end tests: running a program and capturing what it prints, private
// temporary directories, and the paths of the source and build trees.
//
// Threads: any test thread; nothing here holds global state except the random source of
// TempDir names (thread-safe).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// The outcome of one command.
struct CommandResult {
    // The exit status (0..255); 128 + N when the program died from signal N; -1 when it could
    // not be started at all.
    int exitCode = -1;
    bool signaled = false;  // the program died from a signal (signal holds which)
    int signal = 0;
    bool timedOut = false;  // the time limit of CommandOptions ran out and the program was killed
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error (empty with mergeStderr)

    bool Ok() const { return exitCode == 0; }
    // A one-line description for failure messages: "exit 1: <first lines of stderr>".
    std::string Describe() const;
};

struct CommandOptions {
    std::string input;            // fed to standard input (which is /dev/null when empty)
    bool mergeStderr = false;     // standard error joins standard output, in order
    int timeoutSeconds = 0;       // > 0: killed (TERM, then KILL 5 s later) when it runs longer
    std::string workingDir;       // empty: the test's current directory
    // Extra environment variables for the program only ("" as value sets it empty).
    std::vector<std::pair<std::string, std::string>> env;
};

// Runs argv[0] (looked up in PATH) with the arguments argv[1..]; no shell interprets them.
CommandResult RunCommand(const std::vector<std::string>& argv, const CommandOptions& options = {});

// Like RunCommand, but standard output goes to `sink` in chunks as it arrives instead of into
// the result (whose `out` stays empty), so that a large output such as a file's bytes is never
// held whole. mergeStderr is ignored: standard error is always captured apart.
using OutputSink = std::function<void(const char* data, size_t bytes)>;
CommandResult RunCommandStreaming(const std::vector<std::string>& argv, const OutputSink& sink,
                                  const CommandOptions& options = {});

// Runs a shell command line with /bin/sh (for pipes and redirections the test writes itself).
CommandResult RunShell(const std::string& commandLine, const CommandOptions& options = {});

// Quotes one word for /bin/sh so that it reaches the program unchanged, whatever it holds.
std::string ShellQuote(const std::string& word);

// The directory that holds the built programs (build/bin), and one of them by its short name:
// ToolPath("ntfsls") is build/bin/velundra-ntfsls. ProgramPath("velundra-convert") takes the
// full file name.
std::string BinDir();
std::string ToolPath(const std::string& shortName);
std::string ProgramPath(const std::string& fileName);
// The build tree (the parent of BinDir) and a path inside the source tree.
std::string BuildDir();
std::string SourcePath(const std::string& relative);

// The whole content of a file; throws std::runtime_error when it cannot be read.
std::string ReadFileBytes(const std::string& path);
// Writes a file whole (created or replaced); throws std::runtime_error on failure.
void WriteFileBytes(const std::string& path, const std::string& bytes);

// A fresh, private directory under the system's temporary directory, removed with all it
// holds when the object goes. Any file system still mounted below it is unmounted first, so
// a test that failed half-way through never deletes files inside a mounted image. Set
// VELUNDRA_KEEP_TEMP=1 to keep the directories for inspection.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // Path + "/" + name (nothing is created).
    std::string File(const std::string& name) const;

private:
    std::string path_;
};

// Unmounts every file system mounted at or below dir (deepest first), lazily if a plain
// unmount fails. Returns how many mounts were found.
int UnmountBelow(const std::string& dir);

}  // namespace testsupport
