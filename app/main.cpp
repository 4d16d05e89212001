// imbrix: the desktop program.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "app/appform.h"
#include "app/appidentity.h"
#include "app/application.h"
#include "platform/system.h"

namespace {

// SIGINT, SIGTERM and SIGHUP end the program as quitting does: a conversion
// going on is stopped through its stop token (its converters ended, its
// temporary files removed) and the program exits with 128 + the signal. The
// handler only writes the signal to a pipe; the window's thread reads it.
int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_signal = 0;

void onTerminationSignal(int sig) {
    const int savedErrno = errno;
    if (g_signal == 0) {
        g_signal = sig;
    }
    const char byte = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

// Called once the application exists. Returns false when the signals could not
// be set up (the program then runs without).
bool quitOnTerminationSignals() {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char bytes[16];
        while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(sig, &action, nullptr);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that went away (a closed pipe) makes writes fail, not the program die.
    ::signal(SIGPIPE, SIG_IGN);
    // A named lock that only marks the program as running; a second instance
    // neither looks at it nor stops.
    imbrix::platform::holdNamedLock("KELVANE_Imbrix");

    QApplication application(argc, argv);
    imbrix::app::setUpApplication();
    if (!quitOnTerminationSignals()) {
        qWarning("imbrix: SIGINT, SIGTERM and SIGHUP will end the program without cleaning up");
    }

    // The paths as the system passed them, bytes and all (QApplication::arguments()
    // would turn a name that is not UTF-8 into another). QApplication has already
    // taken its own options out of argv; argv[0] is the program itself.
    std::vector<std::string> paths(argv + std::min(argc, 1), argv + argc);

    imbrix::app::TAppForm form(imbrix::app::loadIdentity(imbrix::platform::programPath()), paths);
    form.show();
    const int status = QApplication::exec();
    return g_signal != 0 ? 128 + g_signal : status;
}
