// A digest of an image file that reads only its data extents (tests/fixtures/sparse_digest.py),
// for the unchanged-image check on sparse images of hundreds of GiB, where hashing every byte
// would read all the zeros of the holes for minutes.
//
// Compare digests of the same file only (taken before and after what must not write): a copy
// with other holes digests differently, and a write of zeros into a hole counts as a change.
//
// Threads: any; runs python3 as a child process.
#pragma once

#include <string>

namespace testsupport {

// The hex digest of the file's length and data extents. Throws std::runtime_error when the
// script fails.
std::string SparseFileDigest(const std::string& path);

// Expects the file's digest to be `digestBefore` (a refused conversion wrote nothing).
void ExpectSparseImageUnchanged(const std::string& path, const std::string& digestBefore);

}  // namespace testsupport
