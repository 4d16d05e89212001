// Opening files and showing their properties through the desktop.
#include "imagelist/ui/shellactions.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace imbrix::imagelist {

void openWithDesktop(const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
}

void ShowFileProperties(const QString& path) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItemProperties"));
    // A proper URI: blanks and other characters outside its alphabet are escaped,
    // as file managers expect.
    QString uri = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded);
    call << QStringList{uri} << QString();
    call.setAutoStartService(true);
    bus.asyncCall(call);
}

}  // namespace imbrix::imagelist
