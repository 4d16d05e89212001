// The main window's side of the update check: starts the worker on the first tick
// of the main window's TimerChecker, polls it on the later ticks, enables the
// "Update Notifications" command when it has finished, opens the new-version notice
// when one is due, and stores the command's choice.
//
// The service's important text is shown on the user-interface thread in a box
// that leaves the main window usable: the worker hands the text over and waits
// until the box is closed, so the notice still comes after the box.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "online/check.h"
#include "online/ui/identity.h"
#include "online/ui/newver.h"

class QAction;
class QTimer;
class QWidget;

namespace imbrix::online {

/// Shows the important text in a warning box that does not block `parent`; runs
/// on the user-interface thread and returns at once. Calls `closed` once the user
/// has closed the box (never, when the box goes with its parent).
using ImportantBox = std::function<void(QWidget* parent, const QString& caption,
                                        const QString& text, std::function<void()> closed)>;

/// The program's box: a warning box with an OK button, the text shown as it is
/// (no markup), not modal.
void ShowImportantBox(QWidget* parent, const QString& caption, const QString& text,
                      std::function<void()> closed);

/// What the update check takes from the program; tests stand in for parts of it.
struct UpdateCheckEnvironment {
    OnlineIdentity identity = ProgramIdentity();
    /// The worker's environment; an empty caption, version text or translator is
    /// taken from `identity` and the program's text lookup.
    CheckEnvironment check;
    /// Empty: ShowImportantBox().
    ImportantBox showImportant;
    /// The notice window's; an empty product name is taken from `identity`.
    NewVerEnvironment notice;
};

class UpdateCheckUi : public QObject {
    Q_OBJECT

public:
    /// `updateNotifications1` should start checked and disabled; the main window
    /// calls TimerCheckerTimer() on every tick of `timerChecker` (1000 ms).
    UpdateCheckUi(QWidget* mainWindow, QAction* updateNotifications1, QTimer* timerChecker,
                  UpdateCheckEnvironment environment = {});
    /// Stops a running check (a pending request is cancelled) and waits for it.
    ~UpdateCheckUi() override;

    /// First call: starts the worker. Later calls: once it has finished, stops the
    /// timer, enables the command (unchecked when notifications are off) and opens
    /// the notice when one is due.
    void TimerCheckerTimer();
    /// The "Update Notifications" command: toggles its check mark and stores it for
    /// the next run's check.
    void UpdateNotifications1Click();

    /// The worker, once started (none when no thread could be made for it).
    const TChecker* Checker() const { return checker_.get(); }
    /// The notice window, once opened.
    TNewVer* Notice() const { return notice_; }

private:
    void ShowImportantFromWorker(const std::string& caption, const std::string& text,
                                 const std::atomic<bool>& stop);

    QWidget* mainWindow_;
    QAction* updateNotifications1_;
    QTimer* timerChecker_;
    UpdateCheckEnvironment env_;
    std::unique_ptr<TChecker> checker_;
    bool started_ = false;
    bool done_ = false;
    TNewVer* notice_ = nullptr;
};

}  // namespace imbrix::online
