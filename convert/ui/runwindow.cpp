// The conversion run started from a window.
#include "convert/ui/runwindow.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>

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

class WindowReporter : public RunReporter {
public:
    explicit WindowReporter(const RunWindow& ui) : ui_(ui) {}

    void status(const std::string& text) override {
        if (ui_.showStatus)
            ui_.showStatus(QString::fromStdString(text));
        repaint();
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
    void idle() override { repaint(); }

private:
    static void repaint() { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); }

    const RunWindow& ui_;
};

}  // namespace

std::optional<RunSummary> runFromWindow(const std::vector<std::string>& files,
                                        const ConversionOptions& options,
                                        const ConversionEnvironment& environment,
                                        const RunWindow& ui) {
    std::optional<RunSummary> summary;
    {
        BusyCursor cursor;
        InputBlocker blocker(ui.window);
        WindowReporter reporter(ui);
        try {
            summary = runConversion(files, options, environment, reporter,
                                    [](const std::string& text) { return i18n::Translate(text); });
        } catch (const std::exception& e) {
            // Nothing was converted; the general error report, as for any error
            // nothing else catches.
            if (ui.showStatus)
                ui.showStatus(QString());
            ui.message(ui.window, BoxIcon::Error, QGuiApplication::applicationDisplayName(),
                       QString::fromStdString(e.what()));
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
