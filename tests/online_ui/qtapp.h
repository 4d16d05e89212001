// The application object of the offscreen window tests, and waiting for what the
// event loop brings.
#pragma once

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <chrono>
#include <cstdlib>
#include <functional>

namespace imbrix::test {

/// The one QApplication of the test program, made on first use on the offscreen
/// platform (no display needed).
inline QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "imbrix_window_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QApplication(argc, argv);  // lives until the program ends
    }();
    return *app;
}

/// A first base of fixtures whose members are widgets: the application exists
/// before any of them.
struct WithTestApp {
    WithTestApp() { TestApp(); }
};

/// Runs the event loop until `done()` holds or `limit` has passed; returns done().
/// The limit only keeps a broken test from hanging.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(15000)) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limit.count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace imbrix::test
