#include "online/ui/identity.h"

#include <cstdio>
#include <system_error>

#include "app/versioninfo.h"
#include "platform/system.h"

namespace imbrix::online {

OnlineIdentity ProgramIdentity() {
    const std::string executable = platform::programPath();
    app::TEXEVersionData data;
    try {
        app::ReadExeVersionData(executable, data);
    } catch (const std::system_error&) {
        // The built-in names stand in below.
    }
    const std::string company = data.CompanyName.empty() ? IMBRIX_COMPANY : data.CompanyName;
    OnlineIdentity identity;
    identity.productName = data.ProductName.empty() ? IMBRIX_PRODUCT : data.ProductName;
    identity.appCaption = company + " - " + identity.productName;
    const app::FileVersionNumbers version = app::ReadExeFileVersion(executable);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d", version.major, version.minor);
    identity.versionText = text;
    return identity;
}

}  // namespace imbrix::online
