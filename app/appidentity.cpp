// The program's identity and data folder.
#include "app/appidentity.h"

#include <cstdio>
#include <system_error>

#include "app/versioninfo.h"
#include "platform/files.h"
#include "platform/system.h"

namespace imbrix::app {

AppIdentity loadIdentity(const std::string& executable) {
    AppIdentity identity;
    TEXEVersionData data;
    try {
        ReadExeVersionData(executable, data);
    } catch (const std::system_error&) {
        // Without a block the built-in names stand in (see below).
    }
    identity.companyName = data.CompanyName.empty() ? IMBRIX_COMPANY : data.CompanyName;
    identity.productName = data.ProductName.empty() ? IMBRIX_PRODUCT : data.ProductName;
    FileVersionNumbers version = ReadExeFileVersion(executable);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d", version.major, version.minor);
    identity.versionText = text;
    identity.caption = identity.companyName + " - " + identity.productName;
    identity.programFolder = platform::extractFilePath(executable);
    identity.dataFolder = platform::chooseDataFolder(identity.programFolder, identity.companyName,
                                                     identity.productName);
    return identity;
}

std::string onlineHelpAddress(const std::string& site, const std::string& productName) {
    std::string slug;
    for (char c : productName) {
        if (c == ' ') {
            slug += '-';
        } else if (c >= 'A' && c <= 'Z') {
            slug += static_cast<char>(c - 'A' + 'a');
        } else {
            slug += c;
        }
    }
    std::string base = site;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    return base + "/help/" + slug + "/";
}

}  // namespace imbrix::app
