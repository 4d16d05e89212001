// The conversion run started from a window.
#include "convert/ui/runwindow.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <atomic>
#include <exception>
#include <stdexcept>
#include <thread>

#include "i18n/i18n.h"

namespace imbrix::convert {
namespace {

// Drops input meant for the windows behind the run, as a modal dialog would. The
// run's own boxes are modal themselves and get their input as usual.
class InputBlocker : public QObject {
public:
    explicit InputBlocker(QWidget* window) : window_(window) { qApp->installEventFilter(this); }
    ~InputBlocker() override { qApp->removeEventFilter(this); }
    InputBlocker(const InputBlocker&) = delete;
    InputBlocker& operator=(const InputBlocker&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::Close:
                if (watched == window_) {
                    event->ignore();
                    return true;
                }
                return false;
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::KeyPress:
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
                return QApplication::activeModalWidget() == nullptr;
            default:
                return false;
        }
    }

private:
    QWidget* window_;
};

class BusyCursor {
public:
    BusyCursor() { QGuiApplication::setOverrideCursor(Qt::BusyCursor); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// Shows the run's reports; on the window's thread.
class WindowReporter : public RunReporter {
public:
    explicit WindowReporter(const RunWindow& ui) : ui_(ui) {}

    void status(const std::string& text) override {
        if (ui_.showStatus)
            ui_.showStatus(QString::fromStdString(text));
    }
    void fileFailed(std::size_t, const std::string&, const std::string& message) override {
        ui_.message(ui_.window, BoxIcon::Error, QStringLiteral("ERROR"),
                    QString::fromStdString(message));
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

private:
    const RunWindow& ui_;
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
                                          const RunWindow& ui) {
    WindowReporter windowSide(ui);
    QObject context;  // on this thread: the reports are run through it
    HandOver reporter(&context, windowSide);
    const Translator translate = [&reporter](const std::string& text) {
        std::string translated;
        reporter.onWindow([&] { translated = i18n::Translate(text); });
        return translated;
    };

    std::optional<RunSummary> summary;
    std::exception_ptr failure;
    std::atomic<bool> done{false};
    QEventLoop loop;
    std::jthread engine([&](std::stop_token stop) {
        try {
            summary = runConversion(files, options, environment, reporter, translate, stop);
        } catch (...) {
            failure = std::current_exception();
        }
        done.store(true);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    if (!done.load()) {
        engine.request_stop();
        while (!done.load()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    engine.join();
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
    {
        BusyCursor cursor;
        InputBlocker blocker(ui.window);
        try {
            summary = convertOnThread(files, options, environment, ui);
        } catch (const std::exception& e) {
            showRunError(ui, e);
            return std::nullopt;
        }
    }
    if (!summary)
        return summary;

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
