// The conversion run started from a window.
#include "convert/ui/runwindow.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <exception>
#include <stdexcept>
#include <thread>

#include "convert/timeleft.h"
#include "i18n/i18n.h"

namespace imbrix::convert {
namespace {

// Drops input meant for the windows behind the run, as a modal dialog would,
// except what goes to the stop control. Escape stops the run; the close box
// asks whether to. The run's own boxes are modal themselves and get their input
// as usual.
class InputBlocker : public QObject {
public:
    InputBlocker(const RunWindow& ui, std::stop_source stop, bool& closeAfter)
        : ui_(ui), stop_(std::move(stop)), closeAfter_(closeAfter) {
        qApp->installEventFilter(this);
    }
    ~InputBlocker() override { qApp->removeEventFilter(this); }
    InputBlocker(const InputBlocker&) = delete;
    InputBlocker& operator=(const InputBlocker&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::Close:
                if (watched == ui_.window) {
                    event->ignore();
                    askToStop();
                    return true;
                }
                return false;
            case QEvent::KeyPress:
                if (QApplication::activeModalWidget() == nullptr &&
                    static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
                    stop_.request_stop();
                    return true;
                }
                [[fallthrough]];
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Wheel:
            case QEvent::ContextMenu:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
            case QEvent::DragEnter:
            case QEvent::DragMove:
            case QEvent::Drop:
                return QApplication::activeModalWidget() == nullptr && !isStopControl(watched);
            default:
                return false;
        }
    }

private:
    bool isStopControl(QObject* watched) const {
        return ui_.stopControl != nullptr && watched == ui_.stopControl;
    }

    // The question comes once; a second close while it is open is dropped.
    void askToStop() {
        if (asking_ || stop_.stop_requested())
            return;
        asking_ = true;
        const bool stop = ui_.confirmStop && ui_.confirmStop();
        asking_ = false;
        if (stop) {
            closeAfter_ = true;
            stop_.request_stop();
        }
    }

    const RunWindow& ui_;
    std::stop_source stop_;
    bool& closeAfter_;
    bool asking_ = false;
};

class BusyCursor {
public:
    BusyCursor() { QGuiApplication::setOverrideCursor(Qt::BusyCursor); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

QString translated(const char* text) {
    return QString::fromStdString(i18n::Translate(text));
}

// Shows the run's reports; on the window's thread.
class WindowReporter : public RunReporter {
public:
    WindowReporter(const RunWindow& ui, std::size_t total) : ui_(ui) { display_.total = total; }

    void status(const std::string& text) override {
        if (!ui_.showStatus)
            return;
        // Once a stop is asked for, the status says so until the run ends.
        ui_.showStatus(display_.stopping ? translated("Stopping...")
                                         : QString::fromStdString(text));
    }
    void fileFailed(std::size_t, const std::string&, const std::string& message) override {
        if (collectErrors_)
            return;
        collectErrors_ = ui_.errorBox(ui_.window, QString::fromStdString(message),
                                      translated("Don't show further errors in this run"));
    }
    void warning(const std::string& caption, const std::string& text, RunCheck check) override {
        ui_.message(ui_.window, BoxIcon::Warning, QString::fromStdString(caption),
                    QString::fromStdString(text));
        if (ui_.afterWarning)
            ui_.afterWarning(check);
    }
    void converterLog(const std::string& text) override {
        if (ui_.showLog)
            ui_.showLog(QString::fromStdString(text));
    }
    void progress(const RunProgress& figures) override {
        timeLeft_.progress(figures);
        display_.done = figures.done;
        display_.total = figures.total;
        refresh();
    }

    /// Shows the progress again: the time left counts down.
    void refresh() {
        display_.timeLeft.clear();
        if (!display_.stopping && display_.done < display_.total) {
            if (const auto left = timeLeft_.left()) {
                display_.timeLeft =
                    translated("%1 left").arg(QString::fromStdString(clockText(*left)));
            }
        }
        if (ui_.showProgress)
            ui_.showProgress(display_);
    }

    /// A stop was asked for: the progress and the status say so at once.
    void stopping() {
        if (display_.stopping)
            return;
        display_.stopping = true;
        if (ui_.showStatus)
            ui_.showStatus(translated("Stopping..."));
        refresh();
    }

private:
    const RunWindow& ui_;
    RunTimeLeft timeLeft_;
    RunDisplay display_;
    bool collectErrors_ = false;
};

// The engine's reporter, on the engine's thread: hands every report to the
// window's thread and waits until it has been shown there, so an error box is
// answered before the engine reports anything more. What the window's side
// throws is thrown here again, which ends the run with it.
class HandOver : public RunReporter {
public:
    HandOver(QObject* windowThread, RunReporter& window)
        : context_(windowThread), window_(window) {}

    void status(const std::string& text) override {
        onWindow([&] { window_.status(text); });
    }
    void fileFailed(std::size_t index, const std::string& source,
                    const std::string& message) override {
        onWindow([&] { window_.fileFailed(index, source, message); });
    }
    void fileConverted(std::size_t index, const std::string& source,
                       const std::string& output) override {
        onWindow([&] { window_.fileConverted(index, source, output); });
    }
    void fileSkipped(std::size_t index, const std::string& source,
                     const std::string& existing) override {
        onWindow([&] { window_.fileSkipped(index, source, existing); });
    }
    void warning(const std::string& caption, const std::string& text, RunCheck check) override {
        onWindow([&] { window_.warning(caption, text, check); });
    }
    void converterLog(const std::string& text) override {
        onWindow([&] { window_.converterLog(text); });
    }
    void progress(const RunProgress& figures) override {
        onWindow([&] { window_.progress(figures); });
    }

    /// Runs `call` on the window's thread and waits for it.
    template <typename Call>
    void onWindow(Call&& call) {
        std::exception_ptr thrown;
        const bool delivered = QMetaObject::invokeMethod(
            context_,
            [&] {
                try {
                    call();
                } catch (...) {
                    thrown = std::current_exception();
                }
            },
            Qt::BlockingQueuedConnection);
        if (!delivered)
            throw std::runtime_error("The window could not show the conversion's progress");
        if (thrown)
            std::rethrow_exception(thrown);
    }

private:
    QObject* context_;
    RunReporter& window_;
};

// Reports an error outside the per-file handler: nothing was converted. The
// general error report, as for any error nothing else catches.
void showRunError(const RunWindow& ui, const std::exception& e) {
    if (ui.showStatus)
        ui.showStatus(QString());
    ui.message(ui.window, BoxIcon::Error, QGuiApplication::applicationDisplayName(),
               QString::fromStdString(e.what()));
}

// Converts on a thread of its own while this thread runs a local event loop for
// the run's reports and the painting. The loop ends when the engine has
// returned. Should the application be quitting meanwhile (which ends every event
// loop and lets none start), the run is stopped and its last reports are still
// delivered until it has returned.
std::optional<RunSummary> convertOnThread(const std::vector<SourceFile>& files,
                                          const ConversionOptions& options,
                                          const ConversionEnvironment& environment,
                                          std::stop_source stop, WindowReporter& windowSide) {
    QObject context;  // on this thread: the reports are run through it
    HandOver reporter(&context, windowSide);
    const Translator translate = [&reporter](const std::string& text) {
        std::string translated;
        reporter.onWindow([&] { translated = i18n::Translate(text); });
        return translated;
    };

    // A stop, from whichever control or thread, shows on the window at once.
    std::stop_callback onStop(stop.get_token(), [&context, &windowSide] {
        if (QThread::currentThread() == context.thread()) {
            windowSide.stopping();
        } else {
            QMetaObject::invokeMethod(
                &context, [&windowSide] { windowSide.stopping(); }, Qt::QueuedConnection);
        }
    });
    windowSide.refresh();  // 0 of N
    QTimer countdown;
    countdown.setInterval(1000);
    QObject::connect(&countdown, &QTimer::timeout, &context,
                     [&windowSide] { windowSide.refresh(); });
    countdown.start();

    std::optional<RunSummary> summary;
    std::exception_ptr failure;
    std::atomic<bool> done{false};
    QEventLoop loop;
    std::thread engine([&, token = stop.get_token()] {
        try {
            summary = runConversion(files, options, environment, reporter, translate, token);
        } catch (...) {
            failure = std::current_exception();
        }
        done.store(true);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    if (!done.load()) {
        stop.request_stop();
        while (!done.load()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    engine.join();
    countdown.stop();
    // What the stop callback queued is dropped with `context`.
    if (failure)
        std::rethrow_exception(failure);
    return summary;
}

}  // namespace

std::optional<RunSummary> runFromWindow(const std::vector<std::string>& files,
                                        const ConversionOptions& options,
                                        const ConversionEnvironment& environment,
                                        const RunWindow& ui) {
    std::vector<SourceFile> sources;
    sources.reserve(files.size());
    for (const std::string& file : files)
        sources.push_back({file, {}});
    return runFromWindow(sources, options, environment, ui);
}

std::optional<RunSummary> runFromWindow(const std::vector<SourceFile>& files,
                                        const ConversionOptions& options,
                                        const ConversionEnvironment& environment,
                                        const RunWindow& ui) {
    std::optional<RunSummary> summary;
    bool closeAfter = false;
    {
        BusyCursor cursor;
        WindowReporter windowSide(ui, files.size());
        InputBlocker blocker(ui, ui.stop, closeAfter);
        try {
            summary = convertOnThread(files, options, environment, ui.stop, windowSide);
        } catch (const std::exception& e) {
            showRunError(ui, e);
            return std::nullopt;
        }
    }
    if (!summary)
        return summary;
    if (ui.finished)
        ui.finished(*summary);
    if (closeAfter) {
        // The user closed the window and agreed to stop: no result window.
        if (ui.window)
            QMetaObject::invokeMethod(ui.window, &QWidget::close, Qt::QueuedConnection);
        return summary;
    }

    TFormResult form(ui.result, ui.window);
    form.setTexts(*summary);
    if (ui.showResult) {
        ui.showResult(form);
    } else {
        form.exec();
    }
    return summary;
}

}  // namespace imbrix::convert
