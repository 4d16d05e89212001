// Who the program is and where it keeps its files, worked out once at start-up.
#pragma once

#include <string>

namespace imbrix::app {

struct AppIdentity {
    std::string companyName;    ///< the version block's CompanyName: "KELVANE"
    std::string productName;    ///< its ProductName: "Imbrix"
    std::string versionText;    ///< major and minor file version: "2.3"
    std::string caption;        ///< "KELVANE - Imbrix"
    std::string programFolder;  ///< ends with '/'
    std::string dataFolder;     ///< ends with '/'
};

/// Reads the version block of `executable` (its company and product name, its
/// file version) and chooses the data folder for its folder. An executable
/// without a readable block takes the names this program was built with, so the
/// caption and the data folder never come out empty.
AppIdentity loadIdentity(const std::string& executable);

/// The online help address for `site` (scheme and host) and a product name:
/// site (without a trailing '/') + "/help/" + the name in lower case with blanks as "-" + "/".
std::string onlineHelpAddress(const std::string& site, const std::string& productName);

}  // namespace imbrix::app
