#include "online/ui/newver.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include "i18n/i18n.h"

namespace imbrix::online {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 68;
constexpr int kScreenMargin = 5;
constexpr int kAnimationMs = 100;

QString Tr(const char* text) {
    return QString::fromStdString(i18n::Translate(text));
}

QFont Tahoma(int pixels, bool bold = false, bool underline = false) {
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(pixels);
    font.setBold(bold);
    font.setUnderline(underline);
    return font;
}

QRect CentrePoint(const QRect& area) {
    return QRect(area.center(), QSize(1, 1));
}

}  // namespace

TNewVer::TNewVer(QWidget* mainWindow, const std::string& serverVersion,
                 const std::string& downloadAddress, NewVerEnvironment environment)
    : QWidget(mainWindow, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      mainWindow_(mainWindow),
      env_(std::move(environment)),
      downloadAddress_(downloadAddress),
      countdown_(env_.closeCountdown) {
    // The notice never takes the keyboard from the main window.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(kWidth, kHeight);
    setFont(Tahoma(11));
    setCursor(Qt::ArrowCursor);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);

    auto* panel1 = new QFrame(this);
    panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(panel1);

    Image1 = new QLabel(panel1);
    Image1->setFixedSize(60, 60);
    Image1->setAlignment(Qt::AlignCenter);
    QIcon icon = mainWindow != nullptr ? mainWindow->windowIcon() : QApplication::windowIcon();
    if (icon.isNull()) {
        icon = QIcon::fromTheme(QStringLiteral("image-x-generic"));
    }
    Image1->setPixmap(icon.pixmap(48, 48));

    auto* panel2 = new QWidget(panel1);
    Label1 = new QLabel(Tr("UPDATE AVAILABLE"), panel2);
    Label1->setFont(Tahoma(13, true));
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label2 = new QLabel(Tr("Click to download") + QLatin1Char(' ') +
                            QString::fromStdString(env_.productName) + QLatin1Char(' ') +
                            QString::fromStdString(serverVersion),
                        panel2);
    Label2->setFont(Tahoma(13, false, true));
    Label2->setAlignment(Qt::AlignCenter);
    Label2->setWordWrap(true);
    Label2->setCursor(Qt::PointingHandCursor);
    // Inside the window's button-face background a label would draw with the
    // button text colour; the link draws with the colour that TimerLinkTimer sets.
    Label2->setForegroundRole(QPalette::WindowText);
    auto* middle = new QVBoxLayout(panel2);
    middle->setContentsMargins(0, 2, 0, 2);
    middle->setSpacing(0);
    middle->addWidget(Label1);
    middle->addWidget(Label2, 1);

    auto* panel3 = new QWidget(panel1);
    panel3->setFixedWidth(22);
    Button1 = new QPushButton(panel3);
    Button1->setFixedSize(22, 22);
    Button1->setCursor(Qt::PointingHandCursor);
    Button1->setFlat(true);
    Button1->setIcon(QIcon::fromTheme(QStringLiteral("window-close"),
                                      style()->standardIcon(QStyle::SP_TitleBarCloseButton)));
    Button1->setFocusPolicy(Qt::NoFocus);
    auto* right = new QVBoxLayout(panel3);
    right->setContentsMargins(0, 0, 0, 0);
    right->addWidget(Button1);
    right->addStretch(1);

    auto* inner = new QHBoxLayout(panel1);
    inner->setContentsMargins(3, 3, 3, 3);
    inner->setSpacing(2);
    inner->addWidget(Image1);
    inner->addWidget(panel2, 1);
    inner->addWidget(panel3);

    for (QObject* target : {static_cast<QObject*>(this), static_cast<QObject*>(panel1),
                            static_cast<QObject*>(Image1), static_cast<QObject*>(Label1),
                            static_cast<QObject*>(panel3), static_cast<QObject*>(Label2)}) {
        target->installEventFilter(this);
    }
    connect(Button1, &QPushButton::clicked, this, &TNewVer::Button1Click);

    // Top right corner of the primary screen.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        move(area.left() + area.width() - kWidth - kScreenMargin, area.top() + kScreenMargin);
    }

    animation_ = new QPropertyAnimation(this, "geometry", this);
    animation_->setDuration(kAnimationMs);

    TimerStart = new QTimer(this);
    TimerStart->setInterval(1);
    TimerClose = new QTimer(this);
    TimerClose->setInterval(1000);
    TimerLink = new QTimer(this);
    TimerLink->setInterval(100);
    connect(TimerStart, &QTimer::timeout, this, &TNewVer::TimerStartTimer);
    connect(TimerClose, &QTimer::timeout, this, &TNewVer::TimerCloseTimer);
    connect(TimerLink, &QTimer::timeout, this, &TNewVer::TimerLinkTimer);
    TimerStart->start();
    TimerClose->start();
    TimerLink->start();
}

QUrl TNewVer::LinkAddress() const {
    return QUrl(QString::fromStdString(NoticeAddress(downloadAddress_, env_.site)));
}

bool TNewVer::Animating() const {
    return animation_->state() == QAbstractAnimation::Running;
}

void TNewVer::Animate(bool reveal) {
    const QRect full = geometry();
    animation_->stop();
    animation_->setStartValue(reveal ? CentrePoint(full) : full);
    animation_->setEndValue(reveal ? full : CentrePoint(full));
    if (!reveal) {
        connect(
            animation_, &QPropertyAnimation::finished, this,
            [this, full] {
                hide();
                setGeometry(full);
            },
            Qt::SingleShotConnection);
    }
    animation_->start();
}

void TNewVer::TimerStartTimer() {
    TimerStart->stop();
    show();
    Animate(true);
    if (mainWindow_ != nullptr) {
        mainWindow_->activateWindow();
        mainWindow_->raise();
    }
}

void TNewVer::TimerCloseTimer() {
    --countdown_;
    if (countdown_ <= 0) {
        TimerClose->stop();
        CloseAnimated();
    }
}

void TNewVer::CloseAnimated() {
    TimerLink->stop();
    TimerStart->stop();
    if (isVisible()) {
        Animate(false);
    } else {
        hide();
    }
}

void TNewVer::TimerLinkTimer() {
    const QPoint local = Label2->mapFromGlobal(QCursor::pos());
    const QPalette base = QApplication::palette();
    QPalette palette = Label2->palette();
    palette.setColor(QPalette::WindowText, Label2->rect().contains(local)
                                               ? base.color(QPalette::Highlight)
                                               : base.color(QPalette::WindowText));
    Label2->setPalette(palette);
}

void TNewVer::Label2Click() {
    const QUrl url = LinkAddress();
    if (env_.openUrl) {
        env_.openUrl(url);
    } else {
        QDesktopServices::openUrl(url);  // a failure is no concern of the notice
    }
    close();
}

void TNewVer::Button1Click() {
    close();
}

bool TNewVer::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove &&
        type != QEvent::MouseButtonRelease) {
        return QWidget::eventFilter(watched, event);
    }
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (watched == Label2) {
        if (type == QEvent::MouseButtonRelease && mouse->button() == Qt::LeftButton &&
            Label2->rect().contains(mouse->position().toPoint())) {
            Label2Click();
            return true;
        }
        return QWidget::eventFilter(watched, event);
    }
    const QPoint global = mouse->globalPosition().toPoint();
    switch (type) {
        case QEvent::MouseButtonPress:
            if (mouse->button() == Qt::LeftButton || mouse->button() == Qt::MiddleButton) {
                if (Animating()) {
                    const QRect target = animation_->endValue().toRect();
                    if (target.size() != QSize(kWidth, kHeight)) {
                        return true;  // closing: nothing left to drag
                    }
                    // A drag starts from the window's full size and place.
                    animation_->stop();
                    setGeometry(target);
                }
                lastMouse_ = global;
                dragging_ = true;
            }
            return true;
        case QEvent::MouseMove:
            if (dragging_) {
                move(pos() + (global - lastMouse_));
                lastMouse_ = global;
            }
            return true;
        default:
            dragging_ = false;
            return true;
    }
}

}  // namespace imbrix::online
