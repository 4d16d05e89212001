// The main window's controls and menus.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>

#include "app/appform.h"
#include "app/icons.h"
#include "convert/run.h"
#include "imagelist/ui/imagelistmodel.h"

namespace imbrix::app {
namespace {

QSpinBox* makeSpin(int maximum, int minimumWidth, QWidget* parent) {
    auto* spin = new QSpinBox(parent);
    spin->setRange(1, maximum);
    spin->setMinimumWidth(minimumWidth);
    // Stored when typing ends, not at every digit.
    spin->setKeyboardTracking(false);
    return spin;
}

// A row of controls with the given stretch at its end.
QWidget* row(std::initializer_list<QWidget*> controls, QWidget* parent) {
    auto* holder = new QWidget(parent);
    auto* layout = new QHBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget* control : controls)
        layout->addWidget(control);
    layout->addStretch(1);
    return holder;
}

QPushButton* makeButton(const QString& text, const QString& icon, QSize size, QWidget* parent) {
    auto* button = new QPushButton(designIcon(icon), text, parent);
    button->setMinimumSize(size);
    return button;
}

}  // namespace

void TAppForm::createControls() {
    resize(478, 421);
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(4, 4, 4, 0);
    PageControl1 = new QTabWidget(central);
    column->addWidget(PageControl1, 1);
    MemoCMD = new QPlainTextEdit(central);
    MemoCMD->setReadOnly(true);
    MemoCMD->setFixedHeight(89);
    MemoCMD->setVisible(false);  // the converter's console output, never shown
    column->addWidget(MemoCMD);
    setCentralWidget(central);

    // Page 1: the image list.
    TabSheet1 = new QWidget;
    auto* images = new QVBoxLayout(TabSheet1);
    auto* top = new QHBoxLayout;
    ButtonFiles =
        makeButton(QStringLiteral("Add Files"), QStringLiteral("add"), {90, 29}, TabSheet1);
    ButtonFolder =
        makeButton(QStringLiteral("Add Folder"), QStringLiteral("folder_add"), {90, 29}, TabSheet1);
    ButtonDelete =
        makeButton(QStringLiteral("Delete"), QStringLiteral("delete"), {90, 29}, TabSheet1);
    ButtonClear = makeButton(QStringLiteral("Clear"), QStringLiteral("clear"), {90, 29}, TabSheet1);
    for (QPushButton* b : {ButtonFiles, ButtonFolder, ButtonDelete, ButtonClear})
        top->addWidget(b);
    top->addStretch(1);
    images->addLayout(top);

    ListView1 = new QTableView(TabSheet1);
    ListView1->setModel(model_);
    ListView1->setItemDelegate(new imagelist::ImageRowDelegate(ListView1));
    ListView1->setShowGrid(true);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setWordWrap(false);
    ListView1->setTextElideMode(Qt::ElideMiddle);
    ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
    ListView1->setIconSize({16, 16});
    QFont listFont = ListView1->font();
    listFont.setPointSizeF(listFont.pointSizeF() * 1.2);
    ListView1->setFont(listFont);
    ListView1->verticalHeader()->hide();
    // Fixed row heights keep a list of a hundred thousand rows as quick as a short one.
    ListView1->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    ListView1->verticalHeader()->setDefaultSectionSize(QFontMetrics(listFont).height() + 6);
    QHeaderView* header = ListView1->horizontalHeader();
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    header->setSectionResizeMode(1, QHeaderView::Fixed);
    header->resizeSection(1, 150);
    header->setStretchLastSection(false);
    header->setSectionsClickable(false);
    images->addWidget(ListView1, 1);

    auto* bottom = new QHBoxLayout;
    ButtonNext = makeButton(QStringLiteral("Next"), QStringLiteral("next"), {134, 29}, TabSheet1);
    ButtonNext->setLayoutDirection(Qt::RightToLeft);  // the icon on the right of the text
    bottom->addStretch(1);
    bottom->addWidget(ButtonNext);
    images->addLayout(bottom);
    PageControl1->addTab(TabSheet1, QStringLiteral("Images [0]"));

    // Page 2: the options.
    TabSheet2 = new QWidget;
    auto* options = new QVBoxLayout(TabSheet2);
    auto* form = new QGridLayout;
    form->setHorizontalSpacing(8);
    form->setVerticalSpacing(6);
    Label1 = new QLabel(QStringLiteral("Output Format:"), TabSheet2);
    ComboBoxType = new QComboBox(TabSheet2);
    for (const char* format : convert::kOutputFormats)
        ComboBoxType->addItem(QString::fromLatin1(format));
    ComboBoxType->setMaxVisibleItems(20);
    ComboBoxType->setCurrentIndex(0);
    ComboBoxType->setMinimumWidth(120);
    form->addWidget(Label1, 0, 0);
    form->addWidget(ComboBoxType, 0, 1, Qt::AlignLeft);

    Label2 = new QLabel(QStringLiteral("Quality:"), TabSheet2);
    SpinEdit1 = new QSpinBox(TabSheet2);
    SpinEdit1->setRange(1, 100);
    SpinEdit1->setValue(100);
    SpinEdit1->setMinimumWidth(70);
    Label3 = new QLabel(QStringLiteral("%"), TabSheet2);
    auto* quality = new QHBoxLayout;
    quality->addWidget(SpinEdit1);
    quality->addWidget(Label3);
    quality->addStretch(1);
    form->addWidget(Label2, 1, 0);
    form->addLayout(quality, 1, 1);
    // Formats without a quality hide this row; it keeps its room, so the controls
    // below it stay where they are.
    for (QWidget* control : std::initializer_list<QWidget*>{Label2, SpinEdit1, Label3}) {
        QSizePolicy policy = control->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        control->setSizePolicy(policy);
    }

    CheckBoxGrayscale = new QCheckBox(QStringLiteral("Convert to Grayscale"), TabSheet2);
    form->addWidget(CheckBoxGrayscale, 2, 1);
    // The options below take their texts from the language (loadLanguage()).
    CheckBoxRemoveMetadata = new QCheckBox(TabSheet2);
    form->addWidget(CheckBoxRemoveMetadata, 3, 1);

    LabelResize = new QLabel(TabSheet2);
    ComboBoxResize = new QComboBox(TabSheet2);
    for (int i = 0; i < 4; ++i)
        ComboBoxResize->addItem(QString());
    SpinEditWidth = makeSpin(static_cast<int>(imaging::kMaxResizeSide), 70, TabSheet2);
    SpinEditHeight = makeSpin(static_cast<int>(imaging::kMaxResizeSide), 70, TabSheet2);
    SpinEditLongSide = makeSpin(static_cast<int>(imaging::kMaxResizeSide), 70, TabSheet2);
    SpinEditPercent = makeSpin(static_cast<int>(imaging::kMaxResizePercent), 70, TabSheet2);
    StackResize = new QStackedWidget(TabSheet2);
    StackResize->addWidget(new QWidget(StackResize));
    StackResize->addWidget(row({SpinEditWidth, new QLabel(QStringLiteral("\u00d7"), StackResize),
                                SpinEditHeight, new QLabel(QStringLiteral("px"), StackResize)},
                               StackResize));
    StackResize->addWidget(
        row({SpinEditLongSide, new QLabel(QStringLiteral("px"), StackResize)}, StackResize));
    StackResize->addWidget(
        row({SpinEditPercent, new QLabel(QStringLiteral("%"), StackResize)}, StackResize));
    StackResize->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* resize = new QHBoxLayout;
    resize->addWidget(ComboBoxResize);
    resize->addWidget(StackResize, 1);
    form->addWidget(LabelResize, 4, 0);
    form->addLayout(resize, 4, 1);
    CheckBoxEnlarge = new QCheckBox(TabSheet2);
    form->addWidget(CheckBoxEnlarge, 5, 1);

    Label5 = new QLabel(QStringLiteral("Destination:"), TabSheet2);
    ComboBoxDestination = new QComboBox(TabSheet2);
    ComboBoxDestination->setEditable(true);
    ComboBoxDestination->setInsertPolicy(QComboBox::NoInsert);
    ComboBoxDestination->addItem(QString::fromLatin1(convert::kSameFolderAsOriginal));
    ComboBoxDestination->setCurrentIndex(0);
    ComboBoxDestination->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    ButtonBrowse =
        makeButton(QStringLiteral("Browse..."), QStringLiteral("folder"), {134, 25}, TabSheet2);
    auto* destination = new QHBoxLayout;
    destination->addWidget(ComboBoxDestination, 1);
    destination->addWidget(ButtonBrowse);
    form->addWidget(Label5, 6, 0);
    form->addLayout(destination, 6, 1);

    CheckBoxKeepFolders = new QCheckBox(TabSheet2);
    CheckBoxKeepDates = new QCheckBox(TabSheet2);
    form->addWidget(CheckBoxKeepFolders, 7, 1);
    form->addWidget(CheckBoxKeepDates, 8, 1);
    LabelExisting = new QLabel(TabSheet2);
    ComboBoxExisting = new QComboBox(TabSheet2);
    ComboBoxExisting->addItem(QString());
    ComboBoxExisting->addItem(QString());
    // Beside its box in the second column: a long translation of the label
    // would otherwise widen the first column and the window.
    auto* existing = new QHBoxLayout;
    existing->addWidget(LabelExisting);
    existing->addWidget(ComboBoxExisting);
    existing->addStretch(1);
    form->addLayout(existing, 9, 1);
    form->setColumnStretch(1, 1);
    options->addLayout(form);
    options->addStretch(1);

    auto* navigation = new QHBoxLayout;
    ButtonBack =
        makeButton(QStringLiteral("Back"), QStringLiteral("previous"), {134, 29}, TabSheet2);
    ButtonProcess =
        makeButton(QStringLiteral("Process"), QStringLiteral("tick_button"), {134, 29}, TabSheet2);
    navigation->addWidget(ButtonBack);
    navigation->addStretch(1);
    navigation->addWidget(ButtonProcess);
    options->addLayout(navigation);
    PageControl1->addTab(TabSheet2, QStringLiteral("Options"));

    StatusBar1 = new QStatusBar(this);
    setStatusBar(StatusBar1);
    // A run's progress, on the right of its "Converting ..." text.
    ProgressBar1 = new QProgressBar(StatusBar1);
    ProgressBar1->setFormat(QStringLiteral("%v / %m"));
    ProgressBar1->setMaximumWidth(160);
    LabelTimeLeft = new QLabel(StatusBar1);
    StatusBar1->addPermanentWidget(ProgressBar1);
    StatusBar1->addPermanentWidget(LabelTimeLeft);
    ProgressBar1->hide();
    LabelTimeLeft->hide();
}

void TAppForm::createMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("File"));
    AddFiles1 = file->addAction(designIcon(QStringLiteral("add")), QStringLiteral("Add Files..."));
    AddFolder1 =
        file->addAction(designIcon(QStringLiteral("folder_add")), QStringLiteral("Add Folder..."));
    file->addSeparator();
    Exit1 = file->addAction(designIcon(QStringLiteral("exit")), QStringLiteral("Exit"));

    QMenu* settings = menuBar()->addMenu(QStringLiteral("Settings"));
    DisplayIcons1 = settings->addAction(QStringLiteral("Display Icons"));
    IncludeSubfolders1 = settings->addAction(QStringLiteral("Include Subfolders"));
    RememberSettings1 = settings->addAction(QStringLiteral("Remember Settings"));
    for (QAction* item : {DisplayIcons1, IncludeSubfolders1, RememberSettings1}) {
        item->setCheckable(true);
        item->setChecked(true);
    }
    settings->addSeparator();
    ResettoDefaults1 = settings->addAction(QStringLiteral("Reset to Defaults..."));

    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    Help2 = help->addAction(designIcon(QStringLiteral("help")), QStringLiteral("Online Help"));
    Help2->setShortcut(QKeySequence(Qt::Key_F1));
    help->addSeparator();
    UpdateNotifications1 = help->addAction(QStringLiteral("Update Notifications"));
    UpdateNotifications1->setCheckable(true);
    UpdateNotifications1->setChecked(true);
    UpdateNotifications1->setEnabled(false);  // enabled once the update check has finished
    help->addSeparator();
    SendFeedback1 = help->addAction(designIcon(QStringLiteral("feedback")),
                                    QStringLiteral("Send &Feedback..."));
    About1 = help->addAction(designIcon(QStringLiteral("about")), QStringLiteral("&About..."));

    PopupMenu1 = new QMenu(this);
    Open1 = PopupMenu1->addAction(QStringLiteral("Open"));
    Properties1 = PopupMenu1->addAction(QStringLiteral("Properties"));
    PopupMenu1->addSeparator();
    Delete1 = PopupMenu1->addAction(designIcon(QStringLiteral("delete")), QStringLiteral("Delete"));
    Clear1 = PopupMenu1->addAction(designIcon(QStringLiteral("clear")), QStringLiteral("Clear"));
}

}  // namespace imbrix::app
