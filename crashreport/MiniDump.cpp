#include "crashreport/MiniDump.h"

#include <cpuid.h>
#include <elf.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include "platform/OutputFile.h"
#include "platform/TextEncoding.h"

namespace {

// How far below rsp a thread's stack is taken: the x86_64 red zone, which a leaf function
// uses without moving rsp.
constexpr uint64_t kRedZone = 128;
// A stack pointer this far below the start of a mapping still belongs to it (a thread whose
// stack overflowed points into the guard gap below its stack).
constexpr uint64_t kGuardGap = 64 * 1024;

uint64_t ParseHex(const std::string& s) { return std::strtoull(s.c_str(), nullptr, 16); }

}  // namespace

uint32_t CMiniDumpWriter::Append(const void* data, size_t size) {
    const uint32_t rva = static_cast<uint32_t>(Bytes_.size());
    const uint8_t* p = static_cast<const uint8_t*>(data);
    Bytes_.insert(Bytes_.end(), p, p + size);
    return rva;
}

void CMiniDumpWriter::Align() {
    while (Bytes_.size() % 8) Bytes_.push_back(0);
}

uint32_t CMiniDumpWriter::AppendString(const std::string& utf8) {
    Align();
    const std::u16string text = platform::Utf8ToUtf16(utf8);
    const uint32_t bytes = static_cast<uint32_t>(text.size() * 2);
    const uint32_t rva = Append(&bytes, 4);
    for (char16_t c : text) {
        const uint8_t le[2] = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)};
        Append(le, 2);
    }
    const uint16_t terminator = 0;
    Append(&terminator, 2);
    return rva;
}

void CMiniDumpWriter::AddStream(uint32_t type, uint32_t rva, uint32_t size) {
    Directory_.push_back(DUMP_DIRECTORY{type, DUMP_LOCATION{size, rva}});
}

const CMiniDumpWriter::Mapping* CMiniDumpWriter::MappingOf(uint64_t address) const {
    for (const Mapping& m : Maps_)
        if (address >= m.Start && address < m.End) return &m;
    return nullptr;
}

bool CMiniDumpWriter::AppendMemory(uint64_t start, uint64_t end, DUMP_MEMORY_RANGE* range) {
    *range = DUMP_MEMORY_RANGE{start, DUMP_LOCATION{0, 0}};
    if (end <= start) return false;
    Align();
    std::vector<uint8_t> bytes(end - start);
    const size_t got = Process_.ReadMemory(start, bytes.data(), bytes.size());
    if (got == 0) return false;
    range->Memory.Rva = Append(bytes.data(), got);
    range->Memory.DataSize = static_cast<uint32_t>(got);
    return true;
}

uint32_t CMiniDumpWriter::AppendContext(const platform::ThreadRegisters& r) {
    DUMP_CONTEXT_AMD64 c;
    std::memset(&c, 0, sizeof(c));
    c.ContextFlags = kContextControl | kContextInteger | kContextSegments;
    c.SegCs = r.Cs; c.SegDs = r.Ds; c.SegEs = r.Es; c.SegFs = r.Fs; c.SegGs = r.Gs; c.SegSs = r.Ss;
    c.EFlags = static_cast<uint32_t>(r.Rflags);
    c.Rax = r.Rax; c.Rcx = r.Rcx; c.Rdx = r.Rdx; c.Rbx = r.Rbx;
    c.Rsp = r.Rsp; c.Rbp = r.Rbp; c.Rsi = r.Rsi; c.Rdi = r.Rdi;
    c.R8 = r.R8; c.R9 = r.R9; c.R10 = r.R10; c.R11 = r.R11;
    c.R12 = r.R12; c.R13 = r.R13; c.R14 = r.R14; c.R15 = r.R15;
    c.Rip = r.Rip;
    if (r.HasFxSave) {
        c.ContextFlags |= kContextFloatingPoint;
        std::memcpy(c.FltSave, r.FxSave, sizeof(c.FltSave));
        std::memcpy(&c.MxCsr, r.FxSave + 24, 4);  // FXSAVE keeps mxcsr at byte 24
    }
    Align();
    return Append(&c, sizeof(c));
}

void CMiniDumpWriter::WriteSystemInfo() {
    DUMP_SYSTEM_INFO s;
    std::memset(&s, 0, sizeof(s));
    s.ProcessorArchitecture = kArchitectureAmd64;
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(0, &eax, &ebx, &ecx, &edx)) {
        s.VendorId[0] = ebx;
        s.VendorId[1] = edx;
        s.VendorId[2] = ecx;
    }
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        s.VersionInformation = eax;
        s.FeatureInformation = edx;
        unsigned family = (eax >> 8) & 0xf, model = (eax >> 4) & 0xf;
        if (family == 0xf) family += (eax >> 20) & 0xff;
        if (family >= 6) model |= ((eax >> 16) & 0xf) << 4;
        s.ProcessorLevel = static_cast<uint16_t>(family);
        s.ProcessorRevision = static_cast<uint16_t>((model << 8) | (eax & 0xf));
    }
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    s.NumberOfProcessors = static_cast<uint8_t>(std::clamp(cpus, 1L, 255L));
    s.PlatformId = kPlatformLinux;
    utsname u;
    std::string description = "Linux";
    if (uname(&u) == 0) {
        unsigned major = 0, minor = 0, build = 0;
        std::sscanf(u.release, "%u.%u.%u", &major, &minor, &build);
        s.MajorVersion = major;
        s.MinorVersion = minor;
        s.BuildNumber = build;
        description = std::string("Linux ") + u.release + " " + u.version + " " + u.machine;
    }
    s.CSDVersionRva = AppendString(description);
    Align();
    const uint32_t rva = Append(&s, sizeof(s));
    AddStream(kStreamSystemInfo, rva, sizeof(s));
}

void CMiniDumpWriter::WriteMiscInfo() {
    DUMP_MISC_INFO m;
    std::memset(&m, 0, sizeof(m));
    m.SizeOfInfo = sizeof(m);
    m.Flags1 = kMiscInfoProcessId;
    m.ProcessId = static_cast<uint32_t>(Process_.Pid());
    Align();
    const uint32_t rva = Append(&m, sizeof(m));
    AddStream(kStreamMiscInfo, rva, sizeof(m));
}

void CMiniDumpWriter::WriteThreadsAndMemory() {
    // 1. Every thread: its registers (the crashing thread's from its signal, with the segment
    //    bases ptrace adds), its stack.
    // 2. The thread list, the memory list (stacks and the code around the crash), the
    //    exception stream pointing at the crashing thread's context.
    std::vector<platform::CTracedProcess::Thread> threads = Process_.Threads();
    bool crashListed = false;
    for (auto& t : threads) {
        if (t.Id != Crash_.ThreadId) continue;
        crashListed = true;
        platform::ThreadRegisters regs = Crash_.Registers;
        if (t.Stopped) {
            regs.FsBase = t.Registers.FsBase;
            regs.GsBase = t.Registers.GsBase;
            regs.Ds = t.Registers.Ds;
            regs.Es = t.Registers.Es;
            regs.Ss = t.Registers.Ss;
        }
        t.Registers = regs;
        t.Stopped = true;
    }
    if (!crashListed) {
        platform::CTracedProcess::Thread t;
        t.Id = Crash_.ThreadId;
        t.Stopped = true;
        t.Registers = Crash_.Registers;
        threads.insert(threads.begin(), t);
    }

    std::vector<DUMP_THREAD> entries;
    std::vector<DUMP_MEMORY_RANGE> memory;
    uint32_t crashContext = 0;
    for (const auto& t : threads) {
        DUMP_THREAD e;
        std::memset(&e, 0, sizeof(e));
        e.ThreadId = static_cast<uint32_t>(t.Id);
        if (t.Stopped) {
            e.Teb = t.Registers.FsBase;
            e.ThreadContext.Rva = AppendContext(t.Registers);
            e.ThreadContext.DataSize = sizeof(DUMP_CONTEXT_AMD64);
            const uint64_t sp = t.Registers.Rsp;
            const Mapping* m = MappingOf(sp);
            if (!m) {
                for (const Mapping& c : Maps_)
                    if (c.Start > sp && c.Start - sp <= kGuardGap) { m = &c; break; }
            }
            if (m) {
                const uint64_t start = std::max(m->Start, sp >= kRedZone ? sp - kRedZone : 0);
                const uint64_t end = std::min(m->End, start + kDumpStackBytes);
                if (AppendMemory(start, end, &e.Stack)) memory.push_back(e.Stack);
            }
        } else {
            // Not stopped: no registers to give; the context says so by its empty flags.
            DUMP_CONTEXT_AMD64 c;
            std::memset(&c, 0, sizeof(c));
            c.ContextFlags = kContextAmd64;
            Align();
            e.ThreadContext.Rva = Append(&c, sizeof(c));
            e.ThreadContext.DataSize = sizeof(c);
        }
        if (t.Id == Crash_.ThreadId) crashContext = e.ThreadContext.Rva;
        entries.push_back(e);
    }

    // The code around the crashing instruction, for disassembly.
    const uint64_t ip = Crash_.Registers.Rip;
    if (const Mapping* m = MappingOf(ip)) {
        const uint64_t start = std::max(m->Start, ip >= kDumpCodeBytes / 2 ? ip - kDumpCodeBytes / 2 : 0);
        const uint64_t end = std::min(m->End, start + kDumpCodeBytes);
        DUMP_MEMORY_RANGE code;
        bool insideStack = false;
        for (const DUMP_MEMORY_RANGE& r : memory)
            if (start < r.StartOfMemoryRange + r.Memory.DataSize && end > r.StartOfMemoryRange)
                insideStack = true;
        if (!insideStack && AppendMemory(start, end, &code)) memory.push_back(code);
    }

    Align();
    const uint32_t count = static_cast<uint32_t>(entries.size());
    uint32_t rva = Append(&count, 4);
    for (const DUMP_THREAD& e : entries) Append(&e, sizeof(e));
    AddStream(kStreamThreadList, rva, static_cast<uint32_t>(4 + entries.size() * sizeof(DUMP_THREAD)));

    Align();
    const uint32_t ranges = static_cast<uint32_t>(memory.size());
    rva = Append(&ranges, 4);
    for (const DUMP_MEMORY_RANGE& r : memory) Append(&r, sizeof(r));
    AddStream(kStreamMemoryList, rva, static_cast<uint32_t>(4 + memory.size() * sizeof(DUMP_MEMORY_RANGE)));

    DUMP_EXCEPTION_STREAM x;
    std::memset(&x, 0, sizeof(x));
    x.ThreadId = static_cast<uint32_t>(Crash_.ThreadId);
    x.ExceptionRecord.ExceptionCode = static_cast<uint32_t>(Crash_.Signal);
    x.ExceptionRecord.ExceptionFlags = static_cast<uint32_t>(Crash_.Code);
    x.ExceptionRecord.ExceptionAddress = Crash_.FaultAddress;
    x.ThreadContext = DUMP_LOCATION{sizeof(DUMP_CONTEXT_AMD64), crashContext};
    Align();
    rva = Append(&x, sizeof(x));
    AddStream(kStreamException, rva, sizeof(x));
}

std::vector<uint8_t> CMiniDumpWriter::BuildId(uint64_t base) const {
    // 1. The ELF header at the base and its program headers.
    // 2. The load bias: the base minus the page of the lowest loadable segment.
    // 3. Each note segment: the GNU build-id note's descriptor.
    Elf64_Ehdr eh;
    if (Process_.ReadMemory(base, &eh, sizeof(eh)) != sizeof(eh)) return {};
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_phentsize != sizeof(Elf64_Phdr) || eh.e_phnum == 0 || eh.e_phnum > 256)
        return {};
    std::vector<Elf64_Phdr> ph(eh.e_phnum);
    const size_t phBytes = ph.size() * sizeof(Elf64_Phdr);
    if (Process_.ReadMemory(base + eh.e_phoff, ph.data(), phBytes) != phBytes) return {};
    uint64_t lowest = UINT64_MAX;
    for (const Elf64_Phdr& p : ph)
        if (p.p_type == PT_LOAD) lowest = std::min(lowest, p.p_vaddr & ~uint64_t{4095});
    if (lowest == UINT64_MAX) return {};
    const uint64_t bias = base - lowest;
    for (const Elf64_Phdr& p : ph) {
        if (p.p_type != PT_NOTE || p.p_memsz == 0 || p.p_memsz > 65536) continue;
        std::vector<uint8_t> notes(p.p_memsz);
        if (Process_.ReadMemory(bias + p.p_vaddr, notes.data(), notes.size()) != notes.size()) continue;
        size_t at = 0;
        while (at + sizeof(Elf64_Nhdr) <= notes.size()) {
            Elf64_Nhdr nh;
            std::memcpy(&nh, notes.data() + at, sizeof(nh));
            const size_t name = at + sizeof(nh);
            const size_t desc = name + ((nh.n_namesz + 3u) & ~3u);
            const size_t next = desc + ((nh.n_descsz + 3u) & ~3u);
            if (next > notes.size() || desc + nh.n_descsz > notes.size()) break;
            if (nh.n_type == NT_GNU_BUILD_ID && nh.n_namesz == 4 &&
                std::memcmp(notes.data() + name, "GNU", 4) == 0)
                return std::vector<uint8_t>(notes.begin() + static_cast<long>(desc),
                                            notes.begin() + static_cast<long>(desc + nh.n_descsz));
            at = next;
        }
    }
    return {};
}

void CMiniDumpWriter::WriteModules() {
    // A module is a file whose offset-0 mapping starts with an ELF header; it spans up to the
    // end of the last mapping of the same file that follows.
    struct Found {
        uint64_t Base, End;
        std::string Path;
    };
    std::vector<Found> modules;
    for (size_t i = 0; i < Maps_.size(); ++i) {
        const Mapping& m = Maps_[i];
        if (m.Offset != 0 || m.Inode == 0 || m.Path.empty() || m.Path[0] != '/' || !m.Readable)
            continue;
        char magic[SELFMAG];
        if (Process_.ReadMemory(m.Start, magic, SELFMAG) != SELFMAG ||
            std::memcmp(magic, ELFMAG, SELFMAG) != 0)
            continue;
        Found f{m.Start, m.End, m.Path};
        for (size_t j = i + 1; j < Maps_.size(); ++j) {
            const Mapping& n = Maps_[j];
            if (n.Path == m.Path && n.Inode == m.Inode) {
                if (n.Offset == 0) break;  // the same file mapped once more: a module of its own
                f.End = n.End;
            }
        }
        modules.push_back(f);
    }
    std::vector<DUMP_MODULE> entries;
    for (const Found& f : modules) {
        DUMP_MODULE e;
        std::memset(&e, 0, sizeof(e));
        e.BaseOfImage = f.Base;
        e.SizeOfImage = static_cast<uint32_t>(std::min<uint64_t>(f.End - f.Base, UINT32_MAX));
        e.VersionInfo.Signature = kFixedFileInfoSignature;
        e.ModuleNameRva = AppendString(f.Path);
        const std::vector<uint8_t> id = BuildId(f.Base);
        if (!id.empty()) {
            Align();
            e.CvRecord.Rva = Append(&kCodeViewElfSignature, 4);
            Append(id.data(), id.size());
            e.CvRecord.DataSize = static_cast<uint32_t>(4 + id.size());
        }
        entries.push_back(e);
    }
    Align();
    const uint32_t count = static_cast<uint32_t>(entries.size());
    const uint32_t rva = Append(&count, 4);
    for (const DUMP_MODULE& e : entries) Append(&e, sizeof(e));
    AddStream(kStreamModuleList, rva, static_cast<uint32_t>(4 + entries.size() * sizeof(DUMP_MODULE)));
}

void CMiniDumpWriter::WriteProcFile(uint32_t type, const char* name) {
    std::string text;
    if (!Process_.ReadProcFile(name, &text)) return;
    Align();
    const uint32_t rva = Append(text.data(), text.size());
    AddStream(type, rva, static_cast<uint32_t>(text.size()));
}

void CMiniDumpWriter::Build() {
    // 1. The header's place; the process's mappings.
    // 2. The streams, each 8-byte aligned.
    // 3. The directory at the end, and the header pointing at it.
    Bytes_.clear();
    Directory_.clear();
    Maps_.clear();
    Bytes_.resize(sizeof(DUMP_HEADER));
    std::string maps;
    Process_.ReadProcFile("maps", &maps);
    std::istringstream lines(maps);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        std::string range, perms, offset, dev, inode, path;
        f >> range >> perms >> offset >> dev >> inode;
        std::getline(f >> std::ws, path);
        const size_t dash = range.find('-');
        if (dash == std::string::npos) continue;
        Mapping m;
        m.Start = ParseHex(range.substr(0, dash));
        m.End = ParseHex(range.substr(dash + 1));
        m.Offset = ParseHex(offset);
        m.Inode = std::strtoull(inode.c_str(), nullptr, 10);
        m.Readable = !perms.empty() && perms[0] == 'r';
        m.Path = path;
        Maps_.push_back(m);
    }

    WriteSystemInfo();
    WriteMiscInfo();
    WriteThreadsAndMemory();
    WriteModules();
    WriteProcFile(kStreamLinuxProcStatus, "status");
    WriteProcFile(kStreamLinuxCmdLine, "cmdline");
    Align();
    const uint32_t mapsRva = Append(maps.data(), maps.size());
    AddStream(kStreamLinuxMaps, mapsRva, static_cast<uint32_t>(maps.size()));

    Align();
    const uint32_t directory = static_cast<uint32_t>(Bytes_.size());
    for (const DUMP_DIRECTORY& d : Directory_) Append(&d, sizeof(d));
    DUMP_HEADER h;
    std::memset(&h, 0, sizeof(h));
    h.Signature = kDumpSignature;
    h.Version = kDumpVersion;
    h.NumberOfStreams = static_cast<uint32_t>(Directory_.size());
    h.StreamDirectoryRva = directory;
    h.TimeDateStamp = static_cast<uint32_t>(std::time(nullptr));
    std::memcpy(Bytes_.data(), &h, sizeof(h));
}

bool CMiniDumpWriter::Write(const std::string& path, std::string* error) {
    Build();
    const std::string part = path + ".part";
    platform::COutputFile out;
    int code = 0;
    if (!out.Open(part, platform::FileOpen::Truncate, &code) ||
        !out.Write(Bytes_.data(), Bytes_.size(), &code)) {
        if (error) *error = "cannot write " + part + ": " + std::strerror(code);
        out.Close();
        std::remove(part.c_str());
        return false;
    }
    out.Close();
    if (std::rename(part.c_str(), path.c_str()) != 0) {
        if (error) *error = "cannot rename " + part + " to " + path + ": " + std::strerror(errno);
        std::remove(part.c_str());
        return false;
    }
    return true;
}
