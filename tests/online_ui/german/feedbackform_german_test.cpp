// The feedback window in German: translated texts on screen, the English choice
// line first in what is sent, translated messages.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "common/testsupport.h"
#include "i18n/i18n.h"
#include "online/ui/feedbackform.h"
#include "qtapp.h"

namespace imbrix::online {
namespace {

class GermanFeedbackForm : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::TestApp();
        auto german = std::make_unique<const i18n::Catalogue>(
            i18n::Catalogue::load(test::binDir().string() + "/", 1031));
        ASSERT_TRUE(german->isLoaded());
        ASSERT_TRUE(i18n::installCatalogue(std::move(german)));
    }

    FieldList sent;
    std::vector<std::pair<QString, QString>> shown;  // caption, text

    FeedbackFormEnvironment Environment() {
        FeedbackFormEnvironment env;
        env.identity = {"KELVANE - Imbrix", "Imbrix", "2.3"};
        env.serviceHost = "service.test";
        env.post = [this](const std::string&, const FieldList& fields) {
            sent = fields;
            return std::string("OK");
        };
        env.showMessage = [this](QWidget*, QMessageBox::Icon, const QString& caption,
                                 const QString& text) { shown.emplace_back(caption, text); };
        env.beep = [] {};
        return env;
    }
};

TEST_F(GermanFeedbackForm, TranslatedCaptionsAndEnglishChoiceLineFirst) {
    TFeedbackForm form(nullptr, Environment());
    EXPECT_EQ(form.Panel4Caption->text(), QString::fromUtf8("Gefällt mir!"));
    EXPECT_EQ(form.Panel5Caption->text(), QString::fromUtf8("Gefällt mir nicht!"));
    EXPECT_EQ(form.windowTitle(), "Imbrix " + QString::fromStdString(i18n::Translate("feedback")));
    EXPECT_EQ(form.BitBtn1->text(), QString::fromStdString(i18n::Translate("Send")));

    form.show();
    QTest::mouseClick(form.Panel4, Qt::LeftButton);
    form.Memo1->setPlainText("Hallo");
    form.BitBtn1Click();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[3], "feedback=I like it! (Gefällt mir!)\rHallo");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].second, QString::fromUtf8("Ihr Feedback ist bei uns eingegangen.") + "\n\n" +
                                   QString::fromStdString(i18n::Translate("Thank you!")));
}

TEST_F(GermanFeedbackForm, InvalidAddressMessageIsTranslated) {
    TFeedbackForm form(nullptr, Environment());
    form.Memo1->setPlainText("Hallo");
    form.Edit1->setText("kein-adresse");
    form.BitBtn1Click();
    EXPECT_TRUE(sent.empty());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].first, "Fehler");
    EXPECT_EQ(shown[0].second, QString::fromUtf8("Ungültige E-Mail-Adresse!"));
}

}  // namespace
}  // namespace imbrix::online
