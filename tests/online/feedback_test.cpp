// The feedback window's checks, text and delivery, without the window.
#include "online/feedback.h"

#include <gtest/gtest.h>

#include "loopback_server.h"

namespace imbrix::online {
namespace {

using namespace std::chrono_literals;

TEST(IsValidEmail, TheProgramsAddressRule) {
    const std::pair<const char*, bool> cases[] = {
        {"user@example.com", true},
        {"first.last+tag@mail-host.co.uk", true},
        {"a_b-c@x.y1", true},
        {"user@host", false},           // no dot after the at sign
        {"us er@example.com", false},   // blank inside
        {"user@example.com.", false},   // ends in a dot
        {"user@example.com\n", false},  // a line break is not part of an address
        {"@example.com", false},
        {"user@@example.com", false},
        {"user@exa_mple.com", false},
        {"us\xC3\xA9r@example.com", false},
        {"", false},
    };
    for (const auto& [address, valid] : cases) {
        EXPECT_EQ(IsValidEmail(address), valid) << address;
    }
}

TEST(FeedbackText, ChoiceLineThenTheTrimmedMessage) {
    FeedbackInput input;
    input.message = "  Great tool.\nThanks!\n\n ";
    EXPECT_EQ(FeedbackText(input), "Great tool.\r\nThanks!");

    input.like = true;
    EXPECT_EQ(FeedbackText(input), "I like it!\rGreat tool.\r\nThanks!");

    // A translated caption follows the English words in brackets.
    input.like = false;
    input.dislike = true;
    input.dislikeCaption = "Gef\xC3\xA4llt mir nicht!";
    EXPECT_EQ(FeedbackText(input),
              "I dislike it! (Gef\xC3\xA4llt mir nicht!)\rGreat tool.\r\nThanks!");
}

TEST(CheckFeedback, BlankMessageAndBadAddressStopTheSend) {
    FeedbackInput input;
    input.like = true;
    input.message = " \r\n\t\n";
    EXPECT_EQ(CheckFeedback(input), FeedbackProblem::EmptyMessage);  // a choice alone is not sent
    input.message = "hello";
    input.email = "  someone@example  ";
    EXPECT_EQ(CheckFeedback(input), FeedbackProblem::InvalidEmail);
    input.email = "  someone@example.com  ";
    EXPECT_EQ(CheckFeedback(input), FeedbackProblem::None);
    input.email = "   ";
    EXPECT_EQ(CheckFeedback(input), FeedbackProblem::None);
}

TEST(FeedbackFields, InOrderWithTheAddressOnlyWhenGiven) {
    FeedbackInput input;
    input.message = "hi";
    EXPECT_EQ(
        FeedbackFields(input, "KELVANE - Imbrix", "2.3"),
        (FieldList{"cmd=feedback", "appname=KELVANE - Imbrix", "version=2.3", "feedback=hi"}));
    input.email = " me@example.com ";
    EXPECT_EQ(FeedbackFields(input, "KELVANE - Imbrix", "2.3").back(), "email=me@example.com");
}

TEST(FeedbackDelivered, OnlyExactlyOk) {
    const std::pair<const char*, bool> cases[] = {
        {"OK", true},
        {"OK\r\n", true},
        {"\r\n  OK \n\n", true},
        {"ok", false},
        {"OK!", false},
        {"OK\nmore", false},
        {"", false},
        {"<html>OK</html>", false},
    };
    for (const auto& [reply, delivered] : cases) {
        EXPECT_EQ(FeedbackDelivered(reply), delivered) << reply;
    }
}

TEST(SendFeedback, DeliversToTheServiceAndJudgesTheReply) {
    RequestOptions options;
    options.connectTimeout = 2000ms;
    options.responseTimeout = 2000ms;
    options.caFile = test::testCertificate().certFile;
    FeedbackInput input;
    input.like = true;
    input.message = "Works well\nfor me";
    input.email = "me@example.com";

    test::LoopbackServer secure(true, [](const test::SeenRequest&, httplib::Response& response) {
        response.set_content("OK\r\n", "text/plain");
    });
    EXPECT_TRUE(SendFeedback(input, "KELVANE - Imbrix", "2.3", secure.host(), options));
    const auto seen = secure.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, "/php/feedback.php");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"cmd", "feedback"},
        {"appname", "KELVANE - Imbrix"},
        {"version", "2.3"},
        {"feedback", "I like it!\rWorks well\r\nfor me"},
        {"email", "me@example.com"}};
    EXPECT_EQ(seen[0].fields, expected);

    test::LoopbackServer lower(false, [](const test::SeenRequest&, httplib::Response& response) {
        response.set_content("ok", "text/plain");
    });
    EXPECT_FALSE(SendFeedback(input, "KELVANE - Imbrix", "2.3", lower.host(), options));
    EXPECT_EQ(lower.requestCount(), 1u);  // reached over http after https failed

    EXPECT_FALSE(SendFeedback(input, "KELVANE - Imbrix", "2.3", "127.0.0.1:1", options));
}

}  // namespace
}  // namespace imbrix::online
