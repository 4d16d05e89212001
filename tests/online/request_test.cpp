// The service request client against servers of the test's own on 127.0.0.1.
#include "online/request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "loopback_server.h"

namespace imbrix::online {
namespace {

using test::LoopbackServer;
using test::SeenRequest;
using namespace std::chrono_literals;

RequestOptions TestOptions() {
    RequestOptions options;
    options.caFile = test::testCertificate().certFile;
    options.connectTimeout = 2000ms;
    options.responseTimeout = 2000ms;
    return options;
}

LoopbackServer::Handler Reply(int status, std::string text,
                              std::string type = "text/plain; charset=utf-8") {
    return [status, text, type](const SeenRequest&, httplib::Response& response) {
        response.status = status;
        response.set_content(text, type.c_str());
    };
}

TEST(EncodeForm, KeepsFieldOrderAndPercentEncodesNamesAndValues) {
    const FieldList fields = {"cmd=check",
                              "appname=KELVANE - Imbrix",
                              "feedback=a&b=c\r\nd+e",
                              "name=\xC3\xA7\xC3\xB6z",
                              "guid=",
                              "w=x=y"};
    EXPECT_EQ(EncodeForm(fields),
              "cmd=check&appname=KELVANE%20-%20Imbrix&feedback=a%26b%3Dc%0D%0Ad%2Be"
              "&name=%C3%A7%C3%B6z&guid=&w=x%3Dy");
    // A standard form decoder gets every field back as it was given.
    const auto decoded = test::DecodeForm(EncodeForm(fields));
    ASSERT_EQ(decoded.size(), fields.size());
    EXPECT_EQ(decoded[2].second, "a&b=c\r\nd+e");
    EXPECT_EQ(decoded[3].second, "\xC3\xA7\xC3\xB6z");
    EXPECT_EQ(decoded[5].first, "w");
    EXPECT_EQ(decoded[5].second, "x=y");
}

TEST(PostRequest, PlainTransportPostsTheFormAndReturnsTheBody) {
    LoopbackServer server(false, Reply(200, "<version>2.4</version>\r\nline two"));
    const FieldList fields = {"cmd=feedback", "feedback=one two\r\nthree", "email=a@b.co"};
    const std::string reply =
        PostRequest("http://" + server.host() + "/php/feedback.php", fields, TestOptions());
    EXPECT_EQ(reply, "<version>2.4</version>\r\nline two");

    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, "/php/feedback.php");
    EXPECT_EQ(seen[0].contentType, "application/x-www-form-urlencoded");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"cmd", "feedback"}, {"feedback", "one two\r\nthree"}, {"email", "a@b.co"}};
    EXPECT_EQ(seen[0].fields, expected);
}

TEST(PostRequest, SecureTransportClosesTheConnectionAndDeclaresUtf8) {
    LoopbackServer server(true, Reply(200, "OK"));
    // The scheme is recognised in any letter case; the address goes out unchanged.
    const std::string reply =
        PostRequest("HTTPS://" + server.host() + "/php/check2.php", {"cmd=check"}, TestOptions());
    EXPECT_EQ(reply, "OK");
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].connection, "close");
    EXPECT_EQ(seen[0].contentType, "application/x-www-form-urlencoded; charset=utf-8");
    EXPECT_EQ(seen[0].fields.at(0).second, "check");
}

// An error page is an ordinary reply on the secure transport and a failure on the
// plain one.
TEST(PostRequest, ErrorStatusIsTextOverHttpsAndRaisesOverHttp) {
    for (int status : {404, 500}) {
        SCOPED_TRACE(status);
        const std::string page = "<html>error " + std::to_string(status) + "</html>";
        LoopbackServer secure(true, Reply(status, page, "text/html"));
        EXPECT_EQ(PostRequest("https://" + secure.host() + "/x", {"a=1"}, TestOptions()), page);

        LoopbackServer plain(false, Reply(status, page, "text/html"));
        try {
            PostRequest("http://" + plain.host() + "/x", {"a=1"}, TestOptions());
            ADD_FAILURE() << "an HTTP error status must raise";
        } catch (const RequestError& error) {
            EXPECT_NE(std::string(error.what()).find(std::to_string(status)), std::string::npos)
                << error.what();
        }
    }
}

TEST(PostRequest, FailuresRaiseWithAMessage) {
    LoopbackServer secure(true, Reply(200, "OK"));
    LoopbackServer plain(false, Reply(200, "OK"));
    RequestOptions untrusted = TestOptions();
    untrusted.caFile.clear();  // the system's store does not know the test certificate

    struct Case {
        const char* what;
        std::string address;
        RequestOptions options;
    };
    const Case cases[] = {
        {"certificate not trusted", "https://" + secure.host() + "/x", untrusted},
        {"https to a plain server", "https://" + plain.host() + "/x", TestOptions()},
        {"http to a TLS server", "http://" + secure.host() + "/x", TestOptions()},
        {"nobody listening", "http://127.0.0.1:1/x", TestOptions()},
        {"scheme other than http", "ftp://" + plain.host() + "/x", TestOptions()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            PostRequest(c.address, {"a=1"}, c.options);
            ADD_FAILURE() << "no error raised";
        } catch (const RequestError& error) {
            EXPECT_FALSE(std::string(error.what()).empty());
        }
    }
}

TEST(PostRequest, SlowServerRunsIntoTheResponseLimit) {
    LoopbackServer server(true, [&server](const SeenRequest&, httplib::Response& response) {
        for (int i = 0; i < 75 && !server.stopping(); ++i) {  // at most 1.5 s
            std::this_thread::sleep_for(20ms);
        }
        response.set_content("late", "text/plain");
    });
    RequestOptions options = TestOptions();
    options.connectTimeout = 300ms;
    options.responseTimeout = 300ms;
    // Without the limit the server's late answer would arrive and be returned.
    try {
        PostRequest("https://" + server.host() + "/x", {"a=1"}, options);
        ADD_FAILURE() << "the late answer was accepted";
    } catch (const RequestError& error) {
        EXPECT_NE(std::string(error.what()).find("timed out"), std::string::npos) << error.what();
    }
}

TEST(PostRequest, ReplyIsConvertedFromItsDeclaredCharset) {
    LoopbackServer server(false, Reply(200, "caf\xE9", "text/plain; charset=ISO-8859-1"));
    EXPECT_EQ(PostRequest("http://" + server.host() + "/x", {"a=1"}, TestOptions()), "caf\xC3\xA9");
}

TEST(PostRequest, OversizedReplyRaisesInsteadOfFillingMemory) {
    LoopbackServer server(false, Reply(200, std::string(5000, 'x')));
    RequestOptions options = TestOptions();
    options.maxReplyBytes = 1000;
    EXPECT_THROW(PostRequest("http://" + server.host() + "/x", {"a=1"}, options), RequestError);
}

TEST(PostWithFallback, PlainAnswerIsUsedWhenTheSecureAttemptFails) {
    LoopbackServer plain(false, Reply(200, "OK"));
    const FallbackReply answer = PostWithFallback(plain.host() + "/php/feedback.php",
                                                  {"cmd=feedback", "version=2.3"}, TestOptions());
    ASSERT_TRUE(answer.reply.has_value());
    EXPECT_EQ(*answer.reply, "OK");
    EXPECT_TRUE(answer.httpsError.has_value());
    EXPECT_FALSE(answer.httpError.has_value());
    const auto seen = plain.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, "cmd=feedback&version=2.3");

    LoopbackServer secure(true, Reply(200, "secure"));
    const FallbackReply direct = PostWithFallback(secure.host() + "/p", {"a=1"}, TestOptions());
    EXPECT_EQ(direct.reply.value_or(""), "secure");
    EXPECT_FALSE(direct.httpsError.has_value());

    const FallbackReply none = PostWithFallback("127.0.0.1:1/p", {"a=1"}, TestOptions());
    EXPECT_FALSE(none.reply.has_value());
    EXPECT_TRUE(none.httpsError.has_value());
    EXPECT_TRUE(none.httpError.has_value());
}

TEST(PostRequest, CancelStopsAWaitingRequest) {
    LoopbackServer server(false, [&server](const SeenRequest&, httplib::Response& response) {
        for (int i = 0; i < 100 && !server.stopping(); ++i) {  // at most 2 s
            std::this_thread::sleep_for(20ms);
        }
        response.set_content("late", "text/plain");
    });
    std::atomic<bool> cancel{false};
    RequestOptions options = TestOptions();
    options.cancel = &cancel;
    std::thread canceller([&] {
        std::this_thread::sleep_for(200ms);
        cancel = true;
    });
    // Without the cancel the server's late answer would arrive and be returned.
    try {
        PostRequest("http://" + server.host() + "/x", {"a=1"}, options);
        ADD_FAILURE() << "the request was not cancelled";
    } catch (const RequestError& error) {
        EXPECT_NE(std::string(error.what()).find("cancelled"), std::string::npos) << error.what();
    }
    canceller.join();
}

TEST(PostRequest, CancelledBeforeItStartsConnectsNowhere) {
    test::SilentServer silent;
    const std::atomic<bool> cancel{true};
    RequestOptions options = TestOptions();
    options.cancel = &cancel;
    for (const char* scheme : {"https://", "http://"}) {
        SCOPED_TRACE(scheme);
        try {
            PostRequest(scheme + silent.host() + "/x", {"a=1"}, options);
            ADD_FAILURE() << "the request was made";
        } catch (const RequestError& error) {
            EXPECT_NE(std::string(error.what()).find("cancelled"), std::string::npos)
                << error.what();
        }
    }
    EXPECT_EQ(silent.connectionCount(), 0u);
}

TEST(PostRequest, CancelStopsARequestWhoseHandshakeNeverEnds) {
    test::SilentServer silent;
    std::atomic<bool> cancel{false};
    RequestOptions options = TestOptions();
    options.connectTimeout = 30000ms;
    options.responseTimeout = 30000ms;
    options.cancel = &cancel;
    std::thread canceller([&] {
        for (int i = 0; i < 500 && silent.connectionCount() == 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        cancel = true;
    });
    try {
        PostRequest("https://" + silent.host() + "/x", {"a=1"}, options);
        ADD_FAILURE() << "the request was not cancelled";
    } catch (const RequestError& error) {
        EXPECT_NE(std::string(error.what()).find("cancelled"), std::string::npos) << error.what();
    }
    canceller.join();
    EXPECT_EQ(silent.connectionCount(), 1u);
    EXPECT_EQ(silent.closedCount(), 1u);  // nothing left open
}

}  // namespace
}  // namespace imbrix::online
