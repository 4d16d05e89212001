// The main window, driven offscreen: start-up, the two pages, the format selector,
// the list commands, the menu commands, and the options kept in "settings.ini".
#include "app/appform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDBusConnection>
#include <QDialog>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QImage>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/appidentity.h"
#include "app/desktopsession.h"
#include "common/privatebus.h"
#include "common/testsupport.h"
#include "convert/ui/messagebox.h"
#include "convert/ui/resultform.h"
#include "imagelist/ui/imagelistmodel.h"
#include "imagelist/ui/intake.h"
#include "imagelist/ui/localpaths.h"
#include "settings/settings.h"

using imbrix::app::AppIdentity;
using imbrix::app::DesktopServices;
using imbrix::app::TAppForm;
using imbrix::convert::BoxIcon;
using imbrix::settings::Key;
using imbrix::settings::Store;
using imbrix::test::ScratchDir;
namespace fs = std::filesystem;

namespace {

const QStringList kAllFormats = {"PNG",  "WEBP", "JPG", "JPEG", "JFIF", "TIF",
                                 "TIFF", "GIF",  "BMP", "ICO",  "WMP",  "AVIF",
                                 "PSD",  "SVG",  "TGA", "JXL",  "JP2",  "PDF"};

QString corpusFile(const char* relative) {
    return QString::fromStdString((imbrix::test::corpusDir() / relative).string());
}

// Five real photos of the corpus, in a fixed order.
QStringList fivePhotos() {
    return {corpusFile("photos/exif-orientation/orientation_5.jpg"),
            corpusFile("photos/exif-orientation/orientation_8.jpg"),
            corpusFile("photos/exif-orientation/sample1.jpg"), corpusFile("pngsuite/basn4a16.png"),
            corpusFile("webp/gnome-backgrounds/adwaita-l.webp")};
}

struct Box {
    BoxIcon icon;
    QString caption;
    QString text;
};

// A main window over a data folder of its own, with every desktop service
// answered by the test: message boxes, the beep, opened addresses, the reset
// question, modal windows and the restart are recorded instead of shown.
class Window {
public:
    Window() : dataFolder_(dir_.path().string() + "/") {}

    // The identity the program forms from its own built executable, with the
    // data folder pointed at this test's folder.
    AppIdentity identity() const {
        AppIdentity identity =
            imbrix::app::loadIdentity((imbrix::test::binDir() / "imbrix").string());
        identity.dataFolder = dataFolder_;
        return identity;
    }

    void setDataFolder(std::string folder) { dataFolder_ = std::move(folder); }
    std::string settingsPath() const { return dataFolder_ + "settings.ini"; }
    Store stored() const { return Store::load(settingsPath()); }
    const ScratchDir& dir() const { return dir_; }
    /// "fake.png" in the test's folder, holding no picture.
    fs::path damagedFile() const {
        const fs::path fake = dir_.path() / "fake.png";
        imbrix::test::writeText(fake, "this is no picture\n");
        return fake;
    }

    TAppForm& open(std::vector<std::string> commandLine = {}) {
        DesktopServices desktop;
        desktop.message = [this](QWidget*, BoxIcon icon, const QString& caption,
                                 const QString& text) {
            boxes.push_back({icon, caption, text});
            if (duringBox)
                duringBox();
        };
        desktop.errorBox = [this](QWidget*, const QString& text, const QString&) {
            boxes.push_back({BoxIcon::Error, QStringLiteral("ERROR"), text});
            if (duringBox)
                duringBox();
            return tickErrors;
        };
        desktop.session = [this](QObject* owner) {
            // No desktop to talk to unless the test brings its own bus.
            return busName.isEmpty()
                       ? new imbrix::app::DesktopSession(QDBusConnection(QStringLiteral("none")),
                                                         owner)
                       : new imbrix::app::DesktopSession(QDBusConnection(busName), owner);
        };
        desktop.beep = [this] { ++beeps; };
        desktop.openUrl = [this](const QUrl& url) { opened.push_back(url); };
        desktop.showProperties = [this](const std::string& path) { properties.push_back(path); };
        desktop.confirm = [this](QWidget*, const QString& message, const QString& title,
                                 const QStringList& captions) {
            questions.push_back(QStringList{message, title} + captions);
            return answerYes;
        };
        desktop.showModal = [this](QDialog& dialog) {
            modal.push_back(QString::fromLatin1(dialog.metaObject()->className()));
            EXPECT_EQ(dialog.parentWidget(), form.get());
        };
        desktop.restart = [this] { ++restarts; };
        desktop.showResult = [this](imbrix::convert::TFormResult& result) {
            results.push_back({result.Label4->text(), result.Label5->text(), result.Label3->text(),
                               result.Label6->text(),
                               result.LabelStopped->isVisibleTo(&result)
                                   ? result.LabelStopped->text()
                                   : QString()});
            if (duringResult)
                duringResult();
        };
        form.reset();
        form = std::make_unique<TAppForm>(identity(), std::move(commandLine), std::move(desktop));
        // The update check's timer runs, but a test never lets it reach the service.
        EXPECT_TRUE(form->TimerChecker->isActive());
        form->TimerChecker->stop();
        return *form;
    }

    std::vector<Box> boxes;
    bool tickErrors = false;             // "Don't show further errors in this run"
    QString busName;                     // a connection to a test's own session bus
    std::function<void()> duringBox;     // what the test does while a box is up
    std::function<void()> duringResult;  // and while the result window is
    int beeps = 0;
    std::vector<QUrl> opened;
    std::vector<std::string> properties;
    bool answerYes = false;
    std::vector<QStringList> questions;
    std::vector<QString> modal;
    int restarts = 0;
    // The result window's four texts and its stop line (empty when none), per run.
    std::vector<QStringList> results;
    std::unique_ptr<TAppForm> form;

private:
    ScratchDir dir_;
    std::string dataFolder_;
};

// Picks `format` in the format selector as a user does.
void choose(TAppForm& form, const QString& format) {
    int index = form.ComboBoxType->findText(format);
    ASSERT_GE(index, 0) << format.toStdString();
    form.ComboBoxType->setCurrentIndex(index);
    emit form.ComboBoxType->activated(index);
}

bool qualityShown(const TAppForm& form) {
    bool shown = !form.SpinEdit1->isHidden();
    EXPECT_EQ(!form.Label2->isHidden(), shown);
    EXPECT_EQ(!form.Label3->isHidden(), shown);
    return shown;
}

QString tabCaption(const TAppForm& form) {
    return form.PageControl1->tabText(0);
}

void addAndWait(TAppForm& form, const QStringList& files) {
    form.intake().addFiles(imbrix::imagelist::nativePaths(files));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form.intake().busy(); }, 5000));
    form.intake().refresh();
}

std::vector<std::string> listed(TAppForm& form) {
    std::vector<std::string> names;
    for (const auto& entry : form.imageList().files())
        names.push_back(entry.FName);
    return names;
}

// --- Start-up -------------------------------------------------------------------

TEST(AppFormStartup, OpensOnAnEmptyImagesPageWithEveryDefault) {
    Window w;
    TAppForm& form = w.open();

    EXPECT_EQ(form.windowTitle(), "KELVANE - Imbrix");
    EXPECT_EQ(form.identity().versionText, "2.3");  // from the built program's version block
    EXPECT_EQ(form.PageControl1->currentIndex(), 0);
    EXPECT_EQ(form.PageControl1->count(), 2);
    EXPECT_EQ(tabCaption(form), "Images [0]");
    EXPECT_EQ(form.PageControl1->tabText(1), "Options");
    EXPECT_EQ(form.imageList().rowCount(), 0);

    QStringList formats;
    for (int i = 0; i < form.ComboBoxType->count(); ++i)
        formats << form.ComboBoxType->itemText(i);
    EXPECT_EQ(formats, kAllFormats);
    EXPECT_EQ(form.ComboBoxType->currentText(), "PNG");
    EXPECT_FALSE(form.ComboBoxType->isEditable());
    EXPECT_EQ(form.SpinEdit1->minimum(), 1);
    EXPECT_EQ(form.SpinEdit1->maximum(), 100);
    EXPECT_EQ(form.SpinEdit1->value(), 100);
    EXPECT_FALSE(form.CheckBoxGrayscale->isChecked());
    EXPECT_TRUE(form.ComboBoxDestination->isEditable());
    EXPECT_EQ(form.ComboBoxDestination->currentText(), "Same Folder as Original");
    EXPECT_TRUE(form.DisplayIcons1->isChecked());
    EXPECT_TRUE(form.IncludeSubfolders1->isChecked());
    EXPECT_TRUE(form.RememberSettings1->isChecked());
    EXPECT_TRUE(form.UpdateNotifications1->isChecked());
    EXPECT_FALSE(form.UpdateNotifications1->isEnabled());
    EXPECT_TRUE(form.MemoCMD->isHidden());
    EXPECT_EQ(form.TimerChecker->interval(), 1000);

    // Nothing is written until an option changes or "Options" is opened.
    EXPECT_FALSE(fs::exists(w.settingsPath()));
    EXPECT_TRUE(w.boxes.empty());
}

TEST(AppFormStartup, TakesCommandLinePathsOnlyOnceTheWindowIsShown) {
    Window w;
    const QStringList photos = fivePhotos();
    TAppForm& form =
        w.open({photos[0].toStdString(), "/no/such/notes.txt", photos[3].toStdString()});

    // The paths are taken by a timer started when the window is shown: the event
    // loop turns, but nothing is taken while the window is not on screen.
    QCoreApplication::processEvents();
    EXPECT_FALSE(form.TimerParam->isActive());
    EXPECT_EQ(form.imageList().rowCount(), 0);
    EXPECT_EQ(tabCaption(form), "Images [0]");

    form.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.imageList().rowCount() == 2; }, 5000));
    EXPECT_EQ(listed(form),
              (std::vector<std::string>{photos[0].toStdString(), photos[3].toStdString()}));
    EXPECT_EQ(tabCaption(form), "Images [2]");
    EXPECT_FALSE(form.TimerParam->isActive());

    // Showing the window again does not take the paths a second time.
    form.hide();
    form.show();
    EXPECT_FALSE(form.TimerParam->isActive());
    QCoreApplication::processEvents();
    EXPECT_FALSE(form.intake().busy());
    EXPECT_EQ(form.imageList().rowCount(), 2);
}

// --- Pages and the format selector ------------------------------------------------

TEST(AppFormPages, NextNeedsImagesAndBackReturns) {
    Window w;
    TAppForm& form = w.open();

    form.ButtonNext->click();
    EXPECT_EQ(w.beeps, 1);
    EXPECT_EQ(form.PageControl1->currentIndex(), 0);
    EXPECT_FALSE(fs::exists(w.settingsPath()));

    addAndWait(form, {fivePhotos()[0]});
    form.ButtonNext->click();
    EXPECT_EQ(w.beeps, 1);
    EXPECT_EQ(form.PageControl1->currentIndex(), 1);
    // Opening "Options" stores the format even though nothing was changed.
    EXPECT_EQ(w.stored().value(Key::OutputFormat), "PNG");

    form.ButtonBack->click();
    EXPECT_EQ(form.PageControl1->currentIndex(), 0);
}

TEST(AppFormPages, QualityIsShownOnlyForFormatsThatTakeOne) {
    const QStringList withQuality = {"WEBP", "JPG", "JPEG", "JFIF", "AVIF"};
    Window w;
    TAppForm& form = w.open();
    form.PageControl1->setCurrentIndex(1);
    EXPECT_FALSE(qualityShown(form));  // PNG

    for (const QString& format : kAllFormats) {
        SCOPED_TRACE(format.toStdString());
        choose(form, format);
        EXPECT_EQ(qualityShown(form), withQuality.contains(format));
        EXPECT_EQ(w.stored().value(Key::OutputFormat), format.toStdString());
    }
}

TEST(AppFormPages, HidingTheQualityMovesNoOtherControl) {
    Window w;
    TAppForm& form = w.open();
    form.show();
    form.PageControl1->setCurrentIndex(1);
    choose(form, "WEBP");
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    // Where the controls below the quality row are, in the page's coordinates.
    auto places = [&form] {
        QCoreApplication::processEvents();
        std::vector<std::array<int, 4>> rects;
        for (QWidget* control :
             {static_cast<QWidget*>(form.CheckBoxGrayscale), static_cast<QWidget*>(form.Label5),
              static_cast<QWidget*>(form.ComboBoxDestination),
              static_cast<QWidget*>(form.ButtonBrowse)}) {
            const QPoint at = control->mapTo(form.TabSheet2, QPoint(0, 0));
            rects.push_back({at.x(), at.y(), control->width(), control->height()});
        }
        return rects;
    };
    const auto withQuality = places();
    for (const QString format : {"PNG", "JPG", "PDF", "AVIF"}) {
        SCOPED_TRACE(format.toStdString());
        choose(form, format);
        EXPECT_EQ(places(), withQuality);
    }
}

TEST(AppFormPages, ARememberedFormatSetsTheQualityControlsWhenOptionsOpens) {
    struct Case {
        const char* format;
        bool byNext;  // otherwise by the page's tab
        bool qualityShown;
    };
    const Case cases[] = {
        {"WEBP", true, true}, {"WEBP", false, true}, {"GIF", true, false}, {"GIF", false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format) + (c.byNext ? " by Next" : " by tab"));
        Window w;
        imbrix::test::writeText(w.settingsPath(),
                                std::string("[Settings]\nOutputFormat=") + c.format + "\n");
        TAppForm& form = w.open();
        EXPECT_EQ(form.ComboBoxType->currentText(), c.format);

        if (c.byNext) {
            addAndWait(form, {fivePhotos()[2]});
            form.ButtonNext->click();
        } else {
            form.PageControl1->setCurrentIndex(1);
        }
        EXPECT_EQ(form.PageControl1->currentIndex(), 1);
        EXPECT_EQ(qualityShown(form), c.qualityShown);
    }
}

// --- List commands on the main window ------------------------------------------

TEST(AppFormList, DeleteRemovesTheSelectedRowsAndTheCaptionFollows) {
    Window w;
    TAppForm& form = w.open();
    const QStringList photos = fivePhotos();
    addAndWait(form, photos);
    EXPECT_EQ(tabCaption(form), "Images [5]");

    // Rows 1 and 3 of five (counting from one).
    auto* selection = form.ListView1->selectionModel();
    selection->select(form.imageList().index(0, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selection->select(form.imageList().index(2, 0),
                      QItemSelectionModel::Select | QItemSelectionModel::Rows);
    form.ButtonDelete->click();
    EXPECT_EQ(listed(form),
              (std::vector<std::string>{photos[1].toStdString(), photos[3].toStdString(),
                                        photos[4].toStdString()}));
    EXPECT_EQ(form.imageList().rowCount(), 3);
    EXPECT_EQ(tabCaption(form), "Images [3]");

    form.Clear1->trigger();
    EXPECT_EQ(form.imageList().rowCount(), 0);
    EXPECT_EQ(tabCaption(form), "Images [0]");
}

TEST(AppFormList, ADropTakesFoldersAndImagesAndShowsTheImagesPage) {
    Window w;
    TAppForm& form = w.open();
    const fs::path folder = w.dir().path() / "dropped";
    fs::create_directories(folder / "sub");
    fs::copy_file(imbrix::test::corpusDir() / "pngsuite/basn4a16.png", folder / "a.png");
    fs::copy_file(imbrix::test::corpusDir() / "photos/exif-orientation/sample1.jpg",
                  folder / "sub/b.jpg");
    imbrix::test::writeText(folder / "notes.txt", "not an image\n");
    const QString single = fivePhotos()[4];
    form.PageControl1->setCurrentIndex(1);

    QMimeData mime;
    mime.setUrls(
        {QUrl::fromLocalFile(QString::fromStdString(folder.string())),
         QUrl::fromLocalFile(QString::fromStdString((w.dir().path() / "readme.txt").string())),
         QUrl(QStringLiteral("https://example.org/remote.png")), QUrl::fromLocalFile(single)});
    // As the desktop delivers a drop on the list: the drag enters, then it is dropped.
    QDragEnterEvent enter(QPoint(40, 120), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form.ListView1->viewport(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(40, 120), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QSignalSpy taken(&form.intake(), &imbrix::imagelist::ImageIntake::finished);
    QApplication::sendEvent(form.ListView1->viewport(), &drop);
    ASSERT_TRUE(!taken.isEmpty() || taken.wait(5000));

    EXPECT_EQ(form.PageControl1->currentIndex(), 0);
    std::vector<std::string> names = listed(form);
    ASSERT_EQ(names.size(), 3u);
    // The folder's two images (the subfolder's too), in the walk's order, then the file.
    std::vector<std::string> walked(names.begin(), names.begin() + 2);
    std::sort(walked.begin(), walked.end());
    EXPECT_EQ(walked, (std::vector<std::string>{(folder / "a.png").string(),
                                                (folder / "sub/b.jpg").string()}));
    EXPECT_EQ(names[2], single.toStdString());
    EXPECT_EQ(tabCaption(form), "Images [3]");
}

// A drop over a text box of "Options" is a drop on the window: the files join the
// list, and the box keeps its text and its stored value.
TEST(AppFormList, ADropOnAnOptionsBoxAddsToTheListAndLeavesTheBoxAlone) {
    const QString photo = fivePhotos()[0];
    for (const bool onDestination : {true, false}) {
        SCOPED_TRACE(onDestination ? "destination box" : "quality box");
        Window w;
        TAppForm& form = w.open();
        form.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
        form.PageControl1->setCurrentIndex(1);
        choose(form, "WEBP");  // so the quality box is shown
        QWidget* box = onDestination ? static_cast<QWidget*>(form.ComboBoxDestination)
                                     : static_cast<QWidget*>(form.SpinEdit1);
        auto boxText = [&] {
            return onDestination ? form.ComboBoxDestination->currentText() : form.SpinEdit1->text();
        };
        const QString textBefore = boxText();
        const auto settingsBefore = imbrix::test::readBytes(w.settingsPath());

        // The desktop hands the drop to the control under the pointer.
        const QPoint centre = box->mapTo(&form, box->rect().center());
        QWidget* under = form.childAt(centre);
        ASSERT_TRUE(under == box || box->isAncestorOf(under));
        const QPoint at = under->mapFrom(&form, centre);
        // As a file manager offers it: the URI list, and the same as plain text.
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(photo)});
        mime.setText(QUrl::fromLocalFile(photo).toString());
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(under, &enter);
        ASSERT_TRUE(enter.isAccepted());
        QDragMoveEvent move(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(under, &move);
        QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QSignalSpy taken(&form.intake(), &imbrix::imagelist::ImageIntake::finished);
        QApplication::sendEvent(under, &drop);
        ASSERT_TRUE(!taken.isEmpty() || taken.wait(5000));

        EXPECT_EQ(listed(form), (std::vector<std::string>{photo.toStdString()}));
        EXPECT_EQ(tabCaption(form), "Images [1]");
        EXPECT_EQ(form.PageControl1->currentIndex(), 0);
        EXPECT_EQ(boxText(), textBefore);
        EXPECT_EQ(imbrix::test::readBytes(w.settingsPath()), settingsBefore);
    }
}

// A name that is not UTF-8 (Latin-1, as older systems wrote it) keeps its bytes
// from the command line and from a drop, in the size column, on its way to the
// desktop, and through a run.
TEST(AppFormList, ANameThatIsNotUtf8KeepsItsBytesFromIntakeToOutput) {
    Window w;
    const fs::path source = imbrix::test::corpusDir() / "photos/jpeg-variants/Bush-dog.jpg";
    const std::string photo = w.dir().file("caf\xe9.jpg");
    const std::vector<std::uint8_t> bytes = imbrix::test::readBytes(source);
    {
        const int fd = ::open(photo.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    }
    TAppForm& form = w.open({photo});
    form.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.imageList().rowCount() == 1; }, 5000));

    // The same file dropped from a file manager: its URI carries the byte escaped.
    const QByteArray folderUri =
        QUrl::fromLocalFile(QString::fromStdString(w.dir().path().string())).toEncoded();
    QMimeData mime;
    mime.setData("text/uri-list", folderUri + "/caf%E9.jpg\r\n");
    QDragEnterEvent enter(QPoint(40, 120), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form.ListView1->viewport(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(40, 120), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form.ListView1->viewport(), &drop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.imageList().rowCount() == 2; }, 5000));

    EXPECT_EQ(listed(form), (std::vector<std::string>{photo, photo}));
    const QModelIndex size = form.imageList().index(1, 1);
    EXPECT_EQ(size.data().toString().remove(QRegularExpression("[^0-9]")).toULongLong(),
              bytes.size());

    form.ListView1->selectionModel()->select(
        form.imageList().index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    form.Open1->trigger();
    form.Properties1->trigger();
    ASSERT_EQ(w.opened.size(), 1u);
    EXPECT_EQ(w.opened[0].toEncoded(), folderUri + "/caf%E9.jpg");
    EXPECT_EQ(w.properties, (std::vector<std::string>{photo}));

    // Both entries convert, each under a name of the same bytes, and Qt's own
    // reader sees the photo in them.
    const fs::path out = w.dir().path() / "out";
    fs::create_directory(out);
    form.ButtonNext->click();
    choose(form, "PNG");
    form.ComboBoxDestination->setEditText(QString::fromStdString(out.string()));
    form.ButtonProcess->click();
    EXPECT_TRUE(w.boxes.empty()) << w.boxes.front().text.toStdString();
    ASSERT_EQ(w.results.size(), 1u);
    const QImage original = QImage::fromData(QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                                        static_cast<qsizetype>(bytes.size())));
    ASSERT_FALSE(original.isNull());
    for (const char* name : {"caf\xe9.png", "caf\xe9 (2).png"}) {
        SCOPED_TRACE(name);
        const auto png = imbrix::test::readBytes(out / name);
        const QImage converted =
            QImage::fromData(QByteArray(reinterpret_cast<const char*>(png.data()),
                                        static_cast<qsizetype>(png.size())),
                             "PNG");
        ASSERT_FALSE(converted.isNull());
        EXPECT_EQ(converted.size(), original.size());
        for (const QPoint p : {QPoint(0, 0), QPoint(original.width() - 1, 0),
                               QPoint(original.width() / 3, original.height() - 1)}) {
            const QColor a = original.pixelColor(p);
            const QColor b = converted.pixelColor(p);
            EXPECT_LE(std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
                          std::abs(a.blue() - b.blue()),
                      12)
                << p.x() << "," << p.y();
        }
    }
}

// Where ink differs from the background in `area` of `image`: the leftmost and
// rightmost columns, or {-1, -1} when there is none. The background is the
// colour at the area's right end, which the texts tested here never reach.
std::pair<int, int> inkColumns(const QImage& image, const QRect& area) {
    int left = -1;
    int right = -1;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const QColor background = image.pixelColor(area.right(), y);
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const int difference = std::abs(c.red() - background.red()) +
                                   std::abs(c.green() - background.green()) +
                                   std::abs(c.blue() - background.blue());
            if (difference > 90) {
                if (left < 0 || x < left) {
                    left = x;
                }
                right = std::max(right, x);
            }
        }
    }
    return {left, right};
}

// The "Filename" heading stands at the left like the names below it, "Size
// (bytes)" in the middle of its column; a name whose file has no icon starts
// where the names with one do.
TEST(AppFormList, HeadingsSitLikeTheirColumnsAndNamesLineUpWithOrWithoutIcon) {
    Window w;
    TAppForm& form = w.open();
    form.resize(900, 500);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));

    // The same path twice: first while it does not exist (its row is drawn
    // without an icon, and stays so), then once it does.
    const std::string path = w.dir().file("late.png");
    addAndWait(form, {QString::fromStdString(path)});
    form.ListView1->viewport()->grab();
    ASSERT_EQ(form.imageList().files()[0].FImageIndex, -1);
    fs::copy_file(imbrix::test::corpusDir() / "pngsuite/basn2c08.png", path);
    addAndWait(form, {QString::fromStdString(path)});
    const QImage rows = form.ListView1->viewport()->grab().toImage();
    ASSERT_GE(form.imageList().files()[1].FImageIndex, 2);

    const qreal scale = rows.devicePixelRatio();
    auto inner = [scale](QRect cell) {
        cell.adjust(3, 2, -3, -2);  // off the grid lines
        return QRect(cell.topLeft() * scale, cell.size() * scale);
    };
    const auto without =
        inkColumns(rows, inner(form.ListView1->visualRect(form.imageList().index(0, 0))));
    const auto with =
        inkColumns(rows, inner(form.ListView1->visualRect(form.imageList().index(1, 0))));
    ASSERT_GE(without.first, 0);
    ASSERT_GE(with.first, 0);
    EXPECT_LT(with.first, without.first) << "the icon is drawn left of the name";
    EXPECT_EQ(with.second, without.second) << "the two names end at different places";

    QHeaderView* header = form.ListView1->horizontalHeader();
    const QImage heading = header->grab().toImage();
    auto section = [&](int index) {
        return inner(QRect(header->sectionViewportPosition(index), 0, header->sectionSize(index),
                           header->height()));
    };
    const auto name = inkColumns(heading, section(0));
    const auto size = inkColumns(heading, section(1));
    ASSERT_GE(name.first, 0);
    ASSERT_GE(size.first, 0);
    EXPECT_LT(name.first - section(0).left(), 12 * scale) << "\"Filename\" is not at the left";
    EXPECT_LE(std::abs((size.first - section(1).left()) - (section(1).right() - size.second)),
              3 * scale)
        << "\"Size (bytes)\" is not centred";
}

// --- The run from the window -------------------------------------------------------

TEST(AppFormRun, ProcessConvertsTheListReportsTheFailedFileAndShowsTheResult) {
    Window w;
    TAppForm& form = w.open();
    const fs::path out = w.dir().path() / "out";
    fs::create_directory(out);
    const fs::path fake = w.damagedFile();
    const QString photo = corpusFile("photos/exif-orientation/sample1.jpg");
    addAndWait(form, {photo, QString::fromStdString(fake.string())});

    form.ButtonNext->click();
    choose(form, "WEBP");
    form.SpinEdit1->setValue(80);
    form.ComboBoxDestination->setEditText(QString::fromStdString(out.string()));
    form.ButtonProcess->click();

    ASSERT_EQ(w.boxes.size(), 1u);
    EXPECT_EQ(w.boxes[0].icon, BoxIcon::Error);
    EXPECT_EQ(w.boxes[0].caption, "ERROR");
    EXPECT_FALSE(w.boxes[0].text.isEmpty());

    ASSERT_EQ(w.results.size(), 1u);
    EXPECT_EQ(w.results[0][0], "2");  // both entries count, the failed one too
    EXPECT_TRUE(w.results[0][1].endsWith("seconds")) << w.results[0][1].toStdString();
    const auto bytes = imbrix::test::readBytes(out / "sample1.webp");
    ASSERT_GT(bytes.size(), 12u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 12), "WEBP");
    EXPECT_FALSE(fs::exists(out / "fake.webp"));
    EXPECT_EQ(form.imageList().rowCount(), 2);  // the list stays for another run
}

// While a run goes on (here: while its error box and its result window are up)
// the list stays as the run found it and the update check's timer is held; what
// a road brought meanwhile joins the list afterwards, and the timer goes on.
TEST(AppFormRun, TheListAndTheUpdateTimerAreHeldDuringTheRun) {
    Window w;
    TAppForm& form = w.open();
    form.TimerChecker->start();
    const fs::path out = w.dir().path() / "out";
    fs::create_directory(out);
    const fs::path fake = w.damagedFile();
    const fs::path folder = w.dir().path() / "later";
    fs::create_directory(folder);
    fs::copy_file(imbrix::test::corpusDir() / "pngsuite/basn4a16.png", folder / "a.png");
    const QStringList photos = fivePhotos();
    addAndWait(form, {QString::fromStdString(fake.string()), photos[2]});

    struct Seen {
        int rows;
        QString caption;
        bool timerActive;
        bool held;
    };
    std::vector<Seen> seen;
    auto look = [&] {
        seen.push_back({form.imageList().rowCount(), tabCaption(form),
                        form.TimerChecker->isActive(), form.intake().held()});
    };
    w.duringBox = [&] {
        look();
        // A file and a folder arrive mid-run, as a command line or a drop would bring them.
        form.intake().addFiles({photos[0].toStdString()});
        form.intake().addFolders({folder.string()});
        look();
    };
    w.duringResult = look;
    form.ComboBoxDestination->setEditText(QString::fromStdString(out.string()));
    QSignalSpy taken(&form.intake(), &imbrix::imagelist::ImageIntake::finished);
    form.ButtonProcess->click();

    ASSERT_EQ(w.boxes.size(), 1u);
    ASSERT_EQ(w.results.size(), 1u);
    EXPECT_EQ(w.results[0][0], "2");
    ASSERT_EQ(seen.size(), 3u);
    for (const Seen& s : seen) {
        EXPECT_EQ(s.rows, 2);
        EXPECT_EQ(s.caption, "Images [2]");
        EXPECT_FALSE(s.timerActive);
        EXPECT_TRUE(s.held);
    }
    EXPECT_TRUE(form.TimerChecker->isActive());
    form.TimerChecker->stop();  // the test never lets the check reach the service
    EXPECT_FALSE(form.intake().held());
    ASSERT_TRUE(!taken.isEmpty() || taken.wait(5000));
    EXPECT_EQ(listed(form),
              (std::vector<std::string>{fake.string(), photos[2].toStdString(),
                                        photos[0].toStdString(), (folder / "a.png").string()}));
    EXPECT_EQ(tabCaption(form), "Images [4]");
}

// During a run the Process button reads "Stop" and the status bar shows the
// progress; the button stops the run after the file on show, and the window
// comes back as it was.
TEST(AppFormRun, TheProcessButtonStopsTheRunAndTheWindowComesBack) {
    Window w;
    TAppForm& form = w.open();
    form.show();
    const fs::path out = w.dir().path() / "out";
    fs::create_directory(out);
    const fs::path fake = w.damagedFile();
    const QStringList photos = fivePhotos();
    addAndWait(form, {QString::fromStdString(fake.string()), photos[0], photos[1], photos[2]});
    form.ButtonNext->click();
    choose(form, "WEBP");
    form.ComboBoxDestination->setEditText(QString::fromStdString(out.string()));
    EXPECT_FALSE(form.ProgressBar1->isVisible());
    EXPECT_FALSE(form.running());

    QString during, status;
    bool progressShown = false;
    int maximum = 0;
    w.duringBox = [&] {
        during = form.ButtonProcess->text();
        status = form.StatusBar1->currentMessage();
        progressShown = form.ProgressBar1->isVisible();
        maximum = form.ProgressBar1->maximum();
        QTest::mouseClick(form.ButtonProcess, Qt::LeftButton);
        // Once asked, the stop cannot be asked again.
        EXPECT_FALSE(form.ButtonProcess->isEnabled());
    };
    form.ButtonProcess->click();

    EXPECT_EQ(during, "Stop");
    // The file's name stays whole; a path too long for the room left of the
    // progress loses its middle.
    EXPECT_TRUE(status.startsWith("Converting ")) << status.toStdString();
    EXPECT_TRUE(status.endsWith("/fake.png...")) << status.toStdString();
    const QString full = QString::fromStdString("Converting " + fake.string() + "...");
    EXPECT_TRUE(status == full || status.contains(QChar(0x2026))) << status.toStdString();
    EXPECT_LE(form.StatusBar1->fontMetrics().horizontalAdvance(status),
              form.ProgressBar1->x() - form.StatusBar1->contentsRect().x());
    EXPECT_TRUE(progressShown);
    EXPECT_EQ(maximum, 4);
    ASSERT_EQ(w.results.size(), 1u);
    EXPECT_EQ(w.results[0][0], "1");
    EXPECT_EQ(w.results[0][4], "The run was stopped after 1 of 4 files.");
    EXPECT_TRUE(fs::is_empty(out)) << "a file after the stop was written";
    EXPECT_EQ(form.ButtonProcess->text(), "Process");
    EXPECT_TRUE(form.ButtonProcess->isEnabled());
    EXPECT_FALSE(form.ProgressBar1->isVisible());
    EXPECT_FALSE(form.LabelTimeLeft->isVisible());
    EXPECT_FALSE(form.running());

    // The next run goes to the end.
    w.duringBox = nullptr;
    form.ButtonProcess->click();
    ASSERT_EQ(w.results.size(), 2u);
    EXPECT_EQ(w.results[1][0], "4");
    EXPECT_EQ(w.results[1][4], "");
    EXPECT_EQ(w.boxes.size(), 2u);
}

// The closing question during a run: "No" goes on, "Yes" stops the run and the
// window closes without a result window.
TEST(AppFormRun, ClosingDuringARunAsksWhetherToStopIt) {
    for (bool yes : {false, true}) {
        SCOPED_TRACE(yes);
        Window w;
        TAppForm& form = w.open();
        form.show();
        const fs::path out = w.dir().path() / "out";
        fs::create_directory(out);
        const fs::path fake = w.damagedFile();
        addAndWait(form, {QString::fromStdString(fake.string()), fivePhotos()[2]});
        form.ComboBoxDestination->setEditText(QString::fromStdString(out.string()));
        w.answerYes = yes;
        w.duringBox = [&] { form.close(); };
        form.ButtonProcess->click();
        ASSERT_EQ(w.questions.size(), 1u);
        EXPECT_EQ(w.questions[0],
                  (QStringList{"A conversion is running. Stop it?", "Confirmation", "Yes", "No"}));
        if (yes) {
            EXPECT_TRUE(w.results.empty());
            QTRY_VERIFY(!form.isVisible());
            EXPECT_TRUE(fs::is_empty(out));
        } else {
            ASSERT_EQ(w.results.size(), 1u);
            EXPECT_EQ(w.results[0][0], "2");
            EXPECT_TRUE(form.isVisible());
        }
    }
}

// Once "Don't show further errors in this run" is ticked, the run's later
// failures come in no box of the window's.
TEST(AppFormRun, TickingTheErrorBoxesCheckBoxKeepsTheRestQuiet) {
    Window w;
    TAppForm& form = w.open();
    const fs::path out = w.dir().path() / "out";
    fs::create_directory(out);
    QStringList files;
    for (const char* name : {"a.png", "b.png", "c.png", "d.png"}) {
        imbrix::test::writeText(w.dir().path() / name, "this is no picture\n");
        files.push_back(QString::fromStdString((w.dir().path() / name).string()));
    }
    addAndWait(form, files);
    form.ComboBoxDestination->setEditText(QString::fromStdString(out.string()));
    w.tickErrors = true;
    form.ButtonProcess->click();
    EXPECT_EQ(w.boxes.size(), 1u);
    ASSERT_EQ(w.results.size(), 1u);
    // The next run asks again.
    w.tickErrors = false;
    form.ButtonProcess->click();
    EXPECT_EQ(w.boxes.size(), 5u);
}

// The desktop, played on a bus of the test's own: the launcher entry follows the
// run and hides at its end; a run that ends while the window is not the active
// one is told in a notification.
class LauncherDock : public QObject {
    Q_OBJECT
public:
    std::vector<QVariantMap> updates;
public slots:
    void onUpdate(const QString& appUri, const QVariantMap& properties) {
        if (appUri == QLatin1String("application://imbrix.desktop"))
            updates.push_back(properties);
    }
};

class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    std::vector<QStringList> shown;  // summary, body
public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int) {
        shown.push_back({summary, body});
        return 7;
    }
};

TEST(AppFormRun, TheLauncherFollowsTheRunAndANotificationTellsItsEnd) {
    imbrix::test::PrivateBus bus;
    if (!bus.start())
        GTEST_SKIP() << "no dbus-daemon to run a private session bus";
    QDBusConnection desktop = QDBusConnection::connectToBus(bus.address(), "appform-desktop");
    QDBusConnection program = QDBusConnection::connectToBus(bus.address(), "appform-program");
    ASSERT_TRUE(desktop.isConnected());
    LauncherDock dock;
    ASSERT_TRUE(desktop.connect(QString(), QString(), "com.canonical.Unity.LauncherEntry", "Update",
                                &dock, SLOT(onUpdate(QString, QVariantMap))));
    NotificationServer server;
    ASSERT_TRUE(desktop.registerObject("/org/freedesktop/Notifications", &server,
                                       QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(desktop.registerService("org.freedesktop.Notifications"));
    {
        Window w;
        w.busName = "appform-program";
        TAppForm& form = w.open();
        const fs::path out = w.dir().path() / "out";
        fs::create_directory(out);
        const fs::path fake = w.damagedFile();
        const QStringList photos = fivePhotos();
        addAndWait(form, {photos[2], QString::fromStdString(fake.string()), photos[3]});
        form.ComboBoxDestination->setEditText(QString::fromStdString(out.string()));
        ASSERT_FALSE(form.isActiveWindow());
        form.ButtonProcess->click();
        ASSERT_EQ(w.results.size(), 1u);

        QTRY_VERIFY_WITH_TIMEOUT(
            !dock.updates.empty() && !dock.updates.back().value("progress-visible").toBool(),
            10000);
        std::vector<double> shown;
        for (const QVariantMap& update : dock.updates) {
            if (update.value("progress-visible").toBool())
                shown.push_back(update.value("progress").toDouble());
        }
        ASSERT_FALSE(shown.empty());
        EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
        EXPECT_DOUBLE_EQ(shown.back(), 1.0);
        QTRY_COMPARE_WITH_TIMEOUT(server.shown.size(), std::size_t{1}, 10000);
        EXPECT_EQ(server.shown[0],
                  (QStringList{"Conversion finished", "Converted Files: 2\nFailed Files: 1"}));
    }
    QDBusConnection::disconnectFromBus("appform-program");
    QDBusConnection::disconnectFromBus("appform-desktop");
}

// Answers the next folder picker: notes its title and starting folder, then
// chooses `folder` (or cancels when it is empty).
struct PickerAnswer {
    QString title;
    QString startFolder;
    bool seen = false;
};
void answerFolderPicker(PickerAnswer& answer, const QString& folder, int triesLeft = 200) {
    QTimer::singleShot(triesLeft == 200 ? 0 : 10, [&answer, folder, triesLeft] {
        auto* picker = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!picker) {
            // Not open yet; a picker that never opens leaves `seen` false.
            if (triesLeft > 0)
                answerFolderPicker(answer, folder, triesLeft - 1);
            return;
        }
        answer.seen = true;
        answer.title = picker->windowTitle();
        answer.startFolder = picker->directory().absolutePath();
        if (folder.isEmpty()) {
            picker->reject();
        } else {
            picker->setDirectory(QFileInfo(folder).absolutePath());
            picker->selectFile(folder);
            static_cast<QDialog*>(picker)->accept();  // as the "Select" button does
        }
    });
}

TEST(AppFormFolders, BrowseStoresTheChosenFolderAndAddFolderStartsThere) {
    Window w;
    TAppForm& form = w.open();
    const QString chosen = QString::fromStdString((w.dir().path() / "pictures").string());
    fs::create_directories(chosen.toStdString());
    fs::copy_file(imbrix::test::corpusDir() / "pngsuite/basn4a16.png",
                  chosen.toStdString() + "/a.png");

    PickerAnswer cancel;
    answerFolderPicker(cancel, {});
    form.ButtonBrowse->click();
    ASSERT_TRUE(cancel.seen);
    EXPECT_EQ(cancel.title, "Select folder:");
    EXPECT_EQ(form.ComboBoxDestination->currentText(), "Same Folder as Original");
    EXPECT_FALSE(fs::exists(w.settingsPath()));

    PickerAnswer browse;
    answerFolderPicker(browse, chosen);
    form.ButtonBrowse->click();
    ASSERT_TRUE(browse.seen);
    EXPECT_EQ(form.ComboBoxDestination->currentText(), chosen);
    EXPECT_EQ(form.LastFolder, chosen);
    EXPECT_EQ(w.stored().value(Key::Destination), chosen.toStdString());

    PickerAnswer add;
    answerFolderPicker(add, chosen);
    form.ButtonFolder->click();
    ASSERT_TRUE(add.seen);
    EXPECT_EQ(add.startFolder, chosen);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.imageList().rowCount() == 1; }, 5000));
    EXPECT_EQ(listed(form), (std::vector<std::string>{chosen.toStdString() + "/a.png"}));
}

// --- Menu commands ---------------------------------------------------------------

TEST(AppFormMenu, OnlineHelpOpensTheProductsHelpPage) {
    qputenv("IMBRIX_SITE", "https://site.test/");
    Window w;
    TAppForm& form = w.open();
    form.Help2->trigger();
    qunsetenv("IMBRIX_SITE");
    ASSERT_EQ(w.opened.size(), 1u);
    EXPECT_EQ(w.opened[0], QUrl("https://site.test/help/imbrix/"));
    EXPECT_EQ(form.Help2->shortcut(), QKeySequence(Qt::Key_F1));
}

TEST(AppFormMenu, HelpAddressSlugIsTheLowerCaseNameWithDashes) {
    struct Case {
        const char* site;
        const char* product;
        const char* address;
    };
    const Case cases[] = {
        {"https://www.imbrix.example/", "Imbrix", "https://www.imbrix.example/help/imbrix/"},
        {"https://www.imbrix.example", "Imbrix Image Converter",
         "https://www.imbrix.example/help/imbrix-image-converter/"},
        {"http://host:8080/", "Two  Blanks", "http://host:8080/help/two--blanks/"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(imbrix::app::onlineHelpAddress(c.site, c.product), c.address) << c.product;
    }
}

TEST(AppFormMenu, FeedbackAndAboutOpenAFreshModalWindowEachTime) {
    Window w;
    TAppForm& form = w.open();
    form.About1->trigger();
    form.SendFeedback1->trigger();
    form.About1->trigger();
    EXPECT_EQ(w.modal,
              (std::vector<QString>{"imbrix::about::TAboutBox", "imbrix::online::TFeedbackForm",
                                    "imbrix::about::TAboutBox"}));
    EXPECT_EQ(form.PageControl1->currentIndex(), 0);
}

// --- Options and "settings.ini" --------------------------------------------------

TEST(AppFormSettings, StartUpAppliesTheStoredOptions) {
    struct Case {
        const char* name;
        std::string file;  // "{dir}" stands for an existing folder
        bool remember, icons, subfolders;
        const char* destination;  // "{dir}" as above
        const char* format;
        int quality;
        bool grayscale;
        const char* storedQuality;  // after start-up; nullptr: absent
        const char* storedGrayscale;
        bool removeMetadata = false;  // nothing is written back for it
    };
    const Case cases[] = {
        {"every option",
         "RememberSettings=ON\nDisplayIcons=OFF\nIncludeSubfolders=OFF\nDestination={dir}\n"
         "OutputFormat=WEBP\nOutputQuality=80\nGrayscale=ON\nRemoveMetadata=ON\n",
         true, false, false, "{dir}", "WEBP", 80, true, "80", "ON", true},
        {"remember off",
         "RememberSettings=OFF\nDisplayIcons=OFF\nOutputFormat=JPG\nOutputQuality=50\nGrayscale="
         "ON\nRemoveMetadata=ON\n",
         false, true, true, "Same Folder as Original", "PNG", 100, false, "50", "ON"},
        {"values in lower case",
         "RememberSettings=off\nDisplayIcons=off\nOutputFormat=jpg\nGrayscale=on\n"
         "RemoveMetadata=on\n",
         true, true, true, "Same Folder as Original", "PNG", 100, false, nullptr, "on"},
        {"quality above the range", "OutputQuality=250\n", true, true, true,
         "Same Folder as Original", "PNG", 100, false, "100", nullptr},
        {"quality not a number", "OutputQuality=best\n", true, true, true,
         "Same Folder as Original", "PNG", 100, false, "best", nullptr},
        {"deleted destination", "Destination={dir}/gone\nOutputFormat=PDF\n", true, true, true,
         "Same Folder as Original", "PDF", 100, false, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Window w;
        const std::string folder = w.dir().path().string();
        auto expand = [&](std::string text) {
            for (auto at = text.find("{dir}"); at != std::string::npos; at = text.find("{dir}")) {
                text.replace(at, 5, folder);
            }
            return text;
        };
        // Names in the section header and keys match whatever their case.
        imbrix::test::writeText(w.settingsPath(), "\xEF\xBB\xBF[settings]\n" + expand(c.file));
        TAppForm& form = w.open();

        EXPECT_EQ(form.RememberSettings1->isChecked(), c.remember);
        EXPECT_EQ(form.DisplayIcons1->isChecked(), c.icons);
        EXPECT_EQ(form.imageList().displayIcons(), c.icons);
        EXPECT_EQ(form.IncludeSubfolders1->isChecked(), c.subfolders);
        EXPECT_EQ(form.ComboBoxDestination->currentText().toStdString(), expand(c.destination));
        EXPECT_EQ(form.ComboBoxType->currentText().toStdString(), c.format);
        EXPECT_EQ(form.SpinEdit1->value(), c.quality);
        EXPECT_EQ(form.CheckBoxGrayscale->isChecked(), c.grayscale);
        EXPECT_EQ(form.CheckBoxRemoveMetadata->isChecked(), c.removeMetadata);

        Store stored = w.stored();
        EXPECT_EQ(stored.value(Key::OutputQuality),
                  c.storedQuality ? std::optional<std::string>(c.storedQuality) : std::nullopt);
        EXPECT_EQ(stored.value(Key::Grayscale),
                  c.storedGrayscale ? std::optional<std::string>(c.storedGrayscale) : std::nullopt);
        EXPECT_TRUE(w.boxes.empty());
    }
}

TEST(AppFormSettings, EveryChangeIsStoredAtOnce) {
    Window w;
    TAppForm& form = w.open();

    form.SpinEdit1->setValue(42);
    EXPECT_EQ(w.stored().value(Key::OutputQuality), "42");

    form.CheckBoxGrayscale->click();
    EXPECT_EQ(w.stored().value(Key::Grayscale), "ON");
    form.CheckBoxGrayscale->click();
    EXPECT_EQ(w.stored().value(Key::Grayscale), "OFF");
    form.CheckBoxRemoveMetadata->click();
    EXPECT_EQ(w.stored().value(Key::RemoveMetadata), "ON");

    const std::string folder = w.dir().path().string();
    form.ComboBoxDestination->setEditText(QString::fromStdString(folder));
    EXPECT_EQ(w.stored().value(Key::Destination), folder);
    form.ComboBoxDestination->setCurrentIndex(0);
    EXPECT_EQ(w.stored().value(Key::Destination), "Same Folder as Original");

    struct Switch {
        QAction* item;
        Key key;
    };
    for (const Switch& s : {Switch{form.DisplayIcons1, Key::DisplayIcons},
                            Switch{form.IncludeSubfolders1, Key::IncludeSubfolders},
                            Switch{form.RememberSettings1, Key::RememberSettings}}) {
        SCOPED_TRACE(s.item->text().toStdString());
        s.item->trigger();
        EXPECT_FALSE(s.item->isChecked());
        EXPECT_EQ(w.stored().value(s.key), "OFF");
        s.item->trigger();
        EXPECT_TRUE(s.item->isChecked());
        EXPECT_EQ(w.stored().value(s.key), "ON");
    }
    form.DisplayIcons1->trigger();
    EXPECT_FALSE(form.imageList().displayIcons());

    // The store wrote a whole file each time: the latest value of every key.
    Store stored = w.stored();
    EXPECT_EQ(stored.value(Key::OutputQuality), "42");
    EXPECT_EQ(stored.value(Key::DisplayIcons), "OFF");
    EXPECT_TRUE(w.boxes.empty());
}

// The resize, folder, date and existing-output options: stored the moment they
// change, shown again at the next start, and only what applies is enabled.
TEST(AppFormSettings, BatchOptionsAreStoredAndComeBack) {
    Window w;
    const std::string folder = w.dir().path().string();
    {
        TAppForm& form = w.open();
        EXPECT_EQ(form.ComboBoxResize->currentIndex(), 0);  // original size
        EXPECT_FALSE(form.CheckBoxEnlarge->isEnabled());
        EXPECT_FALSE(form.CheckBoxKeepFolders->isEnabled());  // same folder as original
        EXPECT_EQ(form.SpinEditWidth->value(), 1920);

        form.ComboBoxResize->setCurrentIndex(1);
        emit form.ComboBoxResize->activated(1);
        EXPECT_EQ(w.stored().value(Key::ResizeMode), "FIT");
        EXPECT_EQ(form.StackResize->currentIndex(), 1);
        EXPECT_TRUE(form.CheckBoxEnlarge->isEnabled());
        form.SpinEditWidth->setValue(800);
        form.SpinEditHeight->setValue(600);
        EXPECT_EQ(w.stored().value(Key::ResizeWidth), "800");
        EXPECT_EQ(w.stored().value(Key::ResizeHeight), "600");
        form.CheckBoxEnlarge->click();
        EXPECT_EQ(w.stored().value(Key::ResizeEnlarge), "ON");

        form.ComboBoxDestination->setEditText(QString::fromStdString(folder));
        ASSERT_TRUE(form.CheckBoxKeepFolders->isEnabled());
        form.CheckBoxKeepFolders->click();
        EXPECT_EQ(w.stored().value(Key::KeepFolderStructure), "ON");
        form.CheckBoxKeepDates->click();
        EXPECT_EQ(w.stored().value(Key::KeepFileDates), "ON");
        form.ComboBoxExisting->setCurrentIndex(1);
        emit form.ComboBoxExisting->activated(1);
        EXPECT_EQ(w.stored().value(Key::ExistingOutput), "SKIP");
    }
    TAppForm& form = w.open();
    EXPECT_EQ(form.ComboBoxResize->currentIndex(), 1);
    EXPECT_EQ(form.StackResize->currentIndex(), 1);
    EXPECT_EQ(form.SpinEditWidth->value(), 800);
    EXPECT_EQ(form.SpinEditHeight->value(), 600);
    EXPECT_TRUE(form.CheckBoxEnlarge->isChecked());
    EXPECT_TRUE(form.CheckBoxKeepFolders->isChecked());
    EXPECT_TRUE(form.CheckBoxKeepFolders->isEnabled());
    EXPECT_TRUE(form.CheckBoxKeepDates->isChecked());
    EXPECT_EQ(form.ComboBoxExisting->currentIndex(), 1);
    EXPECT_TRUE(w.boxes.empty());
}

TEST(AppFormSettings, RememberOffStillStoresChangesForALaterStart) {
    Window w;
    imbrix::test::writeText(w.settingsPath(),
                            "[Settings]\nRememberSettings=OFF\nOutputFormat=JPG\n");
    {
        TAppForm& form = w.open();
        EXPECT_FALSE(form.RememberSettings1->isChecked());
        EXPECT_EQ(form.ComboBoxType->currentText(), "PNG");
        choose(form, "WEBP");
        EXPECT_EQ(w.stored().value(Key::OutputFormat), "WEBP");
    }
    {
        TAppForm& form = w.open();
        EXPECT_EQ(form.ComboBoxType->currentText(), "PNG");
        form.RememberSettings1->trigger();  // back on
        EXPECT_EQ(w.stored().value(Key::RememberSettings), "ON");
    }
    TAppForm& form = w.open();
    EXPECT_EQ(form.ComboBoxType->currentText(), "WEBP");
}

TEST(AppFormSettings, ResetAsksAndOnlyYesDeletesAndRestarts) {
    Window w;
    const std::string text = "[Settings]\nOutputFormat=GIF\n[Other]\nkept=1\n";
    imbrix::test::writeText(w.settingsPath(), text);
    TAppForm& form = w.open();

    w.answerYes = false;
    form.ResettoDefaults1->trigger();
    ASSERT_EQ(w.questions.size(), 1u);
    EXPECT_EQ(w.questions[0], (QStringList{"Restart Application?", "Confirmation", "Yes", "No"}));
    EXPECT_EQ(w.restarts, 0);
    ASSERT_TRUE(fs::exists(w.settingsPath()));
    EXPECT_EQ(w.stored().value(Key::OutputFormat), "GIF");
    EXPECT_EQ(form.ComboBoxType->currentText(), "GIF");

    w.answerYes = true;
    form.ResettoDefaults1->trigger();
    EXPECT_EQ(w.questions.size(), 2u);
    EXPECT_FALSE(fs::exists(w.settingsPath()));
    EXPECT_EQ(w.restarts, 1);

    // What the fresh instance finds: every default.
    TAppForm& fresh = w.open();
    EXPECT_EQ(fresh.ComboBoxType->currentText(), "PNG");
    EXPECT_EQ(fresh.imageList().rowCount(), 0);
}

TEST(AppFormSettings, AFailedWriteShowsAnErrorAndTheNextChangeTriesAgain) {
    Window w;
    const std::string folder = w.dir().path().string() + "/not-yet/";
    w.setDataFolder(folder);
    TAppForm& form = w.open();

    form.CheckBoxGrayscale->click();
    ASSERT_EQ(w.boxes.size(), 1u);
    EXPECT_EQ(w.boxes[0].icon, BoxIcon::Error);
    EXPECT_EQ(w.boxes[0].caption, "Imbrix");
    EXPECT_TRUE(w.boxes[0].text.contains("settings.ini")) << w.boxes[0].text.toStdString();
    EXPECT_TRUE(form.CheckBoxGrayscale->isChecked());  // the control keeps its new state
    EXPECT_FALSE(fs::exists(w.settingsPath()));

    fs::create_directory(folder);
    form.SpinEdit1->setValue(64);
    EXPECT_EQ(w.boxes.size(), 1u);
    Store stored = w.stored();
    EXPECT_EQ(stored.value(Key::OutputQuality), "64");
    EXPECT_EQ(stored.value(Key::Grayscale), "ON");  // the failed change is written too
}

}  // namespace

#include "appform_test.moc"
