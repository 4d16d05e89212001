// The real message box.
#include "convert/ui/messagebox.h"

#include <QCheckBox>
#include <QMessageBox>

namespace imbrix::convert {

void showMessageBox(QWidget* parent, BoxIcon icon, const QString& caption, const QString& text) {
    QMessageBox::Icon kind = QMessageBox::NoIcon;
    switch (icon) {
        case BoxIcon::None:
            kind = QMessageBox::NoIcon;
            break;
        case BoxIcon::Information:
            kind = QMessageBox::Information;
            break;
        case BoxIcon::Warning:
            kind = QMessageBox::Warning;
            break;
        case BoxIcon::Error:
            kind = QMessageBox::Critical;
            break;
    }
    QMessageBox box(kind, caption, text, QMessageBox::Ok, parent);
    // Messages name files and quote other programs: never markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool showErrorBox(QWidget* parent, const QString& text, const QString& checkText) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("ERROR"), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    auto* check = new QCheckBox(checkText, &box);  // the box takes it over
    box.setCheckBox(check);
    box.exec();
    return check->isChecked();
}

}  // namespace imbrix::convert
