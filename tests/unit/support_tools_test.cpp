// The end-to-end helpers: running commands, temporary directories, hashing, and the parsers of
// fls, istat, fsck.fat and velundra-ntfsls output that every e2e test relies on.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/Command.h"
#include "tests/support/FsckFat.h"
#include "tests/support/NtfsLs.h"
#include "tests/support/Sha256.h"
#include "tests/support/SleuthKit.h"

using namespace testsupport;

TEST(RunCommand, CapturesStreamsExitCodeAndInputWithoutAShell) {
    // An argument full of shell syntax must reach the program as one unchanged word.
    const std::string odd = "a b'c\"$(echo no)`x`;|&* \\ end ";
    CommandResult r = RunCommand({"printf", "%s|", odd, "second"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, odd + "|second|");

    r = RunShell("echo out; echo err >&2; exit 3");
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_FALSE(r.signaled);

    CommandOptions merged;
    merged.mergeStderr = true;
    EXPECT_EQ(RunShell("echo 1; echo 2 >&2; echo 3", merged).out, "1\n2\n3\n");

    CommandOptions fed;
    fed.input = "y\nline two\n";
    fed.env = {{"VELUNDRA_TEST_VAR", "it's set"}};
    r = RunShell("read a; echo \"$a/$VELUNDRA_TEST_VAR\"; cat", fed);
    EXPECT_EQ(r.out, "y/it's set\nline two\n");

    // Without input, standard input is empty rather than the test's own.
    EXPECT_EQ(RunCommand({"cat"}).out, "");
    EXPECT_EQ(RunCommand({"/nonexistent/program"}).exitCode, 127);
}

TEST(RunCommand, ReportsSignalsAndTimeouts) {
    CommandResult r = RunShell("kill -SEGV $$");
    EXPECT_TRUE(r.signaled);
    EXPECT_EQ(r.signal, 11);
    EXPECT_EQ(r.exitCode, 128 + 11);

    CommandOptions quick;
    quick.timeoutSeconds = 1;
    r = RunCommand({"sleep", "30"}, quick);
    EXPECT_TRUE(r.timedOut);
    EXPECT_NE(r.exitCode, 0);
}

TEST(TempDir, IsPrivateAndRemovedWithItsContent) {
    std::string path;
    {
        TempDir a("unit"), b("unit");
        EXPECT_NE(a.Path(), b.Path());
        path = a.Path();
        std::filesystem::create_directories(a.File("x/y"));
        WriteFileBytes(a.File("x/y/f"), "data");
        EXPECT_EQ(ReadFileBytes(a.File("x/y/f")), "data");
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_THROW(ReadFileBytes(path + "/missing"), std::runtime_error);
}

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    // Fed in odd pieces, across block boundaries, the digest is the same.
    Sha256 h;
    const std::string million(1000000, 'a');
    for (size_t at = 0, step = 1; at < million.size(); at += step, step = step * 3 % 997 + 1)
        h.Update(million.data() + at, std::min(step, million.size() - at));
    EXPECT_EQ(h.FinalHex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    TempDir dir("sha");
    WriteFileBytes(dir.File("f"), "xxabcxx");
    EXPECT_EQ(Sha256File(dir.File("f")), Sha256Hex("xxabcxx"));
    EXPECT_EQ(Sha256FileRange(dir.File("f"), 2, 3), Sha256Hex("abc"));
    EXPECT_THROW(Sha256FileRange(dir.File("f"), 5, 3), std::runtime_error);
}

TEST(ParseFls, EveryKindOfLine) {
    const auto e = ParseFls(
        "r/r 64-128-2:\ta.txt\n"
        "r/r 64-128-4:\ta.txt:strm\n"
        "d/d 11-144-2:\t$Extend\n"
        "-/r * 16:\t$OrphanFiles/OrphanFile-16\n"
        "r/r * 70-128-2(realloc):\told name \n"
        "V/V 66:\t$OrphanFiles\n"
        "r/r 5:\tHello.py\n");
    ASSERT_EQ(e.size(), 7u);
    EXPECT_EQ(e[0].inode, 64u);
    EXPECT_EQ(e[0].attrType, 128);
    EXPECT_EQ(e[0].attrId, 2);
    EXPECT_EQ(e[1].path, "a.txt:strm");
    EXPECT_EQ(e[2].nameType, 'd');
    EXPECT_TRUE(e[3].deleted);
    EXPECT_EQ(e[3].metaType, 'r');
    EXPECT_EQ(e[3].attrType, -1);
    EXPECT_TRUE(e[4].deleted);
    EXPECT_TRUE(e[4].reallocated);
    EXPECT_EQ(e[4].path, "old name ");  // trailing blanks are part of a name
    EXPECT_EQ(e[5].nameType, 'V');
    EXPECT_EQ(e[6].inode, 5u);
    EXPECT_THROW(ParseFls("garbage without tab\n"), std::runtime_error);
}

TEST(ParseBody, FieldsSuffixesAndBarsInNames) {
    const auto e = ParseBody(
        "0|/dir/a|b.txt|77-128-2|r/rrwxrwxrwx|48|0|12|1|2|3|4\n"
        "0|/dir/a|b.txt ($FILE_NAME)|77-48-3|r/rrwxrwxrwx|48|0|90|5|6|7|8\n"
        "0|/gone (deleted)|80-128-2|r/rrwxrwxrwx|0|0|7|0|0|0|0\n"
        "0|/LBL         (Volume Label Entry)|3|r/rrwxrwxrwx|0|0|0|1796860800|1796898062|0|1\n"
        "0|/$FAT1|1290052|v/v---------|0|0|322560|0|0|0|0\n"
        "0|/sub|66-144-2|d/drwxrwxrwx|48|0|56|9|9|9|9\n");
    ASSERT_EQ(e.size(), 6u);
    EXPECT_EQ(e[0].path, "dir/a|b.txt");
    EXPECT_EQ(e[0].record, 77u);
    EXPECT_EQ(e[0].size, 12u);
    EXPECT_EQ(e[0].atime, 1);
    EXPECT_EQ(e[0].mtime, 2);
    EXPECT_EQ(e[0].ctime, 3);
    EXPECT_EQ(e[0].crtime, 4);
    EXPECT_TRUE(e[1].fileNameAttr);
    EXPECT_EQ(e[1].path, "dir/a|b.txt");
    EXPECT_TRUE(e[2].deleted);
    EXPECT_EQ(e[2].path, "gone");
    EXPECT_TRUE(e[3].volumeLabel);
    EXPECT_EQ(e[3].path, "LBL        ");
    EXPECT_TRUE(e[4].IsVirtual());
    EXPECT_TRUE(e[5].IsDir());
    EXPECT_THROW(ParseBody("0|x|1|2\n"), std::runtime_error);
}

TEST(ParseIstatNtfs, NamesAttributeListAndClusters) {
    const IstatNtfs info = ParseIstatNtfs(
        "MFT Entry Header Values:\n"
        "Entry: 64        Sequence: 1\n"
        "$LogFile Sequence Number: 0\n"
        "Allocated File\n"
        "Links: 2\n"
        "\n"
        "$STANDARD_INFORMATION Attribute Values:\n"
        "Flags: Archive\n"
        "Name: not a file name\n"
        "\n"
        "$FILE_NAME Attribute Values:\n"
        "Flags: Archive\n"
        "Name: Long File Name.txt\n"
        "Parent MFT Entry: 5 \tSequence: 5\n"
        "Allocated Size: 12288   \tActual Size: 10000\n"
        "\n"
        "$FILE_NAME Attribute Values:\n"
        "Name: LONGFI~1.TXT\n"
        "Parent MFT Entry: 5 \tSequence: 5\n"
        "\n"
        "$ATTRIBUTE_LIST Attribute Values:\n"
        "Type: 16-0 \tMFT Entry: 64 \tVCN: 0\n"
        "Type: 128-0 \tMFT Entry: 17 \tVCN: 4385\n"
        "\n"
        "Attributes: \n"
        "Type: $STANDARD_INFORMATION (16-0)   Name: N/A   Resident   size: 48\n"
        "Type: $DATA (128-2)   Name: N/A   Non-Resident   size: 10000  init_size: 10000\n"
        "2560 2561 2562 \n"
        "2600 \n"
        "Type: $DATA (128-4)   Name: my stream   Resident   size: 11\n"
        "Type: $DATA (128-5)   Name: sp   Non-Resident, Sparse   size: 8192  init_size: 8192\n"
        "0 0 \n");
    EXPECT_EQ(info.entry, 64u);
    EXPECT_TRUE(info.allocated);
    EXPECT_EQ(info.links, 2u);
    ASSERT_EQ(info.names.size(), 2u);
    EXPECT_EQ(info.names[0].name, "Long File Name.txt");
    EXPECT_EQ(info.names[0].parent, 5u);
    EXPECT_EQ(info.names[0].actualSize, 10000u);
    EXPECT_EQ(info.names[1].name, "LONGFI~1.TXT");
    ASSERT_EQ(info.attributeList.size(), 2u);
    EXPECT_EQ(info.attributeList[1].type, 128u);
    EXPECT_EQ(info.attributeList[1].record, 17u);
    EXPECT_EQ(info.attributeList[1].vcn, 4385u);
    ASSERT_EQ(info.attributes.size(), 4u);
    const IstatAttribute* data = info.UnnamedData();
    ASSERT_NE(data, nullptr);
    EXPECT_FALSE(data->resident);
    EXPECT_EQ(data->size, 10000u);
    EXPECT_EQ(data->clusters, (std::vector<uint64_t>{2560, 2561, 2562, 2600}));
    EXPECT_EQ(info.attributes[2].name, "my stream");
    EXPECT_TRUE(info.attributes[2].resident);
    EXPECT_EQ(info.attributes[3].flags, ", Sparse");
    EXPECT_THROW(ParseIstatNtfs("Attributes: \nType: something new\n"), std::runtime_error);
}

TEST(ParseFsckFat, CleanOnlyWithNothingBetweenBannerAndSummary) {
    struct Case {
        int exitCode;
        const char* output;
        bool clean;
        size_t findings;
    };
    const Case cases[] = {
        {0, "fsck.fat 4.2 (2021-01-31)\nv.img: 2 files, 4/80628 clusters\n", true, 0},
        // A finding that leaves the exit code at 0 still makes the volume unclean.
        {0, "fsck.fat 4.2 (2021-01-31)\nFree cluster summary wrong (1 vs. really 2)\n"
            "  Auto-correcting.\nv.img: 2 files, 4/80628 clusters\n", false, 2},
        {1, "fsck.fat 4.2 (2021-01-31)\nFATs differ but appear to be intact.\n  Using first FAT.\n\n"
            "Leaving filesystem unchanged.\nv.img: 2 files, 4/80628 clusters\n", false, 3},
        {1, "fsck.fat 4.2 (2021-01-31)\nLogical sector size is zero.\n", false, 1},
        {0, "", false, 0},  // no banner, no summary
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        const FsckResult r = ParseFsckFat(c.exitCode, c.output);
        EXPECT_EQ(r.Clean(), c.clean);
        EXPECT_EQ(r.findings.size(), c.findings);
    }
}

TEST(ParseNtfsLs, RecordsSizesAndDirectories) {
    const auto e = ParseNtfsLs("64\t12\ta.txt\n65\t0\t/docs/\n66\t7\tdocs/trailing space \n");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].record, 64u);
    EXPECT_EQ(e[0].size, 12u);
    EXPECT_FALSE(e[0].isDir);
    EXPECT_EQ(e[1].path, "docs");
    EXPECT_TRUE(e[1].isDir);
    EXPECT_EQ(e[2].path, "docs/trailing space ");
    EXPECT_THROW(ParseNtfsLs("64 12 a.txt\n"), std::runtime_error);
    EXPECT_THROW(ParseNtfsLs("x\t12\ta.txt\n"), std::runtime_error);
}
