// The result window: how many files, how long, how much disk space; "Open Folder".
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "convert/run.h"

class QLabel;
class QPushButton;

namespace imbrix::convert {

class TFormResult : public QDialog {
    Q_OBJECT
public:
    /// Where "Open Folder" looks, read when the button is pressed: the destination
    /// box's text and the image list's first entry (empty when the list is empty),
    /// as the bytes of its path.
    struct Sources {
        std::function<QString()> destination;
        std::function<std::string()> firstEntry;
        /// Opens a folder, given as the bytes of its path, in the file browser;
        /// the desktop's by default.
        std::function<void(const std::string& folder)> openFolder;
        /// Shows the failed files' window (modal by default); tests replace it.
        std::function<void(QDialog& details)> showDetails;
    };

    TFormResult(Sources sources, QWidget* parent = nullptr);

    /// The texts of the run's end report; the skipped and failed files' lines
    /// only show when there are any, and a stopped run says after how many files
    /// it was stopped.
    void setTexts(const RunSummary& summary);

    /// The folder "Open Folder" opens: the destination text unless it is "Same
    /// Folder as Original"; otherwise the folder of `firstEntry` without a
    /// trailing '/' (a relative entry is taken from the current folder, as the run
    /// took it); empty when there is none. The folder is the bytes of its path.
    static std::string folderToOpen(const QString& destination, const std::string& firstEntry);

    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;              // "Skipped Files:"
    QLabel* Label8 = nullptr;              // their number
    QLabel* Label9 = nullptr;              // "Failed Files:"
    QLabel* Label10 = nullptr;             // their number
    QPushButton* ButtonDetails = nullptr;  // lists the failed files and their messages
    QLabel* LabelStopped = nullptr;        // "The run was stopped after n of N files."
    QPushButton* Button1 = nullptr;        // "Open Folder"
    QPushButton* Button2 = nullptr;        // "Close"

    void Button1Click();
    void ButtonDetailsClick();
    /// The failed files and their messages, as the details window shows them.
    const QString& failedFiles() const { return failedFiles_; }

private:
    Sources sources_;
    QString failedFiles_;
};

}  // namespace imbrix::convert
