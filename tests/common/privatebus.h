// A D-Bus bus of a test's own, for the window side's talk with the desktop.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace imbrix::test {

/// A private session bus run by dbus-daemon for the life of the object. It starts
/// no services of its own: a name is owned only when a test registers it.
class PrivateBus {
public:
    PrivateBus() = default;
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    /// Starts the bus; false when dbus-daemon is missing or does not start.
    bool start();
    /// The address to give QDBusConnection::connectToBus() (or
    /// DBUS_SESSION_BUS_ADDRESS); empty until start() succeeds.
    const QString& address() const { return address_; }

private:
    QTemporaryDir dir_;
    QProcess process_;
    QString address_;
};

}  // namespace imbrix::test
