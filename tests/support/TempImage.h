// TempImage: a temporary image file of a given length for tests, sparse (a 100 GiB image
// costs no disk until written), removed when the object goes away.
//
// Header-only on purpose: the platform and device unit tests link only their own layer, and
// they need images too.
//
// Threads: one object per test; distinct objects never share a file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace testsupport {

class TempImage {
public:
    // Creates a new file of `bytes` bytes (all zeros, unallocated) in the temporary
    // directory; the name contains `tag`. Throws std::runtime_error when it cannot.
    explicit TempImage(uint64_t bytes, const std::string& tag = "img") {
        std::random_device seed;
        std::mt19937_64 random(seed());
        const auto dir = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const auto candidate =
                dir / ("velundra-" + tag + "-" + std::to_string(random()) + ".img");
            // "x": create exclusively, so two tests never share a file.
            if (std::FILE* f = std::fopen(candidate.c_str(), "wbx")) {
                std::fclose(f);
                path_ = candidate.string();
            }
        }
        if (path_.empty()) throw std::runtime_error("cannot create a temporary image");
        std::error_code ec;
        std::filesystem::resize_file(path_, bytes, ec);  // truncate: sparse
        if (ec) {
            std::filesystem::remove(path_, ec);
            throw std::runtime_error("cannot size a temporary image");
        }
    }
    ~TempImage() {
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    TempImage(const TempImage&) = delete;
    TempImage& operator=(const TempImage&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace testsupport
