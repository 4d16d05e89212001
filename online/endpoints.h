// Where the program's online services live: the maker's service host and web site.
//
// Both are fixed here and nowhere else. IMBRIX_SERVICE_HOST and IMBRIX_SITE override
// them (tests point them at a server on the loopback address; a build that talks to
// a real service sets them in the environment of the program).
#pragma once

#include <string>
#include <string_view>

namespace imbrix::online {

/// The service host: a host name, optionally with ":port", without a scheme. Its
/// domain is reserved, so an unconfigured program never reaches anybody.
inline constexpr std::string_view kDefaultServiceHost = "service.imbrix.example";
/// The maker's home page, opened when an update reply carries no usable address.
inline constexpr std::string_view kDefaultSite = "https://www.imbrix.example/";

inline constexpr std::string_view kCheckPath = "/php/check2.php";
inline constexpr std::string_view kFeedbackPath = "/php/feedback.php";

/// $IMBRIX_SERVICE_HOST when set and not empty, else kDefaultServiceHost.
std::string ServiceHost();
/// $IMBRIX_SITE when set and not empty, else kDefaultSite.
std::string SiteAddress();

/// The page the new-version notice opens: `replyAddress` when it is an "http://" or
/// "https://" address (scheme in any letter case) with something after the scheme,
/// else `site`. Whatever else a reply carries (a file, a program, another scheme)
/// is never opened.
std::string NoticeAddress(std::string_view replyAddress, std::string_view site);

/// Endpoint texts: host + path, without a scheme; callers put "https://" or
/// "http://" in front.
inline std::string CheckEndpoint(std::string_view host) {
    return std::string(host) + std::string(kCheckPath);
}
inline std::string FeedbackEndpoint(std::string_view host) {
    return std::string(host) + std::string(kFeedbackPath);
}

}  // namespace imbrix::online
