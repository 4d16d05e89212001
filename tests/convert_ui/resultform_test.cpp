// The result window: its texts, "Open Folder", "Close" and Esc.
#include "convert/ui/resultform.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "i18n/i18n.h"

using imbrix::convert::RunSummary;
using imbrix::convert::TFormResult;

namespace {

// A result window whose "Open Folder" reads `destination` and `first` and writes
// down what it opens instead of starting a file browser.
struct Harness {
    QString destination = "Same Folder as Original";
    std::string first;
    std::vector<std::string> opened;
    TFormResult form{
        TFormResult::Sources{[this] { return destination; },
                             [this] { return first; },
                             [this](const std::string& folder) { opened.push_back(folder); },
                             {}}};
};

}  // namespace

TEST(ResultFormTest, ShowsItsInitialTextsUntilTheRunFillsThemIn) {
    Harness h;
    EXPECT_EQ(h.form.windowTitle(), "Result");
    struct Text {
        QLabel* label;
        QString initial;
    };
    for (const Text& t :
         {Text{h.form.Label1, "Processed Image Files:"}, Text{h.form.Label2, "Elapsed Time:"},
          Text{h.form.Label3, "Saved Disk Space:"}, Text{h.form.Label4, "0"},
          Text{h.form.Label5, "0.000 (second)"}, Text{h.form.Label6, "0 byte"}}) {
        EXPECT_EQ(t.label->text(), t.initial);
    }
    EXPECT_EQ(h.form.Button1->text(), "Open Folder");
    EXPECT_EQ(h.form.Button2->text(), "Close");
    EXPECT_FALSE(h.form.Button1->icon().isNull());
    EXPECT_FALSE(h.form.Image1->pixmap().isNull());

    RunSummary summary;
    summary.processed = "3";
    summary.elapsed = "65.000 seconds";
    summary.diskSpaceCaption = "Increased Disk Space:";
    summary.diskSpaceValue = "1.5 MB (200%)";
    h.form.setTexts(summary);
    EXPECT_EQ(h.form.Label1->text(), "Processed Image Files:");
    EXPECT_EQ(h.form.Label3->text(), "Increased Disk Space:");
    EXPECT_EQ(h.form.Label4->text(), "3");
    EXPECT_EQ(h.form.Label5->text(), "65.000 seconds");
    EXPECT_EQ(h.form.Label6->text(), "1.5 MB (200%)");
}

// Skipped files get a line of their own under the others, caption and number in
// the same columns; a run that skipped nothing shows no such line. The caption
// goes through the program's translation.
TEST(ResultFormTest, SkippedFilesGetALineOnlyWhenThereAreAny) {
    ASSERT_TRUE(imbrix::i18n::installCatalogue(std::make_unique<const imbrix::i18n::Catalogue>(
        imbrix::i18n::Catalogue::fromText("{Skipped Files:}\u00dcbersprungene Dateien:\n"))));
    Harness h;
    RunSummary summary;
    summary.processed = "5";
    summary.elapsed = "1.000 seconds";
    summary.diskSpaceCaption = "Saved Disk Space:";
    summary.diskSpaceValue = "10 KB (50%)";
    h.form.setTexts(summary);
    h.form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&h.form));
    EXPECT_FALSE(h.form.Label7->isVisible());
    EXPECT_FALSE(h.form.Label8->isVisible());
    const int heightWithout = h.form.height();

    summary.skippedCount = 3;
    h.form.setTexts(summary);
    QApplication::processEvents();
    ASSERT_TRUE(h.form.Label7->isVisible());
    ASSERT_TRUE(h.form.Label8->isVisible());
    EXPECT_EQ(h.form.Label7->text(), QString::fromUtf8("\u00dcbersprungene Dateien:"));
    EXPECT_EQ(h.form.Label8->text(), "3");
    EXPECT_EQ(h.form.Label7->x(), h.form.Label3->x());
    EXPECT_EQ(h.form.Label8->x(), h.form.Label6->x());
    EXPECT_GT(h.form.Label7->y(), h.form.Label3->y());
    EXPECT_EQ(h.form.Label8->y(), h.form.Label7->y());
    EXPECT_LT(h.form.Label7->geometry().bottom(), h.form.Button1->y());
    EXPECT_GT(h.form.height(), heightWithout);
    EXPECT_EQ(h.form.Label4->text(), "5");  // the other lines are as before

    summary.skippedCount = 0;
    h.form.setTexts(summary);
    EXPECT_FALSE(h.form.Label7->isVisible());
}

// Failed files get their line under the skipped one, with "Details" beside the
// number; a stopped run says after how many files. Neither shows otherwise.
TEST(ResultFormTest, FailedFilesAndAStopGetTheirLinesOnlyWhenTheyHappened) {
    Harness h;
    RunSummary summary;
    summary.processed = "4";
    summary.fileCount = 4;
    summary.listCount = 10;
    h.form.setTexts(summary);
    h.form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&h.form));
    for (QWidget* line :
         {static_cast<QWidget*>(h.form.Label9), static_cast<QWidget*>(h.form.ButtonDetails),
          static_cast<QWidget*>(h.form.LabelStopped)}) {
        EXPECT_FALSE(line->isVisible()) << line->metaObject()->className();
    }

    summary.failedCount = 2;
    summary.skippedCount = 1;
    summary.stopped = true;
    const auto outcome = [](std::string source, std::string output, std::string error) {
        imbrix::convert::FileOutcome file;
        file.source = std::move(source);
        file.output = std::move(output);
        file.error = std::move(error);
        return file;
    };
    summary.files = {outcome("/in/a.jpg", "", "JPEG error #53"),
                     outcome("/in/b.png", "/out/b.png", ""),
                     outcome("/in/c.gif", "", "no picture\ninside")};
    h.form.setTexts(summary);
    QApplication::processEvents();
    ASSERT_TRUE(h.form.Label9->isVisible());
    EXPECT_EQ(h.form.Label9->text(), "Failed Files:");
    EXPECT_EQ(h.form.Label10->text(), "2");
    EXPECT_TRUE(h.form.ButtonDetails->isVisible());
    EXPECT_EQ(h.form.Label9->x(), h.form.Label7->x());
    EXPECT_GT(h.form.Label9->y(), h.form.Label7->y());
    EXPECT_EQ(h.form.Label10->x(), h.form.Label8->x());
    ASSERT_TRUE(h.form.LabelStopped->isVisible());
    EXPECT_EQ(h.form.LabelStopped->text(), "The run was stopped after 4 of 10 files.");
    EXPECT_LT(h.form.LabelStopped->geometry().bottom(), h.form.Button1->y());
    EXPECT_EQ(h.form.failedFiles().toStdString(),
              "/in/a.jpg\n    JPEG error #53\n\n/in/c.gif\n    no picture\n    inside\n");

    summary.failedCount = 0;
    summary.stopped = false;
    h.form.setTexts(summary);
    EXPECT_FALSE(h.form.Label9->isVisible());
    EXPECT_FALSE(h.form.ButtonDetails->isVisible());
    EXPECT_FALSE(h.form.LabelStopped->isVisible());
}

TEST(ResultFormTest, OpenFolderOpensTheDestinationOrTheFirstSourcesFolder) {
    struct Case {
        QString destination;
        std::string first;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"Same Folder as Original", "/photos/2024/a.jpg", {"/photos/2024"}},
        // A folder name that is not UTF-8 is opened as its bytes.
        {"Same Folder as Original", "/photos/d\xe9j\xe0/caf\xe9.png", {"/photos/d\xe9j\xe0"}},
        {"Same Folder as Original", "/photos/x/../a.jpg", {"/photos"}},
        {"Same Folder as Original", "", {}},
        {"/out/webp", "/photos/a.jpg", {"/out/webp"}},
        {QString::fromUtf8("/out/d\xc3\xa9j\xc3\xa0"),
         "/photos/a.jpg",
         {"/out/d\xc3\xa9j\xc3\xa0"}},
        {"/out/webp/", "/photos/a.jpg", {"/out/webp/"}},
        {"relative/out", "", {"relative/out"}},
        {"same folder as original",
         "/photos/a.jpg",
         {"same folder as original"}},  // exact match only
        {"", "/photos/a.jpg", {}},
    };
    for (const Case& c : cases) {
        Harness h;
        h.destination = c.destination;
        h.first = c.first;
        QTest::mouseClick(h.form.Button1, Qt::LeftButton);
        EXPECT_EQ(h.opened, c.expected) << c.destination.toStdString() << " | " << c.first;
    }
}

TEST(ResultFormTest, OpenFolderReadsTheSourcesWhenPressedAndKeepsTheWindowOpen) {
    Harness h;
    h.form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&h.form));
    h.first = "/first/a.png";
    QTest::mouseClick(h.form.Button1, Qt::LeftButton);
    h.destination = "/chosen";
    QTest::mouseClick(h.form.Button1, Qt::LeftButton);
    QTest::mouseClick(h.form.Button1, Qt::LeftButton);
    EXPECT_EQ(h.opened, (std::vector<std::string>{"/first", "/chosen", "/chosen"}));
    EXPECT_TRUE(h.form.isVisible());
}

TEST(ResultFormTest, CloseHasTheFocusAndEscOrCloseEndTheWindow) {
    enum class Way { CloseButton, EscKey, EnterKey };
    for (Way way : {Way::CloseButton, Way::EscKey, Way::EnterKey}) {
        Harness h;
        h.form.show();
        QApplication::setActiveWindow(&h.form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&h.form));
        EXPECT_EQ(QApplication::focusWidget(), h.form.Button2);
        // Not resizable.
        EXPECT_EQ(h.form.minimumSize(), h.form.maximumSize());
        switch (way) {
            case Way::CloseButton:
                QTest::mouseClick(h.form.Button2, Qt::LeftButton);
                break;
            case Way::EscKey:
                QTest::keyClick(&h.form, Qt::Key_Escape);
                break;
            case Way::EnterKey:
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
                break;
        }
        EXPECT_FALSE(h.form.isVisible()) << static_cast<int>(way);
        EXPECT_TRUE(h.opened.empty()) << "closing opened a folder";
    }
}
