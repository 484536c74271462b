// Handing a mail to the user's mail client: xdg-email, the desktop's mail facility, opens
// the client's compose window with the recipient, subject, body and attachment filled in;
// the user sends it from there.
//
// Threads: any thread. HandToMailClient blocks until xdg-email has ended (it returns once
// the compose window is asked for, not when the mail has gone).
#pragma once

#include <string>
#include <vector>

namespace platform {

// The mail facility's program, looked up in PATH.
inline constexpr const char* kMailProgram = "xdg-email";

// One mail, all text UTF-8.
struct MailMessage {
    std::string Subject;
    std::string Body;
    std::string RecipientName;     // e.g. "Velundra Support"
    std::string RecipientAddress;  // e.g. "support@velundra.org"
    std::string AttachmentPath;    // a file attached; empty: no attachment
};

enum class MailStatus {
    Handed,    // xdg-email took the mail and ended with status 0
    NotFound,  // no xdg-email in PATH
    Failed,    // it could not be started (or the desktop's user not taken on), died from a
               // signal, or ended with another status
};

struct MailResult {
    MailStatus Status = MailStatus::Failed;
    int ExitCode = -1;  // xdg-email's exit status; -1 when it did not start or died from a signal
    int Error = 0;      // errno when it could not be started
};

// The arguments xdg-email is given for `mail` (argv[1..]):
// --utf8 --subject S --body B [--attach FILE] "NAME <ADDRESS>".
std::vector<std::string> MailClientArguments(const MailMessage& mail);

// Runs xdg-email with those arguments (no shell; its output goes to our stdout and stderr)
// and waits for it. Like xdg-open (platform/ShellOpen.h) it runs as the user who sits at the
// desktop when we are root through pkexec: the compose window must open in that user's mail
// client, with their settings and accounts, not in root's. The attachment must be readable
// by that user.
MailResult HandToMailClient(const MailMessage& mail);

}  // namespace platform
