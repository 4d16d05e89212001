// imbrix_run_window_bench: a real run of the main window over a few hundred
// files, measured as the user sees it.
//
// Usage: imbrix_run_window_bench PROGRAM PHOTO-FOLDER COPIES SCREENSHOT-FOLDER
//   PROGRAM:      the built imbrix (its version block and Languages folder)
//   PHOTO-FOLDER: JPEG photos; each is copied COPIES times into a batch folder,
//                 with one damaged file after every 25 photos
//   SCREENSHOT-FOLDER: where run-progress.png, error-box.png,
//                 result-failures.png, result-details.png and result-stopped.png go
//
// Two runs of the batch to WEBP quality 80 through the window, its controls
// driven as a user would:
//   1. to the end: the time-left estimate the status bar showed against the time
//      that was really left, after the first tenth of the files; the longest
//      stall of the window's event loop (a 5 ms timer's late ticks); the first
//      "ERROR" box is answered with "Don't show further errors in this run".
//   2. stopped with the Stop button at a third: the time from the click to the
//      result window, and what the run left behind (temporary files: none).
// Run it under a real X server (xvfb-run -a) so the windows are drawn as the
// desktop draws them.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "app/appform.h"
#include "app/appidentity.h"
#include "app/icons.h"
#include "convert/ui/resultform.h"
#include "i18n/i18n.h"
#include "imagelist/ui/intake.h"
#include "platform/files.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// "1:23 left" or "1:02:03 left" as seconds; nothing for any other text.
std::optional<double> parseLeft(const QString& text) {
    const QStringList words = text.split(QLatin1Char(' '));
    if (words.size() != 2 || words[1] != QLatin1String("left"))
        return std::nullopt;
    double seconds = 0;
    for (const QString& part : words[0].split(QLatin1Char(':'))) {
        bool ok = false;
        const int value = part.toInt(&ok);
        if (!ok)
            return std::nullopt;
        seconds = seconds * 60 + value;
    }
    return seconds;
}

bool save(const QPixmap& pixmap, const QDir& folder, const char* name) {
    const QString path = folder.filePath(QString::fromLatin1(name));
    if (!pixmap.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("screenshot %s\n", qPrintable(path));
    return true;
}

struct Sample {
    double at;         // seconds since the run began
    double left;       // what the window said was left
    std::size_t done;  // files done then
};

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Imbrix"));
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 5) {
        std::fprintf(stderr,
                     "usage: imbrix_run_window_bench PROGRAM PHOTO-FOLDER COPIES SCREENSHOTS\n");
        return 2;
    }
    const std::string program = arguments[1].toStdString();
    const fs::path photos = arguments[2].toStdString();
    const int copies = arguments[3].toInt();
    const QDir shots(arguments[4]);
    imbrix::app::setUpIconTheme();
    imbrix::i18n::installCatalogue(
        std::make_unique<const imbrix::i18n::Catalogue>(imbrix::i18n::Catalogue::load(
            imbrix::platform::extractFilePath(program), imbrix::i18n::userInterfaceLanguage())));

    QTemporaryDir scratch;
    const fs::path batch = fs::path(scratch.path().toStdString()) / "batch";
    fs::create_directories(batch);
    std::vector<fs::path> sources;
    for (const auto& entry : fs::directory_iterator(photos)) {
        if (entry.path().extension() == ".jpg")
            sources.push_back(entry.path());
    }
    std::sort(sources.begin(), sources.end());
    std::size_t files = 0;
    for (int copy = 0; copy < copies; ++copy) {
        for (const fs::path& source : sources) {
            char name[64];
            std::snprintf(name, sizeof name, "%05zu-", files);
            fs::copy_file(source, batch / (name + source.filename().string()));
            if (++files % 25 == 0) {
                std::snprintf(name, sizeof name, "%05zu-damaged.jpg", files++);
                std::FILE* damaged = std::fopen((batch / name).c_str(), "wb");
                std::fputs("This is not a picture.\n", damaged);
                std::fclose(damaged);
            }
        }
    }
    std::printf("batch: %zu files (%zu photos of %s)\n", files, files - files / 26, photos.c_str());

    imbrix::app::AppIdentity identity = imbrix::app::loadIdentity(program);
    identity.dataFolder = scratch.path().toStdString() + "/data/";
    fs::create_directories(identity.dataFolder);

    bool ok = true;
    std::optional<Clock::time_point> stopClicked;
    double stopToResult = -1;
    Clock::time_point resultShown;
    imbrix::app::DesktopServices desktop;
    desktop.showResult = [&](imbrix::convert::TFormResult& result) {
        resultShown = Clock::now();
        if (stopClicked)
            stopToResult = secondsSince(*stopClicked);
        result.show();
        QTest::qWait(300);
        if (stopClicked) {
            ok = save(result.grab(), shots, "result-stopped.png") && ok;
            return;
        }
        ok = save(result.grab(), shots, "result-failures.png") && ok;
        // The failed files' details, grabbed while open, then closed.
        QTimer::singleShot(300, [&] {
            QWidget* details = QApplication::activeModalWidget();
            if (details && details != &result) {
                ok = save(details->grab(), shots, "result-details.png") && ok;
                details->close();
            } else {
                std::fprintf(stderr, "the details window did not open\n");
                ok = false;
            }
        });
        QTest::mouseClick(result.ButtonDetails, Qt::LeftButton);
    };
    desktop.showModal = [](QDialog& dialog) { dialog.exec(); };

    imbrix::app::TAppForm form(identity, {}, desktop);
    form.TimerChecker->stop();
    form.resize(560, 460);
    form.show();
    form.intake().addFolders({batch.string()});
    if (!QTest::qWaitFor([&] { return !form.intake().busy(); }, 30000))
        return 1;
    form.intake().refresh();
    form.ComboBoxType->setCurrentIndex(form.ComboBoxType->findText(QStringLiteral("WEBP")));
    form.SpinEdit1->setValue(80);
    form.PageControl1->setCurrentIndex(1);

    for (int run = 1; run <= 2; ++run) {
        const fs::path out = fs::path(scratch.path().toStdString()) / ("out" + std::to_string(run));
        form.ComboBoxDestination->setEditText(QString::fromStdString(out.string()));
        std::vector<Sample> samples;
        double longestStall = 0;
        double longestBoxOpening = 0;
        double stallAt = 0;
        std::size_t stallDone = 0;
        QWidget* lastModal = nullptr;
        bool grabbedMidRun = false;
        bool grabbedBox = false;
        const Clock::time_point start = Clock::now();
        Clock::time_point lastTick = start;
        QTimer watch;
        watch.setInterval(5);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            // The time between ticks beyond the timer's own interval, while the
            // run goes on; this callback's own work (screenshots) is not counted.
            // A gap that ends with a box of the run newly open is that box being
            // made (the user's answer is wanted then): counted apart.
            QWidget* modal = QApplication::activeModalWidget();
            if (form.running()) {
                const double gap =
                    std::chrono::duration<double>(Clock::now() - lastTick).count() - 0.005;
                double& longest = modal && modal != lastModal ? longestBoxOpening : longestStall;
                if (gap > longest && &longest == &longestStall) {
                    stallAt = secondsSince(start);
                    stallDone = static_cast<std::size_t>(form.ProgressBar1->value());
                }
                longest = std::max(longest, gap);
            }
            lastModal = modal;
            struct Restart {
                Clock::time_point& tick;
                ~Restart() { tick = Clock::now(); }
            } restart{lastTick};
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                if (run == 1 && !grabbedBox) {
                    grabbedBox = true;
                    ok = save(box->grab(), shots, "error-box.png") && ok;
                }
                if (box->checkBox())
                    box->checkBox()->setChecked(true);
                box->button(QMessageBox::Ok)->click();
                return;
            }
            if (!form.running())
                return;
            const std::size_t done = static_cast<std::size_t>(form.ProgressBar1->value());
            if (const auto left = parseLeft(form.LabelTimeLeft->text())) {
                if (samples.empty() || samples.back().left != *left || samples.back().done != done)
                    samples.push_back({secondsSince(start), *left, done});
            }
            if (run == 1 && !grabbedMidRun && done >= files * 2 / 5 &&
                !form.StatusBar1->currentMessage().isEmpty()) {
                grabbedMidRun = true;
                ok = save(form.grab(), shots, "run-progress.png") && ok;
            }
            if (run == 2 && !stopClicked && done >= files / 3) {
                stopClicked = Clock::now();
                QTest::mouseClick(form.ButtonProcess, Qt::LeftButton);
            }
        });
        watch.start();
        // The click returns once the run and its result window are over.
        QTest::mouseClick(form.ButtonProcess, Qt::LeftButton);
        watch.stop();
        const double total = std::chrono::duration<double>(resultShown - start).count();

        std::size_t temporaries = 0, outputs = 0;
        for (const auto& entry : fs::directory_iterator(out)) {
            if (entry.path().extension() == ".webp")
                ++outputs;
            else
                ++temporaries;
        }
        std::printf("run %d: %.1f s, %zu outputs, %zu other files left in the destination\n", run,
                    total, outputs, temporaries);
        std::printf(
            "run %d: longest event-loop stall %.1f ms, at %.1f s, %zu files done "
            "(opening an error box: %.1f ms)\n",
            run, longestStall * 1000, stallAt, stallDone, longestBoxOpening * 1000);
        if (run == 1) {
            // The estimate against what was really left, after the first tenth;
            // the clock text has whole seconds, so only what is at least 10 s away counts.
            std::vector<double> errors;
            for (const Sample& sample : samples) {
                const double truth = total - sample.at;
                if (sample.done * 10 < files || truth < 10)
                    continue;
                errors.push_back(std::abs(sample.left - truth) / truth);
            }
            // The estimate at each tenth of the run, against the truth.
            std::size_t next = 1;
            for (const Sample& sample : samples) {
                if (next < 10 && sample.done * 10 >= next * files) {
                    std::printf(
                        "run 1: at %zu of %zu files (%.0f s): %.0f s left shown, %.1f s "
                        "really left\n",
                        sample.done, files, sample.at, sample.left, total - sample.at);
                    ++next;
                }
            }
            std::sort(errors.begin(), errors.end());
            if (!errors.empty()) {
                std::printf(
                    "run 1: time left after the first tenth, %zu readings: error median %.1f %%, "
                    "90th percentile %.1f %%, worst %.1f %%\n",
                    errors.size(), 100 * errors[errors.size() / 2],
                    100 * errors[errors.size() * 9 / 10], 100 * errors.back());
            }
        } else {
            std::printf("run 2: Stop to result window %.0f ms\n", stopToResult * 1000);
        }
    }
    return ok ? 0 : 1;
}
