#include "about/ui/aboutbox.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFont>
#include <QFrame>
#include <QHash>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QSvgRenderer>
#include <QTimer>
#include <QWindow>
#include <optional>
#include <vector>

#include "i18n/i18n.h"
#include "online/endpoints.h"
#include "platform/system.h"

// The window's pictures live in a static library; make sure they are linked in.
static void InitAboutResources() {
    Q_INIT_RESOURCE(about);
}

namespace imbrix::about {
namespace {

QString Translate(const char* text) {
    return QString::fromStdString(i18n::Translate(text));
}

// Sizes at 96 dots per inch; Qt scales them with the screen.
constexpr QSize kClientSize(446, 374);
constexpr QRect kPanel1(48, 42, 350, 291);
constexpr QRect kImage2(2, 0, 344, 105);
constexpr QRect kBevel1(9, 122, 34, 34);
constexpr QRect kImage1(10, 123, 32, 32);
constexpr QRect kLabel2(49, 122, 290, 40);
constexpr QRect kBitBtn1(49, 226, 122, 33);
constexpr QRect kBitBtn2(177, 226, 122, 33);
constexpr QSize kPanelEgg(324, 220);
constexpr QRect kImageEgg(2, 3, 320, 214);
constexpr int kRainIntervalMs = 50;
constexpr int kSlideIntervalMs = 5;

const QColor kLime(0x00, 0xFF, 0x00);

QFont PixelFont(const QString& family, int pixels) {
    QFont font(family);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixels);
    return font;
}

void MakeBlack(QWidget* widget) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, Qt::black);
    palette.setColor(QPalette::WindowText, Qt::white);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

// The Info button's drop-down state outlives every About window.
DropDownGate& ProcessDropDownGate() {
    static DropDownGate gate;
    return gate;
}

// A picture drawn for this window, at `size` logical pixels for `ratio`.
QPixmap RenderSvg(const QString& resource, QSize size, qreal ratio) {
    QSvgRenderer renderer(resource);
    QImage image((QSizeF(size) * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (renderer.isValid()) {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(image.size())));
    }
    image.setDevicePixelRatio(ratio);
    return QPixmap::fromImage(image);
}

QString DefaultVersionText() {
    return QStringLiteral("%1.%2").arg(IMBRIX_VERSION_MAJOR).arg(IMBRIX_VERSION_MINOR);
}

}  // namespace

// The rain's drawing surface: an image as large as the window, to which every
// step adds a few cells, and the cells that changed.
class TAboutBox::Canvas final : public RainCanvas {
public:
    Canvas(QImage& image, qreal ratio, const Rain& rain)
        : image_(image),
          ratio_(ratio),
          rain_(rain),
          font_(PixelFont(QStringLiteral("Tahoma"), kCharHeight)) {}

    void begin() {
        painter_.emplace(&image_);
        columns_ = std::max(rain_.matrixWidth(), 0);
        rows_ = std::max(rain_.matrixHeight(), 0) + 2;
        dirty_.assign(static_cast<std::size_t>(columns_ * rows_), 0);
    }

    // The changed cells as a region, one band per grid row.
    QRegion end() {
        painter_.reset();
        std::vector<QRect> rects;
        for (int row = 0; row < rows_; ++row) {
            int column = 0;
            while (column < columns_) {
                if (!dirty_[static_cast<std::size_t>(row * columns_ + column)]) {
                    ++column;
                    continue;
                }
                const int first = column;
                while (column < columns_ &&
                       dirty_[static_cast<std::size_t>(row * columns_ + column)]) {
                    ++column;
                }
                rects.emplace_back(first * kCharWidth, row * kCharHeight,
                                   (column - first) * kCharWidth, kCharHeight);
            }
        }
        QRegion region;
        if (!rects.empty())
            region.setRects(rects.data(), static_cast<int>(rects.size()));
        return region;
    }

    void eraseCell(int x, int y) override {
        painter_->fillRect(QRect(x, y, kCharWidth, kCharHeight), Qt::black);
        mark(x, y);
    }

    void drawChar(char c, int x, int y, RainColour colour) override {
        painter_->drawImage(QPoint(x, y), glyph(c, colour));
        mark(x, y);
    }

private:
    void mark(int x, int y) {
        const int column = x / kCharWidth;
        const int row = y / kCharHeight;
        if (column >= 0 && column < columns_ && row >= 0 && row < rows_) {
            dirty_[static_cast<std::size_t>(row * columns_ + column)] = 1;
        }
    }

    // One letter on its black cell; only a few hundred exist (three letters,
    // a hundred brightness levels, head and trail), so each is drawn once.
    const QImage& glyph(char c, RainColour colour) {
        const quint32 key = (quint32(static_cast<unsigned char>(c)) << 24) |
                            (quint32(colour.red) << 16) | (quint32(colour.green) << 8) |
                            quint32(colour.blue);
        auto it = glyphs_.find(key);
        if (it != glyphs_.end())
            return *it;
        QImage cell((QSizeF(kCharWidth, kCharHeight) * ratio_).toSize(), QImage::Format_RGB32);
        cell.setDevicePixelRatio(ratio_);
        cell.fill(Qt::black);
        QPainter painter(&cell);
        painter.setFont(font_);
        painter.setPen(QColor(colour.red, colour.green, colour.blue));
        painter.drawText(QRect(0, 0, kCharWidth, kCharHeight), Qt::AlignLeft | Qt::AlignTop,
                         QString(QChar::fromLatin1(c)));
        painter.end();
        return *glyphs_.insert(key, cell);
    }

    QImage& image_;
    qreal ratio_;
    const Rain& rain_;
    QFont font_;
    QHash<quint32, QImage> glyphs_;
    std::optional<QPainter> painter_;
    std::vector<unsigned char> dirty_;
    int columns_ = 0;
    int rows_ = 0;
};

QIcon ProgramIcon() {
    InitAboutResources();
    return QIcon(QStringLiteral(":/about/imbrix.svg"));
}

TAboutBox::TAboutBox(QWidget* parent, AboutServices services)
    : QDialog(parent), services_(std::move(services)), rain_(services_.random) {
    InitAboutResources();
    if (!services_.tickCount)
        services_.tickCount = [] { return platform::tickCount(); };
    if (!services_.openUrl)
        services_.openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    if (!services_.errorBox) {
        services_.errorBox = [](QWidget* owner, const QString& text, const QString& caption) {
            QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, owner);
            box.setTextFormat(Qt::PlainText);
            box.exec();
        };
    }
    if (!services_.execMenu) {
        services_.execMenu = [](QMenu* menu, const QPoint& at) { menu->exec(at); };
    }
    if (services_.programFolder.isEmpty()) {
        services_.programFolder = QString::fromStdString(platform::programFolder());
    }
    if (!services_.programFolder.isEmpty() && !services_.programFolder.endsWith(QLatin1Char('/'))) {
        services_.programFolder += QLatin1Char('/');
    }
    if (services_.site.isEmpty())
        services_.site = QString::fromStdString(online::SiteAddress());
    // A configured site that names no host would leave the link blank.
    if (LinksForSite(services_.site.toStdString()).host.empty()) {
        services_.site = QString::fromUtf8(online::kDefaultSite.data(),
                                           static_cast<qsizetype>(online::kDefaultSite.size()));
    }
    if (services_.productName.isEmpty())
        services_.productName = QStringLiteral(IMBRIX_PRODUCT);
    if (services_.versionText.isEmpty())
        services_.versionText = DefaultVersionText();

    buildLayout();

    // Creation, in the window's order: the rain, the caption, the icon and the
    // name, the captions, the pictures, the hidden panel's place.
    rain_.setRainChars(std::string(kRainChars));
    StartRain();
    QString caption = Translate("About %s");
    const auto placeholder = caption.indexOf(QStringLiteral("%s"));
    if (placeholder >= 0)
        caption.replace(placeholder, 2, services_.productName);
    setWindowTitle(caption);
    Label2->setText(services_.productName + QLatin1Char(' ') + services_.versionText);
    BitBtn1->setText(Translate("OK"));
    BitBtn2->setText(Translate("Info"));
    Credits1->setText(Translate("Acknowledgements..."));
    Howtouninstall1->setText(Translate("How to uninstall..."));
    LicensePrivacyPolicy1->setText(Translate("License..."));
    HighDPIImageYukle();
    PanelEgg->move(CentredOffset(width(), PanelEgg->width()),
                   CentredOffset(height(), PanelEgg->height()));
    BitBtn1->setFocus();
}

TAboutBox::~TAboutBox() = default;

void TAboutBox::buildLayout() {
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientSize);
    // The window paints every pixel itself: black, and the rain on it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    MakeBlack(this);
    setAutoFillBackground(false);

    // Made first so that it lies behind the content panel.
    PanelEgg = new QFrame(this);
    PanelEgg->setObjectName(QStringLiteral("PanelEgg"));
    PanelEgg->resize(kPanelEgg);
    MakeBlack(PanelEgg);
    PanelEgg->hide();
    ImageEgg = new QLabel(PanelEgg);
    ImageEgg->setObjectName(QStringLiteral("ImageEgg"));
    ImageEgg->setGeometry(kImageEgg);

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(kPanel1);
    MakeBlack(Panel1);

    Image2 = new QLabel(Panel1);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setGeometry(kImage2);

    Bevel1 = new QFrame(Panel1);
    Bevel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Bevel1->setGeometry(kBevel1);
    Image1 = new QLabel(Panel1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(kImage1);
    Image1->setAlignment(Qt::AlignCenter);

    Label2 = new QLabel(Panel1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(kLabel2);
    Label2->setWordWrap(true);
    Label2->setTextFormat(Qt::PlainText);
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label2->setFont(PixelFont(QStringLiteral("Tahoma"), 16));

    const QFont buttonFont = PixelFont(QStringLiteral("Tahoma"), 16);
    BitBtn1 = new QPushButton(Panel1);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(kBitBtn1);
    BitBtn1->setFont(buttonFont);
    BitBtn1->setDefault(true);
    BitBtn2 = new QPushButton(Panel1);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(kBitBtn2);
    BitBtn2->setFont(buttonFont);
    BitBtn2->setAutoDefault(false);
    // The arrow sits to the right of the caption.
    BitBtn2->setLayoutDirection(Qt::RightToLeft);
    BitBtn2->setIconSize(QSize(16, 16));
    setTabOrder(BitBtn1, BitBtn2);

    const SiteLinks links = LinksForSite(services_.site.toStdString());
    Label5 = new QLabel(Panel1);
    Label5->setObjectName(QStringLiteral("Label5"));
    QFont linkFont = PixelFont(QStringLiteral("MS Sans Serif"), 11);
    linkFont.setUnderline(true);
    Label5->setFont(linkFont);
    QPalette linkPalette = Label5->palette();
    linkPalette.setColor(QPalette::WindowText, kLime);
    Label5->setPalette(linkPalette);
    Label5->setCursor(Qt::PointingHandCursor);
    Label5->setTextFormat(Qt::PlainText);
    Label5->setText(QString::fromStdString(links.host));
    Label5->setToolTip(QString::fromStdString(links.home));
    Label5->adjustSize();
    Label5->move(CentredOffset(kPanel1.width(), Label5->width()),
                 kPanel1.height() - Label5->height() - 6);

    PopupMenu1 = new QMenu(this);
    Credits1 = PopupMenu1->addAction(QString());
    Howtouninstall1 = PopupMenu1->addAction(QString());
    LicensePrivacyPolicy1 = PopupMenu1->addAction(QString());

    tmTimer = new QTimer(this);
    tmTimer->setInterval(kRainIntervalMs);
    TimerEgg = new QTimer(this);
    TimerEgg->setInterval(kSlideIntervalMs);
    TimerEgg->setTimerType(Qt::PreciseTimer);

    connect(tmTimer, &QTimer::timeout, this, &TAboutBox::tmTimerTimer);
    connect(TimerEgg, &QTimer::timeout, this, &TAboutBox::TimerEggTimer);
    connect(BitBtn1, &QPushButton::clicked, this, &TAboutBox::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &TAboutBox::BitBtn2Click);
    connect(Credits1, &QAction::triggered, this, &TAboutBox::Credits1Click);
    connect(Howtouninstall1, &QAction::triggered, this, &TAboutBox::Howtouninstall1Click);
    connect(LicensePrivacyPolicy1, &QAction::triggered, this,
            &TAboutBox::LicensePrivacyPolicy1Click);

    // Every surface that drags the window, the two buttons for Escape, the link
    // and the two pictures for their clicks.
    for (QObject* surface :
         {static_cast<QObject*>(this), static_cast<QObject*>(Panel1), static_cast<QObject*>(Image1),
          static_cast<QObject*>(Image2), static_cast<QObject*>(Label2),
          static_cast<QObject*>(ImageEgg), static_cast<QObject*>(BitBtn1),
          static_cast<QObject*>(BitBtn2), static_cast<QObject*>(Label5)}) {
        surface->installEventFilter(this);
    }
}

void TAboutBox::HighDPIImageYukle() {
    const qreal ratio = devicePixelRatioF();
    Image2->setPixmap(RenderSvg(QStringLiteral(":/about/logo.svg"), Image2->size(), ratio));
    ImageEgg->setPixmap(RenderSvg(QStringLiteral(":/about/cat.svg"), ImageEgg->size(), ratio));
    BitBtn2->setIcon(QIcon(QStringLiteral(":/about/arrow.svg")));
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull())
        icon = ProgramIcon();
    Image1->setPixmap(icon.pixmap(Image1->size(), ratio));
}

// --- The rain ---------------------------------------------------------------

void TAboutBox::StartRain() {
    const QSize outer = frameGeometry().size();
    rain_.StartRain(outer.width(), outer.height());
    rainStarted_ = true;
    ResetRain();
    tmTimer->start();
}

void TAboutBox::ResetRain() {
    prepareCanvas();
    canvas_.fill(Qt::black);
    rain_.ResetRain();
    update();
}

void TAboutBox::prepareCanvas() {
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * ratio).toSize();
    if (canvas_.size() == pixels && canvasRatio_ == ratio && painter_)
        return;
    QImage fresh(pixels, QImage::Format_RGB32);
    fresh.fill(Qt::black);
    fresh.setDevicePixelRatio(ratio);
    painter_.reset();
    canvas_ = std::move(fresh);
    canvasRatio_ = ratio;
    painter_ = std::make_unique<Canvas>(canvas_, ratio, rain_);
}

void TAboutBox::tmTimerTimer() {
    prepareCanvas();
    painter_->begin();
    rain_.RainTick(*painter_);
    repaintRain(painter_->end());
}

void TAboutBox::repaintRain(const QRegion& changed) {
    // Cells under the panels are drawn into the canvas but need no repaint.
    QRegion shown = changed & QRegion(rect());
    shown -= Panel1->geometry();
    if (PanelEgg->isVisible())
        shown -= PanelEgg->geometry();
    if (!shown.isEmpty())
        update(shown);
}

void TAboutBox::paintEvent(QPaintEvent* event) {
    prepareCanvas();
    QPainter painter(this);
    const qreal ratio = canvas_.devicePixelRatio();
    for (const QRect& area : event->region()) {
        const QRectF source(QPointF(area.topLeft()) * ratio, QSizeF(area.size()) * ratio);
        painter.drawImage(QRectF(area), canvas_, source);
    }
}

void TAboutBox::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (rainStarted_)
        ResetRain();
}

bool TAboutBox::event(QEvent* event) {
    const bool handled = QDialog::event(event);
    bool ratioChanged = event->type() == QEvent::ScreenChangeInternal;
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    ratioChanged = ratioChanged || event->type() == QEvent::DevicePixelRatioChange;
#endif
    if (ratioChanged && rainStarted_) {
        // Sharp pictures and letters for the new monitor.
        HighDPIImageYukle();
        ResetRain();
    }
    return handled;
}

void TAboutBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (centred_)
        return;
    centred_ = true;
    // The window opens in the middle of the screen it is on.
    QScreen* onScreen = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    if (onScreen != nullptr) {
        QRect frame = frameGeometry();
        frame.moveCenter(onScreen->availableGeometry().center());
        move(frame.topLeft());
    }
}

// --- The hidden picture -----------------------------------------------------

void TAboutBox::Image1DblClick() {
    if (TimerEgg->isActive())
        return;
    PanelEgg->show();
    PanelEgg->stackUnder(Panel1);
    TimerEgg->start();
}

void TAboutBox::TimerEggTimer() {
    const SlideStep step = NextSlideStep(Panel1->x(), width());
    Panel1->move(step.left, Panel1->y());
    if (step.done)
        TimerEgg->stop();
}

void TAboutBox::ImageEggDblClick() {
    if (TimerEgg->isActive())
        return;
    PanelEgg->hide();
    Panel1->move(CentredOffset(width(), Panel1->width()), Panel1->y());
}

// --- Buttons, menu and links ------------------------------------------------

void TAboutBox::BitBtn1Click() {
    accept();
}

void TAboutBox::BitBtn2Click() {
    ShowDropDownMenu(BitBtn2, PopupMenu1);
}

void TAboutBox::ShowDropDownMenu(QPushButton* button, QMenu* menu) {
    DropDownGate& gate = ProcessDropDownGate();
    if (!gate.ShouldShow(button, menu, services_.tickCount()))
        return;
    services_.execMenu(menu, button->mapToGlobal(QPoint(0, button->height())));
    gate.Closed(button, menu, services_.tickCount());
}

void TAboutBox::Label5Click() {
    services_.openUrl(
        QUrl(QString::fromStdString(LinksForSite(services_.site.toStdString()).home)));
}

void TAboutBox::Credits1Click() {
    services_.openUrl(
        QUrl(QString::fromStdString(LinksForSite(services_.site.toStdString()).credits)));
}

void TAboutBox::Howtouninstall1Click() {
    services_.openUrl(
        QUrl(QString::fromStdString(LinksForSite(services_.site.toStdString()).uninstall)));
}

void TAboutBox::LicensePrivacyPolicy1Click() {
    const QString path = services_.programFolder + QStringLiteral("license.txt");
    const QFileInfo file(path);
    if (!file.exists() || !file.isFile()) {
        services_.errorBox(this, Translate("File not found!"), Translate("License"));
        return;
    }
    services_.openUrl(QUrl::fromLocalFile(file.absoluteFilePath()));
}

// --- Mouse and keys ---------------------------------------------------------

bool TAboutBox::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::KeyPress && (watched == BitBtn1 || watched == BitBtn2)) {
        if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            reject();
            return true;
        }
        return false;
    }
    if (watched == BitBtn1 || watched == BitBtn2)
        return false;

    if (watched == Label5) {
        // The link opens on a left click and never drags the window.
        if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick)
            return true;
        if (type == QEvent::MouseButtonRelease) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton &&
                Label5->rect().contains(mouse->position().toPoint())) {
                Label5Click();
            }
            return true;
        }
        return false;
    }

    switch (type) {
        case QEvent::MouseButtonDblClick:
            if (watched == Image1) {
                Image1DblClick();
                return true;
            }
            if (watched == ImageEgg) {
                ImageEggDblClick();
                return true;
            }
            [[fallthrough]];
        case QEvent::MouseButtonPress: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::RightButton)
                return false;
            dragging_ = true;
            const QPoint at = mouse->globalPosition().toPoint();
            dx_ = at.x();
            dy_ = at.y();
            return true;
        }
        case QEvent::MouseMove: {
            if (!dragging_)
                return false;
            const QPoint at = static_cast<QMouseEvent*>(event)->globalPosition().toPoint();
            move(x() + at.x() - dx_, y() + at.y() - dy_);
            dx_ = at.x();
            dy_ = at.y();
            return true;
        }
        case QEvent::MouseButtonRelease:
            dragging_ = false;
            return true;
        default:
            return false;
    }
}

}  // namespace imbrix::about
