// SHA-256 of bytes and files, for tests that compare file contents or check that an image
// is byte-identical after a refused conversion.
//
// Threads: a Sha256 object belongs to one thread; the free functions are reentrant.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace testsupport {

// Incremental SHA-256 (FIPS 180-4).
class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t bytes);
    // The digest of everything given so far; the object must not be updated afterwards.
    std::array<uint8_t, 32> Final();
    // Final() as 64 lower-case hexadecimal digits.
    std::string FinalHex();

private:
    void Block(const uint8_t* p);
    std::array<uint32_t, 8> h_;
    std::array<uint8_t, 64> buffer_{};
    size_t used_ = 0;
    uint64_t totalBytes_ = 0;
};

// The hex digest of a byte string.
std::string Sha256Hex(const std::string& bytes);

// The hex digest of a whole file, read in large chunks. Throws std::runtime_error when the
// file cannot be read.
std::string Sha256File(const std::string& path);

// The hex digest of `length` bytes of a file from byte `offset` (a file or a file inside an
// image); throws std::runtime_error when they cannot all be read.
std::string Sha256FileRange(const std::string& path, uint64_t offset, uint64_t length);

}  // namespace testsupport
