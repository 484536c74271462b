// The FAT to NTFS module's two threads. The conversion itself is done by the system's
// command-line converter ("convert", here our velundra-tontfs beside the executable, see
// platform/SystemProgram.h) in a child process:
//  - ConvertToNtfsThread (the worker) makes two pipes, starts the child on them, waits for
//    it and judges the outcome by its exit code (0: success);
//  - PipeReaderThread copies everything the child prints into the page's details box and
//    answers its one question, the current volume label, after its first output.
// The outcome reaches the page as a posted ConvertDoneEvent, as in the other module.
//
// Threads and ownership: the page's Convert command starts the worker with an NtfsJob that
// the worker owns; the worker starts the reader with a PipeReaderArgs that the reader owns.
// The worker waits for the reader before it posts, so neither thread touches the page after
// the page has its outcome.
#pragma once

#include <QString>
#include <atomic>
#include <memory>
#include <string>

#include "platform/AnonymousPipe.h"

class CExecuteProgressPage;

// Buffer hint of both pipes, and the reader's byte buffer: 16 MiB.
constexpr size_t kConverterPipeBytes = 16777216;
// The reader's text buffer in characters; a chunk is shown cut at one less.
constexpr int kConverterTextUnits = 8192;
// The command line's buffer in characters.
constexpr size_t kConverterCommandUnits = 64;

// What the page hands to the worker.
struct NtfsJob {
    CExecuteProgressPage* Page;  // not owned; outlives the worker
    char16_t DriveLetter;        // as listed, upper case
};

// What the worker hands to the reader: the two pipes whose ends the reader uses (the
// output's read end, the input's write end). The pipes are shared with the worker, which
// holds the child's ends. ChildEnded is set by the worker once the child has ended: the
// reader then stops when the output has been quiet for a second, even if a program the
// child left running still holds the output open.
struct PipeReaderArgs {
    std::shared_ptr<platform::CAnonymousPipe> Output;  // the child's stdout and stderr
    std::shared_ptr<platform::CAnonymousPipe> Input;   // the child's stdin
    CExecuteProgressPage* Page;                        // not owned
    std::shared_ptr<std::atomic<bool>> ChildEnded;
};

// The command line for a drive letter: "convert %c: /FS:NTFS /X", or on Windows 2000
// "convert %c: /FS:NTFS" (which never applies here; IsWindows2000 is false).
std::u16string ConverterCommandLine(char16_t driveLetter, bool windows2000);

// The answer to the converter's question: the label as UTF-8 (at most 260 bytes, cut at a
// character) followed by CR LF, the whole at most 259 bytes.
std::string LabelAnswer(const std::u16string& label);

// The text of one chunk of the child's output as the details box shows it: the bytes up to
// the first zero byte read as UTF-8 (invalid sequences as U+FFFD), cut at 8191 characters.
QString OutputChunkText(const char* bytes, size_t size);

// The worker; runs on its own thread and frees the job.
void ConvertToNtfsThread(std::unique_ptr<NtfsJob> job);

// The reader; runs on its own thread, started by the worker, and frees its arguments.
void PipeReaderThread(std::unique_ptr<PipeReaderArgs> args);
