// An independent reader of the minidumps the crash handler writes: every stream is taken
// apart and its locations checked against the file, so that a test can compare what the dump
// says with the process it came from.
//
// Threads: any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "crashreport/MiniDump.h"

namespace testsupport {

struct ParsedMiniDump {
    DUMP_HEADER Header{};
    std::map<uint32_t, DUMP_LOCATION> Streams;  // by stream type

    DUMP_SYSTEM_INFO SystemInfo{};
    std::string SystemDescription;  // the CSD version string, UTF-8

    uint32_t ProcessId = 0;  // from the process information stream

    struct Thread {
        uint32_t Id = 0;
        DUMP_CONTEXT_AMD64 Context{};
        uint64_t StackStart = 0;
        std::string Stack;  // the stack bytes
    };
    std::vector<Thread> Threads;

    struct Module {
        uint64_t Base = 0;
        uint32_t Size = 0;
        std::string Name;     // UTF-8
        std::string BuildId;  // lower-case hex; empty without a CodeView record
    };
    std::vector<Module> Modules;

    std::vector<DUMP_MEMORY_RANGE> Memory;

    DUMP_EXCEPTION_STREAM Exception{};
    DUMP_CONTEXT_AMD64 ExceptionContext{};

    std::string Maps, Status, CmdLine;  // the Linux streams' text

    // The module whose range holds `address`; null when none.
    const Module* ModuleAt(uint64_t address) const;
    // Whether the memory list holds `address`.
    bool HasMemory(uint64_t address) const;
};

// Parses a whole dump. False with *error saying what is wrong (bad signature, a location
// beyond the end of the file, a stream of the wrong size, a stream missing).
bool ParseMiniDump(const std::string& bytes, ParsedMiniDump* dump, std::string* error);

}  // namespace testsupport
