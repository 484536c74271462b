// The minidump file a crashed wizard leaves beside the executable ("dump0.dmp"), in the
// format debuggers that read minidumps understand (lldb: `lldb -c dump0.dmp velundra`).
//
// A dump is a header, a directory of streams and the streams' data, all little-endian, every
// structure packed to 4 bytes as the format lays it out. RVAs are byte offsets from the start
// of the file. Streams written here:
//  - system information (x86_64, Linux, the kernel's version),
//  - process information (the process id),
//  - the thread list: each thread's id, registers (the x86_64 context) and stack memory,
//  - the module list: each mapped ELF file with its base, size, path and build id (a
//    CodeView record of the ELF kind, which debuggers match against the binary),
//  - the memory list: the thread stacks and the code around the crashing instruction,
//  - the exception: the signal, its code, the faulting address and the crashing thread,
//  - the Linux streams: /proc/<pid>/maps, status and cmdline as the kernel gives them.
//
// CMiniDumpWriter runs in the crash-dump helper, never in the crashed process.
//
// Ownership: the writer reads through the CTracedProcess it is given and owns the bytes it
// builds. Threads: one writer per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/CrashSignals.h"
#include "platform/ProcessTrace.h"

// "MDMP".
inline constexpr uint32_t kDumpSignature = 0x504d444d;
// The format's version in the low 16 bits of DUMP_HEADER::Version.
inline constexpr uint32_t kDumpVersion = 0xa793;

// Stream types.
enum DumpStreamType : uint32_t {
    kStreamThreadList = 3,
    kStreamModuleList = 4,
    kStreamMemoryList = 5,
    kStreamException = 6,
    kStreamSystemInfo = 7,
    kStreamMiscInfo = 15,
    // The Linux streams: the raw text of /proc/<pid>/status, cmdline and maps.
    kStreamLinuxProcStatus = 0x47670004,
    kStreamLinuxCmdLine = 0x47670006,
    kStreamLinuxMaps = 0x47670009,
};

// System information values.
inline constexpr uint16_t kArchitectureAmd64 = 9;
inline constexpr uint32_t kPlatformLinux = 0x8201;

// Context flags of the x86_64 context: the architecture bit and the register groups present.
inline constexpr uint32_t kContextAmd64 = 0x00100000;
inline constexpr uint32_t kContextControl = kContextAmd64 | 0x1;        // rip, rsp, cs, ss, eflags
inline constexpr uint32_t kContextInteger = kContextAmd64 | 0x2;        // rax .. r15, rbp
inline constexpr uint32_t kContextSegments = kContextAmd64 | 0x4;       // ds, es, fs, gs
inline constexpr uint32_t kContextFloatingPoint = kContextAmd64 | 0x8;  // FXSAVE area, mxcsr

// CodeView record signature of an ELF build id ("BpEL"), followed by the id's bytes.
inline constexpr uint32_t kCodeViewElfSignature = 0x4270454c;
// VS_FIXEDFILEINFO's signature; the module's version block carries nothing else.
inline constexpr uint32_t kFixedFileInfoSignature = 0xfeef04bd;
// DUMP_MISC_INFO::Flags1: ProcessId is valid.
inline constexpr uint32_t kMiscInfoProcessId = 0x1;

#pragma pack(push, 4)

// Where something lies in the file.
struct DUMP_LOCATION {
    uint32_t DataSize;  // bytes
    uint32_t Rva;       // offset from the start of the file
};
static_assert(sizeof(DUMP_LOCATION) == 8);

// A range of the process's memory and where its bytes lie in the file.
struct DUMP_MEMORY_RANGE {
    uint64_t StartOfMemoryRange;  // address in the process
    DUMP_LOCATION Memory;         // its bytes in the file
};
static_assert(sizeof(DUMP_MEMORY_RANGE) == 16);
static_assert(offsetof(DUMP_MEMORY_RANGE, Memory) == 8);

// The file's first 32 bytes.
struct DUMP_HEADER {
    uint32_t Signature;           // kDumpSignature
    uint32_t Version;             // kDumpVersion; the high 16 bits are the writer's own (0)
    uint32_t NumberOfStreams;     // entries in the directory
    uint32_t StreamDirectoryRva;  // where the directory lies
    uint32_t CheckSum;            // 0: not computed
    uint32_t TimeDateStamp;       // when the dump was written, seconds since 1970 UTC
    uint64_t Flags;               // dump kind; 0 is a normal dump
};
static_assert(sizeof(DUMP_HEADER) == 32);
static_assert(offsetof(DUMP_HEADER, StreamDirectoryRva) == 12);
static_assert(offsetof(DUMP_HEADER, Flags) == 24);

// One directory entry.
struct DUMP_DIRECTORY {
    uint32_t StreamType;     // DumpStreamType
    DUMP_LOCATION Location;  // the stream's bytes
};
static_assert(sizeof(DUMP_DIRECTORY) == 12);

// The system information stream.
struct DUMP_SYSTEM_INFO {
    uint16_t ProcessorArchitecture;  // kArchitectureAmd64
    uint16_t ProcessorLevel;         // CPU family
    uint16_t ProcessorRevision;      // model in the high byte, stepping in the low byte
    uint8_t NumberOfProcessors;      // online processors (255 at most)
    uint8_t ProductType;             // 0: not a Windows product
    uint32_t MajorVersion;           // kernel release, first number
    uint32_t MinorVersion;           // second number
    uint32_t BuildNumber;            // third number
    uint32_t PlatformId;             // kPlatformLinux
    uint32_t CSDVersionRva;          // a DUMP_STRING: "Linux <release> <version> <machine>"
    uint16_t SuiteMask;              // 0
    uint16_t Reserved2;              // 0
    uint32_t VendorId[3];            // CPUID 0: the vendor string (ebx, edx, ecx)
    uint32_t VersionInformation;     // CPUID 1: eax
    uint32_t FeatureInformation;     // CPUID 1: edx
    uint32_t AmdExtendedCpuFeatures; // CPUID 0x80000001: ebx on AMD, else 0
};
static_assert(sizeof(DUMP_SYSTEM_INFO) == 56);
static_assert(offsetof(DUMP_SYSTEM_INFO, MajorVersion) == 8);
static_assert(offsetof(DUMP_SYSTEM_INFO, PlatformId) == 20);
static_assert(offsetof(DUMP_SYSTEM_INFO, CSDVersionRva) == 24);
static_assert(offsetof(DUMP_SYSTEM_INFO, VendorId) == 32);

// The process information stream in its first, shortest form.
struct DUMP_MISC_INFO {
    uint32_t SizeOfInfo;         // sizeof(DUMP_MISC_INFO)
    uint32_t Flags1;             // kMiscInfoProcessId
    uint32_t ProcessId;          // the crashed process
    uint32_t ProcessCreateTime;  // 0: not recorded
    uint32_t ProcessUserTime;    // 0: not recorded
    uint32_t ProcessKernelTime;  // 0: not recorded
};
static_assert(sizeof(DUMP_MISC_INFO) == 24);

// A 128-bit register.
struct DUMP_UINT128 {
    uint64_t Low;   // bits 0..63
    uint64_t High;  // bits 64..127
};
static_assert(sizeof(DUMP_UINT128) == 16);

// One thread's registers on x86_64.
struct DUMP_CONTEXT_AMD64 {
    uint64_t HomeSpace[6];     // unused here, 0
    uint32_t ContextFlags;     // which groups below are valid (kContext*)
    uint32_t MxCsr;            // SSE control and status
    uint16_t SegCs;            // code segment
    uint16_t SegDs;            // data segments
    uint16_t SegEs;
    uint16_t SegFs;
    uint16_t SegGs;
    uint16_t SegSs;            // stack segment
    uint32_t EFlags;           // flags register
    uint64_t Dr0, Dr1, Dr2, Dr3, Dr6, Dr7;  // debug registers, 0
    uint64_t Rax, Rcx, Rdx, Rbx;            // general registers, in the format's order
    uint64_t Rsp, Rbp, Rsi, Rdi;
    uint64_t R8, R9, R10, R11, R12, R13, R14, R15;
    uint64_t Rip;              // instruction pointer
    uint8_t FltSave[512];      // x87 and SSE state in the FXSAVE layout
    DUMP_UINT128 VectorRegister[26];  // unused, 0
    uint64_t VectorControl;           // unused, 0
    uint64_t DebugControl;            // last-branch registers, 0
    uint64_t LastBranchToRip;
    uint64_t LastBranchFromRip;
    uint64_t LastExceptionToRip;
    uint64_t LastExceptionFromRip;
};
static_assert(sizeof(DUMP_CONTEXT_AMD64) == 1232);
static_assert(offsetof(DUMP_CONTEXT_AMD64, ContextFlags) == 0x30);
static_assert(offsetof(DUMP_CONTEXT_AMD64, SegCs) == 0x38);
static_assert(offsetof(DUMP_CONTEXT_AMD64, EFlags) == 0x44);
static_assert(offsetof(DUMP_CONTEXT_AMD64, Dr0) == 0x48);
static_assert(offsetof(DUMP_CONTEXT_AMD64, Rax) == 0x78);
static_assert(offsetof(DUMP_CONTEXT_AMD64, Rsp) == 0x98);
static_assert(offsetof(DUMP_CONTEXT_AMD64, R8) == 0xb8);
static_assert(offsetof(DUMP_CONTEXT_AMD64, Rip) == 0xf8);
static_assert(offsetof(DUMP_CONTEXT_AMD64, FltSave) == 0x100);
static_assert(offsetof(DUMP_CONTEXT_AMD64, VectorRegister) == 0x300);
static_assert(offsetof(DUMP_CONTEXT_AMD64, VectorControl) == 0x4a0);

// One entry of the thread list (which is a 32-bit count followed by the entries).
struct DUMP_THREAD {
    uint32_t ThreadId;           // the kernel's thread id
    uint32_t SuspendCount;       // 0
    uint32_t PriorityClass;      // 0
    uint32_t Priority;           // 0
    uint64_t Teb;                // the thread's fs base (its thread-local block)
    DUMP_MEMORY_RANGE Stack;     // the stack from just below rsp to the end of its mapping
    DUMP_LOCATION ThreadContext; // a DUMP_CONTEXT_AMD64
};
static_assert(sizeof(DUMP_THREAD) == 48);
static_assert(offsetof(DUMP_THREAD, Teb) == 16);
static_assert(offsetof(DUMP_THREAD, Stack) == 24);
static_assert(offsetof(DUMP_THREAD, ThreadContext) == 40);

// A module's version block; only the signature is set.
struct DUMP_FIXED_FILE_INFO {
    uint32_t Signature;         // kFixedFileInfoSignature
    uint32_t StrucVersion;      // 0
    uint32_t FileVersionMs;     // 0 (ELF files carry no version block)
    uint32_t FileVersionLs;
    uint32_t ProductVersionMs;
    uint32_t ProductVersionLs;
    uint32_t FileFlagsMask;
    uint32_t FileFlags;
    uint32_t FileOs;
    uint32_t FileType;
    uint32_t FileSubtype;
    uint32_t FileDateMs;
    uint32_t FileDateLs;
};
static_assert(sizeof(DUMP_FIXED_FILE_INFO) == 52);

// One entry of the module list (a 32-bit count followed by the entries).
struct DUMP_MODULE {
    uint64_t BaseOfImage;              // where the file's first byte is mapped
    uint32_t SizeOfImage;              // bytes from the base to the end of its last mapping
    uint32_t CheckSum;                 // 0
    uint32_t TimeDateStamp;            // 0
    uint32_t ModuleNameRva;            // a DUMP_STRING: the file's path
    DUMP_FIXED_FILE_INFO VersionInfo;  // signature only
    DUMP_LOCATION CvRecord;            // kCodeViewElfSignature and the build id; empty without one
    DUMP_LOCATION MiscRecord;          // empty
    uint64_t Reserved0;                // 0
    uint64_t Reserved1;                // 0
};
static_assert(sizeof(DUMP_MODULE) == 108);
static_assert(offsetof(DUMP_MODULE, ModuleNameRva) == 20);
static_assert(offsetof(DUMP_MODULE, VersionInfo) == 24);
static_assert(offsetof(DUMP_MODULE, CvRecord) == 76);
static_assert(offsetof(DUMP_MODULE, MiscRecord) == 84);
static_assert(offsetof(DUMP_MODULE, Reserved0) == 92);

// The exception record inside the exception stream. On Linux it describes a signal.
struct DUMP_EXCEPTION {
    uint32_t ExceptionCode;          // the signal number
    uint32_t ExceptionFlags;         // the signal's si_code
    uint64_t ExceptionRecord;        // 0: no chained record
    uint64_t ExceptionAddress;       // si_addr: the faulting address
    uint32_t NumberParameters;       // 0
    uint32_t UnusedAlignment;        // 0
    uint64_t ExceptionInformation[15];  // unused, 0
};
static_assert(sizeof(DUMP_EXCEPTION) == 152);
static_assert(offsetof(DUMP_EXCEPTION, ExceptionAddress) == 16);
static_assert(offsetof(DUMP_EXCEPTION, ExceptionInformation) == 32);

// The exception stream.
struct DUMP_EXCEPTION_STREAM {
    uint32_t ThreadId;               // the crashing thread
    uint32_t Alignment;              // 0
    DUMP_EXCEPTION ExceptionRecord;  // the signal
    DUMP_LOCATION ThreadContext;     // the crashing thread's registers at the signal
};
static_assert(sizeof(DUMP_EXCEPTION_STREAM) == 168);
static_assert(offsetof(DUMP_EXCEPTION_STREAM, ExceptionRecord) == 8);
static_assert(offsetof(DUMP_EXCEPTION_STREAM, ThreadContext) == 160);

#pragma pack(pop)

// A DUMP_STRING is a 32-bit byte count (without the terminator), then that many bytes of
// UTF-16LE text and a 16-bit 0.

// The longest stack taken per thread, and the bytes around the crashing instruction.
inline constexpr size_t kDumpStackBytes = 256 * 1024;
inline constexpr size_t kDumpCodeBytes = 256;

class CMiniDumpWriter {
public:
    // process: stopped (CTracedProcess::Attach); crash: the crashing thread's state as its
    // handler recorded it (Magic checked by the caller).
    CMiniDumpWriter(const platform::CTracedProcess& process,
                    const platform::CrashedThreadState& crash)
        : Process_(process), Crash_(crash) {}

    // Builds the whole dump in memory and writes it to `path` (through a temporary file
    // beside it, renamed when complete, so the name only ever shows a whole dump). False
    // with *error (a sentence) when the file cannot be written.
    bool Write(const std::string& path, std::string* error);

    // The dump's bytes (after Write, or after Build).
    void Build();
    const std::vector<uint8_t>& Bytes() const { return Bytes_; }

private:
    struct Mapping {
        uint64_t Start = 0, End = 0, Offset = 0, Inode = 0;
        bool Readable = false;
        std::string Path;
    };

    uint32_t Append(const void* data, size_t size);
    uint32_t AppendString(const std::string& utf8);
    void Align();
    void AddStream(uint32_t type, uint32_t rva, uint32_t size);
    const Mapping* MappingOf(uint64_t address) const;
    // Reads [start, end) into the file as a memory range (clipped to what is readable).
    bool AppendMemory(uint64_t start, uint64_t end, DUMP_MEMORY_RANGE* range);
    uint32_t AppendContext(const platform::ThreadRegisters& r);
    std::vector<uint8_t> BuildId(uint64_t base) const;

    void WriteSystemInfo();
    void WriteMiscInfo();
    void WriteThreadsAndMemory();
    void WriteModules();
    void WriteProcFile(uint32_t type, const char* name);

    const platform::CTracedProcess& Process_;
    const platform::CrashedThreadState& Crash_;
    std::vector<uint8_t> Bytes_;
    std::vector<DUMP_DIRECTORY> Directory_;
    std::vector<Mapping> Maps_;
};
