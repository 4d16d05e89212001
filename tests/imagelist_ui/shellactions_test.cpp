// "Properties": the request the file manager gets on the session bus. The test
// runs its own bus and plays the file manager on it.
#include "imagelist/ui/shellactions.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QObject>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>
#include <memory>
#include <string>
#include <vector>

#include "common/privatebus.h"
#include "common/testsupport.h"

namespace {

// The part of org.freedesktop.FileManager1 that "Properties" uses.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList uris;
    QString startupId;
    int calls = 0;

public slots:
    void ShowItemProperties(const QStringList& itemUris, const QString& startup) {
        uris = itemUris;
        startupId = startup;
        ++calls;
    }
};

}  // namespace

TEST(ShowFilePropertiesTest, AsksTheFileManagerForTheFilesPropertiesWithoutWaiting) {
    imbrix::test::PrivateBus bus;
    if (!bus.start())
        GTEST_SKIP() << "no dbus-daemon to run a private session bus";
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());

    // Nobody owns the file manager's name yet: the request goes nowhere, quietly.
    imbrix::imagelist::ShowFileProperties("/nowhere/picture.png");

    QDBusConnection manager = QDBusConnection::connectToBus(bus.address(), "file-manager");
    ASSERT_TRUE(manager.isConnected());
    FakeFileManager fake;
    ASSERT_TRUE(manager.registerObject("/org/freedesktop/FileManager1", &fake,
                                       QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(manager.registerService("org.freedesktop.FileManager1"));

    imbrix::test::ScratchDir dir;
    struct Case {
        std::string name;
        QString escaped;
    };
    // A file URI, the characters a URI cannot carry as they are escaped, and so are
    // the bytes of a name that is not UTF-8.
    const std::vector<Case> cases = {
        {"my photo #1 \u00e9t\u00e9.jpg", "my%20photo%20%231%20%C3%A9t%C3%A9.jpg"},
        {"caf\xe9.jpg", "caf%E9.jpg"}};
    int calls = 0;
    for (const Case& c : cases) {
        const std::string path = dir.file(c.name);
        imbrix::test::writeText(path, "x");
        imbrix::imagelist::ShowFileProperties(path);
        ++calls;
        ASSERT_TRUE(QTest::qWaitFor([&] { return fake.calls >= calls; }, 10000))
            << "no request reached the file manager";
        QTest::qWait(50);  // room for a second request that should not come
        EXPECT_EQ(fake.calls, calls);
        ASSERT_EQ(fake.uris.size(), 1);
        EXPECT_EQ(fake.uris[0],
                  "file://" + QString::fromStdString(dir.path().string()) + "/" + c.escaped);
        EXPECT_TRUE(fake.startupId.isEmpty());
    }
}

#include "shellactions_test.moc"
