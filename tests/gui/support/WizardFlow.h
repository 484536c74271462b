// What the wizard's flow tests share: an answerer for every message box, the drive table's
// letters for one test, pressing a page's Next as a user would, and QString in failure
// messages as text.
//
// Threads: the test's (user-interface) thread.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/CMainFrame.h"
#include "app/MessageSeam.h"
#include "controls/CQuillFlatButton.h"

// Failures show texts, not their UTF-16 units.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

// Answers every message box and writes down its text (and the whole question: icon, buttons,
// caption). `Answer` decides (default: Yes for a question, Ok otherwise).
struct Answerer {
    std::vector<QString> Texts;
    std::vector<MessageQuestion> Questions;
    std::function<MessageAnswer(const MessageQuestion&)> Answer;

    Answerer() {
        SetMessageAnswerer([this](const MessageQuestion& q) {
            Texts.push_back(q.Text);
            Questions.push_back(q);
            if (Answer) return Answer(q);
            return q.Buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
        });
    }
    ~Answerer() { SetMessageAnswerer({}); }
    Answerer(const Answerer&) = delete;
    Answerer& operator=(const Answerer&) = delete;
    int Count(const QString& text) const {
        return static_cast<int>(std::count(Texts.begin(), Texts.end(), text));
    }
};

// VELUNDRA_DRIVES for the length of a test.
struct Drives {
    explicit Drives(const std::string& value) { setenv("VELUNDRA_DRIVES", value.c_str(), 1); }
    ~Drives() { unsetenv("VELUNDRA_DRIVES"); }
    Drives(const Drives&) = delete;
    Drives& operator=(const Drives&) = delete;
};

// Presses the page's Next (Next, Convert, Finish) as a user would.
inline void ClickNext(CBasePage* page) {
    for (CQuillFlatButton* b : page->findChildren<CQuillFlatButton*>())
        if (b->text() == "&Next >" || b->text() == "Convert >" || b->text() == "Finish !") {
            QTest::mouseClick(b, Qt::LeftButton);
            return;
        }
    ADD_FAILURE() << "no Next button";
}
