// The application object's names and icons.
#include "app/application.h"

#include <QApplication>

#include "about/ui/aboutbox.h"
#include "app/icons.h"

namespace imbrix::app {

void setUpApplication() {
    QApplication::setApplicationName(QStringLiteral("Imbrix"));
    // The installed menu entry (desktop/imbrix.desktop): Wayland desktops take
    // the window's icon and name from it.
    QGuiApplication::setDesktopFileName(QStringLiteral("imbrix"));
    setUpIconTheme();
    QApplication::setWindowIcon(about::ProgramIcon());
}

}  // namespace imbrix::app
