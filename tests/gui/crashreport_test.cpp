// The crash report window and its contents window under the offscreen platform: the texts,
// the offered files and their sizes, the description box's limit, the contents window's
// list, check boxes and viewer, and what Send and Don't Send do.
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include "app/MessageSeam.h"
#include "controls/CHyperLink.h"
#include "crashreport/CCrashReportDlg.h"
#include "crashreport/CReportContentsDlg.h"
#include "crashreport/ReportFileView.h"
#include "tests/gui/support/SpinUntil.h"
#include "tests/gui/support/WizardFlow.h"
#include "tests/support/Command.h"

namespace {

using testsupport::TempDir;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// 1000 bytes of text with `controls` bytes of value 2 among the first 100.
std::string TextWithControls(int controls) {
    std::string s;
    for (int i = 0; i < 1000; ++i) s.push_back(static_cast<char>('A' + i % 26));
    for (int i = 0; i < controls; ++i) s[static_cast<size_t>(5 + i * 19)] = '\x02';
    return s;
}

// A report window over a directory, shown.
struct Report {
    TempDir Dir{"crashreport"};
    std::unique_ptr<CCrashReportDlg> Window;

    std::string File(const char* name) const { return Dir.Path() + "/" + name; }
    CCrashReportDlg* Open() {
        QPixmap picture(32, 32);
        picture.fill(Qt::red);
        Window = std::make_unique<CCrashReportDlg>(QStringLiteral("Velundra"), Dir.Path() + "/", QIcon(picture));
        Window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(Window.get()));
        return Window.get();
    }
    CReportContentsDlg* OpenContents() {
        QTest::mouseClick(Window->ContentsLink(), Qt::LeftButton);
        SpinUntil([&] { return Window->Contents() && Window->Contents()->isVisible(); });
        if (Window->Contents()) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(Window->Contents()));
        }
        return Window->Contents();
    }
};

QStringList LabelTexts(QWidget* w) {
    QStringList texts;
    for (QLabel* l : w->findChildren<QLabel*>()) texts << l->text();
    return texts;
}

// Activates a row of the contents window's list as a double click does.
void DoubleClickRow(CReportContentsDlg* contents, int row) {
    QTreeWidget* list = contents->List();
    const QRect r = list->visualItemRect(list->topLevelItem(row));
    // A double click is a click followed by the second press, which the system reports as a
    // double click.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
}

QStringList ViewerLines(CReportContentsDlg* contents) {
    return contents->Viewer()->toPlainText().split('\n');
}

}  // namespace

TEST(CrashReport, ShowsTheTextsOfTheReportAndAHandOverTheLink) {
    Report report;
    CCrashReportDlg* w = report.Open();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Velundra"));
    EXPECT_FALSE(w->windowIcon().isNull());
    const QStringList texts = LabelTexts(w);
    for (const char* text : {
             "Velundra has encountered a problem and needs to close.  We are sorry for the inconvenience.",
             "If you were in the middle of something, the information you were working on might be lost.",
             "Please tell us about this problem.",
             "We have created an error report that you can send to us.  We will treat this report as "
             "confidential and anonymous.",
             "To help us diagnose the cause of this error and improve this software, please describe what you "
             "were doing when this error occurred, and send this report to us.",
             "Describe what you were doing when the error occurred  (optional):",
             "To see what this report contains,"})
        EXPECT_TRUE(texts.contains(QString::fromUtf8(text))) << text;
    for (QLabel* l : w->findChildren<QLabel*>()) {
        const bool bold = l->text().startsWith("Velundra has") || l->text() == "Please tell us about this problem.";
        EXPECT_EQ(QFontInfo(l->font()).bold(), bold) << l->text().toStdString();
    }
    EXPECT_EQ(w->ContentsLink()->Text(), QStringLiteral("Click Here."));
    EXPECT_EQ(w->ContentsLink()->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(w->cursor().shape(), Qt::ArrowCursor);
    EXPECT_EQ(w->SendButton()->text(), QStringLiteral("Send Error Report"));
    EXPECT_EQ(w->DontSendButton()->text(), QStringLiteral("Don't Send"));
    // No files: nothing offered, and the link opens nothing.
    EXPECT_TRUE(w->Entries().empty());
    QTest::mouseClick(w->ContentsLink(), Qt::LeftButton);
    QTest::qWait(50);
    EXPECT_EQ(w->Contents(), nullptr);
}

TEST(CrashReport, OffersOnlyFilesThatExistAndAreNotEmptyWithTheirSizes) {
    const QString sep = QLocale::system().groupSeparator();
    struct Case {
        uintmax_t log;   // bytes of log.log; 0: empty; -1: none
        uintmax_t dump;  // same for dump0.dmp
        QStringList sizes;
    } cases[] = {
        {100, 1536, {"1 KB ", "2 KB "}},
        {0, 1536, {"2 KB "}},
        {1536, uintmax_t(-1), {"2 KB "}},
        {uintmax_t(-1), 0, {}},
        {2000 * 1024 + 600, 100, {"2" + sep + "001 KB ", "1 KB "}},
    };
    for (const Case& c : cases) {
        Report report;
        if (c.log != uintmax_t(-1)) {
            WriteFile(report.File("log.log"), "");
            std::filesystem::resize_file(report.File("log.log"), c.log);
        }
        if (c.dump != uintmax_t(-1)) {
            WriteFile(report.File("dump0.dmp"), "");
            std::filesystem::resize_file(report.File("dump0.dmp"), c.dump);
        }
        CCrashReportDlg* w = report.Open();
        QStringList sizes;
        for (const ReportEntry& e : w->Entries()) sizes << QString::fromStdU16String(e.SizeText);
        EXPECT_EQ(sizes, c.sizes) << c.log << " " << c.dump;
    }
}

TEST(CrashReport, TheDescriptionBoxTakesAtMost131072Characters) {
    Report report;
    CCrashReportDlg* w = report.Open();
    QPlainTextEdit* box = w->DescriptionBox();
    box->setFocus();
    QTest::keyClicks(box, "crash");
    // A paste beyond the limit (in lines: one line that long takes the box seconds to lay out).
    box->insertPlainText(QStringLiteral("xxxxxxxxxxxxxxx\n").repeated(kReportDescriptionLimit / 16 + 1));
    EXPECT_EQ(box->toPlainText().size(), kReportDescriptionLimit);
    EXPECT_TRUE(box->toPlainText().startsWith("crashxxx"));
    QTest::keyClicks(box, "Z");
    EXPECT_EQ(box->toPlainText().size(), kReportDescriptionLimit);
    EXPECT_FALSE(box->toPlainText().contains('Z'));
    // Room again after a deletion.
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClicks(box, "Z");
    EXPECT_EQ(box->toPlainText().size(), kReportDescriptionLimit);
    EXPECT_TRUE(box->toPlainText().endsWith('Z'));
}

TEST(CrashReport, TheContentsWindowListsTheFilesAndCloseKeepsTheCheckStates) {
    Report report;
    WriteFile(report.File("log.log"), std::string(100, 'l'));
    WriteFile(report.File("dump0.dmp"), std::string(1536, 'd'));
    report.Open();
    CReportContentsDlg* contents = report.OpenContents();
    ASSERT_NE(contents, nullptr);
    EXPECT_EQ(contents->windowTitle(), QStringLiteral("Error Report Contents"));
    EXPECT_TRUE(contents->isModal());
    const QStringList texts = LabelTexts(contents);
    for (const char* text : {"    Please uncheck any files you do not wish to send.",
                             "Double-click a file to view its contents.", "Name:", "Description:"})
        EXPECT_TRUE(texts.contains(QString::fromUtf8(text))) << text;
    for (QLabel* l : contents->findChildren<QLabel*>())
        if (l->text().startsWith("    Please uncheck")) {
            EXPECT_EQ(l->palette().color(QPalette::WindowText), QColor(Qt::blue));
            EXPECT_EQ(l->palette().color(QPalette::Window), QColor(Qt::white));
            EXPECT_EQ(QFontInfo(l->font()).pixelSize(), QFontInfo(contents->font()).pixelSize() + 2);
        }

    QTreeWidget* list = contents->List();
    QStringList headers;
    for (int c = 0; c < list->columnCount(); ++c) headers << list->headerItem()->text(c);
    EXPECT_EQ(headers, QStringList({"Send", "Name", "Description", "Type", "Size"}));
    const int width = list->viewport()->width();
    const int shares[] = {9, 18, 17, 12};
    for (int c = 0; c < 4; ++c) EXPECT_EQ(list->columnWidth(c), width * shares[c] / 64) << c;
    ASSERT_EQ(list->topLevelItemCount(), 2);
    struct Row {
        const char* name;
        const char* description;
        const char* type;
        const char* size;
    } rows[] = {{"log.log", "log file", "Text Document", "1 KB "}, {"dump0.dmp", "crash dump file", "DMP File", "2 KB "}};
    for (int r = 0; r < 2; ++r) {
        QTreeWidgetItem* item = list->topLevelItem(r);
        EXPECT_EQ(item->checkState(CReportContentsDlg::ColSend), Qt::Checked);
        EXPECT_EQ(item->text(CReportContentsDlg::ColName), rows[r].name);
        EXPECT_EQ(item->text(CReportContentsDlg::ColDescription), rows[r].description);
        EXPECT_EQ(item->text(CReportContentsDlg::ColType), rows[r].type);
        EXPECT_EQ(item->text(CReportContentsDlg::ColSize), rows[r].size);
    }

    // The user unchecks the dump with the keyboard and closes: the dump is no longer sent,
    // and the window shows it unchecked when opened again.
    list->setFocus();
    list->setCurrentItem(list->topLevelItem(1), CReportContentsDlg::ColSend);
    QTest::keyClick(list, Qt::Key_Space);
    EXPECT_EQ(list->topLevelItem(1)->checkState(CReportContentsDlg::ColSend), Qt::Unchecked);
    QTest::mouseClick(contents->CloseButton(), Qt::LeftButton);
    EXPECT_FALSE(contents->isVisible());
    ASSERT_EQ(report.Window->Entries().size(), 2u);
    EXPECT_EQ(report.Window->Entries()[0].Send, 1u);
    EXPECT_EQ(report.Window->Entries()[1].Send, 0u);
    contents = report.OpenContents();
    ASSERT_NE(contents, nullptr);
    EXPECT_EQ(contents->List()->topLevelItem(0)->checkState(CReportContentsDlg::ColSend), Qt::Checked);
    EXPECT_EQ(contents->List()->topLevelItem(1)->checkState(CReportContentsDlg::ColSend), Qt::Unchecked);
    // The close box keeps them too.
    contents->List()->topLevelItem(0)->setCheckState(CReportContentsDlg::ColSend, Qt::Unchecked);
    contents->close();
    EXPECT_EQ(report.Window->Entries()[0].Send, 0u);
}

TEST(CrashReport, TheViewerShowsTextOrAHexDumpInCourier) {
    Report report;
    WriteFile(report.File("log.log"), TextWithControls(4));
    WriteFile(report.File("dump0.dmp"), TextWithControls(5));
    report.Open();
    CReportContentsDlg* contents = report.OpenContents();
    ASSERT_NE(contents, nullptr);
    EXPECT_TRUE(QFontInfo(contents->Viewer()->font()).fixedPitch());
    if (std::filesystem::exists("/usr/share/wine/fonts/courier.ttf")) {
        EXPECT_TRUE(QFontInfo(contents->Viewer()->font()).family().startsWith("Courier"))
            << QFontInfo(contents->Viewer()->font()).family().toStdString();
    }
    EXPECT_TRUE(contents->Viewer()->isReadOnly());

    // Four odd bytes among the first hundred: text.
    DoubleClickRow(contents, 0);
    EXPECT_EQ(contents->NameField()->text(), QStringLiteral("log.log"));
    EXPECT_EQ(contents->DescriptionField()->text(), QStringLiteral("log file"));
    EXPECT_EQ(contents->Viewer()->toPlainText(), QString::fromLatin1(TextWithControls(4)));

    // Five: a hex dump of whole 16-byte lines, scrolled to its top.
    DoubleClickRow(contents, 1);
    EXPECT_EQ(contents->NameField()->text(), QStringLiteral("dump0.dmp"));
    EXPECT_EQ(contents->DescriptionField()->text(), QStringLiteral("crash dump file"));
    QStringList lines = ViewerLines(contents);
    ASSERT_EQ(lines.size(), 63 + 1);  // 1000 bytes: 63 lines, each ending in a line break
    EXPECT_EQ(lines[0], QStringLiteral("0x00000000: 44434241 48470245 4c4b4a49 504f4e4d ABCDE.GHIJKLMNOP"));
    EXPECT_EQ(lines[62].left(12), QStringLiteral("0x000003e0: "));
    EXPECT_EQ(contents->Viewer()->textCursor().position(), 0);

    // 32 bytes make two lines, 33 three.
    for (int size : {32, 33}) {
        WriteFile(report.File("dump0.dmp"), std::string(static_cast<size_t>(size), '\xee'));
        DoubleClickRow(contents, 1);
        lines = ViewerLines(contents);
        EXPECT_EQ(lines.size(), (size == 32 ? 2 : 3) + 1) << size;
        EXPECT_EQ(lines.back(), QString());
        EXPECT_EQ(lines[1], QStringLiteral("0x00000010: eeeeeeee eeeeeeee eeeeeeee eeeeeeee ................"));
        if (size == 33) {
            EXPECT_EQ(lines[2], QStringLiteral("0x00000020: 000000ee 00000000 00000000 00000000 ................"));
        }
    }
}

TEST(CrashReport, SendWithNothingChosenAndNoDescriptionAsksAndStaysOpen) {
    Report report;
    WriteFile(report.File("log.log"), "log line\r\n");
    WriteFile(report.File("dump0.dmp"), "MDMP");
    CCrashReportDlg* w = report.Open();
    CReportContentsDlg* contents = report.OpenContents();
    ASSERT_NE(contents, nullptr);
    for (int r = 0; r < 2; ++r) contents->List()->topLevelItem(r)->setCheckState(CReportContentsDlg::ColSend, Qt::Unchecked);
    QTest::mouseClick(contents->CloseButton(), Qt::LeftButton);

    Answerer answers;
    QTest::mouseClick(w->SendButton(), Qt::LeftButton);
    ASSERT_EQ(answers.Questions.size(), 1u);
    EXPECT_EQ(answers.Questions[0].Text,
              QStringLiteral("Please select a file to send, or enter  \r\na message describing the problem."));
    EXPECT_EQ(answers.Questions[0].Caption, QStringLiteral("Velundra"));
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->isEnabled());
    EXPECT_EQ(w->result(), QDialog::Rejected);
}

TEST(CrashReport, SendShowsWhatTheSenderReportsAndClosesDontSendSendsNothing) {
    struct Case {
        SendOutcome outcome;
        std::string error;
        std::vector<QString> captions;  // of the boxes shown, in order
        bool closes;
    } cases[] = {
        {SendOutcome::Sent, "", {}, true},
        {SendOutcome::NotSent, "Failed to find xdg-email.", {"CrashRep", "Velundra"}, true},
        {SendOutcome::NotSent, "", {"Velundra"}, true},
        {SendOutcome::NothingToSend, "", {"Velundra"}, false},
    };
    for (const Case& c : cases) {
        Report report;
        WriteFile(report.File("log.log"), "log line\r\n");
        CCrashReportDlg* w = report.Open();
        std::vector<std::vector<ReportEntry>> calls;
        std::u16string description;
        bool enabledDuringCall = true;
        w->SetSender([&](const std::vector<ReportEntry>& entries, const std::u16string& text) {
            calls.push_back(entries);
            description = text;
            enabledDuringCall = w->isEnabled();
            SendReportResult r;
            r.Outcome = c.outcome;
            r.Error = c.error;
            r.Message = c.outcome == SendOutcome::Sent ? "" : "the message";
            return r;
        });
        QTest::keyClicks(w->DescriptionBox(), "it broke");
        Answerer answers;
        QTest::mouseClick(w->SendButton(), Qt::LeftButton);
        ASSERT_EQ(calls.size(), 1u);
        ASSERT_EQ(calls[0].size(), 1u);
        EXPECT_EQ(calls[0][0].Send, 1u);
        EXPECT_EQ(description, u"it broke");
        EXPECT_FALSE(enabledDuringCall);
        std::vector<QString> captions;
        for (const MessageQuestion& q : answers.Questions) captions.push_back(q.Caption);
        EXPECT_EQ(captions, c.captions);
        if (!c.error.empty()) {
            EXPECT_EQ(answers.Questions[0].Text, QString::fromStdString(c.error));
            EXPECT_EQ(answers.Questions[0].Icon, MessageIcon::Error);
        }
        if (!answers.Questions.empty()) {
            EXPECT_EQ(answers.Questions.back().Text, QStringLiteral("the message"));
        }
        EXPECT_EQ(w->isVisible(), !c.closes);
    }

    Report report;
    CCrashReportDlg* w = report.Open();
    int calls = 0;
    w->SetSender([&](const std::vector<ReportEntry>&, const std::u16string&) {
        ++calls;
        return SendReportResult{};
    });
    QTest::mouseClick(w->DontSendButton(), Qt::LeftButton);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(calls, 0);
}
