// Paths between the window and the rest of the program: a file URL from the
// desktop gives the bytes of its name, and a path goes back out as a URL that
// holds those bytes exactly.
#include "imagelist/ui/localpaths.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QUrl>
#include <filesystem>
#include <string>
#include <vector>

using imbrix::imagelist::localFilePath;
using imbrix::imagelist::localFilePaths;
using imbrix::imagelist::localFileUrl;

TEST(LocalPathsTest, AFileUrlGivesTheBytesOfItsName) {
    struct Case {
        const char* url;  // as a desktop sends it
        std::string path;
    };
    const std::vector<Case> cases = {
        {"file:///tmp/caf%E9.png", "/tmp/caf\xe9.png"},         // Latin-1, not UTF-8
        {"file:///tmp/caf%C3%A9.png", "/tmp/caf\xc3\xa9.png"},  // UTF-8
        {"file:///tmp/a%20b%25c%23%3F.png", "/tmp/a b%c#?.png"},
        {"file:///d%FF%FE/x.gif", "/d\xff\xfe/x.gif"},
        {"file://server/share/x.png", "//server/share/x.png"},  // as toLocalFile() names it
    };
    for (const Case& c : cases) {
        EXPECT_EQ(localFilePath(QUrl::fromEncoded(c.url)), c.path) << c.url;
    }
    EXPECT_EQ(localFilePath(QUrl("https://example.org/x.png")), "");
    EXPECT_EQ(
        localFilePaths({QUrl::fromEncoded("file:///a%E9.png"), QUrl("https://example.org/x.png"),
                        QUrl::fromEncoded("file:///b.png")}),
        (std::vector<std::string>{"/a\xe9.png", "/b.png"}));
}

TEST(LocalPathsTest, APathGoesOutAsAUrlOfItsExactBytes) {
    const std::string here = std::filesystem::current_path().string();
    struct Case {
        std::string path;
        const char* url;  // what the desktop is handed; nullptr: only the round trip
    };
    const std::vector<Case> cases = {
        {"/tmp/caf\xe9.png", "file:///tmp/caf%E9.png"},
        {"/tmp/my photo #1 \xc3\xa9t\xc3\xa9.jpg",
         "file:///tmp/my%20photo%20%231%20%C3%A9t%C3%A9.jpg"},
        {"/d\xff/x%41.gif", "file:///d%FF/x%2541.gif"},
        {"relative/caf\xe9.png", nullptr},
    };
    for (const Case& c : cases) {
        const QUrl url = localFileUrl(c.path);
        ASSERT_TRUE(url.isValid()) << c.path;
        EXPECT_TRUE(url.isLocalFile()) << c.path;
        if (c.url) {
            EXPECT_EQ(url.toEncoded().toStdString(), c.url) << c.path;
        }
        const std::string absolute = c.path.front() == '/' ? c.path : here + "/" + c.path;
        EXPECT_EQ(localFilePath(url), absolute) << c.path;
    }
}
