// The crash report's files: which ones are offered, their size texts, and what the contents
// window's viewer makes of a file (text or hex dump).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "crashreport/ReportFiles.h"
#include "crashreport/ReportFileView.h"
#include "platform/TextEncoding.h"
#include "tests/support/Command.h"

namespace {

using testsupport::TempDir;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::u16string Wide(const std::string& path) { return platform::Utf8ToUtf16(path); }

// 1000 bytes of text with `controls` bytes of value 1 spread over the first 100.
std::string TextWithControls(int controls) {
    std::string s;
    for (int i = 0; i < 1000; ++i) s.push_back(static_cast<char>('a' + i % 26));
    for (int i = 0; i < controls; ++i) s[static_cast<size_t>(10 + i * 20)] = '\x01';
    return s;
}

TEST(ReportSizeText, RoundsToKilobytesAndGroupsTheDigits) {
    struct Case {
        uint64_t bytes;
        std::u16string separator;
        std::u16string text;
    } cases[] = {
        {100, u",", u"1 KB "},
        {1, u",", u"1 KB "},
        {511, u",", u"1 KB "},
        {1535, u",", u"1 KB "},
        {1536, u",", u"2 KB "},
        {999 * 1024, u",", u"999 KB "},
        {1000 * 1024, u",", u"1,000 KB "},
        {1234567ull * 1024, u",", u"1,234,567 KB "},
        {1234567ull * 1024, u".", u"1.234.567 KB "},
        {1234567ull * 1024, u"\u202F", u"1\u202F234\u202F567 KB "},
        {1234567ull * 1024, u"", u"1234567 KB "},
        // The largest size: rounding must not overflow.
        {UINT64_MAX, u",", u"18,014,398,509,481,984 KB "},
    };
    for (const Case& c : cases) EXPECT_EQ(ReportSizeText(c.bytes, c.separator), c.text) << c.bytes;
}

TEST(BuildReportEntries, OffersTheLogAndTheDumpWhenTheyExistAndAreNotEmpty) {
    TempDir dir("report");
    const std::string d = dir.Path() + "/";
    EXPECT_TRUE(BuildReportEntries(d, u",").empty());

    WriteFile(d + "log.log", std::string(100, 'x'));
    WriteFile(d + "dump0.dmp", std::string(1536, '\0'));
    WriteFile(d + "dump1.dmp", std::string(10, '\0'));  // only the first crash's dump counts
    std::vector<ReportEntry> all = BuildReportEntries(d, u",");
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].FullPath, platform::Utf8ToUtf16(d + "log.log"));
    EXPECT_EQ(all[0].Description, u"log file");
    EXPECT_EQ(all[0].TypeText, u"Text Document");
    EXPECT_EQ(all[0].SizeText, u"1 KB ");
    EXPECT_EQ(all[0].Send, 1u);
    EXPECT_EQ(all[1].FullPath, platform::Utf8ToUtf16(d + "dump0.dmp"));
    EXPECT_EQ(all[1].Description, u"crash dump file");
    EXPECT_EQ(all[1].TypeText, u"DMP File");
    EXPECT_EQ(all[1].SizeText, u"2 KB ");
    EXPECT_EQ(all[1].Send, 1u);

    // An empty log is not offered; neither is a directory in the dump's place.
    WriteFile(d + "log.log", "");
    std::filesystem::remove(d + "dump0.dmp");
    std::filesystem::create_directory(d + "dump0.dmp");
    EXPECT_TRUE(BuildReportEntries(d, u",").empty());
    std::filesystem::remove(d + "dump0.dmp");
    WriteFile(d + "dump0.dmp", "MDMP");
    all = BuildReportEntries(d, u",");
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(ReportFileName(all[0].FullPath), u"dump0.dmp");
}

TEST(IsTextContent, TheFifthOddByteAmongTheFirstHundredMakesAFileBinary) {
    EXPECT_TRUE(IsTextContent(TextWithControls(4)));
    EXPECT_FALSE(IsTextContent(TextWithControls(5)));

    // Tabs, line breaks, vertical tabs, form feeds and carriage returns are text.
    std::string s = TextWithControls(0);
    for (int i = 0; i < 50; ++i) s[static_cast<size_t>(i)] = static_cast<char>(9 + i % 5);
    EXPECT_TRUE(IsTextContent(s));
    // DEL, 8-bit bytes and NUL are not.
    s = TextWithControls(0);
    s[1] = '\x7f', s[2] = '\x80', s[3] = '\xff', s[4] = '\0', s[5] = '\x1f';
    EXPECT_FALSE(IsTextContent(s));
    // Bytes past the first hundred do not count.
    s = TextWithControls(0);
    for (int i = 100; i < 200; ++i) s[static_cast<size_t>(i)] = '\0';
    EXPECT_TRUE(IsTextContent(s));
    // A short text file is text: only the bytes read are judged.
    EXPECT_TRUE(IsTextContent("short log\r\n"));
}

TEST(HexDump, SixteenBytesALineWithLittleEndianWordsAndPrintableCharacters) {
    std::string bytes;
    for (int i = 0; i < 16; ++i) bytes.push_back(static_cast<char>(i));
    bytes += std::string("AB~ \x7f\x80\xff") + "01234567z";
    ASSERT_EQ(bytes.size(), 32u);
    const std::string two =
        "0x00000000: 03020100 07060504 0b0a0908 0f0e0d0c ................\r\n"
        "0x00000010: 207e4241 30ff807f 34333231 7a373635 AB~ ...01234567z\r\n";
    EXPECT_EQ(HexDump(bytes), two);
    // A 33rd byte starts a third line, filled up with zero bytes.
    EXPECT_EQ(HexDump(bytes + "Z"), two + "0x00000020: 0000005a 00000000 00000000 00000000 Z...............\r\n");
    EXPECT_EQ(HexDump(""), "");
}

TEST(ViewReportFile, ShowsTextFromTheAnsiCodePageAndOtherFilesAsAHexDump) {
    TempDir dir("reportview");
    const std::string text = dir.File("log.log");
    WriteFile(text, "line one\r\nprice \x80 5\r\n");
    ReportFileView view = ViewReportFile(Wide(text));
    EXPECT_TRUE(view.Read);
    EXPECT_FALSE(view.Binary);
    EXPECT_EQ(view.Text, u"line one\r\nprice \u20AC 5\r\n");

    // Text ends at its first NUL byte, as an edit box shows it.
    WriteFile(text, std::string("before\0after", 12));
    EXPECT_EQ(ViewReportFile(Wide(text)).Text, u"before");

    // Only the first 64 KiB are dumped: 4096 lines.
    const std::string dump = dir.File("dump0.dmp");
    WriteFile(dump, std::string(kReportViewMaxBytes + 1000, '\x90'));
    view = ViewReportFile(Wide(dump));
    EXPECT_TRUE(view.Binary);
    const std::string expected = HexDump(std::string(kReportViewMaxBytes, '\x90'));
    EXPECT_EQ(view.Text, std::u16string(expected.begin(), expected.end()));

    WriteFile(dump, TextWithControls(5));
    view = ViewReportFile(Wide(dump));
    EXPECT_TRUE(view.Binary);
    EXPECT_EQ(view.Text.size(), (1000 + 15) / 16 * std::u16string(u"0x00000000: 00000000 00000000 00000000 00000000 ................\r\n").size());

    EXPECT_FALSE(ViewReportFile(Wide(dir.File("missing"))).Read);
}

}  // namespace
