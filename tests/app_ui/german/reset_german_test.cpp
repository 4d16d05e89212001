// The main window's messages in the user's language: a program of its own,
// because the process-wide language is chosen once.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QStringList>
#include <QTimer>
#include <filesystem>
#include <memory>
#include <vector>

#include "app/appform.h"
#include "common/testsupport.h"
#include "i18n/i18n.h"

namespace {

TEST(AppFormGerman, ResetAsksInTheLoadedLanguage) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("IMBRIX_SERVICE_HOST", "127.0.0.1:9");
    int argc = 1;
    char name[] = "imbrix_app_ui_german_tests";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);

    // German (Germany), from the Languages folder beside the built program.
    const std::string programFolder = imbrix::test::binDir().string() + "/";
    ASSERT_TRUE(imbrix::i18n::installCatalogue(std::make_unique<const imbrix::i18n::Catalogue>(
        imbrix::i18n::Catalogue::load(programFolder, 1031))));
    ASSERT_TRUE(imbrix::i18n::processCatalogue()->isLoaded());

    imbrix::test::ScratchDir dir;
    imbrix::app::AppIdentity identity{"KELVANE",          "Imbrix",      "2.3",
                                      "KELVANE - Imbrix", programFolder, dir.path().string() + "/"};
    std::vector<QStringList> questions;
    imbrix::app::DesktopServices desktop;
    desktop.confirm = [&](QWidget*, const QString& message, const QString& title,
                          const QStringList& captions) {
        questions.push_back(QStringList{message, title} + captions);
        return false;
    };
    desktop.restart = [] { ADD_FAILURE() << "restarted after No"; };
    imbrix::app::TAppForm form(identity, {}, desktop);
    form.TimerChecker->stop();

    form.ResettoDefaults1->trigger();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], (QStringList{QString::fromUtf8("Anwendung neu starten?"),
                                         QString::fromUtf8("Bestätigung"), "Ja", "Nein"}));
    // The window's own captions stay English.
    EXPECT_EQ(form.ResettoDefaults1->text(), "Reset to Defaults...");
}

}  // namespace
