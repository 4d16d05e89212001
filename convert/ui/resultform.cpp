// The result window.
#include "convert/ui/resultform.h"

#include <QDesktopServices>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QUrl>
#include <filesystem>
#include <system_error>

#include "i18n/i18n.h"
#include "imagelist/ui/localpaths.h"

namespace imbrix::convert {

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
    QIcon done = QIcon::fromTheme(QStringLiteral("dialog-positive"));
    if (done.isNull())
        done = style()->standardIcon(QStyle::SP_DialogApplyButton);
    Image1->setPixmap(done.pixmap(64, 64));
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
    for (QLabel* skipped : {Label7, Label8})
        skipped->hide();  // a run that skipped nothing has no such line
    for (QLabel* value : {Label4, Label5, Label6, Label8}) {
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
    grid->addWidget(Image1, 0, 0, 4, 1, Qt::AlignTop);
    grid->addWidget(Label1, 0, 1);
    grid->addWidget(Label2, 1, 1);
    grid->addWidget(Label3, 2, 1);
    grid->addWidget(Label7, 3, 1);
    grid->addWidget(Label4, 0, 2);
    grid->addWidget(Label5, 1, 2);
    grid->addWidget(Label6, 2, 2);
    grid->addWidget(Label8, 3, 2);
    grid->setColumnStretch(2, 1);
    grid->setRowMinimumHeight(4, 8);
    grid->addWidget(Button1, 5, 1);
    grid->addWidget(Button2, 5, 2, Qt::AlignLeft);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    connect(Button1, &QPushButton::clicked, this, &TFormResult::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &QDialog::accept);
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
