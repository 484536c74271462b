#include "tests/support/SparseDigest.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/Command.h"

namespace testsupport {

std::string SparseFileDigest(const std::string& path) {
    const CommandResult r =
        RunCommand({"python3", SourcePath("tests/fixtures/sparse_digest.py"), path});
    std::string digest = r.out;
    while (!digest.empty() && (digest.back() == '\n' || digest.back() == '\r')) digest.pop_back();
    if (!r.Ok() || digest.size() != 64)
        throw std::runtime_error("sparse_digest.py " + path + " failed: " + r.Describe());
    return digest;
}

void ExpectSparseImageUnchanged(const std::string& path, const std::string& digestBefore) {
    EXPECT_EQ(SparseFileDigest(path), digestBefore) << path << " was written to";
}

}  // namespace testsupport
