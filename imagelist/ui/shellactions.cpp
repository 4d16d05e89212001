// Opening files and showing their properties through the desktop.
#include "imagelist/ui/shellactions.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDesktopServices>
#include <QUrl>

#include "imagelist/ui/localpaths.h"

namespace imbrix::imagelist {

void openWithDesktop(const std::string& path) {
    QDesktopServices::openUrl(localFileUrl(path));
}

void ShowFileProperties(const std::string& path) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItemProperties"));
    // A proper URI: blanks and other characters outside its alphabet are escaped,
    // as file managers expect, and so are the bytes of a name that is not UTF-8.
    QString uri = localFileUrl(path).toString(QUrl::FullyEncoded);
    call << QStringList{uri} << QString();
    call.setAutoStartService(true);
    bus.asyncCall(call);
}

}  // namespace imbrix::imagelist
