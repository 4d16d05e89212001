// A private session bus for the window tests.
#include "common/privatebus.h"

#include <QFile>
#include <QStandardPaths>

namespace imbrix::test {

namespace {

// The session bus's rules without its service folders: a test that asks for a
// name nobody owns gets an error at once, and never starts the machine's own
// notification server or file manager.
constexpr char kConfig[] = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

}  // namespace

PrivateBus::~PrivateBus() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool PrivateBus::start() {
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty() || !dir_.isValid())
        return false;
    const QString configPath = dir_.filePath(QStringLiteral("bus.conf"));
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    config.write(QString::fromUtf8(kConfig).arg(dir_.path().toHtmlEscaped()).toUtf8());
    config.close();

    process_.start(daemon, {QStringLiteral("--config-file=") + configPath,
                            QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    if (!process_.waitForStarted(10000))
        return false;
    // The address is the first line the daemon prints, once it listens.
    while (!process_.canReadLine() && process_.waitForReadyRead(10000)) {
    }
    if (process_.canReadLine())
        address_ = QString::fromUtf8(process_.readLine()).trimmed();
    return !address_.isEmpty();
}

}  // namespace imbrix::test
