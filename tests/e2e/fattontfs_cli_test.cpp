#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/RawVolume.h"
#include "tests/support/Command.h"
#include "tests/support/FatFixture.h"
#include "tests/support/Sha256.h"

namespace {

using testsupport::FatFixtureLayout;
using testsupport::FatStep;
using testsupport::RunCommand;
using testsupport::TempDir;

// Every refusal leaves the volume byte for byte as it was, and says why on standard output.
TEST(ToNtfsCli, RefusesBeforeAnyWriteAndSaysWhy) {
    TempDir dir("tontfscli");
    const std::string image = dir.File("stick.img"), damaged = dir.File("damaged.img"),
                      full = dir.File("full.img");
    FatFixtureLayout layout;
    layout.fatBits = 16;
    layout.megabytes = 16;
    layout.label = "Urlaub";
    layout.steps = {FatStep::Dir("Fotos"), FatStep::File("Fotos/Strand am Morgen.jpg", 70000),
                    FatStep::File("two.bin", 1500)};
    testsupport::MakeFatImage(image, layout);
    testsupport::MakeFatImage(damaged, layout);
    // The first FAT copy (after mkfs.fat's one reserved sector) no longer agrees with the second.
    testsupport::PatchBytes(damaged, 512 + 2 * 2, std::string("\x09\x00", 2));
    // Two names of the root that differ only in letter case ("ONE.TXT" and "one.txt", the
    // second a short entry with the lower-case flags), which FAT tools never make.
    const std::string twins = dir.File("twins.img");
    FatFixtureLayout twinLayout = layout;
    twinLayout.steps = {FatStep::File("ONE.TXT", 10), FatStep::File("TWO.TXT", 20)};
    testsupport::MakeFatImage(twins, twinLayout);
    {
        const std::string bytes = testsupport::ReadFileBytes(twins);
        const size_t at = bytes.find("TWO     TXT");
        ASSERT_NE(at, std::string::npos);
        testsupport::PatchBytes(twins, at, "ONE     TXT");
        testsupport::PatchBytes(twins, at + 12, std::string(1, '\x18'));
    }
    // A FAT12 floppy filled to the last cluster leaves no room for the metadata.
    FatFixtureLayout floppy;
    floppy.fatBits = 12;
    floppy.megabytes = 1;
    floppy.steps = {FatStep::File("big.bin", 1000000)};
    testsupport::MakeFatImage(full, floppy);

    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string input;
        int exit;
        const char* says;
        bool held = false;  // another program holds the volume exclusively meanwhile
    } cases[] = {
        {"usage", {image}, "", 2, ""},
        {"wrong label", {image, "/FS:NTFS"}, "Ferien\n", 1, "An incorrect volume label was entered for this drive."},
        {"no answer", {image, "/FS:NTFS"}, "", 1, "An incorrect volume label was entered for this drive."},
 {"damaged", {damaged, "/FS:NTFS"}, "urlaub\n", 1,
         "The FAT copies differ at cluster 2: the volume needs repair (fsck.fat) first."},
        {"names differing in case", {twins, "/FS:NTFS"}, "urlaub\n", 1,
         "The names \"ONE.TXT\" and \"one.txt\" of one folder differ only in letter case"},
        {"no room", {full, "/FS:NTFS"}, "\n", 1, "does not have enough free space for the NTFS metadata"},
        {"drive letter", {"q:", "/fs:ntfs", "/x"}, "Urlaub!\r\n", 1, "Enter current volume label for drive Q: "},
        {"not a FAT volume", {dir.File("zeros.img"), "/FS:NTFS"}, "\n", 1, "is not a FAT volume"},
        {"held by another program", {image, "/FS:NTFS"}, "urlaub\n", 1, "it is in use (/X unmounts it first).", true},
    };
    testsupport::WriteFileBytes(dir.File("zeros.img"), std::string(1 << 20, '\0'));
    const std::string before = testsupport::Sha256File(image), fullBefore = testsupport::Sha256File(full),
                      damagedBefore = testsupport::Sha256File(damaged), twinsBefore = testsupport::Sha256File(twins);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv = {testsupport::ToolPath("tontfs")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testsupport::CommandOptions options;
        options.input = c.input;
        options.env = {{"VELUNDRA_DRIVES", "Q=" + image}};
        int error = 0;
        const platform::VolumeHandle holder =
            c.held ? platform::OpenVolume(image, platform::VolumeAccess::Exclusive, &error) : platform::kInvalidVolume;
        ASSERT_EQ(c.held, holder != platform::kInvalidVolume) << error;
        const auto r = RunCommand(argv, options);
        platform::CloseVolume(holder);
        EXPECT_EQ(r.exitCode, c.exit) << r.out << r.err;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        if (c.exit == 1 && std::string(c.name) != "not a FAT volume") {
            EXPECT_NE(r.out.find("The type of the file system is FAT1"), std::string::npos) << r.out;
        }
    }
    EXPECT_EQ(testsupport::Sha256File(image), before);
    EXPECT_EQ(testsupport::Sha256File(full), fullBefore);
    EXPECT_EQ(testsupport::Sha256File(damaged), damagedBefore);
    EXPECT_EQ(testsupport::Sha256File(twins), twinsBefore);
}

}  // namespace
