// The report window's Send command: packs the chosen files into the report archive and hands
// a mail with the archive attached to the user's mail client. The window shows what comes
// back: the texts are returned rather than shown, so the window keeps every message box in
// one place.
//
// Threads: the report window's thread. SendErrorReport blocks while it compresses and until
// xdg-email has ended; the window is disabled by its caller meanwhile.
#pragma once

#include <string>
#include <vector>

#include "crashreport/ReportEntry.h"

// Caption of the mail facility's error box (shown with an error icon).
inline constexpr const char* kMailErrorCaption = "CrashRep";

// The mail facility's errors, in place of the two errors of a mail library that cannot be
// loaded or lacks its entry point.
inline constexpr const char* kMailProgramMissingMessage = "Failed to find xdg-email.";
// %d: xdg-email's exit status, or -1 when it could not be run or died from a signal.
inline constexpr const char* kMailProgramFailedMessage =
    "xdg-email failed (exit status %d), the mail was not handed to the mail client.";
// %s: the archive's path.
inline constexpr const char* kArchiveFailedMessage = "Failed to write the archive '%s'.";

// Nothing chosen and nothing written (the window stays open).
inline constexpr const char* kNothingToSendMessage =
    "Please select a file to send, or enter  \r\na message describing the problem.";
// %s: the archive's path, %s: the support address.
inline constexpr const char* kNotSentMessage =
    "The error report was not sent.  Please send the file\r\n    '%s'\r\nto %s.";
// %s: the application name.
inline constexpr const char* kReportSubject = "Error report for %s";

enum class SendOutcome {
    Sent,           // the mail client has the mail: close the window
    NothingToSend,  // show Message (caption "Velundra"); the window stays open
    NotSent,        // show Error (if any, caption kMailErrorCaption), then Message
                    // (caption "Velundra"), then close the window
};

struct SendReportResult {
    SendOutcome Outcome = SendOutcome::NotSent;
    std::string Error;    // NotSent: the mail facility's or the archive's error; may be empty
    std::string Message;  // NothingToSend: kNothingToSendMessage; NotSent: kNotSentMessage
                          // filled in; Sent: empty. UTF-8.
    int FilesAdded = 0;   // files packed into the archive
};

// Sends the report:
//  1. subject "Error report for <application name>" (ReportApplicationName of
//     `executablePath`), body `description`;
//  2. the archive (ReportArchivePath of `executablePath`) built from the entries whose send
//     flag is set (BuildReportArchive);
//  3. no file packed and an empty description: NothingToSend;
//  4. the mail to kSupportName <kSupportAddress> (app/AppInfo.h), the archive attached when files were
//     packed, handed to xdg-email; its text limited to what the Windows-1252 code page holds
//     (a character it cannot hold becomes '_'), as Western mail programs receive it;
//  5. xdg-email missing or failing, or the archive not written: NotSent with the error;
//  6. NotSent always carries the not-sent message naming the archive.
// `executablePath` is normally platform::ExecutablePath().
SendReportResult SendErrorReport(const std::vector<ReportEntry>& entries,
                                 const std::u16string& description,
                                 const std::string& executablePath);
