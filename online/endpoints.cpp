#include "online/endpoints.h"

#include <cstdlib>

namespace imbrix::online {
namespace {

std::string FromEnvironment(const char* name, std::string_view fallback) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
        return value;
    }
    return std::string(fallback);
}

}  // namespace

std::string ServiceHost() {
    return FromEnvironment("IMBRIX_SERVICE_HOST", kDefaultServiceHost);
}

std::string SiteAddress() {
    return FromEnvironment("IMBRIX_SITE", kDefaultSite);
}

}  // namespace imbrix::online
