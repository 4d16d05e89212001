// The main window: creation and start-up.
#include "app/appform.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QProcess>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>

#include "app/desktopsession.h"
#include "app/translate.h"
#include "i18n/i18n.h"
#include "i18n/ui/messagedlg.h"
#include "imagelist/ui/imagelistmodel.h"
#include "imagelist/ui/intake.h"
#include "imagelist/ui/shellactions.h"
#include "online/ui/updatecheck.h"
#include "platform/system.h"

namespace imbrix::app {

TAppForm::TAppForm(AppIdentity identity, std::vector<std::string> commandLine,
                   DesktopServices desktop, QWidget* parent)
    : QMainWindow(parent),
      identity_(std::move(identity)),
      commandLine_(std::move(commandLine)),
      desktop_(std::move(desktop)) {
    if (!desktop_.message)
        desktop_.message = convert::showMessageBox;
    if (!desktop_.beep)
        desktop_.beep = [] { QApplication::beep(); };
    if (!desktop_.openUrl)
        desktop_.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    if (!desktop_.showProperties)
        desktop_.showProperties = imagelist::ShowFileProperties;
    if (!desktop_.confirm) {
        desktop_.confirm = [](QWidget* owner, const QString& message, const QString& title,
                              const QStringList& captions) {
            return i18n::MessageDlgWithCaptions(message, i18n::DialogType::Confirmation,
                                                QMessageBox::Yes | QMessageBox::No, captions, title,
                                                owner) == QMessageBox::Yes;
        };
    }
    if (!desktop_.showModal)
        desktop_.showModal = [](QDialog& dialog) { dialog.exec(); };
    if (!desktop_.restart) {
        desktop_.restart = [] {
            QProcess::startDetached(QString::fromStdString(platform::programPath()), {});
            QApplication::quit();
        };
    }

    if (!desktop_.session)
        desktop_.session = [](QObject* owner) { return new DesktopSession(owner); };
    session_ = desktop_.session(this);

    model_ = new imagelist::ImageListModel({}, this);
    intake_ = new imagelist::ImageIntake(*model_, this);
    createControls();
    createMenus();
    connectCommands();

    // Start-up, in this order: the caption from the version block, drops, the
    // remembered options of the data folder, the language, the first page, an
    // empty list.
    setWindowTitle(QString::fromStdString(identity_.caption));
    setAcceptDrops(true);
    // A drop anywhere on the window adds to the list, over a text box too: no
    // control takes the dropped names as text.
    for (QWidget* control : findChildren<QWidget*>()) {
        control->setAcceptDrops(false);
    }
    settings_ = settings::Store::load(identity_.dataFolder + "settings.ini");
    applyRememberedOptions();
    loadLanguage();
    PageControl1->setCurrentIndex(0);
    ButtonClearClick();

    // The command line is taken once the window is on screen (see showEvent).
    TimerParam = new QTimer(this);
    TimerParam->setInterval(1);
    TimerParam->setSingleShot(true);
    connect(TimerParam, &QTimer::timeout, this, &TAppForm::TimerParamTimer);
    TimerChecker = new QTimer(this);
    TimerChecker->setInterval(1000);
    connect(TimerChecker, &QTimer::timeout, this, &TAppForm::TimerCheckerTimer);
    online::UpdateCheckEnvironment update;
    update.identity = {identity_.caption, identity_.productName, identity_.versionText};
    updateCheck_ =
        new online::UpdateCheckUi(this, UpdateNotifications1, TimerChecker, std::move(update));
    TimerChecker->start();
}

TAppForm::~TAppForm() {
    // Before the children go in creation order: a running update check is stopped
    // and waited for, and a folder walk is stopped before the list it fills goes.
    delete updateCheck_;
    delete intake_;
}

void TAppForm::loadLanguage() {
    try {
        i18n::LoadLanguage();
    } catch (const i18n::LanguageError& e) {
        desktop_.message(this, convert::BoxIcon::Error, QApplication::applicationDisplayName(),
                         QString::fromStdString(e.what()));
    }
    // The options this program adds to the design's page speak the user's language.
    CheckBoxRemoveMetadata->setText(Translate("Remove Metadata"));
    CheckBoxRemoveMetadata->setToolTip(
        Translate("Removes EXIF (including the GPS location), XMP, IPTC and comments. "
                  "The colour profile is kept."));
    LabelResize->setText(Translate("Resize:"));
    const char* const modes[] = {"Original size", "Fit inside", "Long side", "Percentage"};
    for (int i = 0; i < 4; ++i)
        ComboBoxResize->setItemText(i, Translate(modes[i]));
    ComboBoxResize->setToolTip(
        Translate("The picture keeps its aspect ratio. Smaller pictures keep their size "
                  "unless \"Enlarge smaller pictures\" is checked."));
    CheckBoxEnlarge->setText(Translate("Enlarge smaller pictures"));
    CheckBoxKeepFolders->setText(Translate("Keep Folder Structure"));
    CheckBoxKeepFolders->setToolTip(
        Translate("Files from an added folder go to the same subfolders under the "
                  "destination folder."));
    CheckBoxKeepDates->setText(Translate("Keep File Dates"));
    CheckBoxKeepDates->setToolTip(
        Translate("Each new file gets the modification date of its original."));
    LabelExisting->setText(Translate("If the file exists:"));
    ComboBoxExisting->setItemText(0, Translate("Add a number"));
    ComboBoxExisting->setItemText(1, Translate("Skip the file"));
    ComboBoxExisting->setToolTip(Translate("Existing files are never overwritten."));
}

void TAppForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shownOnce_) {
        shownOnce_ = true;
        // Centred on its screen the first time it appears.
        if (QScreen* where = screen()) {
            QRect frame = frameGeometry();
            frame.moveCenter(where->availableGeometry().center());
            move(frame.topLeft());
        }
        TimerParam->start();
    }
}

void TAppForm::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void TAppForm::dropEvent(QDropEvent* event) {
    if (!event->mimeData()->hasUrls())
        return;
    event->acceptProposedAction();
    intake_->addDropped(event->mimeData()->urls());
    PageControl1->setCurrentIndex(0);
}

void TAppForm::KacItemVarGuncelle() {
    PageControl1->setTabText(0, QStringLiteral("Images [%1]").arg(model_->files().size()));
}

}  // namespace imbrix::app
