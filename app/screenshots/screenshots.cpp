// imbrix_screenshots: draws the main window's two pages and the "Reset to
// Defaults..." question into PNG files, for the documentation.
//
// Usage: imbrix_screenshots PROGRAM OUTPUT-FOLDER LABEL [IMAGE...]
//   PROGRAM: the built imbrix (its version block and its Languages folder are used)
//   LABEL:   names the question's file, such as "en" or "de"
//   IMAGE:   paths put into the image list
// Writes main-images.png, main-options.png and main-reset-LABEL.png, the
// question in the user's language (LANG). Run it under a real X server
// (xvfb-run -a) so the windows are drawn as the desktop draws them.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QMessageBox>
#include <QPixmap>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "app/appform.h"
#include "app/appidentity.h"
#include "app/icons.h"
#include "convert/ui/resultform.h"
#include "i18n/i18n.h"
#include "imagelist/ui/imagelistmodel.h"
#include "imagelist/ui/intake.h"
#include "imagelist/ui/localpaths.h"
#include "platform/files.h"

namespace {

bool save(const QPixmap& pixmap, const QString& path) {
    if (pixmap.save(path)) {
        std::printf("%s\n", qPrintable(path));
        return true;
    }
    std::fprintf(stderr, "imbrix_screenshots: cannot write %s\n", qPrintable(path));
    return false;
}

// The whole top-level window as the screen shows it, frame included when the
// desktop draws one.
QPixmap grabWindow(QWidget& window) {
    QTest::qWait(300);
    return window.grab();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Imbrix"));
    QStringList arguments = QApplication::arguments();
    if (arguments.size() < 4) {
        std::fprintf(stderr, "usage: imbrix_screenshots PROGRAM OUTPUT-FOLDER LABEL [IMAGE...]\n");
        return 2;
    }
    const std::string program = arguments[1].toStdString();
    const QDir output(arguments[2]);
    const QString label = arguments[3];
    const QStringList images = arguments.mid(4);
    imbrix::app::setUpIconTheme();

    // The language of the user, from the program's own Languages folder.
    imbrix::i18n::installCatalogue(
        std::make_unique<const imbrix::i18n::Catalogue>(imbrix::i18n::Catalogue::load(
            imbrix::platform::extractFilePath(program), imbrix::i18n::userInterfaceLanguage())));

    QTemporaryDir data;  // the options of this run go nowhere else
    imbrix::app::AppIdentity identity = imbrix::app::loadIdentity(program);
    identity.dataFolder = data.path().toStdString() + "/";

    imbrix::app::TAppForm form(identity, {});
    form.TimerChecker->stop();
    form.show();
    form.intake().addFiles(imbrix::imagelist::nativePaths(images));
    if (!QTest::qWaitFor([&] { return !form.intake().busy(); }, 10000))
        return 1;
    form.intake().refresh();

    bool ok = save(grabWindow(form), output.filePath(QStringLiteral("main-images.png")));

    form.ComboBoxType->setCurrentIndex(form.ComboBoxType->findText(QStringLiteral("WEBP")));
    form.SpinEdit1->setValue(80);
    // A resize to fit shows its two numbers.
    form.ComboBoxResize->setCurrentIndex(1);
    form.ComboBoxResize->activated(1);
    form.PageControl1->setCurrentIndex(1);
    ok = save(grabWindow(form), output.filePath(QStringLiteral("main-options.png"))) && ok;

    // The result window of a second run into the same folder with "Skip the
    // file", after three photos were added: the figures of such a run.
    {
        imbrix::convert::RunSummary summary;
        summary.fileCount = static_cast<std::size_t>(images.size()) + 3;
        summary.skippedCount = static_cast<std::size_t>(images.size());
        summary.processed = std::to_string(summary.fileCount);
        summary.elapsed = "0.412 seconds";
        summary.diskSpaceCaption = "Saved Disk Space:";
        summary.diskSpaceValue = "2.4 MB (86%)";
        imbrix::convert::TFormResult result({}, &form);
        result.setTexts(summary);
        result.show();
        QTest::qWait(200);
        ok = save(result.grab(), output.filePath(QStringLiteral("result-skipped.png"))) && ok;
    }

    // The window's own "Reset to Defaults..." question, grabbed while it is open
    // and answered "No", so nothing is reset.
    QTimer::singleShot(500, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            std::fprintf(stderr, "imbrix_screenshots: the question did not open\n");
            ok = false;
            return;
        }
        ok = save(box->grab(), output.filePath(QStringLiteral("main-reset-%1.png").arg(label))) &&
             ok;
        box->reject();
    });
    form.ResettoDefaults1->trigger();
    return ok ? 0 : 1;
}
