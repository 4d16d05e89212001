// The main window's side of the update check, against a service of the test's own:
// the timer's ticks, the "Update Notifications" command, the notice and the
// service's important text.
#include "online/ui/updatecheck.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <mutex>

#include "loopback_server.h"
#include "qtapp.h"

namespace imbrix::online {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr const char* kCaption = "KELVANE - Imbrix";

std::string Reply(const std::string& version, const std::string& important = "") {
    return "<version>" + version +
           "</version>\r\n<url>https://download.example/imbrix</url>\r\n"
           "\r\n<result>1</result>\r\n\r\n<important>" +
           important + "</important>\r\n";
}

class UpdateCheckWindow : public ::testing::Test, public test::WithTestApp {
protected:
    UpdateCheckWindow() {
        test::TestApp();
        action.setCheckable(true);
        action.setChecked(true);
        action.setEnabled(false);
        timer.setInterval(1000);
        timer.start();
    }

    test::ScratchDir dir;
    QWidget mainWindow;
    QAction action{"Update Notifications"};
    QTimer timer;
    std::mutex replyMutex;
    std::string reply = Reply("2.4");
    std::atomic<bool> holdReplies{false};
    test::LoopbackServer server{false, [this](const test::SeenRequest&, httplib::Response& r) {
                                    while (holdReplies.load() && !server.stopping().load()) {
                                        std::this_thread::sleep_for(5ms);
                                    }
                                    std::lock_guard lock(replyMutex);
                                    r.set_content(reply, "text/plain");
                                }};
    std::vector<std::pair<QString, QString>> importantShown;
    std::vector<bool> finishedWhileShown;
    std::vector<bool> onInterfaceThread;

    UpdateCheckEnvironment Environment() {
        UpdateCheckEnvironment env;
        env.identity = {kCaption, "Imbrix", "2.3"};
        env.check.serviceHost = server.host();
        env.check.registryRoot = dir.path() / "Registry";
        env.check.machineIdFile = dir.file("machine-id");
        env.check.clock = [] { return system_clock::time_point(sys_days(2025y / May / 6)) + 9h; };
        env.check.localeCode = [] { return std::string("en-US"); };
        env.check.request.connectTimeout = 2000ms;
        env.check.request.responseTimeout = 2000ms;
        env.check.request.caFile = test::testCertificate().certFile;
        env.notice.site = "https://www.imbrix.example/";
        env.notice.openUrl = [](const QUrl&) {};
        return env;
    }

    KeyValueStore Store() {
        return KeyValueStore(dir.path() / "Registry" / MD5Hex(kCaption) / "Settings");
    }

    // Ticks the way the main window does until the check has been taken in.
    static void RunToEnd(UpdateCheckUi& ui, QTimer& timer) {
        ui.TimerCheckerTimer();
        ASSERT_NE(ui.Checker(), nullptr);
        ASSERT_TRUE(test::WaitUntil([&] { return ui.Checker()->Finished(); }));
        ui.TimerCheckerTimer();
        EXPECT_FALSE(timer.isActive());
    }
};

TEST_F(UpdateCheckWindow, NewerVersionOpensTheNoticeOnceTheCheckHasFinished) {
    UpdateCheckUi ui(&mainWindow, &action, &timer, Environment());
    EXPECT_EQ(ui.Checker(), nullptr);  // nothing before the first tick
    RunToEnd(ui, timer);
    EXPECT_TRUE(action.isEnabled());
    EXPECT_TRUE(action.isChecked());
    ASSERT_NE(ui.Notice(), nullptr);
    EXPECT_EQ(ui.Notice()->Label2->text(), "Click to download Imbrix 2.4");
    EXPECT_EQ(ui.Notice()->LinkAddress(), QUrl("https://download.example/imbrix"));
    EXPECT_TRUE(test::WaitUntil([&] { return ui.Notice()->isVisible(); }));

    // Later ticks open nothing more.
    TNewVer* first = ui.Notice();
    ui.TimerCheckerTimer();
    EXPECT_EQ(ui.Notice(), first);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST_F(UpdateCheckWindow, TicksBeforeTheCheckEndsChangeNothing) {
    holdReplies = true;
    UpdateCheckUi ui(&mainWindow, &action, &timer, Environment());
    ui.TimerCheckerTimer();
    ASSERT_TRUE(test::WaitUntil([&] { return server.requestCount() == 1; }));
    for (int tick = 0; tick < 3; ++tick) {
        ui.TimerCheckerTimer();
        EXPECT_TRUE(timer.isActive());
        EXPECT_FALSE(action.isEnabled());
        EXPECT_EQ(ui.Notice(), nullptr);
    }
    EXPECT_FALSE(ui.Checker()->Finished());
    holdReplies = false;
    ASSERT_TRUE(test::WaitUntil([&] { return ui.Checker()->Finished(); }));
    ui.TimerCheckerTimer();
    EXPECT_FALSE(timer.isActive());
    EXPECT_TRUE(action.isEnabled());
    EXPECT_NE(ui.Notice(), nullptr);
    EXPECT_EQ(server.requestCount(), 1u);  // one worker per run
}

TEST_F(UpdateCheckWindow, MainWindowTimerDrivesTheCheck) {
    UpdateCheckUi ui(&mainWindow, &action, &timer, Environment());
    QObject::connect(&timer, &QTimer::timeout, &ui, &UpdateCheckUi::TimerCheckerTimer);
    timer.setInterval(10);  // the program ticks every second
    ASSERT_TRUE(test::WaitUntil([&] { return !timer.isActive(); }));
    EXPECT_TRUE(action.isEnabled());
    EXPECT_NE(ui.Notice(), nullptr);
}

TEST_F(UpdateCheckWindow, NoticeOnlyWhenTheServiceNamesAnotherUsableVersion) {
    struct Case {
        const char* name;
        std::string reply;
        bool notice;
    };
    const std::vector<Case> cases = {
        {"older version", Reply("2.2"), true},
        {"same version", Reply("2.3"), false},
        {"not a number", Reply("2.4 beta"), false},
        {"error reply", "ERROR: busy", false},
        {"too short", "<version>2.4</version>\n<url>x</url>\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(replyMutex);
            reply = c.reply;
        }
        QTimer ownTimer;
        ownTimer.start(1000);
        QAction ownAction("Update Notifications");
        ownAction.setCheckable(true);
        ownAction.setChecked(true);
        ownAction.setEnabled(false);
        UpdateCheckEnvironment env = Environment();
        env.check.registryRoot = dir.path() / c.name;  // each case a first run
        UpdateCheckUi ui(&mainWindow, &ownAction, &ownTimer, env);
        RunToEnd(ui, ownTimer);
        EXPECT_TRUE(ownAction.isEnabled());
        EXPECT_EQ(ui.Notice() != nullptr, c.notice);
    }
}

TEST_F(UpdateCheckWindow, NotificationsOffAsksNothingAndTheCommandTurnsThemBackOn) {
    Store().WriteInt("ShowUpdate", 0);
    UpdateCheckUi ui(&mainWindow, &action, &timer, Environment());
    RunToEnd(ui, timer);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_TRUE(action.isEnabled());
    EXPECT_FALSE(action.isChecked());
    EXPECT_EQ(ui.Notice(), nullptr);

    QObject::connect(&action, &QAction::triggered, &ui, &UpdateCheckUi::UpdateNotifications1Click);
    action.trigger();
    EXPECT_TRUE(action.isChecked());
    EXPECT_EQ(Store().ReadText("ShowUpdate"), "1");
    action.trigger();
    EXPECT_FALSE(action.isChecked());
    EXPECT_EQ(Store().ReadText("ShowUpdate"), "0");
}

TEST_F(UpdateCheckWindow, UnreachableServiceStillEnablesTheCommand) {
    UpdateCheckEnvironment env = Environment();
    {
        // A port that was just in use and is closed now.
        test::LoopbackServer gone(false, [](const test::SeenRequest&, httplib::Response&) {});
        env.check.serviceHost = gone.host();
    }
    UpdateCheckUi ui(&mainWindow, &action, &timer, env);
    RunToEnd(ui, timer);
    EXPECT_TRUE(action.isEnabled());
    EXPECT_TRUE(action.isChecked());
    EXPECT_EQ(ui.Notice(), nullptr);
    EXPECT_TRUE(ui.Checker()->Results().errorFlag);
}

TEST_F(UpdateCheckWindow, ImportantTextIsShownOnTheInterfaceThreadBeforeTheNotice) {
    {
        std::lock_guard lock(replyMutex);
        reply = Reply("2.4", "Please update: the old version has a fault.");
    }
    UpdateCheckEnvironment env = Environment();
    UpdateCheckUi* self = nullptr;
    env.showImportant = [&](QWidget* parent, const QString& caption, const QString& text,
                            const std::function<void()>& closed) {
        EXPECT_EQ(parent, &mainWindow);
        importantShown.emplace_back(caption, text);
        onInterfaceThread.push_back(QThread::currentThread() == QApplication::instance()->thread());
        finishedWhileShown.push_back(self->Checker()->Finished());
        closed();
    };
    UpdateCheckUi ui(&mainWindow, &action, &timer, env);
    self = &ui;
    RunToEnd(ui, timer);
    ASSERT_EQ(importantShown.size(), 1u);
    EXPECT_EQ(importantShown[0].first, "IMPORTANT");
    EXPECT_EQ(importantShown[0].second, "Please update: the old version has a fault.");
    EXPECT_EQ(onInterfaceThread, std::vector<bool>{true});
    EXPECT_EQ(finishedWhileShown, std::vector<bool>{false});  // the worker waited for the box
    EXPECT_NE(ui.Notice(), nullptr);
}

// The box shows the service's text as it is, and the main window keeps taking
// input while it is open; the worker waits until it is closed.
TEST_F(UpdateCheckWindow, ImportantTextComesInAWarningBoxThatLeavesTheMainWindowUsable) {
    // As markup this would read "Fixed PNG files & R&D" on two lines, cut at "<2".
    const QString message = "Fixed <b>PNG</b> files &amp; R&D<br>for sizes <2 GB & more";
    {
        std::lock_guard lock(replyMutex);
        reply = Reply("2.4", message.toStdString());
    }
    QPushButton* button = new QPushButton("Add Files", &mainWindow);
    button->setGeometry(10, 10, 120, 30);
    int clicks = 0;
    QObject::connect(button, &QPushButton::clicked, [&] { ++clicks; });
    mainWindow.resize(300, 200);
    mainWindow.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&mainWindow));

    UpdateCheckUi ui(&mainWindow, &action, &timer, Environment());
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title, shown;
    bool modal = true;
    bool finishedWhileOpen = true;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        QMessageBox* box = nullptr;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (auto* found = qobject_cast<QMessageBox*>(window); found && found->isVisible()) {
                box = found;
            }
        }
        if (box == nullptr) {
            return;
        }
        closer.stop();
        icon = box->icon();
        title = box->windowTitle();
        modal = box->isModal() || QApplication::activeModalWidget() != nullptr;
        // What the box's label shows: its laid-out text, selected whole.
        auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        if (label != nullptr) {
            label->setTextInteractionFlags(Qt::TextSelectableByMouse);
            label->setSelection(0, static_cast<int>(message.size()));
            shown = label->selectedText();
        }
        // A real click on the main window, as the window system delivers it.
        QTest::mouseClick(mainWindow.windowHandle(), Qt::LeftButton, {},
                          button->geometry().center());
        finishedWhileOpen = ui.Checker()->Finished();
        box->button(QMessageBox::Ok)->click();
    });
    closer.start(10);
    RunToEnd(ui, timer);
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_EQ(title, "IMPORTANT");
    EXPECT_EQ(shown.toStdString(), message.toStdString());
    EXPECT_FALSE(modal);
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(finishedWhileOpen);
    EXPECT_NE(ui.Notice(), nullptr);
}

TEST_F(UpdateCheckWindow, ClosingDuringAPendingCheckEndsTheWorker) {
    holdReplies = true;
    {
        UpdateCheckUi ui(&mainWindow, &action, &timer, Environment());
        ui.TimerCheckerTimer();
        ASSERT_TRUE(test::WaitUntil([&] { return server.requestCount() == 1; }));
    }  // returns once the worker has given up its request
    holdReplies = false;
    EXPECT_FALSE(action.isEnabled());
}

}  // namespace
}  // namespace imbrix::online
