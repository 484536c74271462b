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
    if (!r.Ok()) {
        std::string line;
        for (const std::string& a : argv) line.append(a).push_back(' ');
        throw std::runtime_error(line + ": " + r.Describe());
    }
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

std::vector<FatStep> SampleFatSteps() {
    return {
        FatStep::Dir("Documents and Settings"),
        FatStep::Dir("Documents and Settings/Übersicht"),
        FatStep::File("Documents and Settings/Übersicht/Grüße aus Köln.txt", 1234, 1262304000),
        FatStep::File("SHORT.TXT", 10, 1300000000),
        FatStep::File("mixed Case Name.doc", 4000, 1300000010),
        FatStep::File("empty", 0, 1300000002),
        FatStep::File("fill1.bin", 5000),
        FatStep::File("fill2.bin", 5000),
        FatStep::File("fill3.bin", 5000),
        FatStep::Delete("fill2.bin"),
        FatStep::File("a fragmented file.dat", 40000, 1400000000),
        FatStep::Attrib("SHORT.TXT", "+r +h"),
    };
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
    const std::vector<FatStep>& steps = layout.steps;
    for (size_t i = 0; i < steps.size(); ++i) {
        const FatStep& step = steps[i];
        const std::string target = std::string("::/").append(step.path);
        switch (step.kind) {
            case FatStep::Kind::Dir:
                Run({"mmd", "-i", image, target});
                break;
            case FatStep::Kind::File: {
                // Consecutive files of one folder go in one mcopy (one start of mtools per
                // file is slow), each from a staging file of the same base name so that
                // mcopy -m carries its time over.
                const auto parentOf = [](const std::string& path) {
                    const size_t slash = path.rfind('/');
                    return slash == std::string::npos ? std::string() : path.substr(0, slash);
                };
                const std::string parent = parentOf(step.path);
                const std::string dir = stage.File(std::to_string(serial++));
                std::filesystem::create_directory(dir);
                std::vector<std::string> argv = {"mcopy", "-m", "-o", "-i", image};
                size_t j = i;
                for (; j < steps.size() && steps[j].kind == FatStep::Kind::File && parentOf(steps[j].path) == parent; ++j) {
                    const std::string local = dir + "/" + steps[j].path.substr(parent.empty() ? 0 : parent.size() + 1);
                    WriteFileBytes(local, FatFileBytes(steps[j].path, steps[j].bytes));
                    Run({"touch", "-d", std::string("@").append(std::to_string(steps[j].mtime)), local});
                    argv.push_back(local);
                }
                argv.push_back(std::string("::/").append(parent).append(parent.empty() ? "" : "/"));
                Run(argv);
                std::filesystem::remove_all(dir);
                i = j - 1;
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
