#include "online/ui/updatecheck.h"

#include <QAction>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <future>
#include <mutex>
#include <system_error>

#include "i18n/i18n.h"

namespace imbrix::online {

void ShowImportantBox(QWidget* parent, const QString& caption, const QString& text,
                      std::function<void()> closed) {
    auto* box = new QMessageBox(QMessageBox::Warning, caption, text, QMessageBox::Ok, parent);
    // The service's text is shown as it is: "<" and "&" are no markup.
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(Qt::NonModal);
    QObject::connect(box, &QDialog::finished, box, [box, closed = std::move(closed)] {
        closed();
        box->deleteLater();
    });
    box->show();
}

UpdateCheckUi::UpdateCheckUi(QWidget* mainWindow, QAction* updateNotifications1,
                             QTimer* timerChecker, UpdateCheckEnvironment environment)
    : QObject(mainWindow),
      mainWindow_(mainWindow),
      updateNotifications1_(updateNotifications1),
      timerChecker_(timerChecker),
      env_(std::move(environment)) {
    if (env_.check.appCaption.empty()) {
        env_.check.appCaption = env_.identity.appCaption;
    }
    if (env_.check.versionText.empty()) {
        env_.check.versionText = env_.identity.versionText;
    }
    if (!env_.check.translate) {
        env_.check.translate = [](std::string_view text) { return i18n::Translate(text); };
    }
    if (env_.notice.productName.empty()) {
        env_.notice.productName = env_.identity.productName;
    }
    env_.check.showImportant = [this](const std::string& caption, const std::string& text,
                                      const std::atomic<bool>& stop) {
        ShowImportantFromWorker(caption, text, stop);
    };
}

UpdateCheckUi::~UpdateCheckUi() {
    // Stops the worker before anything it may hand over to is gone.
    checker_.reset();
}

// Worker thread: the box must be shown by the user-interface thread. The worker
// waits for it to be closed, or for the program to end.
void UpdateCheckUi::ShowImportantFromWorker(const std::string& caption, const std::string& text,
                                            const std::atomic<bool>& stop) {
    auto closed = std::make_shared<std::promise<void>>();
    std::future<void> whenClosed = closed->get_future();
    const QString qcaption = QString::fromStdString(caption);
    const QString qtext = QString::fromStdString(text);
    QMetaObject::invokeMethod(
        this,
        [this, closed, qcaption, qtext] {
            auto once = std::make_shared<std::once_flag>();
            const ImportantBox& show = env_.showImportant ? env_.showImportant : ShowImportantBox;
            show(mainWindow_, qcaption, qtext,
                 [closed, once] { std::call_once(*once, [&closed] { closed->set_value(); }); });
        },
        Qt::QueuedConnection);
    // A dropped hand-over or a box that goes without being closed (the window is
    // going away) breaks the promise, which also ends the wait.
    while (!stop.load(std::memory_order_relaxed) &&
           whenClosed.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    }
}

void UpdateCheckUi::TimerCheckerTimer() {
    if (!started_) {
        started_ = true;
        checker_ = std::make_unique<TChecker>(env_.check);
        try {
            checker_->Start();
        } catch (const std::system_error&) {
            // No thread for the check: this run asks nothing, and the timer stops
            // instead of polling a check that never comes.
            checker_.reset();
            done_ = true;
            if (timerChecker_ != nullptr) {
                timerChecker_->stop();
            }
        }
        return;
    }
    if (done_ || !checker_->Finished()) {
        return;
    }
    done_ = true;
    const CheckResults& results = checker_->Results();
    if (timerChecker_ != nullptr) {
        timerChecker_->stop();
    }
    if (updateNotifications1_ != nullptr) {
        updateNotifications1_->setEnabled(true);
        if (results.notificationsWanted == 0) {
            updateNotifications1_->setChecked(false);
        }
    }
    if (results.showNotice && notice_ == nullptr) {
        notice_ =
            new TNewVer(mainWindow_, results.serverVersion, results.downloadAddress, env_.notice);
    }
}

void UpdateCheckUi::UpdateNotifications1Click() {
    if (updateNotifications1_ == nullptr || checker_ == nullptr || !checker_->Finished()) {
        return;
    }
    // The action has already toggled its own check mark when it was triggered; the
    // stored value follows what it shows now.
    const bool on = updateNotifications1_->isChecked();
    checker_->WriteShowUpdate(on);
}

}  // namespace imbrix::online
