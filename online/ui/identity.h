// Who the program is, as the online services name it.
#pragma once

#include <string>

namespace imbrix::online {

struct OnlineIdentity {
    /// "<company> - <product>": the application's name in service requests.
    std::string appCaption;
    /// The version block's ProductName, shown in window captions and the notice.
    std::string productName;
    /// Major and minor file version, "2.3".
    std::string versionText;
};

/// The identity of the running program, from its own version block; a program
/// without a readable block takes the names it was built with.
OnlineIdentity ProgramIdentity();

}  // namespace imbrix::online
