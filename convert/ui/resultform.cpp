// The result window.
#include "convert/ui/resultform.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFile>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>
#include <filesystem>
#include <system_error>

#include "convert/runtexts.h"
#include "i18n/i18n.h"
#include "imagelist/ui/localpaths.h"

namespace imbrix::convert {

namespace {

QString translated(const char* text) {
    return QString::fromStdString(i18n::Translate(text));
}

QPixmap resultIcon(const QWidget& window, bool allWell) {
    QIcon icon = QIcon::fromTheme(allWell ? QStringLiteral("dialog-positive")
                                          : QStringLiteral("dialog-warning"));
    if (icon.isNull()) {
        icon = window.style()->standardIcon(allWell ? QStyle::SP_DialogApplyButton
                                                    : QStyle::SP_MessageBoxWarning);
    }
    return icon.pixmap(64, 64);
}

}  // namespace

TFormResult::TFormResult(Sources sources, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      sources_(std::move(sources)) {
    if (!sources_.openFolder) {
        sources_.openFolder = [](const std::string& folder) {
            // A destination typed as a relative path is the one the run used,
            // below the current folder.
            QDesktopServices::openUrl(imagelist::localFileUrl(folder));
        };
    }
    setWindowTitle(QStringLiteral("Result"));

    Image1 = new QLabel(this);
    Image1->setPixmap(resultIcon(*this, true));
    Image1->setAlignment(Qt::AlignCenter);
    Image1->setFixedSize(64, 64);
    Label1 = new QLabel(QStringLiteral("Processed Image Files:"), this);
    Label2 = new QLabel(QStringLiteral("Elapsed Time:"), this);
    Label3 = new QLabel(QStringLiteral("Saved Disk Space:"), this);
    Label4 = new QLabel(QStringLiteral("0"), this);
    Label5 = new QLabel(QStringLiteral("0.000 (second)"), this);
    Label6 = new QLabel(QStringLiteral("0 byte"), this);
    Label7 = new QLabel(QString::fromStdString(i18n::Translate("Skipped Files:")), this);
    Label8 = new QLabel(QStringLiteral("0"), this);
    Label9 = new QLabel(translated("Failed Files:"), this);
    Label10 = new QLabel(QStringLiteral("0"), this);
    ButtonDetails = new QPushButton(translated("Details"), this);
    ButtonDetails->setAutoDefault(false);
    LabelStopped = new QLabel(this);
    LabelStopped->setWordWrap(true);
    // A run that skipped or failed nothing has no such line.
    for (QWidget* line :
         {static_cast<QWidget*>(Label7), static_cast<QWidget*>(Label8),
          static_cast<QWidget*>(Label9), static_cast<QWidget*>(Label10),
          static_cast<QWidget*>(ButtonDetails), static_cast<QWidget*>(LabelStopped)}) {
        line->hide();
    }
    for (QLabel* value : {Label4, Label5, Label6, Label8, Label10}) {
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    QIcon folder = QIcon::fromTheme(QStringLiteral("folder-open"));
    if (folder.isNull())
        folder = style()->standardIcon(QStyle::SP_DirOpenIcon);
    Button1 = new QPushButton(folder, QStringLiteral("Open Folder"), this);
    Button2 = new QPushButton(QStringLiteral("Close"), this);
    for (QPushButton* button : {Button1, Button2})
        button->setMinimumSize(120, 25);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 8, 8, 8);
    grid->setHorizontalSpacing(8);
    auto* failed = new QHBoxLayout;
    failed->setContentsMargins(0, 0, 0, 0);
    failed->addWidget(Label10);
    failed->addSpacing(8);
    failed->addWidget(ButtonDetails);
    failed->addStretch(1);

    grid->addWidget(Image1, 0, 0, 5, 1, Qt::AlignTop);
    grid->addWidget(Label1, 0, 1);
    grid->addWidget(Label2, 1, 1);
    grid->addWidget(Label3, 2, 1);
    grid->addWidget(Label7, 3, 1);
    grid->addWidget(Label9, 4, 1);
    grid->addWidget(Label4, 0, 2);
    grid->addWidget(Label5, 1, 2);
    grid->addWidget(Label6, 2, 2);
    grid->addWidget(Label8, 3, 2);
    grid->addLayout(failed, 4, 2);
    grid->addWidget(LabelStopped, 5, 1, 1, 2);
    grid->setColumnStretch(2, 1);
    grid->setRowMinimumHeight(6, 8);
    grid->addWidget(Button1, 7, 1);
    grid->addWidget(Button2, 7, 2, Qt::AlignLeft);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    connect(Button1, &QPushButton::clicked, this, &TFormResult::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &QDialog::accept);
    connect(ButtonDetails, &QPushButton::clicked, this, &TFormResult::ButtonDetailsClick);
    Button1->setAutoDefault(false);
    Button2->setDefault(true);
    setTabOrder(Button2, Button1);
    Button2->setFocus();
}

void TFormResult::setTexts(const RunSummary& summary) {
    Label3->setText(QString::fromStdString(summary.diskSpaceCaption));
    Label4->setText(QString::fromStdString(summary.processed));
    Label5->setText(QString::fromStdString(summary.elapsed));
    Label6->setText(QString::fromStdString(summary.diskSpaceValue));
    Label8->setText(QString::number(summary.skippedCount));
    const bool skipped = summary.skippedCount > 0;
    Label7->setVisible(skipped);
    Label8->setVisible(skipped);
    Label10->setText(QString::number(summary.failedCount));
    failedFiles_ = QString::fromStdString(failedFilesText(summary.files));
    const bool failed = summary.failedCount > 0;
    for (QWidget* line : {static_cast<QWidget*>(Label9), static_cast<QWidget*>(Label10),
                          static_cast<QWidget*>(ButtonDetails)}) {
        line->setVisible(failed);
    }
    if (summary.stopped) {
        LabelStopped->setText(translated("The run was stopped after %1 of %2 files.")
                                  .arg(summary.fileCount)
                                  .arg(summary.listCount));
    }
    LabelStopped->setVisible(summary.stopped);
    Image1->setPixmap(resultIcon(*this, !failed && !summary.stopped));
}

void TFormResult::ButtonDetailsClick() {
    QDialog details(this);
    details.setWindowTitle(translated("Failed Files"));
    auto* text = new QPlainTextEdit(failedFiles_, &details);
    text->setObjectName(QStringLiteral("FailedFilesText"));
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* buttons = new QDialogButtonBox(&details);
    QPushButton* copy = buttons->addButton(translated("Copy"), QDialogButtonBox::ActionRole);
    QPushButton* close = buttons->addButton(translated("Close"), QDialogButtonBox::RejectRole);
    close->setDefault(true);
    connect(copy, &QPushButton::clicked, &details,
            [this] { QApplication::clipboard()->setText(failedFiles_); });
    connect(buttons, &QDialogButtonBox::rejected, &details, &QDialog::reject);
    auto* layout = new QVBoxLayout(&details);
    layout->addWidget(text);
    layout->addWidget(buttons);
    details.resize(640, 360);
    if (sources_.showDetails) {
        sources_.showDetails(details);
    } else {
        details.exec();
    }
}

std::string TFormResult::folderToOpen(const QString& destination, const std::string& firstEntry) {
    if (destination != QLatin1String(kSameFolderAsOriginal)) {
        return QFile::encodeName(destination).toStdString();
    }
    if (firstEntry.empty())
        return {};
    // The entry's own bytes: a name that is not UTF-8 names its folder as it is.
    std::error_code error;
    std::filesystem::path entry = std::filesystem::absolute(firstEntry, error);
    if (error)
        entry = firstEntry;
    return entry.lexically_normal().parent_path().string();
}

void TFormResult::Button1Click() {
    const QString destination = sources_.destination ? sources_.destination() : QString();
    const std::string first = sources_.firstEntry ? sources_.firstEntry() : std::string();
    const std::string folder = folderToOpen(destination, first);
    if (!folder.empty())
        sources_.openFolder(folder);
}

}  // namespace imbrix::convert
