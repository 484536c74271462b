// Every message box of the program goes through AskUser, so that a test can answer it.
//
// Normally AskUser shows a modal QMessageBox captioned kProductName (or the caller's caption). A test answers
// instead, in one of two ways:
//  - in process: SetMessageAnswerer installs a function that receives the question and
//    returns the answer (QTest flows);
//  - across processes: the environment variable VELUNDRA_MESSAGE_LOG names a file; each
//    question is appended to it as one line "<icon>\t<text>" (text UTF-8, CR and LF shown
//    as \r and \n) and answered with VELUNDRA_MESSAGE_ANSWER ("yes", "no", "ok", "cancel";
//    default: the box's default button) without showing anything. Launcher tests use this.
//
// Threads: the user-interface thread only (a worker asks through a blocking call to it).
#pragma once

#include <functional>
#include <QString>

class QWidget;

enum class MessageIcon { Information, Warning, Error, Question };
enum class MessageButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MessageAnswer { Ok, Cancel, Yes, No };

struct MessageQuestion {
    MessageIcon Icon;
    MessageButtons Buttons;
    QString Text;
    QString Caption;  // the box's caption: kProductName unless the caller named another
};

// Shows (or has a test answer) one message box; parent may be null. An empty caption is
// kProductName. A CR LF in the text is one line break.
MessageAnswer AskUser(QWidget* parent, const QString& text, MessageIcon icon,
                      MessageButtons buttons = MessageButtons::Ok, const QString& caption = QString());

// Installs (or with an empty function removes) the in-process answerer.
void SetMessageAnswerer(std::function<MessageAnswer(const MessageQuestion&)> answerer);
