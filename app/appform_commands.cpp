// The main window's command handlers.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLayout>
#include <QLocale>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <initializer_list>
#include <vector>

#include "about/ui/aboutbox.h"
#include "app/appform.h"
#include "app/desktopsession.h"
#include "app/icons.h"
#include "app/translate.h"
#include "convert/ui/runwindow.h"
#include "imagelist/ui/imagelistmodel.h"
#include "imagelist/ui/intake.h"
#include "imagelist/ui/localpaths.h"
#include "imaging/fileformats.h"
#include "online/endpoints.h"
#include "online/ui/feedbackform.h"
#include "online/ui/updatecheck.h"

namespace imbrix::app {
namespace {

// The formats for which the options page offers the quality box.
bool formatHasQuality(const QString& format) {
    const imaging::FileFormat* entry = imaging::findOutputFormat(format.toStdString());
    return entry && entry->quality;
}

// A Qt name filter that shows `name` and matches the ';'-separated `patterns`
// ("*.*" meaning every file, dotted or not).
QString nameFilter(const imagelist::DialogFilterEntry& entry) {
    QString patterns =
        QString::fromStdString(entry.patterns).replace(QLatin1Char(';'), QLatin1Char(' '));
    if (patterns == QLatin1String("*.*"))
        patterns = QStringLiteral("*");
    return QString::fromStdString(entry.name) + QStringLiteral(" (") + patterns + QLatin1Char(')');
}

// What would change the list or open a window of its own is held while a run
// goes on (and its result is shown): the roads into the list, which keep
// gathering and add their finds afterwards, and the timers that take the command
// line and poll the update check (whose new-version notice so opens afterwards).
class HeldDuringRun {
public:
    HeldDuringRun(imagelist::ImageIntake& intake, std::initializer_list<QTimer*> timers)
        : intake_(intake) {
        intake_.hold(true);
        for (QTimer* timer : timers) {
            if (timer->isActive()) {
                timer->stop();
                stopped_.push_back(timer);
            }
        }
    }
    ~HeldDuringRun() {
        for (QTimer* timer : stopped_)
            timer->start();
        intake_.hold(false);
    }
    HeldDuringRun(const HeldDuringRun&) = delete;
    HeldDuringRun& operator=(const HeldDuringRun&) = delete;

private:
    imagelist::ImageIntake& intake_;
    std::vector<QTimer*> stopped_;
};

}  // namespace

void TAppForm::connectCommands() {
    connect(ButtonFiles, &QPushButton::clicked, this, &TAppForm::ButtonFilesClick);
    connect(AddFiles1, &QAction::triggered, this, &TAppForm::ButtonFilesClick);
    connect(ButtonFolder, &QPushButton::clicked, this, &TAppForm::ButtonFolderClick);
    connect(AddFolder1, &QAction::triggered, this, &TAppForm::ButtonFolderClick);
    connect(ButtonDelete, &QPushButton::clicked, this, &TAppForm::ButtonDeleteClick);
    connect(Delete1, &QAction::triggered, this, &TAppForm::ButtonDeleteClick);
    connect(ButtonClear, &QPushButton::clicked, this, &TAppForm::ButtonClearClick);
    connect(Clear1, &QAction::triggered, this, &TAppForm::ButtonClearClick);
    connect(ButtonNext, &QPushButton::clicked, this, &TAppForm::ButtonNextClick);
    connect(ButtonBack, &QPushButton::clicked, this, &TAppForm::ButtonBackClick);
    connect(PageControl1, &QTabWidget::currentChanged, this, &TAppForm::PageControl1Change);
    connect(ComboBoxType, &QComboBox::activated, this, &TAppForm::ComboBoxTypeChange);
    connect(SpinEdit1, &QSpinBox::valueChanged, this, &TAppForm::SpinEdit1Change);
    connect(CheckBoxGrayscale, &QCheckBox::clicked, this, &TAppForm::CheckBoxGrayscaleClick);
    connect(CheckBoxRemoveMetadata, &QCheckBox::clicked, this,
            &TAppForm::CheckBoxRemoveMetadataClick);
    connect(ComboBoxResize, &QComboBox::activated, this, &TAppForm::ComboBoxResizeChange);
    for (QSpinBox* number : {SpinEditWidth, SpinEditHeight, SpinEditLongSide, SpinEditPercent})
        connect(number, &QSpinBox::valueChanged, this, &TAppForm::ResizeNumberChange);
    connect(CheckBoxEnlarge, &QCheckBox::clicked, this, &TAppForm::CheckBoxEnlargeClick);
    connect(CheckBoxKeepFolders, &QCheckBox::clicked, this, &TAppForm::CheckBoxKeepFoldersClick);
    connect(CheckBoxKeepDates, &QCheckBox::clicked, this, &TAppForm::CheckBoxKeepDatesClick);
    connect(ComboBoxExisting, &QComboBox::activated, this, &TAppForm::ComboBoxExistingChange);
    connect(ComboBoxDestination, &QComboBox::editTextChanged, this,
            &TAppForm::ComboBoxDestinationChange);
    connect(ButtonBrowse, &QPushButton::clicked, this, &TAppForm::ButtonBrowseClick);
    connect(ButtonProcess, &QPushButton::clicked, this, &TAppForm::ButtonProcessClick);
    connect(ListView1, &QTableView::doubleClicked, this, &TAppForm::ListView1DblClick);
    connect(ListView1, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        PopupMenu1->popup(ListView1->viewport()->mapToGlobal(at));
    });
    connect(Open1, &QAction::triggered, this, &TAppForm::Open1Click);
    connect(Properties1, &QAction::triggered, this, &TAppForm::Properties1Click);
    connect(DisplayIcons1, &QAction::triggered, this, &TAppForm::DisplayIcons1Click);
    connect(IncludeSubfolders1, &QAction::triggered, this, &TAppForm::IncludeSubfolders1Click);
    connect(RememberSettings1, &QAction::triggered, this, &TAppForm::RememberSettings1Click);
    connect(ResettoDefaults1, &QAction::triggered, this, &TAppForm::ResettoDefaults1Click);
    connect(Help2, &QAction::triggered, this, &TAppForm::Help2Click);
    connect(UpdateNotifications1, &QAction::triggered, this, &TAppForm::UpdateNotifications1Click);
    connect(SendFeedback1, &QAction::triggered, this, &TAppForm::SendFeedback1Click);
    connect(About1, &QAction::triggered, this, &TAppForm::About1Click);
    connect(Exit1, &QAction::triggered, this, &TAppForm::Exit1Click);
    connect(intake_, &imagelist::ImageIntake::countChanged, this, &TAppForm::KacItemVarGuncelle);
}

void TAppForm::ButtonFilesClick() {
    if (!OpenDialog1) {
        OpenDialog1 = new QFileDialog(this);
        OpenDialog1->setFileMode(QFileDialog::ExistingFiles);
        OpenDialog1->setOption(QFileDialog::HideNameFilterDetails);
        OpenDialog1->setDefaultSuffix(QStringLiteral("jpg"));
        auto entries = imagelist::ImageDialogFilterEntries(
            Translate("Image Files").toStdString(), Translate("All Files (*.*)").toStdString());
        OpenDialog1->setNameFilters({nameFilter(entries[0]), nameFilter(entries[1])});
    }
    if (OpenDialog1->exec() != QDialog::Accepted)
        return;
    // The dialog's URLs, not its file names: a desktop's own dialog hands over a
    // name that is not UTF-8 escaped in the URL, where the text has lost it.
    intake_->addFiles(imagelist::localFilePaths(OpenDialog1->selectedUrls()));
}

QString TAppForm::chooseFolder(bool multiple, std::vector<std::string>* chosen) {
    QFileDialog picker(this, QStringLiteral("Select folder:"), LastFolder);
    picker.setFileMode(QFileDialog::Directory);
    picker.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    picker.setLabelText(QFileDialog::Accept, QStringLiteral("Select"));
    if (multiple) {
        // Qt's own picker takes several folders once its views allow it.
        for (auto* view : picker.findChildren<QAbstractItemView*>()) {
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        }
    }
    if (picker.exec() != QDialog::Accepted || picker.selectedFiles().isEmpty())
        return {};
    *chosen = imagelist::localFilePaths(picker.selectedUrls());
    return picker.selectedFiles().first();
}

void TAppForm::ButtonFolderClick() {
    std::vector<std::string> folders;
    QString first = chooseFolder(true, &folders);
    if (first.isEmpty())
        return;
    LastFolder = first;
    intake_->addFolders(folders);
}

int TAppForm::firstSelectedRow() const {
    QModelIndexList rows = ListView1->selectionModel()->selectedRows();
    int first = -1;
    for (const QModelIndex& row : rows) {
        if (first < 0 || row.row() < first)
            first = row.row();
    }
    return first;
}

void TAppForm::ButtonDeleteClick() {
    intake_->refresh();
    std::vector<std::size_t> indexes;
    for (const QModelIndex& row : ListView1->selectionModel()->selectedRows()) {
        indexes.push_back(static_cast<std::size_t>(row.row()));
    }
    model_->files().DeleteImageFiles(indexes);
    model_->resetRows();
    ListView1->clearSelection();
    KacItemVarGuncelle();
}

void TAppForm::ButtonClearClick() {
    intake_->refresh();
    model_->files().Clear();
    model_->icons().ImageListSifirla();
    model_->resetRows();
    ListView1->clearSelection();
    KacItemVarGuncelle();
}

void TAppForm::ButtonNextClick() {
    if (model_->rowCount() == 0) {
        desktop_.beep();
        return;
    }
    if (PageControl1->currentIndex() == 1) {
        ComboBoxTypeChange();
    } else {
        PageControl1->setCurrentIndex(1);  // the page change runs the format box's action
    }
}

void TAppForm::ButtonBackClick() {
    PageControl1->setCurrentIndex(0);
}

void TAppForm::PageControl1Change() {
    if (PageControl1->currentWidget() == TabSheet2)
        ComboBoxTypeChange();
}

void TAppForm::ComboBoxTypeChange() {
    bool quality = formatHasQuality(ComboBoxType->currentText());
    for (QWidget* control : {static_cast<QWidget*>(Label2), static_cast<QWidget*>(SpinEdit1),
                             static_cast<QWidget*>(Label3)}) {
        control->setVisible(quality);
    }
    writeSetting(settings::Key::OutputFormat, ComboBoxType->currentText().toStdString());
}

void TAppForm::ButtonBrowseClick() {
    std::vector<std::string> folders;
    QString folder = chooseFolder(false, &folders);
    if (folder.isEmpty())
        return;
    LastFolder = folder;
    ComboBoxDestination->setEditText(folder);  // its change action stores "Destination"
}

void TAppForm::ButtonProcessClick() {
    if (running_) {
        // The button reads "Stop" during a run.
        runStop_.request_stop();
        return;
    }
    intake_->refresh();
    std::vector<convert::SourceFile> files;
    files.reserve(model_->files().size());
    for (const imagelist::TMyRecord& entry : model_->files())
        files.push_back({entry.FName, entry.BaseFolder});

    const convert::ConversionOptions options = chosenOptions();

    convert::ConversionEnvironment environment;
    environment.programFolder = identity_.programFolder;
    environment.dataFolder = identity_.dataFolder;
    environment.decimalSeparator = QLocale().decimalPoint().toStdString();
    environment.memoryLimit = settings_.memoryLimitBytes();

    convert::RunWindow ui;
    ui.window = this;
    ui.message = desktop_.message;
    if (desktop_.errorBox)
        ui.errorBox = desktop_.errorBox;
    ui.showStatus = [this](const QString& text) { showRunStatus(text); };
    ui.showLog = [this](const QString& text) { MemoCMD->setPlainText(text); };
    ui.afterWarning = [this](convert::RunCheck check) {
        if (check == convert::RunCheck::EmptyList) {
            PageControl1->setCurrentIndex(0);
        } else {
            ComboBoxDestination->setFocus();
        }
    };
    ui.showProgress = [this](const convert::RunDisplay& display) { showRunProgress(display); };
    runStop_ = std::stop_source();
    ui.stop = runStop_;
    ui.stopControl = ButtonProcess;
    ui.confirmStop = [this] {
        return desktop_.confirm(this, Translate("A conversion is running. Stop it?"),
                                Translate("Confirmation"), {Translate("Yes"), Translate("No")});
    };
    ui.finished = [this](const convert::RunSummary& summary) { runFinished(summary); };
    ui.result.destination = [this] { return ComboBoxDestination->currentText(); };
    ui.result.firstEntry = [this] {
        const auto& list = model_->files();
        return list.empty() ? std::string() : list[0].FName;
    };
    ui.result.openFolder = [this](const std::string& folder) {
        desktop_.openUrl(imagelist::localFileUrl(folder));
    };
    ui.showResult = desktop_.showResult;
    HeldDuringRun held(*intake_, {TimerParam, TimerChecker});
    showRunning(true);
    convert::runFromWindow(files, options, environment, ui);
    showRunning(false);
}

void TAppForm::showRunning(bool running) {
    if (running == running_)
        return;
    running_ = running;
    ButtonProcess->setText(running ? Translate("Stop") : QStringLiteral("Process"));
    ButtonProcess->setIcon(
        designIcon(running ? QStringLiteral("stop") : QStringLiteral("tick_button")));
    ButtonProcess->setEnabled(true);
    if (running) {
        ProgressBar1->setRange(0, static_cast<int>(model_->files().size()));
        ProgressBar1->setValue(0);
    } else {
        StatusBar1->clearMessage();
        session_->hideProgress();
    }
    ProgressBar1->setVisible(running);
    LabelTimeLeft->setVisible(running);
    LabelTimeLeft->clear();
}

void TAppForm::showRunStatus(const QString& text) {
    if (text.isEmpty()) {
        StatusBar1->clearMessage();
        return;
    }
    // A long path loses its middle rather than its file name to the progress on
    // the right of the status bar.
    const QRect area = StatusBar1->contentsRect();
    int room = area.width();
    if (ProgressBar1->isVisible()) {
        StatusBar1->layout()->activate();  // the progress may have just been shown
        room = ProgressBar1->x() - area.x();
    }
    room -= 3 * StatusBar1->style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing) + 8;
    StatusBar1->showMessage(
        StatusBar1->fontMetrics().elidedText(text, Qt::ElideMiddle, std::max(room, 80)));
}

void TAppForm::showRunProgress(const convert::RunDisplay& display) {
    // QProgressBar counts in int: a list longer than that shows in steps.
    const std::size_t scale = display.total / 0x7fffffff + 1;
    ProgressBar1->setRange(0, static_cast<int>(display.total / scale));
    ProgressBar1->setValue(static_cast<int>(display.done / scale));
    LabelTimeLeft->setText(display.timeLeft);
    // The button has done its part once the stop is asked for.
    ButtonProcess->setEnabled(!display.stopping);
    if (display.total > 0)
        session_->showProgress(static_cast<double>(display.done) /
                               static_cast<double>(display.total));
}

void TAppForm::runFinished(const convert::RunSummary& summary) {
    showRunning(false);
    if (isActiveWindow())
        return;
    QString body = Translate("Converted Files: %1")
                       .arg(summary.fileCount - summary.failedCount - summary.skippedCount);
    if (summary.failedCount > 0)
        body += QLatin1Char('\n') + Translate("Failed Files:") + QLatin1Char(' ') +
                QString::number(summary.failedCount);
    if (summary.skippedCount > 0)
        body += QLatin1Char('\n') + Translate("Skipped Files:") + QLatin1Char(' ') +
                QString::number(summary.skippedCount);
    const QString title =
        summary.stopped ? Translate("Conversion stopped") : Translate("Conversion finished");
    session_->notify(title, body, Translate("Show"), [this] {
        if (isMinimized())
            showNormal();
        raise();
        activateWindow();
    });
}

void TAppForm::ListView1DblClick() {
    Open1Click();
}

void TAppForm::Open1Click() {
    int row = firstSelectedRow();
    if (row < 0)
        return;
    desktop_.openUrl(imagelist::localFileUrl(model_->files()[static_cast<std::size_t>(row)].FName));
}

void TAppForm::Properties1Click() {
    int row = firstSelectedRow();
    if (row < 0)
        return;
    desktop_.showProperties(model_->files()[static_cast<std::size_t>(row)].FName);
}

void TAppForm::Help2Click() {
    std::string address = onlineHelpAddress(online::SiteAddress(), identity_.productName);
    desktop_.openUrl(QUrl(QString::fromStdString(address)));
}

void TAppForm::Exit1Click() {
    close();
    QCoreApplication::quit();  // even while another window of the program is open
}

void TAppForm::TimerParamTimer() {
    TimerParam->stop();
    intake_->addCommandLine(commandLine_);
}

void TAppForm::TimerCheckerTimer() {
    updateCheck_->TimerCheckerTimer();
}

void TAppForm::UpdateNotifications1Click() {
    updateCheck_->UpdateNotifications1Click();
}

// Windows opened from the menu are made anew each time and freed when closed.
void TAppForm::SendFeedback1Click() {
    online::TFeedbackForm form(this);
    desktop_.showModal(form);
}

void TAppForm::About1Click() {
    about::TAboutBox box(this);
    desktop_.showModal(box);
}

}  // namespace imbrix::app
