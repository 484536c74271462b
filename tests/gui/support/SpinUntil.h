// SpinUntil: runs the event loop of a GUI test until a condition holds or a time runs out.
//
// Threads: the test's (user-interface) thread.
#pragma once

#include <chrono>

#include <QCoreApplication>
#include <QTest>

// Runs the event loop until `done` holds or `ms` have passed; returns `done()`.
template <typename F>
bool SpinUntil(F done, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qWait(5);
    }
    return done();
}
