// NTFS test images built by tests/fixtures/make_ntfs.py, by recipe name ("c4096", "names",
// "bigdir", "hardlinks", "fragmented", "mft-fragmented", "mft-extents", ...; `make_ntfs.py
// list` prints them all with what each holds).
//
// Images are built once and cached in <build>/fixture-cache (or $VELUNDRA_FIXTURE_CACHE),
// keyed by the script's content, so every test of a run shares one build of each recipe and
// an edited recipe is rebuilt on next use. The script serialises builders with a lock file,
// so parallel tests (ctest -j) asking for the same image wait for one build.
//
// Threads: any; each call may run the script (seconds for most recipes).
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// The directory of cached images (created when needed).
std::string FixtureCacheDir();

// The path of the cached image of a recipe, building it first if needed. The image is shared
// by every test: read it only (use CopyFixture to get one to write to). Throws
// std::runtime_error, with the script's message, when the recipe is unknown or its build
// fails.
std::string FixtureImage(const std::string& recipe);

// A private copy of a recipe's image at destPath (holes stay holes); returns destPath.
// Throws std::runtime_error on failure.
std::string CopyFixture(const std::string& recipe, const std::string& destPath);

// The names of all recipes the script knows, in its order.
std::vector<std::string> FixtureRecipes();

}  // namespace testsupport
