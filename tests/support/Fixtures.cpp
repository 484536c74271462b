#include "tests/support/Fixtures.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "tests/support/Command.h"

namespace testsupport {
namespace {

std::string Script() { return SourcePath("tests/fixtures/make_ntfs.py"); }

// Builds can take a while on a loaded machine; none should take minutes.
constexpr int kBuildTimeoutSeconds = 300;

}  // namespace

std::string FixtureCacheDir() {
    const char* env = std::getenv("VELUNDRA_FIXTURE_CACHE");
    std::string dir = env && *env ? env : BuildDir() + "/fixture-cache";
    std::filesystem::create_directories(dir);
    return dir;
}

std::string FixtureImage(const std::string& recipe) {
    CommandOptions options;
    options.timeoutSeconds = kBuildTimeoutSeconds;
    const CommandResult r =
        RunCommand({"python3", Script(), "cached", recipe, FixtureCacheDir()}, options);
    std::string path = r.out;
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
    if (!r.Ok() || path.empty() || !std::filesystem::exists(path))
        throw std::runtime_error("fixture '" + recipe + "' could not be built: " + r.Describe());
    return path;
}

std::string CopyFixture(const std::string& recipe, const std::string& destPath) {
    const std::string image = FixtureImage(recipe);
    const CommandResult r = RunCommand({"cp", "--sparse=always", image, destPath});
    if (!r.Ok())
        throw std::runtime_error("cannot copy fixture '" + recipe + "': " + r.Describe());
    return destPath;
}

std::vector<std::string> FixtureRecipes() {
    const CommandResult r = RunCommand({"python3", Script(), "list"});
    if (!r.Ok()) throw std::runtime_error("make_ntfs.py list failed: " + r.Describe());
    std::vector<std::string> names;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t end = line.find(' ');
        if (!line.empty()) names.push_back(line.substr(0, end));
    }
    return names;
}

}  // namespace testsupport
