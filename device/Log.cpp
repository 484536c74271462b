#include "device/Log.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <mutex>
#include <new>

#include "device/LogFormat.h"
#include "platform/DebugOutput.h"
#include "platform/SharedSegment.h"
#include "platform/TextEncoding.h"

static_assert(std::endian::native == std::endian::little,
              "the shared log header's Count is little-endian and is used in place");

// ---- CFileLog ----

int CFileLog::OpenW(const char16_t* fileName) {
    if (!fileName) return 0;
    return File.Open(platform::Utf16ToUtf8(fileName), platform::FileOpen::Truncate) ? 1 : 0;
}

int CFileLog::OpenA(const char* fileName) {
    if (!fileName) return 0;
    return File.Open(fileName, platform::FileOpen::Truncate) ? 1 : 0;
}

int CFileLog::Write(const void* bytes, uint32_t count) {
    if (!File.IsOpen()) return count == 0;
    if (count == 0) return 1;
    return bytes && File.Write(bytes, count) ? 1 : 0;
}

// ---- CFMappingLog ----

std::unique_ptr<CFMappingLog> CFMappingLog::OpenClient(const SharedLogNames& names) {
    // 1. Attach to the buffer the server made; without one the log has no view.
    // 2. Create or open the mutex.
    // Count is left as it stands: lines another process wrote and the server has not
    // drained yet belong to the server, not to whoever attaches next.
    std::unique_ptr<CFMappingLog> log(new CFMappingLog);
    log->Names = names;
    log->Mapping = platform::CSharedSegment::Open(names.mapping, kSharedLogBytes,
                                                  platform::SegmentOpen::OpenExisting);
    if (log->Mapping) {
        log->Header = static_cast<SharedLogHeader*>(log->Mapping->Data());
        log->Capacity = kSharedLogBytes;
    }
    log->Mutex = platform::CSharedMutex::Open(names.mutex);
    return log;
}

std::unique_ptr<CFMappingLog> CFMappingLog::CreateServer(const SharedLogNames& names) {
    std::unique_ptr<CFMappingLog> log(new CFMappingLog);
    log->Names = names;
    log->Server = true;
    log->Mapping = platform::CSharedSegment::Open(names.mapping, kSharedLogBytes,
                                                  platform::SegmentOpen::CreateOrOpen);
    log->Mutex = platform::CSharedMutex::Open(names.mutex);
    if (!log->Mapping || !log->Mutex) return nullptr;
    log->Header = static_cast<SharedLogHeader*>(log->Mapping->Data());
    log->Capacity = kSharedLogBytes;
    // A buffer left by an earlier server may still hold bytes nobody will drain.
    platform::CSharedMutexGuard guard(log->Mutex.get(), kSharedLogTimeoutMs);
    log->Header->Count = 0;
    return log;
}

CFMappingLog::~CFMappingLog() {
    Header = nullptr;
    Mapping.reset();
    Mutex.reset();
    if (Server) {
        platform::CSharedSegment::Remove(Names.mapping);
        platform::CSharedMutex::Remove(Names.mutex);
    }
}

int CFMappingLog::Write(const void* bytes, uint32_t count) {
    // 1. No view: dropped. 2. Mutex not obtained in time: dropped.
    // 3. The bytes fit whole: appended. 4. Otherwise dropped whole, never cut.
    if (!Header || !Mutex) return 0;
    platform::CSharedMutexGuard guard(Mutex.get(), kSharedLogTimeoutMs);
    if (!guard.Locked()) return 0;
    const uint64_t pending = Header->Count;
    const uint64_t room = Capacity - sizeof(SharedLogHeader);
    // A Count beyond the buffer (a damaged or foreign segment) takes nothing more; the
    // server's next drain resets it.
    if (!bytes || count == 0 || pending > room || pending + count > room) return 0;
    std::memcpy(reinterpret_cast<unsigned char*>(Header) + sizeof(SharedLogHeader) + pending, bytes, count);
    Header->Count = static_cast<uint32_t>(pending + count);
    return 1;
}

bool CFMappingLog::Drain(std::string* out) {
    if (!Header || !Mutex) return false;
    platform::CSharedMutexGuard guard(Mutex.get(), kSharedLogTimeoutMs);
    if (!guard.Locked()) return false;
    const uint32_t pending = Header->Count;
    if (pending <= Capacity - sizeof(SharedLogHeader) && out)
        out->append(reinterpret_cast<const char*>(Header) + sizeof(SharedLogHeader), pending);
    Header->Count = 0;
    return true;
}

// ---- Process-wide state ----

namespace {

struct LogState {
    std::mutex choice;                  // guards choosing the sink and the client's names
    std::atomic<ILog*> current{nullptr};
    std::atomic<int> minLevel{0};
    SharedLogNames clientNames;
    std::atomic<void (*)(int, const char*)> echo{nullptr};
};

LogState& State() {
    static LogState* state = new LogState;  // never destroyed: logging may outlive statics
    return *state;
}

// The current sink; at the first line without one, DefaultLog.log in the current directory.
ILog* CurrentSink() {
    LogState& st = State();
    ILog* sink = st.current.load(std::memory_order_acquire);
    if (sink) return sink;
    std::lock_guard<std::mutex> lock(st.choice);
    sink = st.current.load(std::memory_order_acquire);
    if (!sink) {
        sink = GetLogSink(0);
        sink->OpenA("DefaultLog.log");
        st.minLevel.store(0);
        st.current.store(sink, std::memory_order_release);
    }
    return sink;
}

// Writes one finished line (UTF-8, without CR LF) where its level sends it.
void Emit(int level, std::string* text) {
    CutUtf8(text, kLogTextLimit);
    std::string line = *text + "\r\n";
    if (level == 0 || level == 1) {
        platform::DebugOutput(line.data(), line.size());
    } else if (level >= 2 && level <= 4) {
        State().current.load(std::memory_order_acquire)->Write(line.data(), static_cast<uint32_t>(line.size()));
    }
    if (level == 3 || level == 4) {
        if (auto echo = State().echo.load()) echo(level, text->c_str());
    }
}

// Whether a line of this level goes anywhere; chooses the sink on first use.
bool Wanted(int level) {
    CurrentSink();
    if (level < State().minLevel.load()) return false;
    if (level < 0 || level > 4) return false;
    if (level <= 1 && !platform::DebugOutputEnabled()) return false;
    return true;
}

}  // namespace

ILog* GetLogSink(int kind) {
    if (kind == 0) {
        static CFileLog* fileLog = new CFileLog;
        return fileLog;
    }
    if (kind == 1) {
        static CFMappingLog* mappingLog = [] {
            SharedLogNames names;
            {
                std::lock_guard<std::mutex> lock(State().choice);
                names = State().clientNames;
            }
            return CFMappingLog::OpenClient(names).release();
        }();
        return mappingLog;
    }
    return nullptr;
}

void SetSharedLogNames(const SharedLogNames& names) {
    std::lock_guard<std::mutex> lock(State().choice);
    State().clientNames = names;
}

void UseSharedLog() {
    ILog* sink = GetLogSink(1);  // outside the lock: making it reads the names under it
    LogState& st = State();
    std::lock_guard<std::mutex> lock(st.choice);
    if (st.current.load()) return;
    sink->OpenW(u"");
    st.minLevel.store(2);
    st.current.store(sink, std::memory_order_release);
}

bool UseFileLog(const char* path) {
    LogState& st = State();
    std::lock_guard<std::mutex> lock(st.choice);
    if (st.current.load()) return false;
    ILog* sink = GetLogSink(0);
    bool opened = sink->OpenA(path) != 0;
    st.minLevel.store(0);
    st.current.store(sink, std::memory_order_release);
    return opened;
}

void SetLogEcho(void (*echo)(int level, const char* utf8Line)) { State().echo.store(echo); }

void LogLineAV(int level, const char* format, va_list args) {
    if (!Wanted(level)) return;
    std::string text = FormatTextA(kLogTextLimit, format, args);
    Emit(level, &text);
}

void LogLineWV(int level, const char16_t* format, va_list args) {
    if (!Wanted(level)) return;
    std::u16string wide = FormatTextW(kLogTextLimit, format, args);
    std::string text = platform::Utf16ToUtf8(wide);
    Emit(level, &text);
}

#define VELUNDRA_LOG_FORWARD(name, level, Char, Impl) \
    void name(const Char* format, ...) {              \
        va_list ap;                                   \
        va_start(ap, format);                         \
        Impl(level, format, ap);                      \
        va_end(ap);                                   \
    }

void LogLineA(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    LogLineAV(level, format, ap);
    va_end(ap);
}

void LogLineW(int level, const char16_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    LogLineWV(level, format, ap);
    va_end(ap);
}

VELUNDRA_LOG_FORWARD(LogInfoA, 2, char, LogLineAV)
VELUNDRA_LOG_FORWARD(LogWarnA, 3, char, LogLineAV)
VELUNDRA_LOG_FORWARD(LogWarnW, 3, char16_t, LogLineWV)
VELUNDRA_LOG_FORWARD(LogErrorA, 4, char, LogLineAV)
VELUNDRA_LOG_FORWARD(LogErrorW, 4, char16_t, LogLineWV)

#undef VELUNDRA_LOG_FORWARD
