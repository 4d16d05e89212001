// The About window, driven offscreen with an injected clock, menu, opener and
// message box. The whole program runs in German, so every text shows that it
// went through the language lookup.
#include "about/ui/aboutbox.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>
#include <vector>

#include "i18n/i18n.h"
#include "online/endpoints.h"

using imbrix::about::AboutServices;
using imbrix::about::HeadColour;
using imbrix::about::TAboutBox;

namespace {

// What the window asked of the desktop.
struct Desktop {
    std::uint32_t now = 50000;
    std::uint32_t menuOpenMs = 0;  // how long each shown menu stays open
    std::vector<QPoint> menusShown;
    std::vector<QUrl> opened;
    std::vector<std::pair<QString, QString>> errors;  // text, caption

    AboutServices services(const QString& folder = QString()) {
        AboutServices s;
        s.tickCount = [this] { return now; };
        s.openUrl = [this](const QUrl& url) { opened.push_back(url); };
        s.errorBox = [this](QWidget*, const QString& text, const QString& caption) {
            errors.emplace_back(text, caption);
        };
        s.execMenu = [this](QMenu*, const QPoint& at) {
            menusShown.push_back(at);
            now += menuOpenMs;
        };
        s.programFolder = folder;
        s.site = QStringLiteral("https://www.imbrix.example/");
        s.productName = QStringLiteral("Imbrix");
        s.versionText = QStringLiteral("2.3");
        // Every drop as bright as it gets, starting on the grid's last row.
        s.random = [](int, int high) { return high; };
        return s;
    }
};

void sendMouse(QWidget* target, QEvent::Type type, Qt::MouseButton button, QPoint global) {
    const QPointF local = target->mapFromGlobal(QPointF(global));
    const Qt::MouseButtons held =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent event(type, local, QPointF(global), button, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

}  // namespace

class AboutBoxTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        auto german = std::make_unique<const imbrix::i18n::Catalogue>(
            imbrix::i18n::Catalogue::load(IMBRIX_BIN_DIR, 1031));
        QVERIFY(german->isLoaded());
        QVERIFY(imbrix::i18n::installCatalogue(std::move(german)));
    }

    void layoutAndTranslatedTexts() {
        Desktop desktop;
        TAboutBox box(nullptr, desktop.services());
        QCOMPARE(box.windowTitle(), QStringLiteral("Über Imbrix"));
        QCOMPARE(box.Label2->text(), QStringLiteral("Imbrix 2.3"));
        QCOMPARE(box.BitBtn1->text(), QStringLiteral("OK"));
        QCOMPARE(box.BitBtn2->text(), QStringLiteral("Info"));
        QCOMPARE(box.Credits1->text(), QStringLiteral("Danksagungen..."));
        QCOMPARE(box.Howtouninstall1->text(), QStringLiteral("Deinstallation..."));
        QCOMPARE(box.LicensePrivacyPolicy1->text(), QStringLiteral("Lizenz..."));
        QCOMPARE(box.PopupMenu1->actions().indexOf(box.LicensePrivacyPolicy1), 2);
        QCOMPARE(box.size(), QSize(446, 374));
        QCOMPARE(box.Panel1->geometry(), QRect(48, 42, 350, 291));
        QCOMPARE(box.PanelEgg->geometry(), QRect(61, 77, 324, 220));
        QVERIFY(box.PanelEgg->isHidden());
        QCOMPARE(box.Label5->text(), QStringLiteral("www.imbrix.example"));
        QCOMPARE(box.Label5->toolTip(), QStringLiteral("http://www.imbrix.example/"));
        // The pictures were rendered, not left empty.
        QVERIFY(!box.Image2->pixmap().isNull());
        QVERIFY(!box.ImageEgg->pixmap().isNull());
        QVERIFY(!box.Image1->pixmap().isNull());
        QVERIFY(!box.BitBtn2->icon().isNull());
        QVERIFY(box.tmTimer->isActive());
        QCOMPARE(box.tmTimer->interval(), 50);
        QVERIFY(!box.TimerEgg->isActive());
    }

    void rainDrawsOntoTheWindow() {
        Desktop desktop;
        TAboutBox box(nullptr, desktop.services());
        box.tmTimer->stop();
        const auto& rain = box.rain();
        QCOMPARE(rain.matrixWidth(), 446 / 8);
        QCOMPARE(static_cast<int>(rain.drops().size()), 2 * rain.matrixWidth());
        const int headRow = rain.matrixHeight() - 1;
        QCOMPARE(rain.drops().front().Row, headRow);

        box.tmTimerTimer();
        // Each drop drew its letter on its head's row, then moved on. Column 0's
        // head cell holds a letter in the head colour of brightness 99 (its
        // smoothed edges are that colour on black, so the brightest pixel keeps
        // the colour's proportions).
        const QImage cell = box.rainCanvas().copy(0, headRow * 12, 8, 12);
        QColor brightest(Qt::black);
        for (int y = 0; y < cell.height(); ++y) {
            for (int x = 0; x < cell.width(); ++x) {
                if (cell.pixelColor(x, y).green() > brightest.green())
                    brightest = cell.pixelColor(x, y);
            }
        }
        const auto head = HeadColour(99);
        QVERIFY2(brightest.green() >= head.green / 2, "no letter in the head's cell");
        QVERIFY(brightest.green() <= head.green);
        QVERIFY(qAbs(brightest.red() - brightest.green() * head.red / head.green) <= 3);
        QVERIFY(qAbs(brightest.blue() - brightest.green() * head.blue / head.green) <= 3);
        QCOMPARE(rain.drops().front().Row, headRow + 1);
        // A cell no drop has reached stays black.
        const QImage untouched = box.rainCanvas().copy(0, 0, 8, 12);
        for (int y = 0; y < untouched.height(); ++y) {
            for (int x = 0; x < untouched.width(); ++x) {
                QCOMPARE(untouched.pixelColor(x, y), QColor(Qt::black));
            }
        }
    }

    void hiddenPictureSlideAndBack() {
        Desktop desktop;
        TAboutBox box(nullptr, desktop.services());
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        box.tmTimer->stop();

        QTest::mouseDClick(box.Image1, Qt::LeftButton);
        QVERIFY(box.PanelEgg->isVisible());
        QVERIFY(box.TimerEgg->isActive());
        QCOMPARE(box.TimerEgg->interval(), 5);
        box.TimerEgg->stop();  // the test steps the slide itself
        box.TimerEgg->start();

        // While it slides, neither double-click changes anything.
        box.TimerEggTimer();
        QCOMPARE(box.Panel1->x(), 53);
        QTest::mouseDClick(box.ImageEgg, Qt::LeftButton);
        QVERIFY(box.PanelEgg->isVisible());
        QCOMPARE(box.Panel1->x(), 53);
        QTest::mouseDClick(box.Image1, Qt::LeftButton);
        QCOMPARE(box.Panel1->x(), 53);

        int steps = 1;
        while (box.TimerEgg->isActive() && steps < 1000) {
            box.TimerEggTimer();
            ++steps;
        }
        QCOMPARE(steps, 80);
        QCOMPARE(box.Panel1->x(), 448);
        QCOMPARE(box.Panel1->y(), 42);

        // The picture brings the panel straight back, at its old height.
        QTest::mouseDClick(box.ImageEgg, Qt::LeftButton);
        QVERIFY(box.PanelEgg->isHidden());
        QCOMPARE(box.Panel1->pos(), QPoint(48, 42));
        QVERIFY(!box.TimerEgg->isActive());
    }

    void infoMenuReopenRule() {
        Desktop desktop;
        TAboutBox box(nullptr, desktop.services());
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));

        QTest::mouseClick(box.BitBtn2, Qt::LeftButton);
        QCOMPARE(desktop.menusShown.size(), size_t(1));
        QCOMPARE(desktop.menusShown[0], box.BitBtn2->mapToGlobal(QPoint(0, box.BitBtn2->height())));

        // The click that closed the menu reaches the button 40 ms later: no menu.
        desktop.now += 40;
        QTest::mouseClick(box.BitBtn2, Qt::LeftButton);
        QCOMPARE(desktop.menusShown.size(), size_t(1));
        // The next click opens it again.
        desktop.now += 10;
        QTest::mouseClick(box.BitBtn2, Qt::LeftButton);
        QCOMPARE(desktop.menusShown.size(), size_t(2));

        // The time counts from the menu's closing, not its opening.
        desktop.menuOpenMs = 5000;
        desktop.now += 100;
        QTest::mouseClick(box.BitBtn2, Qt::LeftButton);
        QCOMPARE(desktop.menusShown.size(), size_t(3));
        desktop.now += 99;
        QTest::mouseClick(box.BitBtn2, Qt::LeftButton);
        QCOMPARE(desktop.menusShown.size(), size_t(3));
        desktop.now += 1;
        QTest::mouseClick(box.BitBtn2, Qt::LeftButton);
        QCOMPARE(desktop.menusShown.size(), size_t(4));
        // Then 100 ms after that close: open.
        desktop.now += 100;
        QTest::mouseClick(box.BitBtn2, Qt::LeftButton);
        QCOMPARE(desktop.menusShown.size(), size_t(5));
    }

    void linksAndLicence() {
        QTemporaryDir withLicence;
        QVERIFY(withLicence.isValid());
        QFile licence(withLicence.filePath(QStringLiteral("license.txt")));
        QVERIFY(licence.open(QIODevice::WriteOnly));
        licence.write("MIT License\n");
        licence.close();
        QTemporaryDir withoutLicence;
        QVERIFY(QDir(withoutLicence.path())
                    .mkdir(QStringLiteral("license.txt")));  // a folder is no file

        Desktop desktop;
        {
            TAboutBox box(nullptr, desktop.services(withLicence.path()));
            box.show();
            QVERIFY(QTest::qWaitForWindowExposed(&box));
            QTest::mouseClick(box.Label5, Qt::LeftButton);
            QTest::mouseClick(box.Label5, Qt::RightButton);  // not a click on the link
            box.Credits1->trigger();
            box.Howtouninstall1->trigger();
            box.LicensePrivacyPolicy1->trigger();
        }
        const std::vector<QUrl> expected = {
            QUrl(QStringLiteral("http://www.imbrix.example/")),
            QUrl(QStringLiteral("https://www.imbrix.example/blog/credits-and-acknowledgements/")),
            QUrl(QStringLiteral(
                "http://www.imbrix.example/blog/how-to-uninstall-kelvane-software/")),
            QUrl::fromLocalFile(withLicence.filePath(QStringLiteral("license.txt"))),
        };
        QCOMPARE(desktop.opened, expected);
        QVERIFY(desktop.errors.empty());

        desktop.opened.clear();
        TAboutBox missing(nullptr, desktop.services(withoutLicence.path()));
        missing.LicensePrivacyPolicy1->trigger();
        QVERIFY(desktop.opened.empty());
        QCOMPARE(desktop.errors.size(), size_t(1));
        QCOMPARE(desktop.errors[0].first, QStringLiteral("Datei nicht gefunden!"));
        QCOMPARE(desktop.errors[0].second, QStringLiteral("Lizenz"));
    }

    void siteWithoutHostFallsBackToTheMakersOwn() {
        Desktop desktop;
        AboutServices services = desktop.services();
        services.site = QStringLiteral("/no/host/here");
        TAboutBox box(nullptr, services);
        const QString host =
            QString::fromStdString(imbrix::about::LinksForSite(imbrix::online::kDefaultSite).host);
        QVERIFY(!host.isEmpty());
        QCOMPARE(box.Label5->text(), host);
        box.Label5Click();
        QCOMPARE(desktop.opened.size(), size_t(1));
        QCOMPARE(desktop.opened[0].host(), host);
    }

    void escapeOnEitherButtonCloses_data() {
        QTest::addColumn<int>("which");
        QTest::newRow("OK") << 1;
        QTest::newRow("Info") << 2;
    }
    void escapeOnEitherButtonCloses() {
        QFETCH(int, which);
        Desktop desktop;
        TAboutBox box(nullptr, desktop.services());
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        QPushButton* button = which == 1 ? box.BitBtn1 : box.BitBtn2;
        QTest::keyClick(button, Qt::Key_A);
        QVERIFY(box.isVisible());  // other keys leave it open
        QTest::keyClick(button, Qt::Key_Escape);
        QVERIFY(!box.isVisible());
        QCOMPARE(box.result(), int(QDialog::Rejected));
        QVERIFY(desktop.menusShown.empty());
    }

    void okCloses() {
        Desktop desktop;
        TAboutBox box(nullptr, desktop.services());
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        QTest::mouseClick(box.BitBtn1, Qt::LeftButton);
        QVERIFY(!box.isVisible());
        QCOMPARE(box.result(), int(QDialog::Accepted));
    }

    void draggingBySurface_data() {
        QTest::addColumn<QString>("surface");
        QTest::addColumn<int>("button");
        QTest::addColumn<bool>("drags");
        QTest::newRow("window, left") << QString() << int(Qt::LeftButton) << true;
        QTest::newRow("panel, left") << QStringLiteral("Panel1") << int(Qt::LeftButton) << true;
        QTest::newRow("panel, middle") << QStringLiteral("Panel1") << int(Qt::MiddleButton) << true;
        QTest::newRow("panel, right") << QStringLiteral("Panel1") << int(Qt::RightButton) << false;
        QTest::newRow("logo") << QStringLiteral("Image2") << int(Qt::LeftButton) << true;
        QTest::newRow("icon") << QStringLiteral("Image1") << int(Qt::LeftButton) << true;
        QTest::newRow("name") << QStringLiteral("Label2") << int(Qt::LeftButton) << true;
        QTest::newRow("link") << QStringLiteral("Label5") << int(Qt::LeftButton) << false;
    }
    void draggingBySurface() {
        QFETCH(QString, surface);
        QFETCH(int, button);
        QFETCH(bool, drags);
        Desktop desktop;
        TAboutBox box(nullptr, desktop.services());
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        box.move(100, 100);
        QWidget* target =
            surface.isEmpty() ? static_cast<QWidget*>(&box) : box.findChild<QWidget*>(surface);
        QVERIFY(target != nullptr);
        const auto mouseButton = static_cast<Qt::MouseButton>(button);
        const QPoint start = target->mapToGlobal(target->rect().center());
        const QPoint before = box.pos();

        sendMouse(target, QEvent::MouseButtonPress, mouseButton, start);
        QCOMPARE(box.isDragging(), drags);
        // Two steps of a drag, each measured from the last mouse position.
        sendMouse(target, QEvent::MouseMove, mouseButton, start + QPoint(30, 20));
        const QPoint afterFirst = box.pos();
        sendMouse(target, QEvent::MouseMove, mouseButton, start + QPoint(23, 25));
        sendMouse(target, QEvent::MouseButtonRelease, mouseButton, start + QPoint(23, 25));
        QVERIFY(!box.isDragging());
        if (drags) {
            QCOMPARE(afterFirst - before, QPoint(30, 20));
            QCOMPARE(box.pos() - before, QPoint(23, 25));
        } else {
            QCOMPARE(box.pos(), before);
        }
        // Once released, moving the mouse moves nothing.
        const QPoint released = box.pos();
        sendMouse(target, QEvent::MouseMove, Qt::NoButton, start + QPoint(50, 50));
        QCOMPARE(box.pos(), released);
    }
};

QTEST_MAIN(AboutBoxTest)
#include "aboutbox_test.moc"
