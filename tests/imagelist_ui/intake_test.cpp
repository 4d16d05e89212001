// The roads into the image list: the file dialog's choice, folders, drops and the
// command line, and how a long folder walk reaches the view.
#include "imagelist/ui/intake.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QMimeData>
#include <QSignalSpy>
#include <QUrl>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/testsupport.h"
#include "imagelist/folderwalk.h"
#include "imagelist/ui/imagelistmodel.h"

using imbrix::imagelist::FileSizeText;
using imbrix::imagelist::ImageIntake;
using imbrix::imagelist::ImageListModel;
using imbrix::test::corpusDir;
using imbrix::test::ScratchDir;
namespace fs = std::filesystem;

namespace {

// Takes one road and waits until all it started has reached the list.
void takeRoad(ImageIntake& intake, const std::function<void()>& road) {
    QSignalSpy finished(&intake, &ImageIntake::finished);
    road();
    if (finished.isEmpty()) {
        ASSERT_TRUE(finished.wait(60000)) << "the intake never finished";
    }
    EXPECT_FALSE(intake.busy());
}

std::vector<std::string> entries(const ImageListModel& model) {
    std::vector<std::string> names;
    for (const auto& entry : model.files())
        names.push_back(entry.FName);
    return names;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// The PNG files of the PngSuite folder as the walk should name them, listed
// independently of the walk: `prefix` + the path below the folder.
std::vector<std::string> pngSuiteFiles(bool recursive, const std::string& prefix) {
    const fs::path root = corpusDir() / "pngsuite";
    std::vector<std::string> names;
    auto take = [&](const fs::directory_entry& entry) {
        if (entry.is_regular_file() && entry.path().extension() == ".png") {
            names.push_back(prefix + fs::relative(entry.path(), root).string());
        }
    };
    if (recursive) {
        for (const auto& entry : fs::recursive_directory_iterator(root))
            take(entry);
    } else {
        for (const auto& entry : fs::directory_iterator(root))
            take(entry);
    }
    return sorted(names);
}

// A scratch folder in memory where the system has one (/dev/shm): creating ten
// thousand files on a busy disk would take longer than the whole test.
std::unique_ptr<ScratchDir> scratchInMemory() {
    const char* shm = "/dev/shm";
    if (!fs::is_directory(shm) || ::access(shm, W_OK) != 0)
        return std::make_unique<ScratchDir>();
    const QByteArray before = qgetenv("TMPDIR");
    const bool had = qEnvironmentVariableIsSet("TMPDIR");
    qputenv("TMPDIR", shm);
    auto dir = std::make_unique<ScratchDir>();
    if (had) {
        qputenv("TMPDIR", before);
    } else {
        qunsetenv("TMPDIR");
    }
    return dir;
}

// Creates `path`, whatever bytes its name holds, through open(2).
void createFile(const std::string& path, std::string_view content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
}

struct Harness {
    ImageListModel model;
    ImageIntake intake{model};
};

}  // namespace

TEST(IntakeFoldersTest, WalksTheFolderWithOrWithoutItsSubfolders) {
    const std::string root = (corpusDir() / "pngsuite").string();
    struct Case {
        bool subfolders;
        std::string folderAsChosen;
    };
    for (const Case& c : {Case{true, root}, Case{false, root}, Case{true, root + "/"}}) {
        Harness h;
        h.intake.setIncludeSubfolders(c.subfolders);
        QSignalSpy counts(&h.intake, &ImageIntake::countChanged);
        takeRoad(h.intake, [&] { h.intake.addFolders({c.folderAsChosen}); });
        const auto expected = pngSuiteFiles(c.subfolders, root + "/");
        EXPECT_EQ(sorted(entries(h.model)), expected) << c.folderAsChosen << " " << c.subfolders;
        for (const auto& entry : h.model.files())
            EXPECT_EQ(entry.BaseFolder, c.folderAsChosen) << entry.FName;
        EXPECT_EQ(h.model.rowCount(), static_cast<int>(expected.size()));
        ASSERT_FALSE(counts.isEmpty());
        EXPECT_EQ(counts.last()[0].toInt(), static_cast<int>(expected.size()));
    }
}

TEST(IntakeFoldersTest, SeveralFoldersKeepTheirOrderAndEmptyOnesAddNothing) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "second");
    fs::create_directories(dir.path() / "empty");
    imbrix::test::writeText(dir.path() / "second" / "only.webp", "");
    const std::string suite = (corpusDir() / "pngsuite").string();

    Harness h;
    h.intake.setIncludeSubfolders(false);
    {
        QSignalSpy counts(&h.intake, &ImageIntake::countChanged);
        takeRoad(h.intake, [&] { h.intake.addFolders({dir.file("empty")}); });
        EXPECT_EQ(h.model.rowCount(), 0);
        EXPECT_TRUE(counts.isEmpty()) << "an empty folder leaves the caption alone";
    }
    takeRoad(h.intake, [&] {
        h.intake.addFolders(
            {suite, dir.file("empty"), dir.file("no-such-folder"), dir.file("second")});
    });
    const auto names = entries(h.model);
    const std::size_t suiteCount = pngSuiteFiles(false, "").size();
    ASSERT_EQ(names.size(), suiteCount + 1);
    for (std::size_t i = 0; i < suiteCount; ++i)
        EXPECT_EQ(names[i].rfind(suite + "/", 0), 0u) << names[i];
    EXPECT_EQ(names.back(), dir.file("second") + "/only.webp");
}

TEST(IntakeRoadsTest, EachRoadAddsWhatItShouldInOrder) {
    ScratchDir dir;
    fs::create_directories(dir.path() / "folder" / "sub");
    for (const char* name :
         {"folder/one.png", "folder/notes.txt", "folder/sub/two.gif", "a.JPG", "photo.jfif",
          "photo.heic", "photo.pdf", "photo.jpe", "photo", "notes.txt"}) {
        imbrix::test::writeText(dir.path() / name, "x");
    }
    const std::string folder = dir.file("folder");
    const std::vector<std::string> folderFiles = {folder + "/one.png", folder + "/sub/two.gif"};

    // What a road should add, as groups in order; a walked folder's files come in
    // name order.
    using Groups = std::vector<std::vector<std::string>>;
    struct Case {
        const char* road;
        std::function<void(ImageIntake&)> take;
        Groups expected;
    };
    const std::vector<Case> cases = {
        {"file dialog: any file, as chosen, duplicates too",
         [&](ImageIntake& intake) {
             intake.addFiles({dir.file("notes.txt"), dir.file("a.JPG"), dir.file("a.JPG")});
         },
         {{dir.file("notes.txt")}, {dir.file("a.JPG")}, {dir.file("a.JPG")}}},
        {"drop: folders walked, supported files added, the rest ignored",
         [&](ImageIntake& intake) {
             QList<QUrl> urls;
             for (const char* name : {"folder", "a.JPG", "notes.txt", "photo.heic", "photo.pdf",
                                      "photo.jpe", "photo", "photo.jfif"}) {
                 urls << QUrl::fromLocalFile(QString::fromStdString(dir.file(name)));
             }
             urls << QUrl("https://example.com/remote.png");
             intake.addDropped(urls);
         },
         {folderFiles, {dir.file("a.JPG")}, {dir.file("photo.heic")}, {dir.file("photo.jfif")}}},
        {"command line: names kept exactly as typed, existing or not",
         [&](ImageIntake& intake) {
             intake.addCommandLine({"not/there/photo.png", folder, dir.file("photo.jpe"),
                                    dir.file("photo"), "ALSO.TIFF", dir.file("photo.pdf"),
                                    "./not-there.jpeg"});
         },
         {{"not/there/photo.png"}, folderFiles, {"ALSO.TIFF"}, {"./not-there.jpeg"}}},
    };
    for (const Case& c : cases) {
        Harness h;
        takeRoad(h.intake, [&] { c.take(h.intake); });
        const auto names = entries(h.model);
        std::size_t at = 0;
        for (const auto& group : c.expected) {
            ASSERT_LE(at + group.size(), names.size()) << c.road;
            std::vector<std::string> got(names.begin() + static_cast<long>(at),
                                         names.begin() + static_cast<long>(at + group.size()));
            EXPECT_EQ(got, group) << c.road << ", entry " << at;
            at += group.size();
        }
        EXPECT_EQ(names.size(), at) << c.road;
        EXPECT_EQ(h.model.rowCount(), static_cast<int>(names.size())) << c.road;
        // A walked folder's files carry it as their base; everything else has none.
        for (const auto& entry : h.model.files()) {
            EXPECT_EQ(entry.FImageIndex, 0);
            const bool walked = std::count(folderFiles.begin(), folderFiles.end(), entry.FName);
            EXPECT_EQ(entry.BaseFolder, walked ? folder : "") << c.road << ": " << entry.FName;
        }
    }
}

// A FIFO (or a device) and a conversion's temporary file are skipped on every
// road, and nothing is opened to find out what they are: opening a FIFO would
// wait for a writer for ever (the alarm ends the test program if it does).
TEST(IntakeRoadsTest, FifosDevicesAndTemporaryFilesAreSkipped) {
    ScratchDir dir;
    const std::string fifo = dir.file("pipe.png");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string temp = dir.file(".photo.123-4.imbrix-tmp.png");
    const std::string good = dir.file("good.png");
    imbrix::test::writeText(temp, "x");
    imbrix::test::writeText(good, "x");
    const std::vector<std::string> paths = {fifo, "/dev/null", temp, good};
    ::alarm(60);
    for (int road = 0; road < 3; ++road) {
        Harness h;
        takeRoad(h.intake, [&] {
            if (road == 0) {
                h.intake.addFiles(paths);
            } else if (road == 1) {
                h.intake.addCommandLine(paths);
            } else {
                QList<QUrl> urls;
                for (const std::string& path : paths)
                    urls << QUrl::fromLocalFile(QString::fromStdString(path));
                h.intake.addDropped(urls);
            }
        });
        EXPECT_EQ(entries(h.model), std::vector<std::string>{good}) << "road " << road;
    }
    ::alarm(0);
}

// Names that are not UTF-8 (Latin-1 bytes, as older systems wrote them) enter
// the list as the very bytes the system knows them by, from the command line and
// from a drop, and the files are found by them.
TEST(IntakeRoadsTest, NamesThatAreNotUtf8KeepTheirBytes) {
    ScratchDir dir;
    const std::string file = dir.file("caf\xe9.png");
    const std::string folder = dir.file("d\xe9j\xe0");
    createFile(file, "1");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    createFile(folder + "/\xff.gif", "22");
    createFile(folder + "/ok.png", "333");
    const std::vector<std::string> expected = {file, folder + "/ok.png", folder + "/\xff.gif"};

    // A file manager's drop: a URI list with the name's bytes escaped.
    const QByteArray base =
        QUrl::fromLocalFile(QString::fromStdString(dir.path().string())).toEncoded();
    QMimeData drop;
    drop.setData("text/uri-list", base + "/caf%E9.png\r\n" + base + "/d%E9j%E0\r\n");

    struct Case {
        const char* road;
        std::function<void(ImageIntake&)> take;
    };
    const std::vector<Case> cases = {
        {"command line",
         [&](ImageIntake& intake) {
             intake.addCommandLine({file, folder});
         }},
        {"drop", [&](ImageIntake& intake) { intake.addDropped(drop.urls()); }},
    };
    for (const Case& c : cases) {
        Harness h;
        takeRoad(h.intake, [&] { c.take(h.intake); });
        EXPECT_EQ(entries(h.model), expected) << c.road;
        std::vector<QString> sizes;
        for (const auto& entry : h.model.files()) {
            sizes.push_back(FileSizeText(entry.FName));
        }
        EXPECT_EQ(sizes, (std::vector<QString>{"1", "3", "2"})) << c.road;
    }
}

TEST(IntakeRoadsTest, RoadsTakenDuringAWalkQueueBehindIt) {
    Harness h;
    const std::string suite = (corpusDir() / "pngsuite").string();
    QSignalSpy finished(&h.intake, &ImageIntake::finished);
    h.intake.addFolders({suite});
    h.intake.addFiles({"/elsewhere/chosen.txt"});
    h.intake.addCommandLine({"typed.png"});
    while (h.intake.busy())
        ASSERT_TRUE(finished.wait(60000));
    const auto names = entries(h.model);
    const std::size_t walked = pngSuiteFiles(true, "").size();
    ASSERT_EQ(names.size(), walked + 2);
    EXPECT_EQ(names[walked], "/elsewhere/chosen.txt");
    EXPECT_EQ(names[walked + 1], "typed.png");
}

// The whole corpus, walked by the window's intake, arrives in exactly the order of
// the plain walk: the worker and the batches change when entries show, not which.
TEST(IntakeFoldersTest, AWalkOnTheWorkerGivesThePlainWalksEntriesInOrder) {
    const std::string root = corpusDir().string();
    std::vector<std::string> plain;
    imbrix::imagelist::AddAllFilesInDir(
        root, [] { return true; },
        [&](const std::string& path) {
            plain.push_back(path);
            return true;
        });
    ASSERT_GT(plain.size(), 1000u);

    Harness h;
    h.intake.setRefreshInterval(1);
    takeRoad(h.intake, [&] { h.intake.addFolders({root}); });
    EXPECT_EQ(entries(h.model), plain);
}

TEST(IntakeFoldersTest, ClosingTheWindowDuringAWalkEndsItQuietly) {
    const std::string root = corpusDir().string();
    auto model = std::make_unique<ImageListModel>();
    auto intake = std::make_unique<ImageIntake>(*model);
    intake->addFolders({root, root, root});
    intake.reset();  // stops and joins the walk
    QApplication::processEvents();
    // What the walk had found dies with the intake; nothing reaches the list later.
    EXPECT_TRUE(model->files().empty());
    EXPECT_EQ(model->rowCount(), 0);
}

// A folder of many image files with nothing in them, enough that refreshing the
// view per file would show: the rows arrive in a few batches, the last one as
// soon as the walk ends, whatever the refresh interval.
TEST(IntakeLargeFolderTest, TheViewFollowsALargeWalkInBatches) {
    constexpr int kFiles = 10000;
    auto dir = scratchInMemory();
    for (int i = 0; i < kFiles; ++i) {
        imbrix::test::writeText(dir->path() / ("img" + std::to_string(i) + ".png"), "");
    }
    const std::string folder = dir->path().string();

    struct Case {
        const char* name;
        int intervalMs;  // 0: the intake's own
    };
    for (const Case& c :
         {Case{"default interval", 0}, Case{"no tick during the walk", 3600 * 1000}}) {
        Harness h;
        if (c.intervalMs > 0)
            h.intake.setRefreshInterval(c.intervalMs);
        QSignalSpy inserted(&h.model, &QAbstractItemModel::rowsInserted);
        QSignalSpy counts(&h.intake, &ImageIntake::countChanged);
        QSignalSpy finished(&h.intake, &ImageIntake::finished);

        h.intake.addFolders({folder});
        // The command returns to the window before the walk reaches the list.
        EXPECT_EQ(h.model.rowCount(), 0) << c.name;
        ASSERT_TRUE(finished.wait(60000)) << c.name;

        EXPECT_EQ(h.model.rowCount(), kFiles) << c.name;
        EXPECT_EQ(h.model.files().size(), static_cast<std::size_t>(kFiles)) << c.name;
        ASSERT_FALSE(inserted.isEmpty()) << c.name;
        EXPECT_LT(inserted.count(), kFiles / 10)
            << c.name << ": the view was refreshed file by file";
        if (c.intervalMs > 0) {
            EXPECT_EQ(inserted.count(), 1) << c.name;
        }
        // The batches follow each other without gaps, and the caption follows the rows.
        int next = 0;
        for (const auto& batch : inserted) {
            EXPECT_EQ(batch[1].toInt(), next) << c.name;
            next = batch[2].toInt() + 1;
        }
        EXPECT_EQ(next, kFiles) << c.name;
        ASSERT_EQ(counts.count(), inserted.count()) << c.name;
        EXPECT_EQ(counts.last()[0].toInt(), kFiles) << c.name;
    }
}
