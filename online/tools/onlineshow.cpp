// imbrix-onlineshow <folder>: shows the new-version notice and the feedback window
// as a user meets them and saves pictures of both (notice.png with the top right
// corner of the screen, feedback.png). Run it on a display, such as under
// xvfb-run; it sends nothing anywhere.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTest>
#include <cstdio>

#include "online/ui/feedbackform.h"
#include "online/ui/newver.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: imbrix-onlineshow <folder>\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (QFileInfo::exists(QStringLiteral("/usr/share/icons/breeze/index.theme"))) {
        QIcon::setThemeName(QStringLiteral("breeze"));
    }
    QIcon::setFallbackThemeName(QStringLiteral("hicolor"));

    imbrix::online::NewVerEnvironment notice;
    notice.productName = "Imbrix";
    notice.openUrl = [](const QUrl&) {};
    imbrix::online::TNewVer newVer(nullptr, "2.4", "https://download.imbrix.example/", notice);
    QTest::qWait(600);
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen->geometry();
    const QPixmap corner = screen->grabWindow(0, area.right() + 1 - 420, area.top(), 420, 110);
    if (!corner.save(folder.filePath(QStringLiteral("notice.png")))) {
        std::fprintf(stderr, "cannot save notice.png\n");
        return 1;
    }
    newVer.Button1Click();

    imbrix::online::FeedbackFormEnvironment feedback;
    feedback.post = [](const std::string&, const imbrix::online::FieldList&) {
        return std::string();
    };
    imbrix::online::TFeedbackForm form(nullptr, feedback);
    form.show();
    form.Image1MouseDown(Qt::LeftButton);
    form.Memo1->setPlainText(QStringLiteral("Converting a folder of scans to WEBP took seconds."));
    form.Edit1->setText(QStringLiteral("someone@mail.example"));
    QTest::qWait(300);
    if (!form.grab().save(folder.filePath(QStringLiteral("feedback.png")))) {
        std::fprintf(stderr, "cannot save feedback.png\n");
        return 1;
    }
    return 0;
}
