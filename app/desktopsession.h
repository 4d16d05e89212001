// The program's presence in the desktop session: the progress on its launcher
// entry and its notifications, over D-Bus.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

QT_BEGIN_NAMESPACE
class QDBusConnection;
QT_END_NAMESPACE

namespace imbrix::app {

/// The name the program's desktop entry is installed under; the launcher entry
/// and notifications name it.
inline constexpr const char* kDesktopFileId = "imbrix.desktop";

/// The program's presence in the desktop session: the progress on its launcher
/// (taskbar, dock) entry and its notifications. Speaks D-Bus; where there is no
/// session bus, or nothing on it listens, every call does nothing and nothing fails.
///
/// The progress goes out as the signal com.canonical.Unity.LauncherEntry.Update,
/// which KDE Plasma's task manager and the GNOME docks follow; notifications go to
/// org.freedesktop.Notifications without waiting for its answer.
class DesktopSession : public QObject {
    Q_OBJECT
public:
    /// Over the session bus.
    explicit DesktopSession(QObject* parent = nullptr);
    /// Over `bus` (tests give a private bus; a disconnected one makes every call a no-op).
    explicit DesktopSession(const QDBusConnection& bus, QObject* parent = nullptr);
    ~DesktopSession() override;  // hides a progress it has shown

    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    /// Shows `fraction` (clamped to 0..1) as the launcher entry's progress. A value
    /// within half a percent of the one on show is not sent again, except that
    /// reaching 1 always is; not-a-number is ignored.
    void showProgress(double fraction);
    /// Hides the launcher entry's progress (nothing when none is shown).
    void hideProgress();
    /// Shows a notification with the program's icon and name. `activated` runs on
    /// this object's thread when the user clicks it (its default action); a later
    /// notify() replaces the earlier notification. `actionLabel` names the default
    /// action (servers that show it as a button show this text).
    void notify(const QString& summary, const QString& body, const QString& actionLabel,
                std::function<void()> activated);

private Q_SLOTS:
    // The notification server's signals, for every client's notifications.
    void onActionInvoked(uint id, const QString& actionKey);
    void onNotificationClosed(uint id, uint reason);

private:
    struct Notification {
        QString summary;
        QString body;
        QString actionLabel;
    };

    void sendProgress(double fraction, bool visible);
    void sendNotification(const Notification& notification);
    void onNotifyAnswered(bool answered, uint id);

    std::unique_ptr<QDBusConnection> bus_;
    QString launcherPath_;
    bool progressShown_ = false;
    double progressSent_ = 0.0;

    uint notificationId_ = 0;  // the server's id of ours on show, 0 when none
    bool notifyPending_ = false;
    std::optional<Notification> queued_;  // waits for the id of the pending one
    std::function<void()> activated_;
};

}  // namespace imbrix::app
