// Names for machine-wide objects (shared memory, named locks and events) that no other test
// process uses at the same time: a fixed prefix, our process id and a tag.
//
// Header-only: the platform unit tests link only their own layer.
#pragma once

#include <unistd.h>

#include <string>

namespace testsupport {

inline std::string ProcessUniqueName(const char* tag) {
    return "velundra-test-" + std::to_string(getpid()) + "-" + tag;
}

}  // namespace testsupport
