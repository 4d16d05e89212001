// imbrix: the desktop program.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "app/appform.h"
#include "app/appidentity.h"
#include "app/application.h"
#include "platform/system.h"

namespace {

const char* const kUsage =
    "Usage: imbrix [FILE-OR-FOLDER...]\n"
    "Starts the batch image converter. The files named, and the image files in the\n"
    "folders named (subfolders included), are added to its list; the options page\n"
    "picks the format, quality, resize and destination, and Convert converts them all.\n"
    "No existing file is ever overwritten.\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this help and exit (the only argument)\n"
    "      --version  print the version and exit (the only argument)\n"
    "Qt's own options, such as -platform NAME or -style NAME, are taken as well. Name\n"
    "a file called --help as ./--help.\n"
    "\n"
    "Examples:\n"
    "  imbrix ~/Pictures/holiday\n"
    "  LANG=de_DE.UTF-8 imbrix photo.jpg\n"
    "\n"
    "Exit status:\n"
    "  0 when the window was closed, 128 + the signal's number when SIGINT, SIGTERM\n"
    "  or SIGHUP ended the program (a conversion going on is stopped and its\n"
    "  temporary files are removed).\n";

// "--help" or "--version" as the only argument: answered before any window
// system is needed, so they work on a terminal without a display.
bool answeredOption(int argc, char** argv) {
    if (argc != 2) {
        return false;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::cout << kUsage << std::flush;
        return true;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::cout << "imbrix " IMBRIX_VERSION_TEXT "\n" << std::flush;
        return true;
    }
    return false;
}

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
    if (answeredOption(argc, argv)) {
        return std::cout ? 0 : 1;
    }
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
