#include "tests/support/FatFixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "tests/support/Command.h"

namespace testsupport {

namespace {

void Run(const std::vector<std::string>& argv) {
    CommandOptions options;
    options.env = {{"MTOOLS_SKIP_CHECK", "1"}};
    const CommandResult r = RunCommand(argv, options);
    if (!r.Ok()) throw std::runtime_error(argv[0] + ": " + r.Describe());
}

}  // namespace

FatStep FatStep::Dir(std::string path) {
    FatStep s;
    s.kind = Kind::Dir;
    s.path = std::move(path);
    return s;
}

FatStep FatStep::File(std::string path, uint64_t bytes, int64_t mtime) {
    FatStep s;
    s.path = std::move(path);
    s.bytes = bytes;
    s.mtime = mtime;
    return s;
}

FatStep FatStep::Delete(std::string path) {
    FatStep s;
    s.kind = Kind::Delete;
    s.path = std::move(path);
    return s;
}

FatStep FatStep::Attrib(std::string path, std::string flags) {
    FatStep s;
    s.kind = Kind::Attrib;
    s.path = std::move(path);
    s.attrib = std::move(flags);
    return s;
}

std::string FatFileBytes(const std::string& path, uint64_t bytes) {
    std::string out(bytes, '\0');
    uint32_t x = 2166136261u;
    for (char c : path) x = (x ^ static_cast<unsigned char>(c)) * 16777619u;
    x ^= static_cast<uint32_t>(bytes);
    for (uint64_t i = 0; i < bytes; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>(x >> 16);
    }
    return out;
}

void MakeFatImage(const std::string& image, const FatFixtureLayout& layout) {
    std::filesystem::remove(image);
    Run({"truncate", "-s", std::to_string(layout.megabytes) + "M", image});
    std::vector<std::string> mkfs = {"mkfs.fat", "-F", std::to_string(layout.fatBits), "-s",
                                     std::to_string(layout.sectorsPerCluster)};
    if (!layout.label.empty()) {
        mkfs.push_back("-n");
        mkfs.push_back(layout.label);
    }
    mkfs.push_back(image);
    Run(mkfs);
    TempDir stage("fatstage");
    int serial = 0;
    for (const FatStep& step : layout.steps) {
        const std::string target = std::string("::/").append(step.path);
        switch (step.kind) {
            case FatStep::Kind::Dir:
                Run({"mmd", "-i", image, target});
                break;
            case FatStep::Kind::File: {
                // A staging file of the same base name, so mcopy -m carries its time over.
                const std::string dir = stage.File(std::to_string(serial++));
                std::filesystem::create_directory(dir);
                const std::string base = step.path.substr(step.path.rfind('/') + 1);
                const std::string local = dir + "/" + base;
                WriteFileBytes(local, FatFileBytes(step.path, step.bytes));
                Run({"touch", "-d", std::string("@").append(std::to_string(step.mtime)), local});
                Run({"mcopy", "-m", "-o", "-i", image, local, target});
                std::filesystem::remove_all(dir);
                break;
            }
            case FatStep::Kind::Delete:
                Run({"mdel", "-i", image, target});
                break;
            case FatStep::Kind::Attrib: {
                std::vector<std::string> argv = {"mattrib", "-i", image};
                size_t from = 0;
                while (from < step.attrib.size()) {
                    size_t to = step.attrib.find(' ', from);
                    if (to == std::string::npos) to = step.attrib.size();
                    if (to > from) argv.push_back(step.attrib.substr(from, to - from));
                    from = to + 1;
                }
                argv.push_back(target);
                Run(argv);
                break;
            }
        }
    }
}

void PatchBytes(const std::string& image, uint64_t offset, const std::string& bytes) {
    const int fd = ::open(image.c_str(), O_WRONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + image);
    const bool ok = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
                    static_cast<ssize_t>(bytes.size());
    ::close(fd);
    if (!ok) throw std::runtime_error("cannot patch " + image);
}

}  // namespace testsupport
