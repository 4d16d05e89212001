// The platform's message dialog with a translated title and button captions.
#include "i18n/ui/messagedlg.h"

#include <QAbstractButton>
#include <array>

namespace imbrix::i18n {
namespace {

QMessageBox::Icon iconOf(DialogType type) {
    switch (type) {
        case DialogType::Warning:
            return QMessageBox::Warning;
        case DialogType::Error:
            return QMessageBox::Critical;
        case DialogType::Information:
            return QMessageBox::Information;
        case DialogType::Confirmation:
            return QMessageBox::Question;
        case DialogType::Custom:
            break;
    }
    return QMessageBox::NoIcon;
}

// The order in which captions are handed out.
constexpr std::array kCaptionOrder = {
    QMessageBox::Yes,     QMessageBox::No,      QMessageBox::Ok,
    QMessageBox::Cancel,  QMessageBox::Abort,   QMessageBox::Retry,
    QMessageBox::Ignore,  QMessageBox::NoToAll, QMessageBox::YesToAll,
    QMessageBox::Help,    QMessageBox::Close,   QMessageBox::Save,
    QMessageBox::SaveAll, QMessageBox::Open,    QMessageBox::Discard,
    QMessageBox::Apply,   QMessageBox::Reset,   QMessageBox::RestoreDefaults,
};

}  // namespace

QMessageBox::StandardButton MessageDlgWithCaptions(const QString& msg, DialogType type,
                                                   QMessageBox::StandardButtons buttons,
                                                   const QStringList& captions,
                                                   const QString& title, QWidget* parent) {
    QMessageBox box(iconOf(type), title, msg, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    qsizetype next = 0;
    for (const auto which : kCaptionOrder) {
        if (next >= captions.size()) {
            break;
        }
        if (QAbstractButton* button = box.button(which)) {
            button->setText(captions[next++]);
        }
    }
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    return clicked ? box.standardButton(clicked) : QMessageBox::NoButton;
}

}  // namespace imbrix::i18n
