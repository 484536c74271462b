// The crash report window of the "-report" role: it tells the user that the program crashed,
// takes a description of what they were doing, lists the report's files (ReportEntry.h) and
// sends them.
//
//  - The window lists the files of ReportFiles.h (BuildReportEntries) found in its directory.
//  - The link "Click Here." (a hand cursor while the mouse is over it) opens the contents
//    window (CReportContentsDlg) when the report has at least one file; the user's check
//    marks there decide which files are sent.
//  - "Send Error Report" (command 1009) hands the entries and the description to the sender
//    (SendErrorReport) while the window is disabled, and shows what came back: with nothing
//    to send (no file packed, no description) the message asking for a file or a message,
//    and the window stays open; when the report was not sent the mail facility's error
//    (caption "CrashRep") and the message naming the archive, then the window closes; when
//    it was sent the window closes.
//  - "Don't Send" (command 1010) closes the window without sending.
//
// Ownership: the window owns its entries and its contents window. Threads: the user-interface
// thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QDialog>
#include <QIcon>

#include "crashreport/ReportEntry.h"
#include "crashreport/SendErrorReport.h"

class CHyperLink;
class CReportContentsDlg;
class QLabel;
class QPlainTextEdit;
class QPushButton;

inline constexpr int kCmdSendReport = 1009;
inline constexpr int kCmdDontSend = 1010;

// The most characters the description box takes.
inline constexpr int kReportDescriptionLimit = 131072;

class CCrashReportDlg : public QDialog {
    Q_OBJECT
public:
    // Sends the entries with the description (its lines ending in LF); SendErrorReport
    // with the executable's path unless a test sets another.
    using Sender = std::function<SendReportResult(const std::vector<ReportEntry>& entries,
                                                  const std::u16string& description)>;

    // `programName` is the window's title and the name in its banner; `directory` (ending in
    // '/') is where the report's files lie; `programIcon` is the window's icon and the
    // banner's picture.
    CCrashReportDlg(const QString& programName, const std::string& directory, const QIcon& programIcon,
                    QWidget* parent = nullptr);
    ~CCrashReportDlg() override;

    void SetSender(Sender sender) { Sender_ = std::move(sender); }

    // The link's action: opens the contents window (modal) when there is an entry.
    void ShowContents();
    // Command 1009.
    void Send();

    const std::vector<ReportEntry>& Entries() const { return Entries_; }
    QPlainTextEdit* DescriptionBox() const { return Description_; }
    CHyperLink* ContentsLink() const { return Link_; }
    QPushButton* SendButton() const { return Send_; }
    QPushButton* DontSendButton() const { return DontSend_; }
    // The open contents window, or null.
    CReportContentsDlg* Contents() const { return Contents_.get(); }

private:
    // Keeps the description within kReportDescriptionLimit: what a typing or a paste adds
    // beyond it is cut off.
    void LimitDescription(int position, int added);

    std::vector<ReportEntry> Entries_;
    Sender Sender_;
    QPlainTextEdit* Description_ = nullptr;
    CHyperLink* Link_ = nullptr;
    QPushButton* Send_ = nullptr;
    QPushButton* DontSend_ = nullptr;
    std::unique_ptr<CReportContentsDlg> Contents_;
    bool Limiting = false;
};
