// imbrix: the desktop program.
#include <QApplication>
#include <algorithm>
#include <string>
#include <vector>

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

    // The paths as the system passed them, bytes and all (QApplication::arguments()
    // would turn a name that is not UTF-8 into another). QApplication has already
    // taken its own options out of argv; argv[0] is the program itself.
    std::vector<std::string> paths(argv + std::min(argc, 1), argv + argc);

    imbrix::app::TAppForm form(imbrix::app::loadIdentity(imbrix::platform::programPath()), paths);
    form.show();
    return QApplication::exec();
}
