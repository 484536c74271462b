// The volume list page and the conversion page under the offscreen platform: the road from a
// module button through the list to a finished conversion of a real ntfs-3g image (given to
// the drive table as E by VELUNDRA_DRIVES), refusals, closing while a conversion runs, and
// what the conversion page shows.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QHeaderView>
#include <QPointer>
#include <QTest>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/CExecuteProgressPage.h"
#include "app/CMainFrame.h"
#include "tests/gui/support/SpinUntil.h"
#include "tests/gui/support/WizardFlow.h"
#include "app/CVolumeListPage.h"
#include "app/MessageSeam.h"
#include "controls/CFSListCtrl.h"
#include "controls/CQuillFlatButton.h"
#include "controls/CQuillToolbar.h"
#include "platform/DriveTable.h"
#include "tests/support/Command.h"
#include "tests/support/ConvertedVolume.h"
#include "tests/support/Fixtures.h"
#include "tests/support/Sha256.h"

namespace {

using testsupport::TempDir;

std::unique_ptr<CMainFrame> ShownFrame() {
    auto frame = std::make_unique<CMainFrame>();
    frame->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(frame.get()));
    return frame;
}

CHomePage* Home(CMainFrame* frame) { return static_cast<CHomePage*>(frame->Pages().At(0)); }

CVolumeListPage* ChooseModule(CMainFrame* frame, int module) {
    QTest::mouseClick(Home(frame)->ModuleButton(module), Qt::LeftButton);
    SpinUntil([&] { return frame->Pages().Count() == 2; });
    return frame->Pages().Count() == 2 ? dynamic_cast<CVolumeListPage*>(frame->Pages().Top()) : nullptr;
}

int RowOf(CVolumeListPage* page, char16_t letter) {
    CVolumeListModel* m = page->Volumes();
    for (int r = 0; r < m->GetRowCount(); ++r)
        if (m->DriveLetters[static_cast<size_t>(r)] == letter) return r;
    return -1;
}

const QString kSuccessQuestion = "Conversion successful. Do you want to open the converted volume?";

// The list page's parts, the flow from the module to a converted volume, and Back to a
// refreshed list where the converted volume has left the NTFS module's list.
TEST(Wizard, ListNextConvertAndBackRefreshes) {
    // Times on FAT are local; the checks read them as UTC.
    setenv("TZ", "UTC", 1);
    tzset();
    TempDir dir("wizard");
    const std::string image = testsupport::CopyFixture("convert512", dir.File("e.img"));
    const testsupport::NtfsSnapshot before = testsupport::TakeNtfsSnapshot(image);
    Drives drives("E=" + image);
    Answerer answers;
    std::vector<char16_t> opened;
    SetVolumeOpener([&](QWidget*, char16_t letter) { opened.push_back(letter); });

    auto frame = ShownFrame();
    CVolumeListPage* list = ChooseModule(frame.get(), kModuleNtfsToFat32);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Filter(), kFilterNtfs);
    EXPECT_EQ(list->Header()->Subtitle(), "Please select the NTFS volume which you want to convert to FAT32 below.");
    ASSERT_EQ(list->Toolbar()->Buttons().size(), 1u);
    EXPECT_EQ(list->Toolbar()->Buttons()[0]->text(), " Refresh Volume");
    EXPECT_EQ(list->Toolbar()->Buttons()[0]->toolTip(), "To search newly connected NTFS volumes.");
    EXPECT_EQ(list->Toolbar()->geometry(), QRect(0, 50, 602, 45));
    EXPECT_EQ(list->Button(CWizardBtnGroup::Next)->toolTip(), "To analyze the selected volume.");
    CFSListCtrl* ctrl = list->List();
    EXPECT_EQ(ctrl->geometry(), QRect(6, 100, 590, 303));
    ASSERT_EQ(ctrl->ColumnCount(), 4);
    const char* titles[] = {"Volume", "File System", "Total Size", "Free Space"};
    const int widths[] = {200, 80, 100, 100};
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(ctrl->model()->headerData(c, Qt::Horizontal).toString(), titles[c]);
        EXPECT_EQ(ctrl->columnWidth(c), widths[c]);
    }

    const int row = RowOf(list, u'E');
    ASSERT_GE(row, 0);
    EXPECT_TRUE(ctrl->CellText(row, 0).endsWith(" (E:)")) << ctrl->CellText(row, 0).toStdString();
    EXPECT_EQ(ctrl->CellText(row, 1), "NTFS");
    EXPECT_EQ(ctrl->CellText(row, 2), "40.00 MB");
    EXPECT_TRUE(ctrl->CellText(row, 3).endsWith(" MB"));
    EXPECT_EQ(ctrl->SelectedRow(), -1);  // nothing is selected at first

    // Next without a selection asks for one and stays.
    ClickNext(list);
    EXPECT_TRUE(SpinUntil([&] { return answers.Count("Please select a volume to convert to FAT32.") == 1; }));
    EXPECT_EQ(frame->Pages().Count(), 2);

    // Next with E selected: the conversion page for E.
    QTest::mouseClick(ctrl->viewport(), Qt::LeftButton, {}, ctrl->visualRect(ctrl->model()->index(row, 0)).center());
    ASSERT_EQ(ctrl->SelectedRow(), row);
    ClickNext(list);
    ASSERT_TRUE(SpinUntil([&] { return frame->Pages().Count() == 3; }));
    auto* page = dynamic_cast<CExecuteProgressPage*>(frame->Pages().Top());
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->DriveLetter, u'E');
    EXPECT_TRUE(page->DetailsText().contains("Drive Letter:\tE \n")) << page->DetailsText().toStdString();
    EXPECT_TRUE(page->DetailsText().contains("Total Size:\t40.00 MB \n"));
    EXPECT_EQ(page->NextCaption(), "Convert >");
    EXPECT_FALSE(page->BarVisible());

    // Convert runs to the end.
    ClickNext(page);
    ASSERT_TRUE(SpinUntil([&] { return page->IsStarted() && !page->IsRunning(); }, 120000));
    EXPECT_EQ(page->BarPosition(), 100);
    EXPECT_TRUE(page->BarVisible());
    EXPECT_EQ(page->StatusLine(), "Converting NTFS to FAT32 is successful.");
    EXPECT_EQ(answers.Count(kSuccessQuestion), 1);
    EXPECT_EQ(opened, std::vector<char16_t>{u'E'});  // Yes opens the volume
    EXPECT_EQ(page->NextCaption(), "Finish !");
    EXPECT_EQ(page->Next()->toolTip(), "The converting is end, clicking return to start page.");
    EXPECT_TRUE(page->Back()->isEnabled());
    EXPECT_TRUE(page->ElapsedLine().startsWith("Elapsed Time: 00:0")) << page->ElapsedLine().toStdString();
    EXPECT_TRUE(page->ElapsedLine().endsWith("        Total Progress: 100%"));
    testsupport::ExpectConvertedVolumeMatches(before, image);
    // The conversion kept an undo file in the data folder, and the details box says where;
    // it puts the NTFS volume back.
    const QString details = page->DetailsText();
    const int at = details.indexOf("Undo file: ");
    ASSERT_GE(at, 0) << details.toStdString();
    const std::string undoPath = details.mid(at + 11).section('\n', 0, 0).toStdString();
    EXPECT_EQ(undoPath.rfind(std::string(std::getenv("VELUNDRA_DATA_DIR")) + "/undo/", 0), 0u) << undoPath;
    EXPECT_TRUE(details.contains(QString::fromStdString("velundra-convert --rollback " + undoPath + " " + image)));

    // Back: the list again, enumerated afresh; E is FAT32 now and no longer listed here.
    QTest::mouseClick(page->Back(), Qt::LeftButton);
    ASSERT_TRUE(SpinUntil([&] { return frame->Pages().Count() == 2; }));
    EXPECT_EQ(RowOf(list, u'E'), -1);
    EXPECT_TRUE(list->isVisible());
    SetVolumeOpener({});
    const auto rolled = testsupport::RunCommand(
        {testsupport::ProgramPath("velundra-convert"), "--rollback", undoPath, "--yes", image});
    EXPECT_EQ(rolled.exitCode, 0) << rolled.Describe();
    EXPECT_EQ(testsupport::TakeNtfsSnapshot(image).entries.size(), before.entries.size());
}

// A volume the conversion refuses ends Finished with the refusal, the bar at 0 and the image
// as it was; Finish leads home. No on the success question is not reached here, so the
// elapsed line and the bar are checked on the finished page too.
TEST(Wizard, RefusedVolumeEndsFinishedAndFinishGoesHome) {
    TempDir dir("wizard");
    const std::string image = testsupport::CopyFixture("refuse-compressed", dir.File("e.img"));
    const std::string hash = testsupport::Sha256File(image);
    Drives drives("E=" + image);
    Answerer answers;
    auto frame = ShownFrame();
    CVolumeListPage* list = ChooseModule(frame.get(), kModuleNtfsToFat32);
    ASSERT_NE(list, nullptr);
    const int row = RowOf(list, u'E');
    ASSERT_GE(row, 0);
    list->List()->SelectRow(row);
    ClickNext(list);
    ASSERT_TRUE(SpinUntil([&] { return frame->Pages().Count() == 3; }));
    auto* page = static_cast<CExecuteProgressPage*>(frame->Pages().Top());
    ClickNext(page);
    ASSERT_TRUE(SpinUntil([&] { return page->IsStarted() && !page->IsRunning(); }, 60000));

    const QString refusal = "The file '/Zip/packed.txt' contain Compressed or Encrypted attribute, please remove these "
                            "attributes and retry!";
    EXPECT_EQ(page->StatusLine(), refusal);
    EXPECT_EQ(answers.Count(refusal), 1);
    EXPECT_EQ(answers.Count(kSuccessQuestion), 0);
    EXPECT_EQ(page->BarPosition(), 0);
    EXPECT_EQ(page->NextCaption(), "Finish !");
    testsupport::ExpectImageUnchanged(image, hash);

    // What the page shows: 25 hours wrap to 01:00:00; 0.999 shows 99 and 1.0 shows 100.
    page->SetTimes(1000, 1000 + 25 * 3600);
    EXPECT_EQ(page->ElapsedLine(), "Elapsed Time: 01:00:00        Total Progress: 0%");
    page->SetProgress(0.999f);
    EXPECT_EQ(page->BarPosition(), 99);
    page->SetProgress(1.0f);
    EXPECT_EQ(page->BarPosition(), 100);

    // Finish: home, the two pages destroyed.
    QPointer<CBasePage> listPage = list;
    ClickNext(page);
    ASSERT_TRUE(SpinUntil([&] { return frame->Pages().Count() == 1; }));
    EXPECT_TRUE(listPage.isNull());
}

// While the worker waits for the running-programs question the main window refuses to
// close; No to the question ends in "Opening volume ... failed" with nothing written.
TEST(Wizard, BusyVolumeRefusesClosingWhileRunningAndNoLocksNothing) {
    TempDir dir("wizard");
    const std::string image = testsupport::CopyFixture("c4096", dir.File("e.img"));
    const std::string hash = testsupport::Sha256File(image);
    // Another holder of the image: the lock is refused, so the question comes.
    const int holder = open(image.c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    Drives drives("E=" + image);
    Answerer answers;
    auto frame = ShownFrame();
    bool refusedClose = false;
    answers.Answer = [&](const MessageQuestion& q) {
        if (q.Text.startsWith("Some programs is running")) {
            refusedClose = !frame->close() && frame->isVisible();
            return MessageAnswer::No;
        }
        return MessageAnswer::Ok;
    };
    auto* page = new CExecuteProgressPage(frame.get(), u'E', u"", 4096, 0);
    frame->Pages().PushPage(page);
    ClickNext(page);
    ASSERT_TRUE(SpinUntil([&] { return page->IsStarted() && !page->IsRunning(); }, 30000));
    close(holder);

    EXPECT_TRUE(refusedClose);
    EXPECT_EQ(answers.Count("Convering is executing, please don't close."), 1);
    const QString failed = "Opening volume 'E:' failed. \nPlease try closing the programs that are running on this volume.";
    EXPECT_EQ(answers.Count(failed), 1);
    EXPECT_EQ(page->StatusLine(), failed);
    EXPECT_TRUE(frame->close());  // finished: the window may close
    testsupport::ExpectImageUnchanged(image, hash);
}

// The volume that holds the program is refused before anything is locked: no question.
TEST(Wizard, OwnVolumeIsRefusedBeforeLocking) {
    const std::optional<platform::VolumeLocation> self = platform::ExecutableVolume();
    ASSERT_TRUE(self.has_value());
    Drives drives("E=" + self->devicePath);
    Answerer answers;
    auto frame = ShownFrame();
    auto* page = new CExecuteProgressPage(frame.get(), u'E', u"Home", 1 << 30, 1 << 20);
    frame->Pages().PushPage(page);
    ClickNext(page);
    ASSERT_TRUE(SpinUntil([&] { return page->IsStarted() && !page->IsRunning(); }));
    const QString refusal = "The program self is running on the volume 'E:' which will be converted,\nplease put "
                            "Velundra installs to other volume and try again.";
    ASSERT_EQ(answers.Texts, std::vector<QString>{refusal});
    EXPECT_EQ(page->StatusLine(), refusal);
}

// The details box, with and without a label, and the list's empty-list message given once.
TEST(Wizard, DetailsTextAndNoVolumeMessageOnce) {
    EXPECT_EQ(CExecuteProgressPage::DetailsFor(true, u'E', u"", 1536, 0),
              "\n Convert NTFS to FAT32 \n\n Drive Letter:\tE \n Volume Label:\t \n Total Size:\t1.500 KB \n "
              "Free Space:\t0.000 B\n\n");
    EXPECT_TRUE(CExecuteProgressPage::DetailsFor(false, u'F', u"CAMERA", 1024, 1024).contains("Volume Label:\tCAMERA \n"));

    // The FAT module with only an image that is NTFS among the letters we set: the list may
    // still hold this machine's own FAT volumes, so the message is expected only when empty.
    Answerer answers;
    auto frame = ShownFrame();
    CVolumeListPage* list = ChooseModule(frame.get(), kModuleFatToNtfs);
    ASSERT_NE(list, nullptr);
    const QString none = "No FAT Volume is found on your computer. Please try refreshing volume.";
    const bool empty = list->Volumes()->GetRowCount() == 0;
    SpinUntil([&] { return answers.Count(none) > 0; }, empty ? 3000 : 200);
    EXPECT_EQ(answers.Count(none), empty ? 1 : 0);
    list->OnCommand(kCmdRefreshVolume);
    list->OnReactivate();
    QTest::qWait(50);
    EXPECT_EQ(answers.Count(none), empty ? 1 : 0);  // a refresh reports nothing
}

}  // namespace

namespace {

// Opening a converted volume that cannot be mounted, or whose letter has gone, tells the
// user and names the device; nothing is opened. udisksctl is replaced by one that fails.
TEST(Wizard, OpeningAVolumeThatCannotBeMountedNamesItsDevice) {
    TempDir dir("opener");
    testsupport::WriteFileBytes(dir.File("udisksctl"), "#!/bin/sh\nexit 1\n");
    testsupport::WriteFileBytes(dir.File("xdg-open"), "#!/bin/sh\ntouch '" + dir.File("opened") + "'\n");
    chmod(dir.File("udisksctl").c_str(), 0755);
    chmod(dir.File("xdg-open").c_str(), 0755);
    const std::string oldPath = std::getenv("PATH");
    setenv("PATH", (dir.Path() + ":" + oldPath).c_str(), 1);
    const std::string image = dir.File("fat.img");
    testsupport::WriteFileBytes(image, std::string(1 << 20, '\0'));

    struct Case {
        std::string drives;
        QString text;
    } cases[] = {
        {"E=" + image, QString("The converted volume %1 could not be mounted, so it cannot be opened.")
                           .arg(QString::fromStdString(image))},
        {"F=" + image, "The volume E: is no longer present, so it cannot be opened."},
    };
    for (const Case& c : cases) {
        Drives drives(c.drives);
        Answerer answers;
        OpenConvertedVolume(nullptr, u'E');
        EXPECT_EQ(answers.Texts, std::vector<QString>{c.text});
    }
    EXPECT_NE(access(dir.File("opened").c_str(), F_OK), 0);
    setenv("PATH", oldPath.c_str(), 1);
}

}  // namespace
