#include <gtest/gtest.h>

#include <string>

#include "fattontfs/NtfsPartitionType.h"
#include "tests/support/Command.h"

namespace {

using testsupport::RunCommand;
using testsupport::RunShell;
using testsupport::ShellQuote;
using testsupport::TempDir;

std::string PartType(const std::string& disk, int n) {
    const auto r = RunCommand({"sfdisk", "--part-type", disk, std::to_string(n)});
    EXPECT_TRUE(r.Ok()) << r.Describe();
    std::string t = r.out;
    while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
    return t.substr(t.find_first_not_of(' '));
}

// FAT type bytes become 0x07; other types and GPT entries stay as they are.
TEST(NtfsPartitionType, FatTypesOfAnMbrBecomeNtfs) {
    TempDir dir("parttype");
    const std::string mbr = dir.File("mbr.img"), gpt = dir.File("gpt.img");
    RunCommand({"truncate", "-s", "64M", mbr});
    RunCommand({"truncate", "-s", "64M", gpt});
    ASSERT_TRUE(RunShell("printf 'start=2048,size=20480,type=c\\nsize=20480,type=6\\nsize=20480,type=83\\n' | sfdisk -q " +
                         ShellQuote(mbr)).Ok());
    ASSERT_TRUE(RunShell("printf 'label: gpt\\nstart=2048,size=20480\\n' | sfdisk -q " + ShellQuote(gpt)).Ok());
    const std::string gptBefore = PartType(gpt, 1);
    struct Case {
        std::string disk;
        int number;
        bool ok;
        std::string after;
        std::string says;
    } cases[] = {
        {mbr, 1, true, "7", "The partition type was changed from 0x0C to 0x07 (NTFS)."},
        {mbr, 2, true, "7", "The partition type was changed from 0x06 to 0x07 (NTFS)."},
        {mbr, 3, true, "83", ""},
        {gpt, 1, true, gptBefore, ""},
        {mbr, 4, false, "", "The partition table cannot be read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.disk + " " + std::to_string(c.number));
        std::string message;
        EXPECT_EQ(MarkPartitionNtfs(c.disk, c.number, &message), c.ok);
        EXPECT_EQ(message.substr(0, c.says.size()), c.says) << message;
        if (!c.after.empty()) {
            EXPECT_EQ(PartType(c.disk, c.number), c.after);
        }
    }
    std::string message;
    EXPECT_TRUE(MarkVolumePartitionNtfs(mbr, &message));  // an image file: no entry to change
    EXPECT_EQ(message, "");
}

}  // namespace
