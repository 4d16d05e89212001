// imbrix: the desktop program.
#include <QApplication>
#include <QStringList>

#include "app/appform.h"
#include "app/appidentity.h"
#include "app/application.h"
#include "platform/system.h"

int main(int argc, char** argv) {
    // A named lock that only marks the program as running; a second instance
    // neither looks at it nor stops.
    imbrix::platform::holdNamedLock("KELVANE_Imbrix");

    QApplication application(argc, argv);
    imbrix::app::setUpApplication();

    QStringList paths = QApplication::arguments();
    if (!paths.isEmpty()) paths.removeFirst();  // the program itself

    imbrix::app::TAppForm form(imbrix::app::loadIdentity(imbrix::platform::programPath()), paths);
    form.show();
    return QApplication::exec();
}
