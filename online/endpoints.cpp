#include "online/endpoints.h"

#include <cctype>
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

std::string NoticeAddress(std::string_view replyAddress, std::string_view site) {
    std::string lower(replyAddress);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    size_t rest = 0;
    if (lower.starts_with("https://")) {
        rest = 8;
    } else if (lower.starts_with("http://")) {
        rest = 7;
    } else {
        return std::string(site);
    }
    // A host must follow the scheme; blanks and control characters have no place
    // in an address a browser is handed.
    if (replyAddress.size() == rest || replyAddress[rest] == '/') {
        return std::string(site);
    }
    for (char c : replyAddress) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) {
            return std::string(site);
        }
    }
    return std::string(replyAddress);
}

}  // namespace imbrix::online
