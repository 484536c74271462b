// main() of the GUI tests: one QApplication on the offscreen platform for every test of the
// process (the platform is forced when the environment names none, so that listing the tests
// at build time needs no display either).
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The undo files of the wizard's conversions go to a folder of this process, not the
    // user's data folder.
    const auto data = std::filesystem::temp_directory_path() / ("velundra-gui-data-" + std::to_string(getpid()));
    if (!std::getenv("VELUNDRA_DATA_DIR")) setenv("VELUNDRA_DATA_DIR", data.c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    const int status = RUN_ALL_TESTS();
    std::error_code ec;
    std::filesystem::remove_all(data, ec);
    return status;
}
