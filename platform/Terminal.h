// Terminal and signal helpers for the command-line front end.
//
// Threads: the main thread of a command-line program.
#pragma once

#include <string>

namespace platform {

// True when standard input / standard error is a terminal.
bool StdinIsTerminal();
bool StderrIsTerminal();

// Width of the terminal on standard error in columns; 80 when it cannot be told.
int TerminalColumns();

// Reads one line from standard input without its line end; false at end of input.
bool ReadLine(std::string* line);

// Ignores SIGPIPE for the whole process, so a closed output ends in a write error, not death.
void IgnoreBrokenPipes();

// While alive, SIGINT, SIGTERM, SIGHUP and SIGQUIT are held back: a conversion interrupted
// half-way would leave a volume that is neither NTFS nor FAT32. InterruptRequested() tells
// whether one arrived meanwhile; the earlier handlers come back when the shield ends.
class InterruptShield {
public:
    InterruptShield();
    ~InterruptShield();
    InterruptShield(const InterruptShield&) = delete;
    InterruptShield& operator=(const InterruptShield&) = delete;
    static bool InterruptRequested();
};

// Seconds since an arbitrary start, monotonic, with sub-second precision.
double MonotonicSeconds();

}  // namespace platform
