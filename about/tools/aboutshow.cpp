// imbrix-about-show: opens the About window on its own, for screenshots and for
// measuring what the rain costs.
//
//   imbrix-about-show --shots <folder>   about-rain.png, then about-hidden.png
//   imbrix-about-show --cpu <seconds>    CPU time of the open window, with the
//                                        rain and with the rain stopped
#include <sys/resource.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "about/ui/aboutbox.h"

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop for `ms` milliseconds.
void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool save(QWidget& window, const QString& path) {
    const bool saved = window.grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(path));
    return saved;
}

int shots(const QString& folder) {
    QDir().mkpath(folder);
    imbrix::about::TAboutBox box;
    box.show();
    runFor(4000);
    if (!save(box, folder + QStringLiteral("/about-rain.png")))
        return 1;
    box.Image1DblClick();
    while (box.TimerEgg->isActive())
        runFor(50);
    runFor(2500);
    return save(box, folder + QStringLiteral("/about-hidden.png")) ? 0 : 1;
}

double measure(imbrix::about::TAboutBox& box, bool rain, int seconds) {
    if (rain) {
        box.tmTimer->start();
    } else {
        box.tmTimer->stop();
    }
    runFor(500);
    const double before = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    runFor(seconds * 1000);
    const double used = cpuSeconds() - before;
    return 100.0 * used / (static_cast<double>(wall.elapsed()) / 1000.0);
}

int cpu(int seconds) {
    imbrix::about::TAboutBox box;
    box.show();
    const double idle = measure(box, false, seconds);
    const double raining = measure(box, true, seconds);
    std::printf("About window, %d s each: %.2f %% of one core with the rain, %.2f %% without\n",
                seconds, raining, idle);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Imbrix"));
    if (argc == 3 && std::strcmp(argv[1], "--shots") == 0)
        return shots(QString::fromLocal8Bit(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "--cpu") == 0)
        return cpu(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: imbrix-about-show --shots <folder> | --cpu <seconds>\n");
    return 2;
}
