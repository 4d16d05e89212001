// The About window's slide arithmetic, the Info menu's reopen rule and its links.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "about/about.h"

using namespace imbrix::about;

TEST(Slide, FiveAPixelStepUntilThePanelLeavesTheClientArea) {
    struct Case {
        int left, clientWidth, next;
        bool done;
    };
    const Case cases[] = {
        {48, 446, 53, false},
        {441, 446, 446, false},  // exactly at the edge is not yet past it
        {442, 446, 447, true},
        {-10, 446, -5, false},
    };
    for (const Case& c : cases) {
        const SlideStep step = NextSlideStep(c.left, c.clientWidth);
        EXPECT_EQ(step.left, c.next) << c.left;
        EXPECT_EQ(step.done, c.done) << c.left;
    }

    // From the window's layout: the panel at 48 in a 446-pixel client area leaves
    // after 80 steps, at 448.
    int left = 48;
    int steps = 0;
    for (bool done = false; !done && steps < 1000; ++steps) {
        const SlideStep step = NextSlideStep(left, 446);
        left = step.left;
        done = step.done;
    }
    EXPECT_EQ(steps, 80);
    EXPECT_EQ(left, 448);
}

TEST(Slide, CentredOffsets) {
    EXPECT_EQ(CentredOffset(446, 350), 48);  // the content panel
    EXPECT_EQ(CentredOffset(446, 324), 61);  // the hidden picture's panel
    EXPECT_EQ(CentredOffset(374, 220), 77);
    EXPECT_EQ(CentredOffset(445, 350), 47);  // halves round towards zero
    EXPECT_EQ(CentredOffset(300, 350), -25);
}

TEST(DropDownGate, ClickThatClosesTheMenuDoesNotReopenIt) {
    int button = 0, otherButton = 0, menu = 0, otherMenu = 0;
    struct Case {
        const char* what;
        const void* button;
        const void* menu;
        std::uint32_t closedAt, now;
        bool shown;
    };
    const Case cases[] = {
        {"same pair at once", &button, &menu, 1000, 1000, false},
        {"same pair after 99 ms", &button, &menu, 1000, 1099, false},
        {"same pair after 100 ms", &button, &menu, 1000, 1100, true},
        {"another button", &otherButton, &menu, 1000, 1010, true},
        {"another menu", &button, &otherMenu, 1000, 1010, true},
        // The tick count wraps after 49.7 days; the difference is taken unsigned.
        {"across the wrap", &button, &menu, 0xFFFFFFF0u, 0x00000010u, false},
        {"clock behind the close", &button, &menu, 1000, 990, true},
    };
    for (const Case& c : cases) {
        DropDownGate gate;
        EXPECT_TRUE(gate.ShouldShow(&button, &menu, c.closedAt)) << "nothing remembered yet";
        gate.Closed(&button, &menu, c.closedAt);
        EXPECT_EQ(gate.ShouldShow(c.button, c.menu, c.now), c.shown) << c.what;
    }
}

TEST(DropDownGate, RefusedClickIsForgottenSoTheNextOneOpens) {
    int button = 0, menu = 0;
    DropDownGate gate;
    gate.Closed(&button, &menu, 500);
    EXPECT_FALSE(gate.ShouldShow(&button, &menu, 550));
    EXPECT_TRUE(gate.ShouldShow(&button, &menu, 560));
    // Once more shown and closed: the rule applies again.
    gate.Closed(&button, &menu, 700);
    EXPECT_FALSE(gate.ShouldShow(&button, &menu, 701));
}

TEST(SiteLinks, PagesOnTheMakersHost) {
    struct Case {
        const char* site;
        const char* host;
    };
    const Case cases[] = {
        {"https://www.imbrix.example/", "www.imbrix.example"},
        {"http://www.imbrix.example", "www.imbrix.example"},
        {"www.imbrix.example/some/page?x=1", "www.imbrix.example"},
        {"https://127.0.0.1:8443/", "127.0.0.1:8443"},
        {"https://user@site.example#top", "site.example"},
    };
    for (const Case& c : cases) {
        const SiteLinks links = LinksForSite(c.site);
        const std::string host = c.host;
        EXPECT_EQ(links.host, host) << c.site;
        EXPECT_EQ(links.home, "http://" + host + "/") << c.site;
        EXPECT_EQ(links.credits, "https://" + host + "/blog/credits-and-acknowledgements/")
            << c.site;
        EXPECT_EQ(links.uninstall, "http://" + host + "/blog/how-to-uninstall-kelvane-software/")
            << c.site;
    }
    for (const char* nothing : {"", "https://", "/path/only"}) {
        const SiteLinks links = LinksForSite(nothing);
        EXPECT_TRUE(links.host.empty()) << nothing;
        EXPECT_TRUE(links.home.empty()) << nothing;
        EXPECT_TRUE(links.credits.empty()) << nothing;
    }
}
