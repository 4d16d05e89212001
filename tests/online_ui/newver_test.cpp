// The new-version notice offscreen: texts, place, the link rule, the countdown,
// dragging and the keyboard staying with the main window.
#include "online/ui/newver.h"

#include <gtest/gtest.h>

#include <QCursor>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <memory>
#include <vector>

#include "qtapp.h"

namespace imbrix::online {
namespace {

constexpr const char* kSite = "https://www.imbrix.example/";

class NewVersionNotice : public ::testing::Test, public test::WithTestApp {
protected:
    NewVersionNotice() {
        test::TestApp();
        mainWindow.resize(400, 300);
        mainWindow.show();
        QApplication::setActiveWindow(&mainWindow);
    }

    QWidget mainWindow;
    std::vector<QUrl> opened;

    std::unique_ptr<TNewVer> Make(const std::string& address = "https://download.example/imbrix") {
        NewVerEnvironment env;
        env.productName = "Imbrix";
        env.site = kSite;
        env.openUrl = [this](const QUrl& url) { opened.push_back(url); };
        // Owned by the test rather than the main window, so each case starts afresh.
        auto notice = std::make_unique<TNewVer>(nullptr, "2.4", address, env);
        return notice;
    }

    static void Shown(TNewVer& notice) {
        ASSERT_TRUE(test::WaitUntil([&] { return notice.isVisible() && !notice.Animating(); }));
    }
};

TEST_F(NewVersionNotice, NamesTheVersionInTheTopRightCorner) {
    auto notice = Make();
    EXPECT_EQ(notice->Label1->text(), "UPDATE AVAILABLE");
    EXPECT_EQ(notice->Label2->text(), "Click to download Imbrix 2.4");
    EXPECT_FALSE(notice->isVisible());  // it shows itself on its first tick
    Shown(*notice);
    EXPECT_EQ(notice->size(), QSize(320, 68));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(notice->pos(), QPoint(screen.right() + 1 - 320 - 5, screen.top() + 5));
    EXPECT_TRUE(notice->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(notice->windowFlags().testFlag(Qt::FramelessWindowHint));
}

TEST_F(NewVersionNotice, KeyboardStaysWithTheMainWindow) {
    NewVerEnvironment env;
    env.productName = "Imbrix";
    TNewVer owned(&mainWindow, "2.4", "", env);
    ASSERT_TRUE(test::WaitUntil([&] { return owned.isVisible() && !owned.Animating(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::activeWindow(), &mainWindow);
}

TEST_F(NewVersionNotice, LinkOpensOnlyWebAddressesAndCloses) {
    struct Case {
        const char* reply;
        const char* opened;
    };
    const Case cases[] = {
        {"https://download.example/imbrix", "https://download.example/imbrix"},
        {"http://download.example/get?v=2.4", "http://download.example/get?v=2.4"},
        {"", kSite},
        {"file:///usr/bin/xterm", kSite},
        {"/usr/bin/xterm", kSite},
        {"javascript:alert(1)", kSite},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        opened.clear();
        auto notice = Make(c.reply);
        Shown(*notice);
        QTest::mouseClick(notice->Label2, Qt::LeftButton);
        ASSERT_EQ(opened.size(), 1u);
        EXPECT_EQ(opened[0], QUrl(c.opened));
        EXPECT_FALSE(notice->isVisible());
    }
}

TEST_F(NewVersionNotice, CloseButtonHidesWithoutOpeningAnything) {
    auto notice = Make();
    QPointer<TNewVer> alive(notice.get());
    Shown(*notice);
    QTest::mouseClick(notice->Button1, Qt::LeftButton);
    EXPECT_FALSE(notice->isVisible());
    EXPECT_TRUE(opened.empty());
    EXPECT_FALSE(alive.isNull());  // hidden, not destroyed
}

TEST_F(NewVersionNotice, ClosesItselfWhenTheCountdownEndsEvenAfterADrag) {
    auto notice = Make();
    Shown(*notice);
    notice->TimerClose->stop();  // the test ticks the countdown itself
    QTest::mousePress(notice->Label1, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseMove(notice->Label1, QPoint(-40, 25));
    QTest::mouseRelease(notice->Label1, Qt::LeftButton, {}, QPoint(-40, 25));
    for (int tick = 1; tick <= 10; ++tick) {
        notice->TimerCloseTimer();
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(notice->Animating());
    EXPECT_TRUE(notice->isVisible());
    EXPECT_EQ(notice->CloseCountdown(), 1);
    notice->TimerCloseTimer();
    EXPECT_TRUE(test::WaitUntil([&] { return !notice->isVisible(); }));
    EXPECT_FALSE(notice->TimerClose->isActive());
    EXPECT_TRUE(opened.empty());
}

TEST_F(NewVersionNotice, LeftAndMiddleButtonsDragRightButtonDoesNot) {
    struct Case {
        Qt::MouseButton button;
        bool moves;
    };
    for (const Case& c :
         {Case{Qt::LeftButton, true}, Case{Qt::MiddleButton, true}, Case{Qt::RightButton, false}}) {
        SCOPED_TRACE(static_cast<int>(c.button));
        auto notice = Make();
        Shown(*notice);
        const QPoint before = notice->pos();
        QWidget* handle = notice->Image1;
        QTest::mousePress(handle, c.button, {}, QPoint(10, 10));
        QTest::mouseMove(handle, QPoint(-20, 30));
        QTest::mouseRelease(handle, c.button, {}, QPoint(-20, 30));
        EXPECT_EQ(notice->pos(), c.moves ? before + QPoint(-30, 20) : before);
        // After the release the mouse no longer carries the window.
        const QPoint after = notice->pos();
        QTest::mouseMove(handle, QPoint(0, 0));
        EXPECT_EQ(notice->pos(), after);
    }
}

// How many pixels of the label as drawn have exactly `colour`; the underline of the
// link alone gives a whole row of them.
int DrawnPixels(QLabel& label, const QColor& colour) {
    const QImage image = label.grab().toImage().convertToFormat(QImage::Format_RGB32);
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            count += image.pixelColor(x, y) == colour ? 1 : 0;
        }
    }
    return count;
}

TEST_F(NewVersionNotice, LinkColourFollowsTheMouse) {
    auto notice = Make();
    Shown(*notice);
    QLabel& link = *notice->Label2;
    const QColor hover = QApplication::palette().color(QPalette::Highlight);
    const QColor normal = QApplication::palette().color(QPalette::WindowText);
    ASSERT_NE(hover, normal);
    const QPoint inside = link.mapToGlobal(link.rect().center());
    QCursor::setPos(inside);
    if (QCursor::pos() != inside) {
        GTEST_SKIP() << "this platform cannot place the mouse";
    }
    notice->TimerLinkTimer();
    EXPECT_GT(DrawnPixels(link, hover), link.fontMetrics().horizontalAdvance(link.text()) / 2);

    QCursor::setPos(notice->mapToGlobal(QPoint(-50, -50)));
    notice->TimerLinkTimer();
    EXPECT_EQ(DrawnPixels(link, hover), 0);
    EXPECT_GT(DrawnPixels(link, normal), link.fontMetrics().horizontalAdvance(link.text()) / 2);
}

}  // namespace
}  // namespace imbrix::online
