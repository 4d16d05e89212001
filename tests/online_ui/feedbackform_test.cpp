// The feedback window offscreen: its checks, its messages, what it sends and what
// it keeps when sending fails.
#include "online/ui/feedbackform.h"

#include <gtest/gtest.h>

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <stdexcept>
#include <string>
#include <vector>

#include "loopback_server.h"
#include "qtapp.h"

namespace imbrix::online {
namespace {

using namespace std::chrono_literals;

struct Posted {
    std::string address;
    FieldList fields;
};

struct Shown {
    QMessageBox::Icon icon;
    QString caption;
    QString text;
};

const QString kDeliveredText = QStringLiteral("Your feedback is received.\n\nThank you!");
const QString kFailedText = QStringLiteral(
    "Something went wrong. Your feedback could not be delivered.\n\nPlease try again later.");

class FeedbackForm : public ::testing::Test {
protected:
    FeedbackForm() { test::TestApp(); }

    std::vector<Posted> posted;
    std::vector<Shown> shown;
    int beeps = 0;
    // Answers a post to `address`; throws for a failed attempt.
    std::function<std::string(const std::string& address)> service = [](const std::string&) {
        return std::string("OK");
    };

    FeedbackFormEnvironment Environment() {
        FeedbackFormEnvironment env;
        env.identity = {"KELVANE - Imbrix", "Imbrix", "2.3"};
        env.serviceHost = "service.test";
        env.post = [this](const std::string& address, const FieldList& fields) {
            posted.push_back({address, fields});
            return service(address);
        };
        env.showMessage = [this](QWidget*, QMessageBox::Icon icon, const QString& caption,
                                 const QString& text) {
            shown.push_back({icon, caption, text});
        };
        env.beep = [this] { ++beeps; };
        return env;
    }

    static void Click(QWidget* widget, Qt::MouseButton button = Qt::LeftButton) {
        QTest::mouseClick(widget, button);
    }
};

TEST_F(FeedbackForm, StartsEmptyWithItsTextsAndLimits) {
    TFeedbackForm form(nullptr, Environment());
    EXPECT_EQ(form.windowTitle(), "Imbrix feedback");
    EXPECT_EQ(form.Panel4Caption->text(), "I like it!");
    EXPECT_EQ(form.Panel5Caption->text(), "I dislike it!");
    EXPECT_EQ(form.Label1->text(), "We would really appreciate your feedback.");
    EXPECT_EQ(form.Label2->text(), "What did you like or dislike?");
    EXPECT_EQ(form.Label3->text(), "Include my e-mail:");
    EXPECT_EQ(form.BitBtn1->text(), "Send");
    EXPECT_FALSE(form.LikeSelected());
    EXPECT_FALSE(form.DislikeSelected());
    EXPECT_TRUE(form.Memo1->toPlainText().isEmpty());
    EXPECT_TRUE(form.Edit1->text().isEmpty());
    EXPECT_EQ(form.size(), QSize(525, 326));

    form.Memo1->setPlainText(QString(10005, QLatin1Char('x')));
    EXPECT_EQ(form.Memo1->toPlainText().size(), 10000);
    EXPECT_EQ(form.Edit1->maxLength(), 100);
}

TEST_F(FeedbackForm, ChoicePanelsToggleAndExcludeEachOther) {
    enum Target { Like, LikePicture, Dislike, DislikePicture };
    struct Case {
        const char* name;
        std::vector<std::pair<Target, Qt::MouseButton>> clicks;
        bool like;
        bool dislike;
    };
    const std::vector<Case> cases = {
        {"like", {{Like, Qt::LeftButton}}, true, false},
        {"like by its picture", {{LikePicture, Qt::LeftButton}}, true, false},
        {"like twice clears it",
         {{Like, Qt::LeftButton}, {LikePicture, Qt::LeftButton}},
         false,
         false},
        {"dislike after like", {{Like, Qt::LeftButton}, {Dislike, Qt::LeftButton}}, false, true},
        {"like after dislike",
         {{DislikePicture, Qt::LeftButton}, {LikePicture, Qt::LeftButton}},
         true,
         false},
        {"right button does nothing", {{Like, Qt::RightButton}}, false, false},
        {"middle button keeps a choice",
         {{Dislike, Qt::LeftButton}, {Like, Qt::MiddleButton}},
         false,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TFeedbackForm form(nullptr, Environment());
        form.show();
        for (const auto& [target, button] : c.clicks) {
            QWidget* widgets[] = {form.Panel4, form.Image1, form.Panel5, form.Image2};
            Click(widgets[target], button);
        }
        EXPECT_EQ(form.LikeSelected(), c.like);
        EXPECT_EQ(form.DislikeSelected(), c.dislike);
        // The selected panel shows the highlight colour, the other the button face.
        const QPalette app = QApplication::palette();
        EXPECT_EQ(form.Panel4->palette().color(QPalette::Window),
                  app.color(c.like ? QPalette::Highlight : QPalette::Button));
        EXPECT_EQ(form.Panel5->palette().color(QPalette::Window),
                  app.color(c.dislike ? QPalette::Highlight : QPalette::Button));
    }
}

TEST_F(FeedbackForm, BlankMessageBeepsAndSendsNothing) {
    for (const char* message : {"", "   ", "\n\n \t\n"}) {
        SCOPED_TRACE(testing::Message() << "message: [" << message << "]");
        beeps = 0;
        TFeedbackForm form(nullptr, Environment());
        form.show();
        QApplication::setActiveWindow(&form);
        Click(form.Panel4);  // a choice alone is not sent
        form.Memo1->setPlainText(message);
        form.Edit1->setFocus();
        Click(form.BitBtn1);
        EXPECT_EQ(beeps, 1);
        EXPECT_TRUE(posted.empty());
        EXPECT_TRUE(shown.empty());
        EXPECT_TRUE(form.isVisible());
        EXPECT_EQ(form.focusWidget(), form.Memo1);
    }
}

TEST_F(FeedbackForm, InvalidAddressIsRefusedBeforeSending) {
    for (const char* email : {"someone@example", "some one@example.org", "someone@example.org.",
                              "someone@@example.org", "@example.org"}) {
        SCOPED_TRACE(email);
        shown.clear();
        TFeedbackForm form(nullptr, Environment());
        form.show();
        QApplication::setActiveWindow(&form);
        form.Memo1->setPlainText("Nice program");
        form.Edit1->setText(email);
        form.Memo1->setFocus();
        Click(form.BitBtn1);
        EXPECT_TRUE(posted.empty());
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].icon, QMessageBox::Critical);
        EXPECT_EQ(shown[0].caption, "Failure");
        EXPECT_EQ(shown[0].text, "Invalid e-mail address!");
        EXPECT_TRUE(form.isVisible());
        EXPECT_EQ(form.focusWidget(), form.Edit1);
    }
}

TEST_F(FeedbackForm, DeliveredFeedbackSendsItsFieldsInOrderAndCloses) {
    TFeedbackForm form(nullptr, Environment());
    form.show();
    Click(form.Panel4);
    form.Memo1->setPlainText("  Converts fast\nthanks \n\n");
    form.Edit1->setText("  me@site.example ");
    service = [](const std::string&) { return std::string("\r\nOK\r\n"); };
    Click(form.BitBtn1);

    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].address, "https://service.test/php/feedback.php");
    EXPECT_EQ(posted[0].fields,
              (FieldList{"cmd=feedback", "appname=KELVANE - Imbrix", "version=2.3",
                         "feedback=I like it!\rConverts fast\r\nthanks", "email=me@site.example"}));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].icon, QMessageBox::Information);
    EXPECT_EQ(shown[0].caption, "Success");
    EXPECT_EQ(shown[0].text, kDeliveredText);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), QDialog::Accepted);
}

TEST_F(FeedbackForm, WithoutAddressOrChoiceOnlyTheMessageIsSent) {
    TFeedbackForm form(nullptr, Environment());
    form.Memo1->setPlainText("Just a note");
    form.Edit1->setText("   ");
    form.BitBtn1Click();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].fields, (FieldList{"cmd=feedback", "appname=KELVANE - Imbrix",
                                           "version=2.3", "feedback=Just a note"}));
}

TEST_F(FeedbackForm, SecureFailureFallsBackToPlainWithTheSameFields) {
    service = [](const std::string& address) -> std::string {
        if (address.starts_with("https://")) {
            throw RequestError("certificate problem");
        }
        return "OK";
    };
    TFeedbackForm form(nullptr, Environment());
    Click(form.Panel5);
    form.Memo1->setPlainText("Too slow");
    form.BitBtn1Click();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].address, "https://service.test/php/feedback.php");
    EXPECT_EQ(posted[1].address, "http://service.test/php/feedback.php");
    EXPECT_EQ(posted[0].fields, posted[1].fields);
    EXPECT_EQ(posted[1].fields[3], "feedback=I dislike it!\rToo slow");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "Success");
}

TEST_F(FeedbackForm, FailedDeliveryKeepsEverythingTyped) {
    struct Case {
        const char* name;
        std::function<std::string(const std::string&)> service;
        size_t attempts;
    };
    const std::vector<Case> cases = {
        {"both transports fail",
         [](const std::string&) -> std::string { throw RequestError("refused"); }, 2},
        {"lower-case ok", [](const std::string&) { return std::string("ok"); }, 1},
        {"more than OK", [](const std::string&) { return std::string("OK\r\nbut not"); }, 1},
        {"error page", [](const std::string&) { return std::string("<h1>500</h1>"); }, 1},
        {"empty reply", [](const std::string&) { return std::string(); }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        posted.clear();
        shown.clear();
        service = c.service;
        TFeedbackForm form(nullptr, Environment());
        form.show();
        Click(form.Image2);
        form.Memo1->setPlainText("Please add AVIF options");
        form.Edit1->setText("me@site.example");
        Click(form.BitBtn1);
        EXPECT_EQ(posted.size(), c.attempts);
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].icon, QMessageBox::Critical);
        EXPECT_EQ(shown[0].caption, "Failure");
        EXPECT_EQ(shown[0].text, kFailedText);
        EXPECT_TRUE(form.isVisible());
        EXPECT_TRUE(form.DislikeSelected());
        EXPECT_EQ(form.Memo1->toPlainText(), "Please add AVIF options");
        EXPECT_EQ(form.Edit1->text(), "me@site.example");
    }
}

TEST_F(FeedbackForm, EscapeClosesWithoutSending) {
    for (int which = 0; which < 3; ++which) {
        TFeedbackForm form(nullptr, Environment());
        form.show();
        QApplication::setActiveWindow(&form);
        form.Memo1->setPlainText("unsent");
        QWidget* target = which == 0   ? static_cast<QWidget*>(form.Memo1)
                          : which == 1 ? static_cast<QWidget*>(form.Edit1)
                                       : static_cast<QWidget*>(form.BitBtn1);
        SCOPED_TRACE(target->metaObject()->className());
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Escape);
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(form.result(), QDialog::Rejected);
        EXPECT_TRUE(posted.empty());
    }
}

TEST_F(FeedbackForm, EnterInTheAddressBoxDoesNotSend) {
    TFeedbackForm form(nullptr, Environment());
    form.show();
    QApplication::setActiveWindow(&form);
    form.Memo1->setPlainText("typed");
    form.Edit1->setFocus();
    QTest::keyClick(form.Edit1, Qt::Key_Return);
    EXPECT_TRUE(posted.empty());
    EXPECT_TRUE(form.isVisible());
}

// The window's own request client against a service on 127.0.0.1 that speaks
// plain HTTP only: the secure attempt fails, the plain one delivers.
TEST_F(FeedbackForm, DeliversToARealServiceAndReportsItsErrors) {
    struct Case {
        int status;
        const char* reply;
        const char* caption;
    };
    for (const Case& c : {Case{200, "OK\n", "Success"}, Case{500, "OK", "Failure"},
                          Case{200, "Not now", "Failure"}}) {
        SCOPED_TRACE(testing::Message() << c.status << " " << c.reply);
        shown.clear();
        test::LoopbackServer server(false, [&c](const test::SeenRequest&, httplib::Response& r) {
            r.status = c.status;
            r.set_content(c.reply, "text/plain");
        });
        FeedbackFormEnvironment env = Environment();
        env.post = nullptr;
        env.serviceHost = server.host();
        env.request.connectTimeout = 2000ms;
        env.request.responseTimeout = 2000ms;
        env.request.caFile = test::testCertificate().certFile;
        TFeedbackForm form(nullptr, env);
        form.show();
        Click(form.Panel4);
        form.Memo1->setPlainText("Grüße & 100% \"fine\"\nline two");
        form.Edit1->setText("me@site.example");
        Click(form.BitBtn1);

        ASSERT_EQ(server.requestCount(), 1u);
        const test::SeenRequest seen = server.requests()[0];
        EXPECT_EQ(seen.path, "/php/feedback.php");
        using Field = std::pair<std::string, std::string>;
        EXPECT_EQ(seen.fields,
                  (std::vector<Field>{{"cmd", "feedback"},
                                      {"appname", "KELVANE - Imbrix"},
                                      {"version", "2.3"},
                                      {"feedback", "I like it!\rGrüße & 100% \"fine\"\r\nline two"},
                                      {"email", "me@site.example"}}));
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].caption, c.caption);
        EXPECT_EQ(form.isVisible(), std::string(c.caption) == "Failure");
    }
}

}  // namespace
}  // namespace imbrix::online
