// The installed desktop integration: the menu entry starts the installed program through
// pkexec, and the polkit action names that very path (pkexec looks the action up by the
// program's path, and only an action that allows the GUI passes the display on); the
// converter the wizard runs lies beside the program.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <string>

#include "tests/support/Command.h"

namespace fs = std::filesystem;

namespace {

using testsupport::CommandOptions;
using testsupport::ReadFileBytes;
using testsupport::RunCommand;

// The first capture of `pattern` in `text`, or "" when it does not match.
std::string Capture(const std::string& text, const std::string& pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : std::string();
}

TEST(DesktopInstall, MenuEntryAndPolkitActionAgreeOnTheInstalledProgram) {
    testsupport::TempDir root("install");
    CommandOptions options;
    options.env = {{"DESTDIR", root.Path()}};
    options.timeoutSeconds = 120;
    auto r = RunCommand({"cmake", "--install", testsupport::BuildDir(), "--component", "desktop"}, options);
    ASSERT_TRUE(r.Ok()) << r.Describe();

    std::string entryPath, policyPath;
    for (const auto& f : fs::recursive_directory_iterator(root.Path())) {
        if (f.path().filename() == "velundra.desktop") entryPath = f.path();
        if (f.path().extension() == ".policy") policyPath = f.path();
    }
    ASSERT_FALSE(entryPath.empty());
    ASSERT_FALSE(policyPath.empty());
    EXPECT_NE(policyPath.find("/share/polkit-1/actions/"), std::string::npos) << policyPath;

    auto valid = RunCommand({"desktop-file-validate", entryPath}, {});
    EXPECT_TRUE(valid.Ok() && valid.out.empty() && valid.err.empty()) << valid.out << valid.err;
    auto wellFormed = RunCommand({"xmllint", "--noout", policyPath}, {});
    EXPECT_TRUE(wellFormed.Ok()) << wellFormed.Describe();

    const std::string entry = ReadFileBytes(entryPath);
    const std::string policy = ReadFileBytes(policyPath);
    const std::string program = Capture(entry, "\nExec=pkexec (/\\S+)\n");
    ASSERT_FALSE(program.empty()) << entry;
    EXPECT_EQ(Capture(policy, "\"org\\.freedesktop\\.policykit\\.exec\\.path\">([^<]*)<"), program);
    EXPECT_EQ(Capture(policy, "\"org\\.freedesktop\\.policykit\\.exec\\.allow_gui\">([^<]*)<"), "true");
    EXPECT_EQ(Capture(policy, "<allow_active>([^<]*)<"), "auth_admin");
    EXPECT_NE(entry.find("\nIcon=velundra\n"), std::string::npos);
    EXPECT_NE(entry.find("\nTerminal=false\n"), std::string::npos);

    // The program itself, executable, in a directory of its own.
    struct stat st {};
    ASSERT_EQ(stat((root.Path() + program).c_str(), &st), 0) << program;
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(fs::path(program).parent_path().filename(), "velundra");
    // The FAT to NTFS converter it runs from its own directory.
    const std::string converter = root.Path() + fs::path(program).parent_path().string() + "/velundra-tontfs";
    ASSERT_EQ(stat(converter.c_str(), &st), 0) << converter;
    EXPECT_TRUE(st.st_mode & S_IXUSR);
}

}  // namespace
