// The real message box.
#include "convert/ui/messagebox.h"

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

}  // namespace imbrix::convert
