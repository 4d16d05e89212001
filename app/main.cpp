// imbrix: the desktop program.
#include <QApplication>
#include <QStringList>

#include "about/ui/aboutbox.h"
#include "app/appform.h"
#include "app/appidentity.h"
#include "app/icons.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    // A named lock that only marks the program as running; a second instance
    // neither looks at it nor stops.
    imbrix::platform::holdNamedLock("KELVANE_Imbrix");

    QApplication application(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Imbrix"));
    QApplication::setApplicationName(QStringLiteral("Imbrix"));
    imbrix::app::setUpIconTheme();
    QApplication::setWindowIcon(imbrix::about::ProgramIcon());

    QStringList paths = QApplication::arguments();
    if (!paths.isEmpty()) paths.removeFirst();  // the program itself

    imbrix::app::TAppForm form(imbrix::app::loadIdentity(imbrix::platform::programPath()), paths);
    form.show();
    return QApplication::exec();
}
