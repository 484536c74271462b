// The conversion page of the FAT to NTFS module under the offscreen platform: our converter
// (velundra-tontfs, found beside this test program as beside the wizard) turning a FAT32
// image given to the drive table as E into NTFS, and small shell scripts standing in for a
// converter (platform::SetSystemProgramDirectory points "convert" at them) for what the real
// one never does: print nothing, print more than the page shows of one chunk, fail, or
// record what it was answered.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QImage>
#include <QTest>
#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/CExecuteProgressPage.h"
#include "app/CMainFrame.h"
#include "app/CVolumeListPage.h"
#include "app/ConvertToNtfsThread.h"
#include "app/MessageSeam.h"
#include "controls/CFSListCtrl.h"
#include "controls/CQuillFlatButton.h"
#include "platform/SystemProgram.h"
#include "tests/gui/support/SpinUntil.h"
#include "tests/gui/support/WizardFlow.h"
#include "tests/support/Command.h"
#include "tests/support/ConvertedNtfs.h"
#include "tests/support/FatFixture.h"

namespace {

using testsupport::TempDir;

// The success question opens nothing, but the letter is written down.
struct OpenedVolumes {
    std::vector<char16_t> Letters;
    OpenedVolumes() {
        SetVolumeOpener([this](QWidget*, char16_t letter) { Letters.push_back(letter); });
    }
    ~OpenedVolumes() { SetVolumeOpener({}); }
};

// "convert" taken from `dir` for the length of a test.
struct StandInDirectory {
    explicit StandInDirectory(const std::string& dir) { platform::SetSystemProgramDirectory(dir); }
    ~StandInDirectory() { platform::SetSystemProgramDirectory(""); }
};

const QString kSuccessQuestion = "Conversion successful. Do you want to open the converted volume?";
const QString kFailed =
    "The converting is failed, more detail see the description in the Text Box.";

// What the converter printed: the details box after the volume details.
QString Output(CExecuteProgressPage* page, const QString& details) {
    const QString text = page->DetailsText();
    EXPECT_TRUE(text.startsWith(details)) << text.left(200).toStdString();
    return text.mid(details.size());
}

// One FAT to NTFS page for E with `label`, converted to its end; questions are answered No.
struct Outcome {
    std::vector<QString> Messages;  // the message boxes
    QString Output;                 // the details box after the volume details
    bool Finished = false;          // ended with Next reading "Finish !"
};

Outcome ConvertOnPage(const std::u16string& label) {
    Answerer answers;
    answers.Answer = [](const MessageQuestion& q) {
        return q.Buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
    };
    CMainFrame frame;
    frame.show();
    frame.SetModule(kModuleFatToNtfs);
    auto* page = new CExecuteProgressPage(&frame, u'E', label, 64 << 20, 1 << 20);
    const QString details = page->DetailsText();
    frame.Pages().PushPage(page);
    ClickNext(page);
    Outcome outcome;
    outcome.Finished = SpinUntil([&] { return page->IsStarted() && !page->IsRunning(); }, 20000) &&
                       page->NextCaption() == "Finish !";
    outcome.Messages = answers.Texts;
    outcome.Output = Output(page, details);
    return outcome;
}

void WriteScript(const std::string& path, const std::string& body) {
    testsupport::WriteFileBytes(path, "#!/bin/sh\n" + body);
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
}

TEST(ToNtfsPage, CommandLineAndAnswerAreFormattedExactly) {
    EXPECT_EQ(ConverterCommandLine(u'E', false), u"convert E: /FS:NTFS /X");
    EXPECT_EQ(ConverterCommandLine(u'Z', true), u"convert Z: /FS:NTFS");
    struct Case {
        std::u16string label;
        std::string answer;
    } cases[] = {
        {u"DATA", "DATA\r\n"},
        {u"", "\r\n"},
        {u"K\u00c4SE", "K\xc3\x84SE\r\n"},
        {std::u16string(300, u'a'), std::string(259, 'a')},  // cut to the buffer, CR LF lost
    };
    for (const Case& c : cases) EXPECT_EQ(LabelAnswer(c.label), c.answer);
    EXPECT_EQ(OutputChunkText("ab\0cd", 5), "ab");  // a chunk ends at a zero byte
}

// The road through the FAT module's list to our converter: the label the list found is the
// answer it accepts, its output fills the details box, and the image is NTFS that every
// outside reader accepts, with every file.
TEST(ToNtfsPage, OurConverterTurnsAFat32ImageIntoNtfs) {
    TempDir dir("tontfspage");
    const std::string image = dir.File("e.img");
    testsupport::FatFixtureLayout layout;
    layout.fatBits = 32;
    layout.megabytes = 64;
    layout.label = "VELUNDRA";
    layout.steps = testsupport::SampleFatSteps();
    testsupport::MakeFatImage(image, layout);
    Drives drives("E=" + image);
    Answerer answers;
    OpenedVolumes opened;
    auto frame = std::make_unique<CMainFrame>();
    frame->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(frame.get()));

    auto* home = static_cast<CHomePage*>(frame->Pages().At(0));
    QTest::mouseClick(home->ModuleButton(kModuleFatToNtfs), Qt::LeftButton);
    ASSERT_TRUE(SpinUntil([&] { return frame->Pages().Count() == 2; }));
    auto* list = dynamic_cast<CVolumeListPage*>(frame->Pages().Top());
    ASSERT_NE(list, nullptr);
    int row = -1;
    for (int r = 0; r < list->Volumes()->GetRowCount(); ++r)
        if (list->Volumes()->DriveLetters[static_cast<size_t>(r)] == u'E') row = r;
    ASSERT_GE(row, 0);
    list->List()->SelectRow(row);
    ClickNext(list);
    ASSERT_TRUE(SpinUntil([&] { return frame->Pages().Count() == 3; }));
    auto* page = dynamic_cast<CExecuteProgressPage*>(frame->Pages().Top());
    ASSERT_NE(page, nullptr);
    ASSERT_EQ(page->VolumeLabel, u"VELUNDRA");
    const QString details = page->DetailsText();
    EXPECT_EQ(page->NoteLines(),
              QStringList({"Note:",
                           "    Convert FAT/FAT32 to NTFS using velundra-tontfs, the converter "
                           "installed with Velundra.",
                           "    NTFS clusters: the FAT cluster size (at most 64 KB), halved until "
                           "it divides the data area's offset."}));

    ClickNext(page);
    ASSERT_TRUE(SpinUntil([&] { return page->IsStarted() && !page->IsRunning(); }, 60000));
    const QString output = Output(page, details);
    EXPECT_EQ(answers.Texts, std::vector<QString>{kSuccessQuestion}) << output.toStdString();
    EXPECT_EQ(opened.Letters, std::vector<char16_t>{u'E'});
    EXPECT_TRUE(output.startsWith("The type of the file system is FAT32.\n"))
        << output.toStdString();
    EXPECT_TRUE(output.contains("Enter current volume label for drive E: "))
        << output.toStdString();
    EXPECT_TRUE(output.contains("NTFS cluster size: 512 bytes.")) << output.toStdString();
    EXPECT_TRUE(output.endsWith("Conversion complete.\n")) << output.toStdString();
    EXPECT_TRUE(page->DetailsScrolledToEnd());
    // No bar, no elapsed time in this module; Finished as in the other.
    EXPECT_FALSE(page->BarVisible());
    EXPECT_EQ(page->ElapsedLine(), "");
    EXPECT_EQ(page->NextCaption(), "Finish !");
    EXPECT_EQ(page->NoteLines().size(), 3);
    // "Note:" is on the page, at the top of the note area (16 pixels under the details box,
    // whose bottom lies 126 above the page's), not under the side picture.
    const QImage shot = page->grab().toImage();
    const int noteTop = page->height() - 126 + 16;
    int ink = 0;
    for (int y = noteTop; y < noteTop + 14; ++y)
        for (int x = 6; x < 40; ++x) ink += qGray(shot.pixel(x, y)) < 100 ? 1 : 0;
    EXPECT_GT(ink, 20);

    testsupport::CheckConverted(dir, image, testsupport::ExpectedTree(layout.steps), "VELUNDRA");
}

// Stand-ins for what our converter never does. Each prints (or not), may read its answer,
// and exits; the page must end as the exit code says, with the output in the details box.
TEST(ToNtfsPage, StandInConvertersEndAsTheirExitCodeSays) {
    TempDir dir("tontfsstandin");
    const std::string script = dir.File("velundra-tontfs"), got = dir.File("stdin"),
                      args = dir.File("args");
    testsupport::WriteFileBytes(dir.File("big.txt"), std::string(10000, '#'));
    struct Case {
        const char* name;
        std::string body;
        std::u16string label;
        QString message;     // the one message box
        QString output;      // what the details box shows after the volume details
        const char* answer;  // what the stand-in read on its standard input (null: not looked at)
    } cases[] = {
        // Prints nothing: no answer is written; exit code 0 is success.
        {"silent",
         "sleep 0.3\ndd if=/dev/stdin iflag=nonblock of='" + got + "' 2>/dev/null\nexit 0\n",
         u"DATA", kSuccessQuestion, "", ""},
        // One answer, CR LF included, after the first output; the input then ends.
        {"records",
         "printf '%s|' \"$@\" >'" + args + "'\necho 'Volume label?'\ncat >'" + got + "'\n", u"DATA",
         kSuccessQuestion, "Volume label?\n", "DATA\r\n"},
        {"records, no label", "echo 'Volume label?'\ncat >'" + got + "'\n", u"", kSuccessQuestion,
         "Volume label?\n", "\r\n"},
        // Fails: the explanation stays in the box, the page says where to look.
        {"fails", "echo 'The volume is damaged.'\nread answer\nexit 1\n", u"DATA", kFailed,
         "The volume is damaged.\n", nullptr},
        // Error text with exit code 0 is still success.
        {"error text", "echo 'error: something odd' >&2\nread answer\nexit 0\n", u"DATA",
         kSuccessQuestion, "error: something odd\n", nullptr},
        // 10000 characters in one write: the box shows the first 8191; later output follows.
        {"long chunk",
         "cat '" + dir.File("big.txt") + "'\nread answer\necho\necho 'after the cut'\n", u"DATA",
         kSuccessQuestion, QString(8191, '#') + "\nafter the cut\n", nullptr},
    };
    StandInDirectory standIns(dir.Path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(got.c_str());
        WriteScript(script, c.body);
        const Outcome outcome = ConvertOnPage(c.label);
        EXPECT_EQ(outcome.Messages, std::vector<QString>{c.message});
        EXPECT_EQ(outcome.Output, c.output);
        EXPECT_TRUE(outcome.Finished);
        if (c.answer) {
            EXPECT_EQ(testsupport::ReadFileBytes(got), c.answer);
        }
    }
    // The command line the stand-in was given.
    EXPECT_EQ(testsupport::ReadFileBytes(args), "E:|/FS:NTFS|/X|");
}

// A converter that cannot be started ends the page at once with the name of the failed call.
TEST(ToNtfsPage, AConverterThatCannotStartIsReported) {
    TempDir dir("tontfsnone");
    struct Case {
        const char* name;
        std::string body;  // empty: no converter at all
    } cases[] = {{"missing", ""},
                 {"not a program",
                  "\x7f"
                  "ELF garbage"}};
    StandInDirectory standIns(dir.Path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.body.empty()) {
            testsupport::WriteFileBytes(dir.File("velundra-tontfs"), c.body);
            ASSERT_EQ(chmod(dir.File("velundra-tontfs").c_str(), 0755), 0);
        }
        const Outcome outcome = ConvertOnPage(u"DATA");
        EXPECT_EQ(outcome.Messages, std::vector<QString>{"CreateProcess"});
        EXPECT_EQ(outcome.Output, "");
        EXPECT_TRUE(outcome.Finished);
    }
}

}  // namespace
