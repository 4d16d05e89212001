#include "online/ui/feedbackform.h"

#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <exception>

#include "i18n/i18n.h"
#include "online/sysinfo.h"

namespace imbrix::online {
namespace {

constexpr int kMaxMessageLength = 10000;
constexpr int kMaxEmailLength = 100;

QString Tr(const char* text) {
    return QString::fromStdString(i18n::Translate(text));
}

QFont Tahoma(int pixels, bool bold = false) {
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

// Restores the normal cursor on every way out of a send.
class HourglassCursor {
public:
    HourglassCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~HourglassCursor() { QApplication::restoreOverrideCursor(); }
    HourglassCursor(const HourglassCursor&) = delete;
    HourglassCursor& operator=(const HourglassCursor&) = delete;
};

QFrame* ChoicePanel(QWidget* parent, const QString& caption, const QString& iconName,
                    QLabel*& image, QLabel*& text) {
    auto* panel = new QFrame(parent);
    panel->setCursor(Qt::PointingHandCursor);
    panel->setAutoFillBackground(true);
    panel->setLineWidth(2);
    auto* layout = new QHBoxLayout(panel);
    layout->setContentsMargins(6, 4, 6, 4);
    image = new QLabel(panel);
    image->setFixedSize(32, 32);
    image->setPixmap(QIcon::fromTheme(iconName).pixmap(32, 32));
    text = new QLabel(caption, panel);
    text->setFont(Tahoma(16));
    layout->addWidget(image);
    layout->addWidget(text, 1);
    return panel;
}

}  // namespace

TFeedbackForm::TFeedbackForm(QWidget* parent, FeedbackFormEnvironment environment)
    : QDialog(parent), env_(std::move(environment)) {
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    setFont(Tahoma(11));
    setFixedSize(525, 326);

    auto* top = new QWidget(this);
    top->setFixedHeight(46);
    auto* topLayout = new QHBoxLayout(top);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->setSpacing(0);
    Panel4 = ChoicePanel(top, QString(), QStringLiteral("face-smile"), Image1, Panel4Caption);
    Panel5 = ChoicePanel(top, QString(), QStringLiteral("face-sad"), Image2, Panel5Caption);
    Panel5->setFixedWidth(256);
    topLayout->addWidget(Panel4, 1);
    topLayout->addWidget(Panel5);

    Label1 = new QLabel(this);
    Label1->setFont(Tahoma(16));
    Label2 = new QLabel(this);
    Label2->setFont(Tahoma(13, true));
    Memo1 = new QPlainTextEdit(this);
    Memo1->setFont(Tahoma(13));
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    auto* emailRow = new QWidget(this);
    emailRow->setFixedHeight(30);
    auto* emailLayout = new QHBoxLayout(emailRow);
    emailLayout->setContentsMargins(0, 0, 0, 0);
    Label3 = new QLabel(emailRow);
    Label3->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);
    Edit1 = new QLineEdit(emailRow);
    Edit1->setFont(Tahoma(13));
    Edit1->setMaxLength(kMaxEmailLength);
    emailLayout->addWidget(Label3);
    emailLayout->addWidget(Edit1, 1);

    auto* sendRow = new QWidget(this);
    sendRow->setFixedHeight(39);
    auto* sendLayout = new QHBoxLayout(sendRow);
    sendLayout->setContentsMargins(0, 3, 0, 3);
    BitBtn1 = new QPushButton(sendRow);
    BitBtn1->setFont(Tahoma(16));
    BitBtn1->setFixedSize(172, 33);
    BitBtn1->setIcon(QIcon::fromTheme(QStringLiteral("mail-send")));
    // Enter in the e-mail box is no send: only the button sends.
    BitBtn1->setAutoDefault(false);
    BitBtn1->setDefault(false);
    sendLayout->addStretch(1);
    sendLayout->addWidget(BitBtn1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 0, 8, 4);
    layout->addWidget(top);
    layout->addWidget(Label1);
    layout->addWidget(Label2);
    layout->addWidget(Memo1, 1);
    layout->addWidget(emailRow);
    layout->addWidget(sendRow);

    for (QObject* target : {static_cast<QObject*>(Panel4), static_cast<QObject*>(Image1),
                            static_cast<QObject*>(Panel4Caption), static_cast<QObject*>(Panel5),
                            static_cast<QObject*>(Image2), static_cast<QObject*>(Panel5Caption)}) {
        target->installEventFilter(this);
    }
    connect(BitBtn1, &QPushButton::clicked, this, &TFeedbackForm::BitBtn1Click);
    connect(Memo1, &QPlainTextEdit::textChanged, this, [this] {
        // The message holds at most kMaxMessageLength characters, as typed or pasted.
        const QString text = Memo1->toPlainText();
        if (text.size() > kMaxMessageLength) {
            QTextCursor cursor = Memo1->textCursor();
            Memo1->setPlainText(text.left(kMaxMessageLength));
            cursor.setPosition(std::min(cursor.position(), kMaxMessageLength));
            Memo1->setTextCursor(cursor);
        }
    });

    FormCreate();
    SetChoice(Panel4, false);
    SetChoice(Panel5, false);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

void TFeedbackForm::FormCreate() {
    setWindowTitle(QString::fromStdString(env_.identity.productName) + QLatin1Char(' ') +
                   Tr("feedback"));
    Panel4Caption->setText(Tr("I like it!"));
    Panel5Caption->setText(Tr("I dislike it!"));
    Label1->setText(Tr("We would really appreciate your feedback."));
    Label2->setText(Tr("What did you like or dislike?"));
    Label3->setText(Tr("Include my e-mail:"));
    BitBtn1->setText(Tr("Send"));
}

void TFeedbackForm::SetChoice(QFrame* panel, bool selected) {
    (panel == Panel4 ? likeSelected_ : dislikeSelected_) = selected;
    // The panel shows its own colours under any style; only the edge follows it.
    QPalette palette = panel->palette();
    const QPalette base = QApplication::palette();
    palette.setColor(QPalette::Window,
                     selected ? base.color(QPalette::Highlight) : base.color(QPalette::Button));
    palette.setColor(QPalette::WindowText, selected ? base.color(QPalette::HighlightedText)
                                                    : base.color(QPalette::WindowText));
    panel->setPalette(palette);
    panel->setFrameStyle(QFrame::Panel | (selected ? QFrame::Sunken : QFrame::Raised));
}

void TFeedbackForm::Image1MouseDown(Qt::MouseButton button) {
    if (button != Qt::LeftButton) {
        return;
    }
    if (likeSelected_) {
        SetChoice(Panel4, false);
        return;
    }
    SetChoice(Panel4, true);
    if (dislikeSelected_) {
        SetChoice(Panel5, false);
    }
}

void TFeedbackForm::Image2MouseDown(Qt::MouseButton button) {
    if (button != Qt::LeftButton) {
        return;
    }
    if (dislikeSelected_) {
        SetChoice(Panel5, false);
        return;
    }
    SetChoice(Panel5, true);
    if (likeSelected_) {
        SetChoice(Panel4, false);
    }
}

bool TFeedbackForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress) {
        const auto button = static_cast<QMouseEvent*>(event)->button();
        if (watched == Panel4 || watched == Image1 || watched == Panel4Caption) {
            Image1MouseDown(button);
            return true;
        }
        if (watched == Panel5 || watched == Image2 || watched == Panel5Caption) {
            Image2MouseDown(button);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TFeedbackForm::ShowMessage(QMessageBox::Icon icon, const QString& caption,
                                const QString& text) {
    if (env_.showMessage) {
        env_.showMessage(this, icon, caption, text);
        return;
    }
    QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);  // the service's reply is shown as it is
    box.exec();
}

std::string TFeedbackForm::Post(const std::string& address, const FieldList& fields) const {
    if (env_.post) {
        return env_.post(address, fields);
    }
    return PostRequest(address, fields, env_.request);
}

void TFeedbackForm::BitBtn1Click() {
    FeedbackInput input;
    input.like = likeSelected_;
    input.dislike = dislikeSelected_;
    input.likeCaption = Panel4Caption->text().toStdString();
    input.dislikeCaption = Panel5Caption->text().toStdString();
    input.message = Memo1->toPlainText().toStdString();
    input.email = Edit1->text().toStdString();

    switch (CheckFeedback(input)) {
        case FeedbackProblem::EmptyMessage:
            Memo1->setFocus();
            if (env_.beep) {
                env_.beep();
            } else {
                QApplication::beep();
            }
            return;
        case FeedbackProblem::InvalidEmail:
            Edit1->setFocus();
            ShowMessage(QMessageBox::Critical, Tr("Failure"), Tr("Invalid e-mail address!"));
            return;
        case FeedbackProblem::None:
            break;
    }

    bool delivered = false;
    try {
        const FieldList fields =
            FeedbackFields(input, env_.identity.appCaption, env_.identity.versionText);
        const std::string endpoint = FeedbackEndpoint(env_.serviceHost);
        std::string reply;
        {
            HourglassCursor hourglass;
            try {
                reply = Post("https://" + endpoint, fields);
            } catch (const std::exception&) {
                try {
                    reply = Post("http://" + endpoint, fields);
                } catch (const std::exception&) {
                    reply.clear();
                }
            }
        }
        delivered = FeedbackDelivered(reply);
    } catch (const std::exception&) {
        delivered = false;
    }

    if (delivered) {
        ShowMessage(QMessageBox::Information, Tr("Success"),
                    Tr("Your feedback is received.") + QStringLiteral("\n\n") + Tr("Thank you!"));
        accept();
        return;
    }
    ShowMessage(QMessageBox::Critical, Tr("Failure"),
                Tr("Something went wrong. Your feedback could not be delivered.") +
                    QStringLiteral("\n\n") + Tr("Please try again later."));
}

}  // namespace imbrix::online
