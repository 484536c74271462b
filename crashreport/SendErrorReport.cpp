#include "crashreport/SendErrorReport.h"

#include <cstdio>

#include "app/AppInfo.h"
#include "crashreport/ReportArchive.h"
#include "platform/MailClient.h"
#include "platform/TextEncoding.h"

namespace {

// printf of one message format with its arguments (all of them strings or an int).
template <typename... Args>
std::string Format(const char* format, Args... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    if (n <= 0) return {};
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, args...);
    text.resize(static_cast<size_t>(n));
    return text;
}

// The text as the mail carries it: what the Windows-1252 code page holds, in UTF-8.
std::string MailText(const std::u16string& text) {
    return platform::Utf16ToUtf8(platform::Cp1252ToUtf16(platform::Utf16ToCp1252(text)));
}

}  // namespace

SendReportResult SendErrorReport(const std::vector<ReportEntry>& entries,
                                 const std::u16string& description,
                                 const std::string& executablePath) {
    SendReportResult result;
    const std::string archivePath = ReportArchivePath(executablePath);
    auto notSent = [&](std::string error) {
        result.Outcome = SendOutcome::NotSent;
        result.Error = std::move(error);
        result.Message = Format(kNotSentMessage, archivePath.c_str(), kSupportAddress);
        return result;
    };

    // 1. Subject and body.
    platform::MailMessage mail;
    mail.Subject = MailText(platform::Utf8ToUtf16(
        Format(kReportSubject, ReportApplicationName(executablePath).c_str())));
    mail.Body = MailText(description);
    mail.RecipientName = kSupportName;
    mail.RecipientAddress = kSupportAddress;

    // 2. The archive of the chosen files.
    const ReportArchiveResult archive = BuildReportArchive(entries, archivePath);
    if (!archive.Written) return notSent(Format(kArchiveFailedMessage, archivePath.c_str()));
    result.FilesAdded = archive.FilesAdded;

    // 3. Nothing to send at all.
    if (archive.FilesAdded == 0 && description.empty()) {
        result.Outcome = SendOutcome::NothingToSend;
        result.Message = kNothingToSendMessage;
        return result;
    }

    // 4. The mail, with the archive when it holds something.
    if (archive.FilesAdded > 0) mail.AttachmentPath = archivePath;
    const platform::MailResult sent = platform::HandToMailClient(mail);

    // 5, 6. Anything but a mail handed over ends with the not-sent message.
    switch (sent.Status) {
    case platform::MailStatus::Handed:
        result.Outcome = SendOutcome::Sent;
        return result;
    case platform::MailStatus::NotFound:
        return notSent(kMailProgramMissingMessage);
    case platform::MailStatus::Failed:
        break;
    }
    return notSent(Format(kMailProgramFailedMessage, sent.ExitCode));
}
