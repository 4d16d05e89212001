// The launcher progress and the notifications as the desktop gets them. The test
// runs its own bus and plays the dock and the notification server on it.
#include "app/desktopsession.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QGuiApplication>
#include <QObject>
#include <QStringList>
#include <QTest>
#include <QVariantMap>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "common/privatebus.h"

namespace {

using imbrix::app::DesktopSession;

const QString kNotifyService = QStringLiteral("org.freedesktop.Notifications");
const QString kNotifyPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kLauncherInterface = QStringLiteral("com.canonical.Unity.LauncherEntry");
constexpr int kWait = 10000;  // ms: a generous bound for a message to cross the bus

struct LauncherUpdate {
    QString path;
    QString appUri;
    QVariantMap properties;
};

// A dock: every launcher entry update on the bus.
class Dock : public QObject {
    Q_OBJECT
public:
    std::vector<LauncherUpdate> updates;

public slots:
    void onUpdate(const QString& appUri, const QVariantMap& properties,
                  const QDBusMessage& message) {
        updates.push_back({message.path(), appUri, properties});
    }
};

// The notification server's side: Notify, with answers that can be held back.
class FakeNotifications : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString appName;
        uint replacesId = 0;
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int expireTimeout = 0;
    };

    explicit FakeNotifications(const QDBusConnection& bus) : bus_(bus) {}

    std::vector<Call> calls;
    bool holdAnswers = false;

    void answerHeld() {
        for (const QDBusMessage& call : held_)
            bus_.send(call.createReply(idFor(call.arguments().at(1).toUInt())));
        held_.clear();
    }
    // The server's signals, as it broadcasts them.
    void emitSignal(const QString& name, const QVariantList& arguments) {
        QDBusMessage signal = QDBusMessage::createSignal(kNotifyPath, kNotifyService, name);
        signal.setArguments(arguments);
        bus_.send(signal);
    }

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expireTimeout) {
        calls.push_back(
            {appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout});
        if (holdAnswers) {
            setDelayedReply(true);
            held_.push_back(message());
            return 0;
        }
        return idFor(replacesId);
    }

private:
    // As real servers do: a replaced notification keeps its id.
    uint idFor(uint replacesId) { return replacesId != 0 ? replacesId : nextId_++; }

    QDBusConnection bus_;
    std::vector<QDBusMessage> held_;
    uint nextId_ = 41;
};

// Counts the notification server's signals as our side of the bus hears them.
class SignalCounter : public QObject {
    Q_OBJECT
public:
    int heard = 0;
public slots:
    void onSignal() { ++heard; }
};

class DesktopSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bus_.start())
            GTEST_SKIP() << "no dbus-daemon to run a private session bus";
        static int serial = 0;
        ++serial;
        appName_ = QStringLiteral("app-%1").arg(serial);
        desktopName_ = QStringLiteral("desktop-%1").arg(serial);
        app_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(bus_.address(), appName_));
        desktop_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(bus_.address(), desktopName_));
        ASSERT_TRUE(app_->isConnected());
        ASSERT_TRUE(desktop_->isConnected());
    }
    void TearDown() override {
        app_.reset();
        desktop_.reset();
        if (!appName_.isEmpty()) {
            QDBusConnection::disconnectFromBus(appName_);
            QDBusConnection::disconnectFromBus(desktopName_);
        }
    }

    // Starts the notification server on the desktop's connection.
    std::unique_ptr<FakeNotifications> startServer() {
        auto server = std::make_unique<FakeNotifications>(*desktop_);
        EXPECT_TRUE(
            desktop_->registerObject(kNotifyPath, server.get(), QDBusConnection::ExportAllSlots));
        EXPECT_TRUE(desktop_->registerService(kNotifyService));
        return server;
    }

    imbrix::test::PrivateBus bus_;
    QString appName_;
    QString desktopName_;
    std::unique_ptr<QDBusConnection> app_;      // the program's
    std::unique_ptr<QDBusConnection> desktop_;  // the dock's and the notification server's
};

struct ProgressStep {
    bool show;  // else hide
    double fraction;
};
ProgressStep show(double fraction) {
    return {true, fraction};
}
const ProgressStep kHide{false, 0.0};

struct SentProgress {
    double progress;
    bool visible;
};

TEST_F(DesktopSessionTest, LauncherEntryGetsTheProgressWithoutRepeats) {
    Dock dock;
    ASSERT_TRUE(desktop_->connect(QString(), QString(), kLauncherInterface,
                                  QStringLiteral("Update"), &dock,
                                  SLOT(onUpdate(QString, QVariantMap, QDBusMessage))));
    struct Case {
        std::string name;
        std::vector<ProgressStep> steps;
        // What the dock gets, the hiding by the session's destructor included.
        std::vector<SentProgress> sent;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Case> cases = {
        {"clamped to 0..1, not a number ignored",
         {show(-0.5), show(nan), show(1.7)},
         {{0.0, true}, {1.0, true}, {1.0, false}}},
        {"steps under half a percent from the last sent are not sent",
         {show(0.5), show(0.503), show(0.4952), show(0.5049), show(0.507), show(0.51)},
         {{0.5, true}, {0.507, true}, {0.507, false}}},
        {"creeping up counts from the last sent value, not the last asked",
         {show(0.2), show(0.203), show(0.206)},
         {{0.2, true}, {0.206, true}, {0.206, false}}},
        {"reaching the end is always sent",
         {show(0.998), show(1.0), show(1.0)},
         {{0.998, true}, {1.0, true}, {1.0, false}}},
        {"hidden once; showing again after hiding always sends",
         {show(0.3), kHide, kHide, show(0.3)},
         {{0.3, true}, {0.3, false}, {0.3, true}, {0.3, false}}},
        {"nothing shown, nothing hidden", {kHide}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dock.updates.clear();
        {
            DesktopSession session(*app_);
            for (const ProgressStep& step : c.steps) {
                if (step.show)
                    session.showProgress(step.fraction);
                else
                    session.hideProgress();
            }
        }
        // A last update of our own on the same connection: once the dock has it,
        // it has everything the session sent before.
        QDBusMessage marker =
            QDBusMessage::createSignal(QStringLiteral("/marker"), kLauncherInterface, "Update");
        marker << QStringLiteral("application://marker.desktop") << QVariantMap();
        ASSERT_TRUE(app_->send(marker));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return !dock.updates.empty() &&
                       dock.updates.back().appUri == "application://marker.desktop";
            },
            kWait));
        dock.updates.pop_back();

        ASSERT_EQ(dock.updates.size(), c.sent.size());
        for (size_t i = 0; i < c.sent.size(); ++i) {
            const LauncherUpdate& update = dock.updates[i];
            EXPECT_TRUE(update.path.startsWith("/com/canonical/unity/launcherentry/"))
                << update.path.toStdString();
            EXPECT_EQ(update.appUri, "application://imbrix.desktop");
            EXPECT_EQ(update.properties.value("progress").typeId(), QMetaType::Double);
            EXPECT_DOUBLE_EQ(update.properties.value("progress").toDouble(), c.sent[i].progress)
                << "update " << i;
            EXPECT_EQ(update.properties.value("progress-visible").typeId(), QMetaType::Bool);
            EXPECT_EQ(update.properties.value("progress-visible").toBool(), c.sent[i].visible)
                << "update " << i;
        }
    }
}

TEST_F(DesktopSessionTest, ALongRunPutsAFewHundredUpdatesOnTheBus) {
    Dock dock;
    ASSERT_TRUE(desktop_->connect(QString(), QString(), kLauncherInterface,
                                  QStringLiteral("Update"), &dock,
                                  SLOT(onUpdate(QString, QVariantMap, QDBusMessage))));
    constexpr int kFiles = 100000;
    {
        DesktopSession session(*app_);
        for (int done = 0; done <= kFiles; ++done)
            session.showProgress(double(done) / kFiles);
        session.hideProgress();
    }
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return !dock.updates.empty() &&
                   !dock.updates.back().properties.value("progress-visible").toBool();
        },
        kWait));
    // One update per half percent, the first, the last and the hiding.
    ASSERT_GE(dock.updates.size(), 190u);
    ASSERT_LE(dock.updates.size(), 203u);
    EXPECT_EQ(dock.updates.front().properties.value("progress").toDouble(), 0.0);
    const LauncherUpdate& last = dock.updates[dock.updates.size() - 2];
    EXPECT_EQ(last.properties.value("progress").toDouble(), 1.0);
    EXPECT_TRUE(last.properties.value("progress-visible").toBool());
    for (size_t i = 1; i + 1 < dock.updates.size(); ++i) {
        const double step = dock.updates[i].properties.value("progress").toDouble() -
                            dock.updates[i - 1].properties.value("progress").toDouble();
        EXPECT_GT(step, 0.0) << "update " << i;
        EXPECT_LE(step, 0.0051) << "update " << i;
    }
}

TEST_F(DesktopSessionTest, NotificationReachesTheServerAndReplacesTheEarlierOne) {
    // The server starts after the program, as one started on demand would.
    DesktopSession session(*app_);
    std::unique_ptr<FakeNotifications> server = startServer();

    session.notify("Conversion finished", "12 files converted, 1 skipped", "Show", [] {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->calls.size() == 1; }, kWait));
    const FakeNotifications::Call& first = server->calls[0];
    EXPECT_EQ(first.appName, QGuiApplication::applicationDisplayName());
    EXPECT_FALSE(first.appName.isEmpty());
    EXPECT_EQ(first.replacesId, 0u);
    EXPECT_EQ(first.appIcon, "imbrix");
    EXPECT_EQ(first.summary, "Conversion finished");
    EXPECT_EQ(first.body, "12 files converted, 1 skipped");
    EXPECT_EQ(first.actions, QStringList({"default", "Show"}));
    EXPECT_EQ(first.hints.value("desktop-entry").toString(), "imbrix");
    EXPECT_EQ(first.expireTimeout, -1);

    session.notify("Conversion stopped", "3 files converted", "Open", [] {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->calls.size() == 2; }, kWait));
    EXPECT_EQ(server->calls[1].replacesId, 41u) << "the id the server gave the first";
    EXPECT_EQ(server->calls[1].summary, "Conversion stopped");
    EXPECT_EQ(server->calls[1].actions, QStringList({"default", "Open"}));
}

TEST_F(DesktopSessionTest, ClickOnOurNotificationRunsItsAction) {
    std::unique_ptr<FakeNotifications> server = startServer();
    DesktopSession session(*app_);
    SignalCounter counter;
    for (const char* name : {"ActionInvoked", "NotificationClosed"})
        ASSERT_TRUE(app_->connect(kNotifyService, kNotifyPath, kNotifyService, name, &counter,
                                  SLOT(onSignal())));

    int firstRuns = 0;
    int runs = 0;
    session.notify("Done", "", "Show", [&] { ++firstRuns; });
    // Replaced before anybody clicked: the action is the later one's.
    session.notify("Done", "", "Show", [&] { ++runs; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->calls.size() == 2; }, kWait));
    ASSERT_EQ(server->calls[1].replacesId, 41u);

    struct Case {
        std::string name;
        const char* signal;
        uint id;
        QString key;
        int runsAfter;
    };
    // In this order: the session's state carries from one to the next.
    const std::vector<Case> cases = {
        {"another program's notification", "ActionInvoked", 7, "default", 0},
        {"another action of ours", "ActionInvoked", 41, "settings", 0},
        {"ours, clicked", "ActionInvoked", 41, "default", 1},
        {"another notification closed", "NotificationClosed", 7, "", 1},
        {"ours, clicked again", "ActionInvoked", 41, "default", 2},
        {"ours closed", "NotificationClosed", 41, "", 2},
        {"a closed one cannot be clicked", "ActionInvoked", 41, "default", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int heard = counter.heard;
        if (QString(c.signal) == "ActionInvoked")
            server->emitSignal(c.signal, {c.id, c.key});
        else
            server->emitSignal(c.signal, {c.id, 2u});
        // Then one about nobody's notification: once the counter has that one, the
        // session has had the one before, delivered to this thread in order.
        server->emitSignal("NotificationClosed", {9999u, 2u});
        ASSERT_TRUE(QTest::qWaitFor([&] { return counter.heard == heard + 2; }, kWait));
        EXPECT_EQ(runs, c.runsAfter);
        EXPECT_EQ(firstRuns, 0);
    }

    // Ours was closed: the next one is new, not a replacement.
    session.notify("Done again", "", "Show", [] {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->calls.size() == 3; }, kWait));
    EXPECT_EQ(server->calls[2].replacesId, 0u);
}

TEST_F(DesktopSessionTest, NotifyDoesNotWaitForTheServersAnswer) {
    std::unique_ptr<FakeNotifications> server = startServer();
    server->holdAnswers = true;
    DesktopSession session(*app_);

    // The server runs on this thread: a call that waited for its answer could
    // never get it.
    session.notify("First", "", "Show", [] {});
    EXPECT_TRUE(server->calls.empty()) << "notify() waited for the server";
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->calls.size() == 1; }, kWait));

    // Asked for while the first has no id yet: it waits for the id to replace.
    session.notify("Second", "", "Show", [] {});
    server->holdAnswers = false;
    server->answerHeld();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server->calls.size() == 2; }, kWait));
    EXPECT_EQ(server->calls[1].summary, "Second");
    EXPECT_EQ(server->calls[1].replacesId, 41u);
}

TEST_F(DesktopSessionTest, WithoutANotificationServerNothingIsShownOrSaid) {
    int runs = 0;
    testing::internal::CaptureStderr();
    {
        DesktopSession session(*app_);
        session.showProgress(0.5);
        session.notify("Done", "", "Show", [&] { ++runs; });
        ASSERT_FALSE(app_->interface()->isServiceRegistered(kNotifyService).value());
        // The session has had the bus's error once the call's watcher is gone.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return session.findChildren<QDBusPendingCallWatcher*>().isEmpty(); }, kWait));
        // A server that comes later gets the next one as a new notification: the
        // failed call left no id behind, and nothing waits for it any more.
        std::unique_ptr<FakeNotifications> server = startServer();
        session.notify("Done again", "", "Show", [&] { ++runs; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return server->calls.size() == 1; }, kWait));
        EXPECT_EQ(server->calls[0].summary, "Done again");
        EXPECT_EQ(server->calls[0].replacesId, 0u);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(runs, 0);
}

TEST(DesktopSessionWithoutBusTest, EveryCallDoesNothing) {
    const QDBusConnection none(QStringLiteral("never-connected"));
    ASSERT_FALSE(none.isConnected());
    int runs = 0;
    testing::internal::CaptureStderr();
    {
        DesktopSession session(none);
        session.showProgress(0.25);
        session.showProgress(0.75);
        session.hideProgress();
        session.showProgress(1.0);
        session.notify("Done", "All converted", "Show", [&] { ++runs; });
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(runs, 0);
}

}  // namespace

#include "desktopsession_test.moc"
