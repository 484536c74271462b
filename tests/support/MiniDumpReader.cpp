#include "tests/support/MiniDumpReader.h"

#include <cstring>

#include "platform/TextEncoding.h"

namespace testsupport {

namespace {

class Reader {
public:
    Reader(const std::string& bytes, std::string* error) : Bytes(bytes), Error(error) {}

    bool Check(uint64_t rva, uint64_t size, const char* what) {
        if (rva + size <= Bytes.size()) return true;
        *Error = std::string(what) + " lies beyond the end of the file";
        return false;
    }
    template <typename T>
    bool Get(uint64_t rva, T* out, const char* what) {
        if (!Check(rva, sizeof(T), what)) return false;
        std::memcpy(out, Bytes.data() + rva, sizeof(T));
        return true;
    }
    bool Text(const DUMP_LOCATION& at, std::string* out, const char* what) {
        if (!Check(at.Rva, at.DataSize, what)) return false;
        out->assign(Bytes, at.Rva, at.DataSize);
        return true;
    }
    bool String(uint32_t rva, std::string* out, const char* what) {
        uint32_t length = 0;
        if (!Get(rva, &length, what) || !Check(rva + 4, length + 2ull, what)) return false;
        if (length % 2) {
            *Error = std::string(what) + " has an odd byte count";
            return false;
        }
        std::u16string text;
        for (uint32_t i = 0; i < length; i += 2)
            text.push_back(static_cast<char16_t>(static_cast<uint8_t>(Bytes[rva + 4 + i]) |
                                                 static_cast<uint8_t>(Bytes[rva + 5 + i]) << 8));
        if (Bytes[rva + 4 + length] != 0 || Bytes[rva + 5 + length] != 0) {
            *Error = std::string(what) + " is not terminated";
            return false;
        }
        *out = platform::Utf16ToUtf8(text);
        return true;
    }
    // A list stream: a 32-bit count, then the entries, filling the stream exactly.
    template <typename T>
    bool List(const DUMP_LOCATION& at, std::vector<T>* out, const char* what) {
        uint32_t count = 0;
        if (!Get(at.Rva, &count, what)) return false;
        if (at.DataSize != 4 + uint64_t{count} * sizeof(T)) {
            *Error = std::string(what) + ": size does not match its count";
            return false;
        }
        out->resize(count);
        for (uint32_t i = 0; i < count; ++i)
            if (!Get(at.Rva + 4 + uint64_t{i} * sizeof(T), &(*out)[i], what)) return false;
        return true;
    }

    const std::string& Bytes;
    std::string* Error;
};

std::string Hex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) {
        s.push_back(kHex[c >> 4]);
        s.push_back(kHex[c & 15]);
    }
    return s;
}

}  // namespace

const ParsedMiniDump::Module* ParsedMiniDump::ModuleAt(uint64_t address) const {
    for (const Module& m : Modules)
        if (address >= m.Base && address < m.Base + m.Size) return &m;
    return nullptr;
}

bool ParsedMiniDump::HasMemory(uint64_t address) const {
    for (const DUMP_MEMORY_RANGE& r : Memory)
        if (address >= r.StartOfMemoryRange && address < r.StartOfMemoryRange + r.Memory.DataSize)
            return true;
    return false;
}

bool ParseMiniDump(const std::string& bytes, ParsedMiniDump* d, std::string* error) {
    Reader r(bytes, error);
    if (!r.Get(0, &d->Header, "the header")) return false;
    if (d->Header.Signature != kDumpSignature || (d->Header.Version & 0xffff) != kDumpVersion) {
        *error = "not a minidump (signature or version)";
        return false;
    }
    for (uint32_t i = 0; i < d->Header.NumberOfStreams; ++i) {
        DUMP_DIRECTORY entry;
        if (!r.Get(d->Header.StreamDirectoryRva + uint64_t{i} * sizeof(entry), &entry, "the directory"))
            return false;
        if (!r.Check(entry.Location.Rva, entry.Location.DataSize, "a stream")) return false;
        if (d->Streams.count(entry.StreamType)) {
            *error = "stream " + std::to_string(entry.StreamType) + " appears twice";
            return false;
        }
        d->Streams[entry.StreamType] = entry.Location;
    }
    for (uint32_t type : {kStreamSystemInfo, kStreamMiscInfo, kStreamThreadList, kStreamModuleList,
                          kStreamMemoryList, kStreamException, kStreamLinuxProcStatus,
                          kStreamLinuxCmdLine, kStreamLinuxMaps}) {
        if (!d->Streams.count(type)) {
            *error = "stream " + std::to_string(type) + " is missing";
            return false;
        }
    }
    auto sized = [&](uint32_t type, size_t size, const char* what) {
        if (d->Streams[type].DataSize == size) return true;
        *error = std::string(what) + " has the wrong size";
        return false;
    };

    if (!sized(kStreamSystemInfo, sizeof(DUMP_SYSTEM_INFO), "the system information") ||
        !r.Get(d->Streams[kStreamSystemInfo].Rva, &d->SystemInfo, "the system information") ||
        !r.String(d->SystemInfo.CSDVersionRva, &d->SystemDescription, "the system description"))
        return false;

    DUMP_MISC_INFO misc;
    if (!sized(kStreamMiscInfo, sizeof(misc), "the process information") ||
        !r.Get(d->Streams[kStreamMiscInfo].Rva, &misc, "the process information"))
        return false;
    d->ProcessId = (misc.Flags1 & kMiscInfoProcessId) ? misc.ProcessId : 0;

    std::vector<DUMP_THREAD> threads;
    if (!r.List(d->Streams[kStreamThreadList], &threads, "the thread list")) return false;
    for (const DUMP_THREAD& t : threads) {
        ParsedMiniDump::Thread out;
        out.Id = t.ThreadId;
        if (t.ThreadContext.DataSize != sizeof(DUMP_CONTEXT_AMD64)) {
            *error = "a thread context has the wrong size";
            return false;
        }
        if (!r.Get(t.ThreadContext.Rva, &out.Context, "a thread context") ||
            !r.Text(t.Stack.Memory, &out.Stack, "a thread stack"))
            return false;
        out.StackStart = t.Stack.StartOfMemoryRange;
        d->Threads.push_back(out);
    }

    std::vector<DUMP_MODULE> modules;
    if (!r.List(d->Streams[kStreamModuleList], &modules, "the module list")) return false;
    for (const DUMP_MODULE& m : modules) {
        ParsedMiniDump::Module out;
        out.Base = m.BaseOfImage;
        out.Size = m.SizeOfImage;
        if (!r.String(m.ModuleNameRva, &out.Name, "a module name")) return false;
        if (m.CvRecord.DataSize) {
            std::string cv;
            uint32_t signature = 0;
            if (m.CvRecord.DataSize < 5 || !r.Text(m.CvRecord, &cv, "a CodeView record")) return false;
            std::memcpy(&signature, cv.data(), 4);
            if (signature != kCodeViewElfSignature) {
                *error = "a CodeView record is not of the ELF kind";
                return false;
            }
            out.BuildId = Hex(cv.substr(4));
        }
        d->Modules.push_back(out);
    }

    if (!r.List(d->Streams[kStreamMemoryList], &d->Memory, "the memory list")) return false;
    for (const DUMP_MEMORY_RANGE& m : d->Memory)
        if (!r.Check(m.Memory.Rva, m.Memory.DataSize, "a memory range")) return false;

    if (!sized(kStreamException, sizeof(DUMP_EXCEPTION_STREAM), "the exception stream") ||
        !r.Get(d->Streams[kStreamException].Rva, &d->Exception, "the exception stream"))
        return false;
    if (d->Exception.ThreadContext.DataSize != sizeof(DUMP_CONTEXT_AMD64) ||
        !r.Get(d->Exception.ThreadContext.Rva, &d->ExceptionContext, "the exception context")) {
        if (error->empty()) *error = "the exception context has the wrong size";
        return false;
    }

    return r.Text(d->Streams[kStreamLinuxMaps], &d->Maps, "the maps") &&
           r.Text(d->Streams[kStreamLinuxProcStatus], &d->Status, "the status") &&
           r.Text(d->Streams[kStreamLinuxCmdLine], &d->CmdLine, "the command line");
}

}  // namespace testsupport
