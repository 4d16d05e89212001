// The launcher entry's progress and the notifications, over D-Bus.
#include "app/desktopsession.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QStringList>
#include <QVariantMap>
#include <algorithm>
#include <cmath>
#include <utility>

namespace imbrix::app {

namespace {

const QString kLauncherInterface = QStringLiteral("com.canonical.Unity.LauncherEntry");
const QString kNotifyService = QStringLiteral("org.freedesktop.Notifications");
const QString kNotifyPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kNotifyInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");

// Progress steps smaller than this are not sent: a run of 100,000 files would
// otherwise put 100,000 signals on the bus for a bar that cannot show them.
constexpr double kProgressStep = 0.005;

// The desktop entry's id without ".desktop", as the "desktop-entry" hint wants it.
QString desktopEntryName() {
    QString name = QString::fromLatin1(kDesktopFileId);
    name.chop(int(sizeof(".desktop")) - 1);
    return name;
}

}  // namespace

DesktopSession::DesktopSession(QObject* parent)
    : DesktopSession(QDBusConnection::sessionBus(), parent) {}

DesktopSession::DesktopSession(const QDBusConnection& bus, QObject* parent)
    : QObject(parent),
      bus_(std::make_unique<QDBusConnection>(bus)),
      // Any path of our own: the docks go by the app_uri of the signal.
      launcherPath_(QStringLiteral("/com/canonical/unity/launcherentry/%1")
                        .arg(QCoreApplication::applicationPid())) {
    if (!bus_->isConnected())
        return;
    // Following the service's name, so a server that starts after us (or is
    // replaced) is heard too, and nobody else can pose as it.
    bus_->connect(kNotifyService, kNotifyPath, kNotifyInterface, QStringLiteral("ActionInvoked"),
                  this, SLOT(onActionInvoked(uint, QString)));
    bus_->connect(kNotifyService, kNotifyPath, kNotifyInterface,
                  QStringLiteral("NotificationClosed"), this,
                  SLOT(onNotificationClosed(uint, uint)));
}

DesktopSession::~DesktopSession() {
    hideProgress();
    if (!bus_->isConnected())
        return;
    bus_->disconnect(kNotifyService, kNotifyPath, kNotifyInterface, QStringLiteral("ActionInvoked"),
                     this, SLOT(onActionInvoked(uint, QString)));
    bus_->disconnect(kNotifyService, kNotifyPath, kNotifyInterface,
                     QStringLiteral("NotificationClosed"), this,
                     SLOT(onNotificationClosed(uint, uint)));
}

void DesktopSession::showProgress(double fraction) {
    if (std::isnan(fraction))
        return;
    fraction = std::clamp(fraction, 0.0, 1.0);
    if (progressShown_) {
        const bool completes = fraction == 1.0 && progressSent_ != 1.0;
        if (!completes && std::abs(fraction - progressSent_) < kProgressStep)
            return;
    }
    sendProgress(fraction, true);
}

void DesktopSession::hideProgress() {
    if (progressShown_)
        sendProgress(progressSent_, false);
}

void DesktopSession::sendProgress(double fraction, bool visible) {
    progressShown_ = visible;
    progressSent_ = fraction;
    if (!bus_->isConnected())
        return;
    QDBusMessage update =
        QDBusMessage::createSignal(launcherPath_, kLauncherInterface, QStringLiteral("Update"));
    const QVariantMap properties{{QStringLiteral("progress"), fraction},
                                 {QStringLiteral("progress-visible"), visible}};
    update << QStringLiteral("application://") + QString::fromLatin1(kDesktopFileId) << properties;
    bus_->send(update);
}

void DesktopSession::notify(const QString& summary, const QString& body, const QString& actionLabel,
                            std::function<void()> activated) {
    if (!bus_->isConnected())
        return;
    activated_ = std::move(activated);
    Notification notification{summary, body, actionLabel};
    // The server gives the id to replace only in its answer: a notification asked
    // for meanwhile waits for it, else both would stay on screen.
    if (notifyPending_) {
        queued_ = std::move(notification);
        return;
    }
    sendNotification(notification);
}

void DesktopSession::sendNotification(const Notification& notification) {
    QString appName = QGuiApplication::applicationDisplayName();
    if (appName.isEmpty())
        appName = QStringLiteral("Imbrix");
    QDBusMessage call = QDBusMessage::createMethodCall(kNotifyService, kNotifyPath,
                                                       kNotifyInterface, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), desktopEntryName()}};
    call << appName << notificationId_ << QStringLiteral("imbrix") << notification.summary
         << notification.body << QStringList{kDefaultAction, notification.actionLabel} << hints
         << qint32(-1);
    notifyPending_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus_->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<uint> reply = *finished;
                // An error means nobody shows notifications here: the run's result
                // window has said everything already, so nothing is reported.
                onNotifyAnswered(!reply.isError(), reply.isError() ? 0 : reply.value());
            });
}

void DesktopSession::onNotifyAnswered(bool answered, uint id) {
    notifyPending_ = false;
    notificationId_ = answered ? id : 0;
    if (queued_) {
        const Notification next = std::move(*queued_);
        queued_.reset();
        sendNotification(next);
    }
}

void DesktopSession::onActionInvoked(uint id, const QString& actionKey) {
    if (id == 0 || id != notificationId_ || actionKey != kDefaultAction || !activated_)
        return;
    // A copy: the action may well notify() again and replace activated_.
    const std::function<void()> activated = activated_;
    activated();
}

void DesktopSession::onNotificationClosed(uint id, uint /*reason*/) {
    if (id == 0 || id != notificationId_)
        return;
    notificationId_ = 0;
}

}  // namespace imbrix::app
