// Where the services live, and which addresses from a reply the notice may open.
#include "online/endpoints.h"

#include <gtest/gtest.h>

#include "loopback_server.h"

namespace imbrix::online {
namespace {

TEST(Endpoints, HostAndSiteFollowTheEnvironmentWhenSet) {
    {
        test::ScopedEnv host("IMBRIX_SERVICE_HOST", "");
        test::ScopedEnv site("IMBRIX_SITE", "");
        EXPECT_EQ(ServiceHost(), kDefaultServiceHost);
        EXPECT_EQ(SiteAddress(), kDefaultSite);
        // An unconfigured program can only reach the reserved domain.
        EXPECT_TRUE(ServiceHost().ends_with(".example"));
    }
    test::ScopedEnv host("IMBRIX_SERVICE_HOST", "127.0.0.1:8443");
    test::ScopedEnv site("IMBRIX_SITE", "http://127.0.0.1:8080/");
    EXPECT_EQ(ServiceHost(), "127.0.0.1:8443");
    EXPECT_EQ(SiteAddress(), "http://127.0.0.1:8080/");
    EXPECT_EQ(CheckEndpoint(ServiceHost()), "127.0.0.1:8443/php/check2.php");
    EXPECT_EQ(FeedbackEndpoint(ServiceHost()), "127.0.0.1:8443/php/feedback.php");
}

TEST(NoticeAddress, OnlyWebAddressesFromAReplyAreOpened) {
    const std::string site = "https://www.imbrix.example/";
    struct Case {
        const char* reply;
        const char* opened;
    };
    const Case cases[] = {
        {"https://download.example/imbrix", "https://download.example/imbrix"},
        {"http://download.example/imbrix?v=2.4", "http://download.example/imbrix?v=2.4"},
        {"HTTPS://Download.example/Imbrix", "HTTPS://Download.example/Imbrix"},
        {"", site.c_str()},
        {"https://", site.c_str()},
        {"http:///etc/passwd", site.c_str()},
        {"file:///etc/passwd", site.c_str()},
        {"/usr/bin/xterm", site.c_str()},
        {"javascript:alert(1)", site.c_str()},
        {"ftp://download.example/imbrix", site.c_str()},
        {"mailto:someone@download.example", site.c_str()},
        {"https://download.example/a b", site.c_str()},
        {" https://download.example/", site.c_str()},
        {"https://download.example/\x01", site.c_str()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(NoticeAddress(c.reply, site), c.opened) << "reply address: " << c.reply;
    }
}

}  // namespace
}  // namespace imbrix::online
