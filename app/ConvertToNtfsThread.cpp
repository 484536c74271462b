#include "app/ConvertToNtfsThread.h"

#include <QCoreApplication>
#include <cstdarg>
#include <cstring>
#include <thread>

#include "app/CExecuteProgressPage.h"
#include "device/Log.h"
#include "device/LogFormat.h"
#include "device/VolumePreparation.h"
#include "platform/Process.h"
#include "platform/TextEncoding.h"
#include "platform/Wait.h"

namespace {

// A wide printf into the command line's buffer (its last unit is the terminating zero).
std::u16string FormatCommand(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string text = FormatTextW(kConverterCommandUnits - 1, format, args);
    va_end(args);
    return text;
}

// Logs a captured failure of a system call: its name and its error code.
void LogFailure(const SimpleException& e) {
    LogErrorW(u"%s last error: %d", e.Text().c_str(), e.ErrorCode);
}

}  // namespace

std::u16string ConverterCommandLine(char16_t driveLetter, bool windows2000) {
    return windows2000 ? FormatCommand(u"convert %c: /FS:NTFS", driveLetter)
                       : FormatCommand(u"convert %c: /FS:NTFS /X", driveLetter);
}

std::string LabelAnswer(const std::u16string& label) {
    std::string text = platform::Utf16ToUtf8(label);
    CutUtf8(&text, 260);
    text += "\r\n";
    if (text.size() > 259) text.resize(259);
    return text;
}

QString OutputChunkText(const char* bytes, size_t size) {
    // The chunk ends at its first zero byte, as a zero-terminated text. 8191 characters
    // never take more than 4 bytes each, so only that many bytes are decoded.
    size = strnlen(bytes, size);
    const size_t limit = static_cast<size_t>(kConverterTextUnits - 1);
    const std::u16string text =
        platform::Utf8ToUtf16(std::string_view(bytes, std::min(size, 4 * limit)));
    return QString::fromStdU16String(text.substr(0, limit));
}

void ConvertToNtfsThread(std::unique_ptr<NtfsJob> job) {
    // 1. The output pipe, then the input pipe.
    // 2. The child's standard input is the input pipe's read end; its standard output and
    //    error the output pipe's write end (no window to hide here).
    // 3. Start the command line, resolved to our converter.
    // 4. Start the reader on the other two ends.
    // 5. Wait for the child; its exit code decides.
    // 6. In every case: close our ends (the reader then sees the end of the output), wait for
    //    the reader, post the outcome.
    std::unique_ptr<SimpleException> failure;
    std::shared_ptr<platform::CAnonymousPipe> output, input;
    std::thread reader;
    auto childEnded = std::make_shared<std::atomic<bool>>(false);
    try {
        int error = 0;
        output = platform::CAnonymousPipe::Create(kConverterPipeBytes, &error);
        if (!output) throw SimpleException(u"CreatePipe", 4, error);
        input = platform::CAnonymousPipe::Create(kConverterPipeBytes, &error);
        if (!input) throw SimpleException(u"CreatePipe", 4, error);

        platform::ChildStreams streams;
        streams.Input = input->ReadEnd();
        streams.Output = output->WriteEnd();
        streams.Error = output->WriteEnd();
        const std::u16string commandLine = ConverterCommandLine(job->DriveLetter, IsWindows2000());
        LogInfoA("Running: %ws", commandLine.c_str());
        std::unique_ptr<platform::CChildProcess> child = platform::CChildProcess::StartCommandLine(
            platform::Utf16ToUtf8(commandLine), streams, &error);
        if (!child) throw SimpleException(u"CreateProcess", 4, error);

        reader = std::thread(PipeReaderThread, std::make_unique<PipeReaderArgs>(PipeReaderArgs{
                                                   output, input, job->Page, childEnded}));

        const int exitCode = child->Wait();
        LogInfoA("The converter ended with exit code %d.", exitCode);
        if (exitCode != 0) {
            throw SimpleException(
                u"The converting is failed, more detail see the description in the Text Box.", 1);
        }
    } catch (const SimpleException& e) {
        if (e.Kind == 4) LogFailure(e);
        failure = std::make_unique<SimpleException>(e);
    }
    // The child's ends are of no use once it has ended (or never started).
    if (output) output->CloseWriteEnd();
    if (input) input->CloseReadEnd();
    *childEnded = true;
    if (reader.joinable()) reader.join();
    QCoreApplication::postEvent(job->Page, new ConvertDoneEvent(std::move(failure)));
}

void PipeReaderThread(std::unique_ptr<PipeReaderArgs> args) {
    // 1. The byte buffer.
    // 2. Until the output ends or a read fails (or, once the child has ended, the output
    //    stays quiet for a second): read a chunk; after the first, answer the label
    //    question once; show the chunk at the end of the details box.
    // 3. A failed answer is logged, not shown; the output is still shown to its end, and the
    //    input is closed, so a child that asks again reads the end of its input rather than
    //    waiting for ever.
    // 4. Our ends are closed when the arguments go.
    std::unique_ptr<char[]> buffer(new char[kConverterPipeBytes]);
    bool answered = false;
    int quietChecks = 0;  // checks 100 ms apart that found no output after the child ended
    for (;;) {
        int error = 0;
        const int ready = platform::WaitForReadable({args->Output->ReadEnd()}, 100, &error);
        if (ready == platform::kWaitFailed) break;
        if (ready == platform::kWaitTimedOut) {
            if (!*args->ChildEnded) continue;
            if (++quietChecks >= 10) break;
            continue;
        }
        quietChecks = 0;
        const long n = args->Output->Read(buffer.get(), kConverterPipeBytes - 1, &error);
        if (n <= 0) break;
        buffer[static_cast<size_t>(n)] = '\0';
        if (!answered) {
            answered = true;
            const std::string answer = LabelAnswer(args->Page->VolumeLabel);
            if (!args->Input->Write(answer.data(), answer.size(), &error)) {
                LogFailure(SimpleException(u"pipe WriteFile", 4, error));
            }
            args->Input->CloseWriteEnd();
        }
        args->Page->AppendOutput(OutputChunkText(buffer.get(), static_cast<size_t>(n)));
    }
    args->Output->CloseReadEnd();
    args->Input->CloseWriteEnd();
}
