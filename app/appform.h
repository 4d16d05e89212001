// The main window: the "Images" and "Options" pages, the menus, the commands.
//
// A thin window: the list, its roads and its view live in imagelist/ui, the run and
// the result window in convert/ui. The window is split over three files: this
// class and its start-up (appform.cpp), its controls and menus
// (appform_layout.cpp), and its command handlers (appform_commands.cpp).
#pragma once

#include <QMainWindow>
#include <QStringList>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "app/appidentity.h"
#include "convert/run.h"
#include "convert/ui/messagebox.h"
#include "convert/ui/runwindow.h"
#include "settings/settings.h"

class QAction;
class QCheckBox;
class QComboBox;
class QDialog;
class QFileDialog;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QStackedWidget;
class QStatusBar;
class QTabWidget;
class QTableView;
class QTimer;
class QUrl;

namespace imbrix::imagelist {
class ImageListModel;
class ImageIntake;
}  // namespace imbrix::imagelist

namespace imbrix::convert {
class TFormResult;
}

namespace imbrix::online {
class UpdateCheckUi;
}

namespace imbrix::app {

class DesktopSession;

/// What the window asks of the desktop; tests replace these.
struct DesktopServices {
    convert::MessageFunction message = convert::showMessageBox;
    std::function<void()> beep;                                   ///< the default system sound
    std::function<void(const QUrl& url)> openUrl;                 ///< web pages, files, folders
    std::function<void(const std::string& path)> showProperties;  ///< a file's properties
    /// Shows the finished result window (modal by default).
    std::function<void(convert::TFormResult& form)> showResult;
    /// Asks a yes/no question with translated captions (Yes first, then No);
    /// true for "Yes".
    std::function<bool(QWidget* parent, const QString& message, const QString& title,
                       const QStringList& captions)>
        confirm;
    /// A run's "ERROR" box with its "Don't show further errors in this run" check box.
    convert::ErrorBoxFunction errorBox;
    /// Shows a window opened from the menu modally and returns when it is closed.
    std::function<void(QDialog& dialog)> showModal;
    /// Makes the window's link to the desktop session (launcher progress,
    /// notifications), owned by `owner`; over the session bus by default.
    std::function<DesktopSession*(QObject* owner)> session;
    /// Starts a fresh instance of the program, with no paths, and ends this one.
    std::function<void()> restart;
};

class TAppForm : public QMainWindow {
    Q_OBJECT
public:
    /// `identity` from loadIdentity(); `commandLine`: the paths given to the
    /// program, byte for byte as the system passed them, taken into the list once
    /// the window is on screen.
    TAppForm(AppIdentity identity, std::vector<std::string> commandLine,
             DesktopServices desktop = {}, QWidget* parent = nullptr);
    ~TAppForm() override;

    const AppIdentity& identity() const { return identity_; }
    imagelist::ImageListModel& imageList() { return *model_; }
    imagelist::ImageIntake& intake() { return *intake_; }
    /// The open "settings.ini" of the data folder.
    const settings::Store& settingsStore() const { return settings_; }
    /// The folder last chosen in a folder picker; shared by "Add Folder" and "Browse...".
    QString LastFolder;

    // Controls, named as in the window's design.
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabSheet1 = nullptr;
    QWidget* TabSheet2 = nullptr;
    QPushButton* ButtonFiles = nullptr;
    QPushButton* ButtonFolder = nullptr;
    QPushButton* ButtonDelete = nullptr;
    QPushButton* ButtonClear = nullptr;
    QTableView* ListView1 = nullptr;
    QPushButton* ButtonNext = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* ComboBoxType = nullptr;
    QLabel* Label2 = nullptr;
    QSpinBox* SpinEdit1 = nullptr;
    QLabel* Label3 = nullptr;
    QCheckBox* CheckBoxGrayscale = nullptr;
    QCheckBox* CheckBoxRemoveMetadata = nullptr;
    // Resize: the mode, and beside it the numbers of that mode.
    QLabel* LabelResize = nullptr;
    QComboBox* ComboBoxResize = nullptr;
    QStackedWidget* StackResize = nullptr;
    QSpinBox* SpinEditWidth = nullptr;
    QSpinBox* SpinEditHeight = nullptr;
    QSpinBox* SpinEditLongSide = nullptr;
    QSpinBox* SpinEditPercent = nullptr;
    QCheckBox* CheckBoxEnlarge = nullptr;
    QLabel* Label5 = nullptr;
    QComboBox* ComboBoxDestination = nullptr;
    QPushButton* ButtonBrowse = nullptr;
    QCheckBox* CheckBoxKeepFolders = nullptr;
    QCheckBox* CheckBoxKeepDates = nullptr;
    QLabel* LabelExisting = nullptr;
    QComboBox* ComboBoxExisting = nullptr;
    QPushButton* ButtonBack = nullptr;
    QPushButton* ButtonProcess = nullptr;
    QPlainTextEdit* MemoCMD = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;  // a run's files done of all, in the status bar
    QLabel* LabelTimeLeft = nullptr;       // and its time left
    QMenu* PopupMenu1 = nullptr;
    QTimer* TimerParam = nullptr;
    QTimer* TimerChecker = nullptr;

    // Menu items.
    QAction* AddFiles1 = nullptr;
    QAction* AddFolder1 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* DisplayIcons1 = nullptr;
    QAction* IncludeSubfolders1 = nullptr;
    QAction* RememberSettings1 = nullptr;
    QAction* ResettoDefaults1 = nullptr;
    QAction* Help2 = nullptr;
    QAction* UpdateNotifications1 = nullptr;
    QAction* SendFeedback1 = nullptr;
    QAction* About1 = nullptr;
    QAction* Open1 = nullptr;
    QAction* Properties1 = nullptr;
    QAction* Delete1 = nullptr;
    QAction* Clear1 = nullptr;

    // Commands.
    void ButtonFilesClick();
    void ButtonFolderClick();
    void ButtonDeleteClick();
    void ButtonClearClick();
    void ButtonNextClick();
    void ButtonBackClick();
    void PageControl1Change();
    void ComboBoxTypeChange();
    void SpinEdit1Change();
    void CheckBoxGrayscaleClick();
    void CheckBoxRemoveMetadataClick();
    void ComboBoxResizeChange();
    void ResizeNumberChange();
    void CheckBoxEnlargeClick();
    void CheckBoxKeepFoldersClick();
    void CheckBoxKeepDatesClick();
    void ComboBoxExistingChange();
    void ComboBoxDestinationChange();
    void ButtonBrowseClick();
    void ButtonProcessClick();
    void ListView1DblClick();
    void Open1Click();
    void Properties1Click();
    void DisplayIcons1Click();
    void IncludeSubfolders1Click();
    void RememberSettings1Click();
    void ResettoDefaults1Click();
    void UpdateNotifications1Click();
    void SendFeedback1Click();
    void About1Click();
    void Help2Click();
    void Exit1Click();
    void TimerParamTimer();
    void TimerCheckerTimer();
    /// Sets the first tab's caption from the list's length.
    void KacItemVarGuncelle();
    /// True while a conversion run goes on (the Process button reads "Stop").
    bool running() const { return running_; }

protected:
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void createControls();
    void createMenus();
    void connectCommands();
    void applyRememberedOptions();
    /// The options page as the run takes it.
    convert::ConversionOptions chosenOptions() const;
    /// Shows the numbers of the chosen resize mode, and enables what applies.
    void updateOptionControls();
    /// Stores one option and rewrites the settings file; a failed write is shown
    /// in an error box and the next change tries again.
    void writeSetting(settings::Key key, const std::string& value);
    void writeSwitch(settings::Key key, bool on);
    void loadLanguage();
    int firstSelectedRow() const;
    QString chooseFolder(bool multiple, std::vector<std::string>* chosen);
    /// The window during a run and back: the Process button becomes Stop, the
    /// status bar shows the progress.
    void showRunning(bool running);
    void showRunProgress(const convert::RunDisplay& display);
    /// The status bar's text during a run, a long path shortened in its middle.
    void showRunStatus(const QString& text);
    /// The end of a run: the launcher entry's progress goes, and a notification
    /// tells of the result when the window is not the active one.
    void runFinished(const convert::RunSummary& summary);

    AppIdentity identity_;
    std::vector<std::string> commandLine_;
    DesktopServices desktop_;
    settings::Store settings_;
    online::UpdateCheckUi* updateCheck_ = nullptr;  // a child of the window
    DesktopSession* session_ = nullptr;             // a child of the window
    imagelist::ImageListModel* model_ = nullptr;
    imagelist::ImageIntake* intake_ = nullptr;
    QFileDialog* OpenDialog1 = nullptr;  // made on first use, kept for the window's life
    bool shownOnce_ = false;
    bool running_ = false;
    std::stop_source runStop_;  // the running conversion's
};

}  // namespace imbrix::app
