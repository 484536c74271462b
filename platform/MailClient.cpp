#include "platform/MailClient.h"

#include <cerrno>

#include "platform/ShellOpen.h"

namespace platform {

std::vector<std::string> MailClientArguments(const MailMessage& mail) {
    std::vector<std::string> args = {"--utf8", "--subject", mail.Subject, "--body", mail.Body};
    if (!mail.AttachmentPath.empty()) {
        args.push_back("--attach");
        args.push_back(mail.AttachmentPath);
    }
    args.push_back(mail.RecipientName + " <" + mail.RecipientAddress + ">");
    return args;
}

MailResult HandToMailClient(const MailMessage& mail) {
    MailResult result;
    int error = 0;
    result.ExitCode = RunForUser(kMailProgram, MailClientArguments(mail), &error);
    result.Error = error;
    if (result.ExitCode == 0)
        result.Status = MailStatus::Handed;
    else if (result.ExitCode < 0 && error == ENOENT)
        result.Status = MailStatus::NotFound;
    else
        result.Status = MailStatus::Failed;
    return result;
}

}  // namespace platform
