// The conversion run started from a window: what the user sees, in which order,
// and that the window takes no input while the run goes on.
#include "convert/ui/runwindow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/testsupport.h"
#include "convert/fakeconverter.h"

using imbrix::convert::BoxIcon;
using imbrix::convert::ConversionEnvironment;
using imbrix::convert::ConversionOptions;
using imbrix::convert::RunCheck;
using imbrix::convert::RunDisplay;
using imbrix::convert::runFromWindow;
using imbrix::convert::RunWindow;
using imbrix::convert::TFormResult;
using imbrix::test::corpusDir;
using imbrix::test::ScratchDir;
namespace fs = std::filesystem;

namespace {

std::string iconName(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::None:
            return "none";
        case BoxIcon::Information:
            return "information";
        case BoxIcon::Warning:
            return "warning";
        case BoxIcon::Error:
            return "error";
    }
    return "?";
}

std::string checkName(RunCheck check) {
    switch (check) {
        case RunCheck::EmptyList:
            return "empty list";
        case RunCheck::DirectoryNotCreated:
            return "not created";
        case RunCheck::DirectoryNotWritable:
            return "not writable";
    }
    return "?";
}

// A stand-in main window: a button, a status bar, and everything the run shows
// written down in order. Boxes are answered at once; the result window is
// looked at and closed instead of being run modally.
struct Harness {
    QWidget window;
    QPushButton* button = new QPushButton("Add Files", &window);
    QPushButton* stopButton = new QPushButton("Stop", &window);
    QStatusBar* status = new QStatusBar(&window);
    std::vector<std::string> seen;
    std::vector<RunDisplay> displays;  // every progress shown
    bool tickErrors = false;           // the error box's check box is ticked when answered
    QString checkText;                 // the error box's check box's label
    std::stop_source stop;
    int offTheWindowsThread = 0;      // reports that came on another thread
    std::function<void()> duringBox;  // what the test does while a box is up
    std::vector<std::string> opened;
    std::string firstEntry;
    ScratchDir dir;

    Harness() {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(button);
        layout->addWidget(stopButton);
        QObject::connect(stopButton, &QPushButton::clicked, [this] { stop.request_stop(); });
        layout->addWidget(status);
        window.resize(300, 120);
        window.show();
        fs::create_directories(dir.path() / "data");
    }

    RunWindow ui() {
        RunWindow ui;
        ui.window = &window;
        ui.message = [this](QWidget* parent, BoxIcon icon, const QString& caption,
                            const QString& text) {
            EXPECT_EQ(parent, &window);
            noteThread();
            seen.push_back("box " + iconName(icon) + " [" + caption.toStdString() + "] " +
                           text.toStdString() +
                           " (status: " + status->currentMessage().toStdString() + ")");
            if (duringBox)
                duringBox();
        };
        ui.errorBox = [this](QWidget* parent, const QString& text, const QString& check) {
            EXPECT_EQ(parent, &window);
            noteThread();
            checkText = check;
            seen.push_back("box error [ERROR] " + text.toStdString() +
                           " (status: " + status->currentMessage().toStdString() + ")");
            if (duringBox)
                duringBox();
            return tickErrors;
        };
        ui.showProgress = [this](const RunDisplay& display) {
            noteThread();
            displays.push_back(display);
        };
        stop = std::stop_source();
        ui.stop = stop;
        ui.stopControl = stopButton;
        ui.showStatus = [this](const QString& text) {
            noteThread();
            status->showMessage(text);
            seen.push_back("status " + text.toStdString());
        };
        ui.afterWarning = [this](RunCheck check) { seen.push_back("after " + checkName(check)); };
        ui.result.destination = [] { return QStringLiteral("Same Folder as Original"); };
        ui.result.firstEntry = [this] { return firstEntry; };
        ui.result.openFolder = [this](const std::string& folder) { opened.push_back(folder); };
        ui.showResult = [this](TFormResult& form) {
            seen.push_back("result " + form.Label4->text().toStdString() + " | " +
                           form.Label3->text().toStdString());
            EXPECT_EQ(form.parentWidget(), &window);
            QTest::mouseClick(form.Button1, Qt::LeftButton);
        };
        return ui;
    }

    void noteThread() {
        if (QThread::currentThread() != window.thread())
            ++offTheWindowsThread;
    }

    ConversionEnvironment environment() const {
        ConversionEnvironment environment;
        environment.programFolder = imbrix::test::binDir().string() + "/";
        environment.dataFolder = dir.file("data") + "/";
        environment.jobs = 2;
        return environment;
    }
};

}  // namespace

TEST(RunWindowTest, AFailingFileGetsItsBoxBetweenTheOthersAndTheResultComesLast) {
    Harness h;
    const std::string first = (corpusDir() / "pngsuite/basn2c08.png").string();
    const std::string broken = h.dir.file("not-a-picture.jpg");
    imbrix::test::writeText(broken, "This is a text file, not a JPEG picture.\n");
    const std::string third = (corpusDir() / "pngsuite/basn6a08.png").string();
    ConversionOptions options;
    options.format = "WEBP";
    options.quality = 80;
    options.destination = h.dir.file("out");
    h.firstEntry = first;

    auto summary = runFromWindow({first, broken, third}, options, h.environment(), h.ui());

    ASSERT_TRUE(summary.has_value());
    const std::vector<std::string> expected = {
        "status Converting " + first + "...",
        "status ",
        "status Converting " + broken + "...",
        "box error [ERROR] JPEG error #53\r\rUnknown file format, empty/damaged file! (status: "
        "Converting " +
            broken + "...)",
        "status ",
        "status Converting " + third + "...",
        "status ",
        "result 3 | " + summary->diskSpaceCaption,
    };
    EXPECT_EQ(h.seen, expected);
    // The engine converts on threads of its own; what it reports is shown on the
    // window's, each box answered before the next report.
    EXPECT_EQ(h.offTheWindowsThread, 0);
    EXPECT_EQ(summary->failedCount, 1u);
    EXPECT_TRUE(fs::exists(h.dir.path() / "out" / "basn2c08.webp"));
    EXPECT_TRUE(fs::exists(h.dir.path() / "out" / "basn6a08.webp"));
    EXPECT_FALSE(fs::exists(h.dir.path() / "out" / "not-a-picture.webp"));
    EXPECT_TRUE(h.status->currentMessage().isEmpty());
    // "Open Folder" in "Same Folder as Original" mode: the first entry's folder.
    EXPECT_EQ(h.opened,
              std::vector<std::string>{(corpusDir() / "pngsuite").lexically_normal().string()});
}

// The window's run takes the list with its base folders: the tree is kept under
// the destination. Run again with existing outputs skipped, nothing is written,
// no box comes up, and the result window counts the skipped files.
TEST(RunWindowTest, TheTreeIsKeptAndSkippedFilesAreCountedWithoutABox) {
    Harness h;
    const std::string in = h.dir.file("in");
    fs::create_directories(h.dir.path() / "in" / "2023");
    const std::string top = h.dir.file("in/top.png");
    const std::string nested = h.dir.file("in/2023/nested.png");
    fs::copy_file(corpusDir() / "pngsuite/basn2c08.png", top);
    fs::copy_file(corpusDir() / "pngsuite/basn6a08.png", nested);
    ConversionOptions options;
    options.format = "PNG";
    options.destination = h.dir.file("out");
    options.keepFolderStructure = true;
    options.existingOutput = imbrix::convert::ExistingOutput::Skip;
    const std::vector<imbrix::convert::SourceFile> files = {{top, in}, {nested, in}};

    std::vector<std::string> shown;  // the result window's skipped line, or "none"
    RunWindow ui = h.ui();
    ui.showResult = [&](TFormResult& form) {
        shown.push_back(form.Label8->isVisibleTo(&form) ? form.Label7->text().toStdString() + " " +
                                                              form.Label8->text().toStdString()
                                                        : "none");
    };
    auto summary = runFromWindow(files, options, h.environment(), ui);
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->skippedCount, 0u);
    EXPECT_TRUE(fs::exists(h.dir.path() / "out" / "top.png"));
    EXPECT_TRUE(fs::exists(h.dir.path() / "out" / "2023" / "nested.png"));

    h.seen.clear();
    summary = runFromWindow(files, options, h.environment(), ui);
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->skippedCount, 2u);
    EXPECT_EQ(summary->failedCount, 0u);
    for (const std::string& event : h.seen)
        EXPECT_EQ(event.rfind("box", 0), std::string::npos) << event;
    EXPECT_EQ(shown, (std::vector<std::string>{"none", "Skipped Files: 2"}));
    std::size_t outputs = 0;
    for ([[maybe_unused]] const auto& entry :
         fs::recursive_directory_iterator(h.dir.path() / "out"))
        ++outputs;
    EXPECT_EQ(outputs, 3u);  // top.png, 2023/ and 2023/nested.png: nothing more
}

TEST(RunWindowTest, AFailedCheckShowsItsWarningAndNothingElse) {
    struct Case {
        const char* name;
        bool withFiles;
        std::string
            destination;  // relative to the scratch folder; "=" for "Same Folder as Original"
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"empty list",
         false,
         "=",
         {"box warning [WARNING] No image files have been added! (status: )", "after empty list"}},
        {"destination below a file",
         true,
         "a-file/out",
         {"box warning [WARNING] Directory does not exist! (status: )", "after not created"}},
        {"destination that fails the write probe",
         true,
         "probed",
         {"box warning [WARNING] Unable to write to directory! (status: )", "after not writable"}},
    };
    for (const Case& c : cases) {
        Harness h;
        imbrix::test::writeText(h.dir.path() / "a-file", "x");
        fs::create_directories(h.dir.path() / "probed");
        imbrix::test::writeText(h.dir.path() / "probed" / "chk.tmp",
                                "");  // the probe's own name is taken
        ConversionOptions options;
        options.destination = c.destination == "=" ? std::string("Same Folder as Original")
                                                   : h.dir.file(c.destination);
        std::vector<std::string> files;
        if (c.withFiles)
            files.push_back((corpusDir() / "pngsuite/basn2c08.png").string());

        auto summary = runFromWindow(files, options, h.environment(), h.ui());

        EXPECT_FALSE(summary.has_value()) << c.name;
        EXPECT_EQ(h.seen, c.expected) << c.name;
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr)
            << c.name << ": the busy cursor stayed";
    }
}

TEST(RunWindowTest, AnErrorOutsideTheFilesIsReportedAndNothingIsConverted) {
    Harness h;
    QGuiApplication::setApplicationDisplayName("KELVANE - Imbrix");
    ConversionOptions options;
    options.destination = "";
    auto summary = runFromWindow({(corpusDir() / "pngsuite/basn2c08.png").string()}, options,
                                 h.environment(), h.ui());
    EXPECT_FALSE(summary.has_value());
    EXPECT_EQ(h.seen, (std::vector<std::string>{
                          "status ",
                          "box error [KELVANE - Imbrix] Unable to create directory (status: )"}));
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(RunWindowTest, TheWindowTakesNoInputDuringTheRunButDoesAfterIt) {
    Harness h;
    QSignalSpy clicks(h.button, &QPushButton::clicked);
    bool stillShown = false;
    bool busyCursor = false;
    h.duringBox = [&] {
        busyCursor = QGuiApplication::overrideCursor() != nullptr &&
                     QGuiApplication::overrideCursor()->shape() == Qt::BusyCursor;
        QTest::mouseClick(h.button, Qt::LeftButton);
        QTest::keyClick(h.button, Qt::Key_Space);
        h.window.close();
        stillShown = h.window.isVisible();
    };
    // The window's event loop goes on during the run (it paints), though its
    // input is dropped: a timer that fires whenever the loop runs sees it.
    int ticksDuringRun = 0;
    QTimer loop;
    QObject::connect(&loop, &QTimer::timeout, [&] {
        if (!h.seen.empty() && h.seen.back().rfind("result", 0) != 0)
            ++ticksDuringRun;
    });
    loop.start(0);
    const std::string broken = h.dir.file("broken.jpg");
    imbrix::test::writeText(broken, "not a picture");
    ConversionOptions options;
    options.destination = h.dir.file("out");
    auto summary =
        runFromWindow({broken, (corpusDir() / "photos/jpeg-variants/Bush-dog.jpg").string()},
                      options, h.environment(), h.ui());
    loop.stop();
    ASSERT_TRUE(summary.has_value());
    ASSERT_EQ(h.seen.size(), 6u) << "status, box, status, status, status, result";
    EXPECT_GT(ticksDuringRun, 0) << "the window's event loop stood still during the run";
    EXPECT_TRUE(busyCursor);
    EXPECT_EQ(clicks.count(), 0) << "a click reached the window during the run";
    EXPECT_TRUE(stillShown) << "the window was closed during the run";

    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    QTest::mouseClick(h.button, Qt::LeftButton);
    EXPECT_EQ(clicks.count(), 1);
}

// What the window's side throws ends the run on the engine's thread: nothing
// more is converted, nothing temporary is left, and the error is reported as any
// error outside the files is.
TEST(RunWindowTest, AnExceptionOnTheWindowsSideEndsTheRunCleanly) {
    Harness h;
    QGuiApplication::setApplicationDisplayName("KELVANE - Imbrix");
    std::vector<std::string> files;
    for (const char* name : {"a.png", "b.png", "c.png", "d.png", "e.png"}) {
        files.push_back(h.dir.file(name));
        fs::copy_file(corpusDir() / "pngsuite/basn6a08.png", files.back());
    }
    RunWindow ui = h.ui();
    const auto showStatus = ui.showStatus;
    ui.showStatus = [&](const QString& text) {
        showStatus(text);
        if (text.toStdString() == "Converting " + files[1] + "...") {
            throw std::runtime_error("The status bar is gone");
        }
    };
    ConversionOptions options;
    options.format = "GIF";
    options.destination = h.dir.file("out");

    auto summary = runFromWindow(files, options, h.environment(), ui);

    EXPECT_FALSE(summary.has_value());
    const std::vector<std::string> expected = {
        "status Converting " + files[0] + "...",
        "status ",
        "status Converting " + files[1] + "...",
        "status ",
        "box error [KELVANE - Imbrix] The status bar is gone (status: )",
    };
    EXPECT_EQ(h.seen, expected);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(h.dir.path() / "out")) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"a.gif"});
    EXPECT_TRUE(fs::is_empty(h.dir.path() / "data"));
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

// Without a replacement the result window is shown modally over the window, and
// the run returns once it is closed.
TEST(RunWindowTest, TheResultWindowIsModalAndTheRunEndsWhenItIsClosed) {
    Harness h;
    RunWindow ui = h.ui();
    ui.showResult = nullptr;
    QString processed, caption;
    bool modal = false;
    auto* poll = new QTimer(&h.window);
    QObject::connect(poll, &QTimer::timeout, [&] {
        auto* form = qobject_cast<TFormResult*>(QApplication::activeModalWidget());
        if (!form)
            return;
        poll->stop();
        modal = form->isModal() && form->parentWidget() == &h.window;
        processed = form->Label4->text();
        caption = form->windowTitle();
        QTest::keyClick(form, Qt::Key_Escape);
    });
    poll->start(5);
    ConversionOptions options;
    options.destination = h.dir.file("out");
    auto summary = runFromWindow({(corpusDir() / "pngsuite/basn2c08.png").string()}, options,
                                 h.environment(), ui);
    ASSERT_TRUE(summary.has_value());
    EXPECT_TRUE(modal);
    EXPECT_EQ(caption, "Result");
    EXPECT_EQ(processed, "1");
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// Eight PNGs for the converter's route (GIF), each of whose calls takes a fifth
// of a second: slow enough to stop the run in the middle.
struct SlowRun {
    Harness h;
    imbrix::test::FakeConverter converter;
    std::vector<std::string> files;
    ConversionOptions options;

    SlowRun() {
        converter.set("slow", true);
        for (int i = 0; i < 8; ++i) {
            files.push_back(h.dir.file("pic" + std::to_string(i) + ".png"));
            fs::copy_file(corpusDir() / "pngsuite/basn6a08.png", files.back());
        }
        options.format = "GIF";
        options.destination = h.dir.file("out");
    }
    ConversionEnvironment environment() const {
        ConversionEnvironment environment = h.environment();
        environment.converterPath = converter.path();
        return environment;
    }
    // What the run left in its folders: outputs, and no temporary file.
    std::vector<std::string> outputs() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(h.dir.path() / "out"))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST(RunWindowProgressTest, AdvancesInListOrderFromZeroToAllWithTheTimeLeft) {
    SlowRun run;
    run.converter.set("slow", false);
    auto summary = runFromWindow(run.files, run.options, run.environment(), run.h.ui());
    ASSERT_TRUE(summary.has_value());
    const std::vector<RunDisplay>& shown = run.h.displays;
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.front().done, 0u);
    EXPECT_EQ(shown.back().done, run.files.size());
    std::size_t last = 0;
    std::vector<std::size_t> steps;
    for (const RunDisplay& display : shown) {
        EXPECT_EQ(display.total, run.files.size());
        EXPECT_GE(display.done, last) << "the progress went back";
        if (display.done != last)
            steps.push_back(display.done);
        last = display.done;
        EXPECT_FALSE(display.stopping);
        if (!display.timeLeft.isEmpty()) {
            EXPECT_TRUE(
                QRegularExpression("^[0-9]+:[0-5][0-9] left$").match(display.timeLeft).hasMatch())
                << display.timeLeft.toStdString();
        }
    }
    // One step per file, none left out.
    EXPECT_EQ(steps, (std::vector<std::size_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(shown.back().timeLeft.isEmpty()) << "time left shown after the last file";
    EXPECT_TRUE(std::any_of(shown.begin(), shown.end(),
                            [](const RunDisplay& d) { return !d.timeLeft.isEmpty(); }));
    EXPECT_EQ(run.h.offTheWindowsThread, 0);
}

// Stop, Escape and the close box each end the run after the file being shown:
// the files not yet named leave nothing behind, and the result window (or, after
// the close box, the window's closing) says so.
TEST(RunWindowStopTest, StopEscapeAndCloseEndTheRunCleanly) {
    enum class How { StopButton, Escape, CloseAgreed };
    for (How how : {How::StopButton, How::Escape, How::CloseAgreed}) {
        SCOPED_TRACE(static_cast<int>(how));
        SlowRun run;
        RunWindow ui = run.h.ui();
        int asked = 0;
        ui.confirmStop = [&] {
            ++asked;
            return true;
        };
        std::string stoppedLine;
        bool resultShown = false;
        ui.showResult = [&](TFormResult& form) {
            resultShown = true;
            stoppedLine = form.LabelStopped->isVisibleTo(&form)
                              ? form.LabelStopped->text().toStdString()
                              : "(none)";
        };
        // The stop comes while the third file is awaited: the two before it are done.
        const std::string third = "Converting " + run.files[2] + "...";
        bool stopShown = false;
        const auto showStatus = ui.showStatus;
        ui.showStatus = [&](const QString& text) {
            showStatus(text);
            if (text.toStdString() != third)
                return;
            switch (how) {
                case How::StopButton:
                    QTest::mouseClick(run.h.stopButton, Qt::LeftButton);
                    break;
                case How::Escape:
                    QTest::keyClick(&run.h.window, Qt::Key_Escape);
                    break;
                case How::CloseAgreed:
                    run.h.window.close();
                    break;
            }
        };
        ui.showProgress = [&](const RunDisplay& display) {
            if (display.stopping) {
                stopShown = true;
                EXPECT_TRUE(display.timeLeft.isEmpty());
            }
        };
        auto summary = runFromWindow(run.files, run.options, run.environment(), ui);
        ASSERT_TRUE(summary.has_value());
        EXPECT_TRUE(summary->stopped);
        EXPECT_EQ(summary->fileCount, 2u);
        EXPECT_TRUE(stopShown);
        EXPECT_EQ(run.outputs(), (std::vector<std::string>{"pic0.gif", "pic1.gif"}));
        EXPECT_TRUE(fs::is_empty(run.h.dir.path() / "data"));
        EXPECT_EQ(run.h.status->currentMessage(), "Stopping...");
        if (how == How::CloseAgreed) {
            EXPECT_EQ(asked, 1);
            EXPECT_FALSE(resultShown) << "the user closed the window: no result window";
            QTRY_VERIFY(!run.h.window.isVisible());
        } else {
            EXPECT_EQ(asked, 0);
            EXPECT_EQ(stoppedLine, "The run was stopped after 2 of 8 files.");
            EXPECT_TRUE(run.h.window.isVisible());
        }
    }
}

TEST(RunWindowStopTest, TheCloseBoxAnsweredNoLetsTheRunGoOn) {
    SlowRun run;
    RunWindow ui = run.h.ui();
    int asked = 0;
    ui.confirmStop = [&] {
        ++asked;
        return false;
    };
    const auto showStatus = ui.showStatus;
    ui.showStatus = [&](const QString& text) {
        showStatus(text);
        if (text.toStdString() == "Converting " + run.files[2] + "...")
            run.h.window.close();
    };
    std::string stoppedLine;
    ui.showResult = [&](TFormResult& form) {
        stoppedLine = form.LabelStopped->isVisibleTo(&form) ? "shown" : "(none)";
    };
    auto summary = runFromWindow(run.files, run.options, run.environment(), ui);
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(summary->stopped);
    EXPECT_EQ(summary->fileCount, 8u);
    EXPECT_EQ(run.outputs().size(), 8u);
    EXPECT_EQ(stoppedLine, "(none)");
    EXPECT_TRUE(run.h.window.isVisible());
}

// Once "Don't show further errors in this run" is ticked, the later failures
// come in no box; the result window counts them all and its details list each
// with its message.
TEST(RunWindowErrorsTest, TheCheckBoxCollectsTheRestAndTheResultWindowListsThem) {
    for (bool tick : {false, true}) {
        SCOPED_TRACE(tick);
        Harness h;
        h.tickErrors = tick;
        std::vector<std::string> files;
        for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) {
            files.push_back(h.dir.file(name));
            imbrix::test::writeText(files.back(), "not a picture");
        }
        files.insert(files.begin() + 1, (corpusDir() / "pngsuite/basn2c08.png").string());
        RunWindow ui = h.ui();
        std::string failedLine, details;
        ui.showResult = [&](TFormResult& form) {
            failedLine = form.Label9->isVisibleTo(&form) ? form.Label9->text().toStdString() + " " +
                                                               form.Label10->text().toStdString()
                                                         : "(none)";
            EXPECT_TRUE(form.ButtonDetails->isVisibleTo(&form));
            QTest::mouseClick(form.ButtonDetails, Qt::LeftButton);
        };
        ui.result.showDetails = [&](QDialog& dialog) {
            auto* text = dialog.findChild<QPlainTextEdit*>();
            ASSERT_NE(text, nullptr);
            EXPECT_TRUE(text->isReadOnly());
            details = text->toPlainText().toStdString();
            // "Copy" puts the whole list on the clipboard.
            for (auto* button : dialog.findChildren<QPushButton*>()) {
                if (button->text() == "Copy")
                    button->click();
            }
            EXPECT_EQ(QApplication::clipboard()->text().toStdString(), details);
        };
        ConversionOptions options;
        options.destination = h.dir.file("out");
        auto summary = runFromWindow(files, options, h.environment(), ui);
        ASSERT_TRUE(summary.has_value());
        std::size_t boxes = 0;
        for (const std::string& event : h.seen)
            boxes += event.rfind("box error [ERROR] JPEG error #53", 0) == 0 ? 1 : 0;
        EXPECT_EQ(boxes, tick ? 1u : 3u);
        EXPECT_EQ(h.checkText, "Don't show further errors in this run");
        EXPECT_EQ(summary->failedCount, 3u);
        EXPECT_EQ(failedLine, "Failed Files: 3");
        const std::string message =
            "    JPEG error #53\n\n    Unknown file format, empty/damaged file!\n";
        EXPECT_EQ(details, files[0] + "\n" + message + "\n" + files[2] + "\n" + message + "\n" +
                               files[3] + "\n" + message);
    }
}

// The real box, answered by the test.
TEST(MessageBoxTest, ShowsTheCaptionTextAndIconAndWaitsForOk) {
    struct Case {
        BoxIcon icon;
        QMessageBox::Icon expected;
    };
    for (const Case& c :
         {Case{BoxIcon::Error, QMessageBox::Critical}, Case{BoxIcon::Warning, QMessageBox::Warning},
          Case{BoxIcon::Information, QMessageBox::Information},
          Case{BoxIcon::None, QMessageBox::NoIcon}}) {
        QWidget owner;
        owner.show();
        QString title, text, shown;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        int buttons = 0;
        bool answered = false;
        // Looks for the box until it is up, then presses its OK button.
        auto* poll = new QTimer(&owner);
        QObject::connect(poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            poll->stop();
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = static_cast<int>(box->buttons().size());
            // What the label shows: its laid-out text, selected whole.
            if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
                label->setTextInteractionFlags(Qt::TextSelectableByMouse);
                label->setSelection(0, static_cast<int>(text.size()));
                shown = label->selectedText();
            }
            box->button(QMessageBox::Ok)->click();
            answered = true;
        });
        poll->start(5);
        // A file name that looks like markup is shown as it is.
        const QString message = "cannot read /p/<b>x</b> &amp; y.png: JPEG error #53";
        imbrix::convert::showMessageBox(&owner, c.icon, "ERROR", message);
        EXPECT_TRUE(answered);
        EXPECT_EQ(title, "ERROR");
        EXPECT_EQ(text, message);
        EXPECT_EQ(shown, message);
        EXPECT_EQ(icon, c.expected);
        EXPECT_EQ(buttons, 1);
    }
}
