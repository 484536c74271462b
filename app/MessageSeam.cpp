// Message boxes and their test seam.
#include "app/MessageSeam.h"

#include <cstdio>
#include <cstdlib>
#include <QMessageBox>

#include "app/AppInfo.h"

namespace {

std::function<MessageAnswer(const MessageQuestion&)>& Answerer()
{
    static std::function<MessageAnswer(const MessageQuestion&)> answerer;
    return answerer;
}

MessageAnswer DefaultAnswer(MessageButtons buttons)
{
    switch (buttons) {
    case MessageButtons::Ok: return MessageAnswer::Ok;
    case MessageButtons::OkCancel: return MessageAnswer::Ok;
    case MessageButtons::YesNo:
    case MessageButtons::YesNoCancel: return MessageAnswer::Yes;
    }
    return MessageAnswer::Ok;
}

const char* IconName(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Information: return "information";
    case MessageIcon::Warning: return "warning";
    case MessageIcon::Error: return "error";
    case MessageIcon::Question: return "question";
    }
    return "information";
}

// The answer a process-level test asked for, or the box's default.
MessageAnswer EnvironmentAnswer(MessageButtons buttons)
{
    const char* a = std::getenv("VELUNDRA_MESSAGE_ANSWER");
    if (!a) return DefaultAnswer(buttons);
    const QString s = QString::fromUtf8(a).toLower();
    if (s == "yes") return MessageAnswer::Yes;
    if (s == "no") return MessageAnswer::No;
    if (s == "cancel") return MessageAnswer::Cancel;
    if (s == "ok") return MessageAnswer::Ok;
    return DefaultAnswer(buttons);
}

}  // namespace

void SetMessageAnswerer(std::function<MessageAnswer(const MessageQuestion&)> answerer)
{
    Answerer() = std::move(answerer);
}

MessageAnswer AskUser(QWidget* parent, const QString& text, MessageIcon icon,
                      MessageButtons buttons, const QString& caption)
{
    const QString shownCaption = caption.isEmpty() ? QString::fromUtf8(kProductName) : caption;
    if (Answerer()) return Answerer()(MessageQuestion{icon, buttons, text, shownCaption});

    if (const char* path = std::getenv("VELUNDRA_MESSAGE_LOG")) {
        QString shown = text;
        shown.replace("\r", "\\r").replace("\n", "\\n");
        if (FILE* f = std::fopen(path, "a")) {
            std::fprintf(f, "%s\t%s\n", IconName(icon), shown.toUtf8().constData());
            std::fclose(f);
        }
        return EnvironmentAnswer(buttons);
    }

    QMessageBox::Icon qicon = QMessageBox::Information;
    switch (icon) {
    case MessageIcon::Information: qicon = QMessageBox::Information; break;
    case MessageIcon::Warning: qicon = QMessageBox::Warning; break;
    case MessageIcon::Error: qicon = QMessageBox::Critical; break;
    case MessageIcon::Question: qicon = QMessageBox::Question; break;
    }
    QMessageBox::StandardButtons qbuttons = QMessageBox::Ok;
    switch (buttons) {
    case MessageButtons::Ok: qbuttons = QMessageBox::Ok; break;
    case MessageButtons::OkCancel: qbuttons = QMessageBox::Ok | QMessageBox::Cancel; break;
    case MessageButtons::YesNo: qbuttons = QMessageBox::Yes | QMessageBox::No; break;
    case MessageButtons::YesNoCancel:
        qbuttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        break;
    }
    QMessageBox box(qicon, shownCaption, QString(text).replace("\r\n", "\n"), qbuttons, parent);
    switch (box.exec()) {
    case QMessageBox::Yes: return MessageAnswer::Yes;
    case QMessageBox::No: return MessageAnswer::No;
    case QMessageBox::Cancel: return MessageAnswer::Cancel;
    default: return MessageAnswer::Ok;
    }
}
