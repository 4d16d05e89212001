// The main window's options: applying "settings.ini" at start-up and storing every
// change the moment it happens.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStackedWidget>
#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "app/appform.h"
#include "app/translate.h"
#include "imagelist/ui/imagelistmodel.h"
#include "imagelist/ui/intake.h"
#include "platform/files.h"

namespace imbrix::app {

using settings::Key;

// Start-up applies the remembered options without running the controls' change
// actions; the two write-backs a user's change would cause (the quality box and
// the grayscale box) are made explicitly, as the store reports them.
void TAppForm::applyRememberedOptions() {
    const settings::StartupOptions options = settings::readStartupOptions(
        settings_, [](const std::string& folder) { return platform::folderExists(folder); });

    const QSignalBlocker blockDestination(ComboBoxDestination);
    const QSignalBlocker blockType(ComboBoxType);
    const QSignalBlocker blockQuality(SpinEdit1);
    const QSignalBlocker blockGrayscale(CheckBoxGrayscale);
    const QSignalBlocker blockRemoveMetadata(CheckBoxRemoveMetadata);
    const QSignalBlocker blockResize(ComboBoxResize);
    const QSignalBlocker blockWidth(SpinEditWidth);
    const QSignalBlocker blockHeight(SpinEditHeight);
    const QSignalBlocker blockLongSide(SpinEditLongSide);
    const QSignalBlocker blockPercent(SpinEditPercent);
    const QSignalBlocker blockEnlarge(CheckBoxEnlarge);
    const QSignalBlocker blockKeepFolders(CheckBoxKeepFolders);
    const QSignalBlocker blockKeepDates(CheckBoxKeepDates);
    const QSignalBlocker blockExisting(ComboBoxExisting);

    // The resize boxes show their defaults even when nothing is remembered.
    const imaging::ResizeOptions resize =
        options.rememberSettings ? options.resize : settings::Store().resize();
    ComboBoxResize->setCurrentIndex(static_cast<int>(resize.mode));
    SpinEditWidth->setValue(static_cast<int>(resize.width));
    SpinEditHeight->setValue(static_cast<int>(resize.height));
    SpinEditLongSide->setValue(static_cast<int>(resize.longSide));
    SpinEditPercent->setValue(static_cast<int>(resize.percent));
    CheckBoxEnlarge->setChecked(resize.enlarge);
    updateOptionControls();

    RememberSettings1->setChecked(options.rememberSettings);
    if (!options.rememberSettings)
        return;

    DisplayIcons1->setChecked(options.displayIcons);
    model_->setDisplayIcons(options.displayIcons);
    IncludeSubfolders1->setChecked(options.includeSubfolders);
    intake_->setIncludeSubfolders(options.includeSubfolders);

    if (options.destination) {
        ComboBoxDestination->setEditText(QString::fromStdString(*options.destination));
    }

    // The first item equal to the stored text, letter case included.
    const QString format = QString::fromStdString(options.outputFormat);
    for (int i = 0; i < ComboBoxType->count(); ++i) {
        if (ComboBoxType->itemText(i) == format) {
            ComboBoxType->setCurrentIndex(i);
            break;
        }
    }

    SpinEdit1->setValue(options.outputQuality);
    if (options.writeBackQuality)
        writeSetting(Key::OutputQuality, std::to_string(SpinEdit1->value()));

    if (options.grayscale) {
        CheckBoxGrayscale->setChecked(true);
        if (options.writeBackGrayscale)
            writeSwitch(Key::Grayscale, true);
    }
    CheckBoxRemoveMetadata->setChecked(options.removeMetadata);
    CheckBoxKeepFolders->setChecked(options.keepFolderStructure);
    CheckBoxKeepDates->setChecked(options.keepFileDates);
    ComboBoxExisting->setCurrentIndex(options.skipExisting ? 1 : 0);
    updateOptionControls();
}

convert::ConversionOptions TAppForm::chosenOptions() const {
    convert::ConversionOptions options;
    options.format = ComboBoxType->currentText().toStdString();
    options.quality = SpinEdit1->value();
    options.grayscale = CheckBoxGrayscale->isChecked();
    options.stripMetadata = CheckBoxRemoveMetadata->isChecked();
    options.destination = ComboBoxDestination->currentText().toStdString();
    options.resize.mode = static_cast<imaging::ResizeMode>(ComboBoxResize->currentIndex());
    options.resize.width = static_cast<std::uint32_t>(SpinEditWidth->value());
    options.resize.height = static_cast<std::uint32_t>(SpinEditHeight->value());
    options.resize.longSide = static_cast<std::uint32_t>(SpinEditLongSide->value());
    options.resize.percent = static_cast<std::uint32_t>(SpinEditPercent->value());
    options.resize.enlarge = CheckBoxEnlarge->isChecked();
    options.keepFolderStructure = CheckBoxKeepFolders->isChecked();
    options.existingOutput = ComboBoxExisting->currentIndex() == 1
                                 ? convert::ExistingOutput::Skip
                                 : convert::ExistingOutput::AddNumber;
    options.keepFileDates = CheckBoxKeepDates->isChecked();
    return options;
}

void TAppForm::updateOptionControls() {
    const int mode = ComboBoxResize->currentIndex();
    StackResize->setCurrentIndex(mode < 0 ? 0 : mode);
    CheckBoxEnlarge->setEnabled(mode > 0);
    // The folder tree is kept under a destination folder only.
    CheckBoxKeepFolders->setEnabled(ComboBoxDestination->currentText() !=
                                    QString::fromLatin1(convert::kSameFolderAsOriginal));
}

void TAppForm::ComboBoxResizeChange() {
    static constexpr std::string_view kModes[] = {settings::kResizeNone, settings::kResizeFit,
                                                  settings::kResizeLongSide,
                                                  settings::kResizePercent};
    const int mode = std::clamp(ComboBoxResize->currentIndex(), 0, 3);
    writeSetting(Key::ResizeMode, std::string(kModes[mode]));
    updateOptionControls();
}

void TAppForm::ResizeNumberChange() {
    const auto* spin = qobject_cast<const QSpinBox*>(sender());
    const std::pair<const QSpinBox*, Key> keys[] = {{SpinEditWidth, Key::ResizeWidth},
                                                    {SpinEditHeight, Key::ResizeHeight},
                                                    {SpinEditLongSide, Key::ResizeLongSide},
                                                    {SpinEditPercent, Key::ResizePercent}};
    for (const auto& [box, key] : keys) {
        if (box == spin)
            writeSetting(key, std::to_string(box->value()));
    }
}

void TAppForm::CheckBoxEnlargeClick() {
    writeSwitch(Key::ResizeEnlarge, CheckBoxEnlarge->isChecked());
}

void TAppForm::CheckBoxKeepFoldersClick() {
    writeSwitch(Key::KeepFolderStructure, CheckBoxKeepFolders->isChecked());
}

void TAppForm::CheckBoxKeepDatesClick() {
    writeSwitch(Key::KeepFileDates, CheckBoxKeepDates->isChecked());
}

void TAppForm::ComboBoxExistingChange() {
    writeSetting(Key::ExistingOutput,
                 std::string(ComboBoxExisting->currentIndex() == 1 ? settings::kExistingSkip
                                                                   : settings::kExistingAddNumber));
}

void TAppForm::writeSetting(Key key, const std::string& value) {
    try {
        settings_.set(key, value);
    } catch (const std::exception& e) {
        // The control keeps its new state and the store its new value, so the
        // next change writes this one too.
        desktop_.message(this, convert::BoxIcon::Error,
                         QString::fromStdString(identity_.productName),
                         QString::fromStdString(e.what()));
    }
}

void TAppForm::writeSwitch(Key key, bool on) {
    writeSetting(key, std::string(on ? settings::kOn : settings::kOff));
}

void TAppForm::SpinEdit1Change() {
    writeSetting(Key::OutputQuality, std::to_string(SpinEdit1->value()));
}

void TAppForm::CheckBoxGrayscaleClick() {
    writeSwitch(Key::Grayscale, CheckBoxGrayscale->isChecked());
}

void TAppForm::CheckBoxRemoveMetadataClick() {
    writeSwitch(Key::RemoveMetadata, CheckBoxRemoveMetadata->isChecked());
}

void TAppForm::ComboBoxDestinationChange() {
    writeSetting(Key::Destination, ComboBoxDestination->currentText().toStdString());
    updateOptionControls();
}

// The menu switches flip their check mark when chosen; the handlers store the new state.
void TAppForm::DisplayIcons1Click() {
    writeSwitch(Key::DisplayIcons, DisplayIcons1->isChecked());
    model_->setDisplayIcons(DisplayIcons1->isChecked());
}

void TAppForm::IncludeSubfolders1Click() {
    writeSwitch(Key::IncludeSubfolders, IncludeSubfolders1->isChecked());
    intake_->setIncludeSubfolders(IncludeSubfolders1->isChecked());
}

void TAppForm::RememberSettings1Click() {
    writeSwitch(Key::RememberSettings, RememberSettings1->isChecked());
}

void TAppForm::ResettoDefaults1Click() {
    const bool yes =
        desktop_.confirm(this, Translate("Restart Application?"), Translate("Confirmation"),
                         {Translate("Yes"), Translate("No")});
    if (!yes)
        return;
    settings_.reset();  // a file that cannot be deleted is not reported
    QApplication::processEvents();
    desktop_.restart();
}

}  // namespace imbrix::app
