// The list view's model: rows made on demand from the image list, the size
// column's text, and the icon cache behind the icons.
#include "imagelist/ui/imagelistmodel.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileInfo>
#include <QHeaderView>
#include <QPixmap>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <filesystem>
#include <string>
#include <vector>

#include "common/testsupport.h"

using imbrix::imagelist::FileSizeText;
using imbrix::imagelist::IconCache;
using imbrix::imagelist::ImageListModel;
using imbrix::test::corpusDir;
using imbrix::test::ScratchDir;

namespace {

// A file of `size` zero bytes (sparse, so a large one costs nothing).
void makeFileOfSize(const std::string& path, std::uintmax_t size) {
    imbrix::test::writeText(path, "");
    std::filesystem::resize_file(path, size);
}

// An icon provider that answers a plain icon for existing files and counts the
// files it was asked about.
struct CountingProvider {
    std::shared_ptr<std::vector<std::string>> asked = std::make_shared<std::vector<std::string>>();

    IconCache::Provider provider() const {
        auto log = asked;
        return [log](const std::string& path) {
            log->push_back(path);
            if (!std::filesystem::exists(path)) {
                return QIcon();
            }
            QPixmap pixmap(16, 16);
            pixmap.fill(Qt::darkCyan);
            return QIcon(pixmap);
        };
    }
};

QVariant cell(const ImageListModel& model, int row, int column, int role) {
    return model.data(model.index(row, column), role);
}

qint64 iconKey(const QVariant& decoration) {
    return decoration.value<QIcon>().cacheKey();
}

}  // namespace

TEST(FileSizeTextTest, GroupsDigitsWithTheLocalesSeparator) {
    ScratchDir dir;
    makeFileOfSize(dir.file("empty.png"), 0);
    makeFileOfSize(dir.file("big.png"), 1234567);
    makeFileOfSize(dir.file("small.png"), 999);
    std::filesystem::create_directory(dir.path() / "folder.png");
    struct Case {
        std::string path;
        QLocale locale;
        QString expected;
    };
    const std::vector<Case> cases = {
        {dir.file("empty.png"), QLocale(QLocale::English, QLocale::UnitedStates), "0"},
        {dir.file("small.png"), QLocale(QLocale::English, QLocale::UnitedStates), "999"},
        {dir.file("big.png"), QLocale(QLocale::English, QLocale::UnitedStates), "1,234,567"},
        {dir.file("big.png"), QLocale(QLocale::German, QLocale::Germany), "1.234.567"},
        // The "C" locale leaves grouping out by default; the column still groups.
        {dir.file("big.png"), QLocale::c(), "1,234,567"},
        {(corpusDir() / "photos/jpeg-variants/Bush-dog.jpg").string(),
         QLocale(QLocale::English, QLocale::UnitedStates), "69,279"},
        {dir.file("missing.png"), QLocale(QLocale::English, QLocale::UnitedStates), "-1"},
        {dir.file("folder.png"), QLocale(QLocale::English, QLocale::UnitedStates), "-1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FileSizeText(c.path, c.locale), c.expected)
            << c.path << " in " << c.locale.name().toStdString();
    }
}

TEST(ImageListModelTest, RowsShowEntriesAsStoredWithTheirSizes) {
    ScratchDir dir;
    makeFileOfSize(dir.file("a.png"), 2048);
    ImageListModel model;
    model.files().AppendImageFile(dir.file("a.png"));
    model.files().AppendImageFile("relative/not-there.jpg");  // as typed on the command line
    model.files().AppendImageFile(dir.file("a.png"));         // duplicates stand twice

    EXPECT_EQ(model.rowCount(), 0) << "rows follow the list only when synced";
    model.syncRowCount();
    ASSERT_EQ(model.rowCount(), 3);
    ASSERT_EQ(model.columnCount(), 2);
    EXPECT_EQ(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "Filename");
    EXPECT_EQ(model.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), "Size (bytes)");

    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const QString grouped = "2,048";
    struct Row {
        int row;
        QString name;
        QString size;
    };
    for (const Row& r : {Row{0, QString::fromStdString(dir.file("a.png")), grouped},
                         Row{1, "relative/not-there.jpg", "-1"},
                         Row{2, QString::fromStdString(dir.file("a.png")), grouped}}) {
        EXPECT_EQ(cell(model, r.row, 0, Qt::DisplayRole).toString(), r.name) << r.row;
        EXPECT_EQ(cell(model, r.row, 1, Qt::DisplayRole).toString(), r.size) << r.row;
    }
    EXPECT_FALSE(cell(model, 3, 0, Qt::DisplayRole).isValid());

    // The size is looked up each time the row is drawn, not cached.
    makeFileOfSize(dir.file("a.png"), 5);
    EXPECT_EQ(cell(model, 0, 1, Qt::DisplayRole).toString(), "5");
    QLocale::setDefault(before);
}

TEST(ImageListModelTest, RowCountFollowsAppendsRemovalsAndClear) {
    ImageListModel model;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    for (int i = 0; i < 5; ++i)
        model.files().AppendImageFile("/p/" + std::to_string(i) + ".png");
    model.syncRowCount();
    EXPECT_EQ(model.rowCount(), 5);
    ASSERT_EQ(inserted.count(), 1) << "one batch of appended entries is one insertion";
    EXPECT_EQ(inserted[0][1].toInt(), 0);
    EXPECT_EQ(inserted[0][2].toInt(), 4);

    model.syncRowCount();
    EXPECT_EQ(inserted.count(), 1) << "nothing new, nothing inserted";

    const std::vector<std::size_t> rows = {1, 3};
    model.files().DeleteImageFiles(rows);
    model.resetRows();
    ASSERT_EQ(model.rowCount(), 3);
    for (int row : {0, 1, 2}) {
        EXPECT_EQ(cell(model, row, 0, Qt::DisplayRole).toString(),
                  QString("/p/%1.png").arg(row * 2));
    }

    model.files().Clear();
    model.syncRowCount();  // a shorter list than shown is a reset
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(reset.count(), 2);
}

TEST(ImageListModelTest, IconsAreFetchedOncePerEntryAndOnlyWhenDisplayed) {
    ScratchDir dir;
    for (const char* name : {"a.png", "b.png"})
        makeFileOfSize(dir.file(name), 10);
    CountingProvider counting;
    ImageListModel model(counting.provider());
    model.files().AppendImageFile(dir.file("a.png"));
    model.files().AppendImageFile(dir.file("b.png"));
    model.files().AppendImageFile(dir.file("later.png"));  // does not exist yet
    model.syncRowCount();
    const qint64 blank = model.icons().at(1).cacheKey();
    ASSERT_EQ(model.icons().count(), 2) << "the cache starts with the two stock icons";

    // "Display Icons" off: every row shows the blank document, nothing is asked.
    model.setDisplayIcons(false);
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(iconKey(cell(model, row, 0, Qt::DecorationRole)), blank);
    EXPECT_TRUE(counting.asked->empty());
    for (const auto& entry : model.files())
        EXPECT_EQ(entry.FImageIndex, 0);

    // On again: each entry is asked about once, however often its row is drawn.
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.setDisplayIcons(true);
    EXPECT_EQ(changed.count(), 1) << "the rows are drawn again";
    for (int pass = 0; pass < 3; ++pass) {
        for (int row = 0; row < 3; ++row)
            cell(model, row, 0, Qt::DecorationRole);
    }
    ASSERT_EQ(counting.asked->size(), 3u);
    // Two files of one type still get a cache entry each, never 0 or 1.
    EXPECT_EQ(model.files()[0].FImageIndex, 2);
    EXPECT_EQ(model.files()[1].FImageIndex, 3);
    EXPECT_EQ(model.icons().count(), 4);
    EXPECT_NE(iconKey(cell(model, 0, 0, Qt::DecorationRole)), blank);

    // The missing file got no icon, and is not asked about again once it exists.
    EXPECT_EQ(model.files()[2].FImageIndex, -1);
    EXPECT_TRUE(cell(model, 2, 0, Qt::DecorationRole).value<QIcon>().isNull());
    makeFileOfSize(dir.file("later.png"), 10);
    EXPECT_TRUE(cell(model, 2, 0, Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_EQ(counting.asked->size(), 3u);

    // A new entry drawn after "Display Icons" was turned off and on again is asked
    // about; the others keep their cached icon.
    model.files().AppendImageFile(dir.file("a.png"));
    model.syncRowCount();
    model.setDisplayIcons(false);
    model.setDisplayIcons(true);
    for (int row = 0; row < 4; ++row)
        cell(model, row, 0, Qt::DecorationRole);
    EXPECT_EQ(counting.asked->size(), 4u);
    EXPECT_EQ(model.files()[3].FImageIndex, 4);

    // Clearing the cache leaves exactly the two stock icons.
    model.icons().ImageListSifirla();
    EXPECT_EQ(model.icons().count(), 2);
}

TEST(ImageListModelTest, DesktopIconsShowTheFileTypeAndNoneForMissingFiles) {
    // With an icon theme, each type gets the theme's picture of it; without one,
    // the platform's plain document icon.
    const QString themeBefore = QIcon::themeName();
    const QStringList pathsBefore = QIcon::themeSearchPaths();
    QIcon::setThemeSearchPaths(pathsBefore + QStringList{"/usr/share/icons"});
    struct Case {
        QString theme;
        bool typeIcons;
    };
    std::vector<Case> cases = {{"hicolor", false}};
    if (QFileInfo::exists("/usr/share/icons/breeze/index.theme"))
        cases.push_back({"breeze", true});
    // Image endings the desktop's type database does not know, and a name that is
    // not UTF-8: each gets the icon of what it is.
    ScratchDir dir;
    for (const char* name : {"photo.jfif", "photo.JFIF", "photo.wmp", "caf\xe9.png"}) {
        imbrix::test::writeText(dir.file(name), "x");
    }
    struct Row {
        std::string path;
        const char* themeIcon;  // with a theme of type icons; nullptr: no icon at all
    };
    const std::vector<Row> rows = {
        {(corpusDir() / "pngsuite/basn2c08.png").string(), "image-png"},
        {(corpusDir() / "photos/jpeg-variants/Bush-dog.jpg").string(), "image-jpeg"},
        {(corpusDir() / "tiff/misc").string(), "inode-directory"},
        {dir.file("photo.jfif"), "image-jpeg"},
        {dir.file("photo.JFIF"), "image-jpeg"},
        {dir.file("photo.wmp"), "image-x-generic"},
        {dir.file("caf\xe9.png"), "image-png"},
        {(corpusDir() / "pngsuite/no-such-file.png").string(), nullptr},
    };
    for (const Case& c : cases) {
        QIcon::setThemeName(c.theme);
        ImageListModel model;  // the desktop's own icon provider
        for (const Row& r : rows) {
            model.files().AppendImageFile(r.path);
        }
        model.syncRowCount();
        int next = 2;
        for (std::size_t row = 0; row < rows.size(); ++row) {
            const QIcon icon =
                cell(model, static_cast<int>(row), 0, Qt::DecorationRole).value<QIcon>();
            const std::string where = c.theme.toStdString() + ": " + rows[row].path;
            if (!rows[row].themeIcon) {
                EXPECT_TRUE(icon.isNull()) << where << ": a missing file has no icon";
                EXPECT_EQ(model.files()[row].FImageIndex, -1) << where;
                continue;
            }
            EXPECT_FALSE(icon.isNull()) << where;
            EXPECT_EQ(model.files()[row].FImageIndex, next++) << where;
            if (c.typeIcons) {
                EXPECT_EQ(icon.name().toStdString(), rows[row].themeIcon) << where;
            }
        }
        for (int stock : {0, 1})
            EXPECT_FALSE(model.icons().at(stock).isNull()) << stock;
    }
    QIcon::setThemeName(themeBefore);
    QIcon::setThemeSearchPaths(pathsBefore);
}

// A long list in a real view: only the rows on screen are produced.
TEST(ImageListModelTest, AViewOfAHundredThousandRowsProducesOnlyVisibleRows) {
    CountingProvider counting;
    ImageListModel model(counting.provider());
    constexpr int kRows = 100000;
    for (int i = 0; i < kRows; ++i)
        model.files().AppendImageFile("/nowhere/" + std::to_string(i) + ".png");
    model.syncRowCount();

    QTableView view;
    view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view.setModel(&model);
    view.resize(400, 300);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QApplication::processEvents();

    EXPECT_EQ(view.model()->rowCount(), kRows);
    EXPECT_FALSE(counting.asked->empty()) << "visible rows are drawn with their icons";
    EXPECT_LT(counting.asked->size(), 100u) << "rows off screen were produced";
    for (const std::string& path : *counting.asked) {
        EXPECT_EQ(path.rfind("/nowhere/", 0), 0u) << path;
    }
    EXPECT_EQ(model.files()[kRows - 1].FImageIndex, 0) << "the last row was never drawn";
}
