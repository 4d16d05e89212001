// The update check against a service of the test's own on 127.0.0.1, with the
// per-user store in a scratch folder and a clock that the test moves.
#include "online/check.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "loopback_server.h"

namespace imbrix::online {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;
using test::LoopbackServer;

constexpr const char* kCaption = "KELVANE - Imbrix";
constexpr const char* kNewerReply =
    "<version>2.4</version>\r\n<url>https://download.example/imbrix</url>\r\n\r\n"
    "<result>1</result>\r\n\r\n<important></important>\r\n";

std::string ReplyWith(const std::string& version, const std::string& important = "") {
    return "<version>" + version +
           "</version>\n<url>https://download.example/imbrix</url>\n\n"
           "<result>0</result>\n\n<important>" +
           important + "</important>\n";
}

class UpdateCheck : public ::testing::Test {
protected:
    test::ScratchDir dir;
    test::ScopedEnv configHome{"XDG_CONFIG_HOME", dir.path().string()};
    std::mutex replyMutex;
    std::string reply = kNewerReply;
    LoopbackServer server{false, [this](const test::SeenRequest&, httplib::Response& response) {
                              std::lock_guard lock(replyMutex);
                              response.set_content(reply, "text/plain");
                          }};
    sys_days today = 2025y / March / 4;

    void SetReply(std::string text) {
        std::lock_guard lock(replyMutex);
        reply = std::move(text);
    }

    CheckEnvironment Environment() {
        CheckEnvironment env;
        env.appCaption = kCaption;
        env.versionText = "2.3";
        env.serviceHost = server.host();
        env.registryRoot = DefaultRegistryRoot();
        env.machineIdFile = dir.file("machine-id");
        env.clock = [this] { return system_clock::time_point(today) + 10h; };
        env.localeCode = [] { return std::string("tr-TR"); };
        env.request.connectTimeout = 2000ms;
        env.request.responseTimeout = 2000ms;
        env.request.caFile = test::testCertificate().certFile;
        return env;
    }

    CheckResults RunCheck(CheckEnvironment env) {
        TChecker checker(std::move(env));
        checker.CheckNow();
        EXPECT_TRUE(checker.Finished());
        return checker.Results();
    }
    CheckResults RunCheck() { return RunCheck(Environment()); }

    // The check's store, where the program keeps it.
    KeyValueStore Store() {
        return KeyValueStore(dir.path() / "KELVANE" / "Registry" / MD5Hex(kCaption) / "Settings");
    }
};

TEST_F(UpdateCheck, FirstRunAsksSendsItsFieldsInOrderAndShowsTheNotice) {
    test::writeText(dir.path() / "machine-id", "4c4c4544003a4b10805ab4c04f4d3132\n");
    const CheckResults results = RunCheck();

    EXPECT_TRUE(results.showNotice);
    EXPECT_FALSE(results.errorFlag) << results.errorText;
    EXPECT_EQ(results.serverVersion, "2.4");
    EXPECT_EQ(results.downloadAddress, "https://download.example/imbrix");
    EXPECT_EQ(results.notificationsWanted, 1);

    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, "/php/check2.php");
    std::vector<std::string> names;
    for (const auto& field : seen[0].fields) {
        names.push_back(field.first);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"cmd", "appname", "version", "os", "local", "guid",
                                               "howmany"}));
    EXPECT_EQ(seen[0].fields[0].second, "check");
    EXPECT_EQ(seen[0].fields[1].second, kCaption);
    EXPECT_EQ(seen[0].fields[2].second, "2.3");
    EXPECT_TRUE(seen[0].fields[3].second.find("(Version ") != std::string::npos);
    EXPECT_EQ(seen[0].fields[4].second, "tr-TR");
    EXPECT_EQ(seen[0].fields[5].second, GetMachineGuid(dir.file("machine-id")));
    EXPECT_EQ(seen[0].fields[6].second, "1");

    KeyValueStore store = Store();
    EXPECT_EQ(store.ReadText("HowMany"), "1");
    EXPECT_EQ(store.ReadText("InstalledVersion"), "2.3");
    EXPECT_EQ(store.ReadText("LastUpdateCheck"), ShortDateText(system_clock::time_point(today)));
    EXPECT_EQ(store.ReadText("LastUpdateCheckCount"), "1");
    EXPECT_EQ(store.ReadText("CurrentVersion"), "2.4");
    // The address is kept scrambled, and reads back.
    const std::string storedUrl = store.ReadText("CurrentURL");
    EXPECT_EQ(storedUrl.find("download"), std::string::npos);
    EXPECT_EQ(UnscrambleValue(storedUrl), "https://download.example/imbrix");
}

TEST_F(UpdateCheck, NoMachineIdSendsAnEmptyGuidField) {
    RunCheck();
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_EQ(seen[0].fields.size(), 7u);
    EXPECT_EQ(seen[0].fields[5], (std::pair<std::string, std::string>{"guid", ""}));
}

// Each start of the program is one check. Per day: starts 1 to 3 show the notice,
// 4 and 5 ask without it, 6 and later do not ask; the next day starts over.
TEST_F(UpdateCheck, DailyLimitsOverSeveralStartsAndDays) {
    struct Start {
        int day;
        bool asks;
        bool notice;
    };
    const Start starts[] = {{0, true, true},   {0, true, true},  {0, true, true},
                            {0, true, false},  {0, true, false}, {0, false, false},
                            {0, false, false}, {1, true, true},  {1, true, true}};
    const sys_days first = today;
    size_t requests = 0;
    int run = 0;
    for (const Start& start : starts) {
        ++run;
        SCOPED_TRACE("start " + std::to_string(run));
        today = first + days{start.day};
        const CheckResults results = RunCheck();
        const size_t now = server.requestCount();
        EXPECT_EQ(now > requests, start.asks);
        EXPECT_EQ(results.showNotice, start.notice);
        EXPECT_FALSE(results.errorFlag) << results.errorText;
        if (start.asks) {
            EXPECT_EQ(server.requests().back().fields.back().second, std::to_string(run));
        }
        requests = now;
        EXPECT_EQ(Store().ReadText("HowMany"), std::to_string(run));  // counted on every start
    }
    EXPECT_EQ(Store().ReadText("LastUpdateCheckCount"), "2");
}

TEST_F(UpdateCheck, AnotherInstalledVersionStartsTheRunCountAgain) {
    KeyValueStore store = Store();
    store.Write("InstalledVersion", "2.2");
    store.Write("HowMany", "41");
    RunCheck();
    EXPECT_EQ(store.ReadText("HowMany"), "1");
    EXPECT_EQ(store.ReadText("InstalledVersion"), "2.3");
    RunCheck();
    EXPECT_EQ(store.ReadText("HowMany"), "2");
}

TEST_F(UpdateCheck, ServerVersionDecidesTheNotice) {
    const std::pair<const char*, bool> cases[] = {
        {"2.4", true}, {"1.9", true},       {"3.0.1", true}, {"2.3", false},
        {"", false},   {"2.4 beta", false}, {"2.4b", false},
    };
    for (const auto& [version, notice] : cases) {
        SCOPED_TRACE(version);
        today += days{1};  // each case the first check of its day
        SetReply(ReplyWith(version));
        const CheckResults results = RunCheck();
        EXPECT_FALSE(results.errorFlag) << results.errorText;
        EXPECT_EQ(results.showNotice, notice);
        EXPECT_EQ(results.serverVersion, version);
    }
}

TEST_F(UpdateCheck, InvalidRepliesStoreNothingAndShowNothing) {
    const char* replies[] = {
        "ERROR: database\r\n<version>2.4</version>\r\n<url>u</url>\r\n<result>1</result>",
        "<version>2.4</version>\r\n<url>https://x.example/</url>\r\n",
        "<version>2.4</version>\n<url>u</url>\n\n<result>2</result>\n\n<important>x</important>",
        "<version>2.4</version>\n<url>u</url>\n\n <result>1</result>\n\n<important>x</important>",
        "",
    };
    int shown = 0;
    for (const char* text : replies) {
        SCOPED_TRACE(text);
        SetReply(text);
        CheckEnvironment env = Environment();
        env.showImportant = [&shown](const std::string&, const std::string&,
                                     const std::atomic<bool>&) { ++shown; };
        const CheckResults results = RunCheck(std::move(env));
        EXPECT_TRUE(results.errorFlag);
        EXPECT_NE(results.errorText.find("INVALIDSERVERRESPONSE"), std::string::npos)
            << results.errorText;
        EXPECT_FALSE(results.showNotice);
        EXPECT_FALSE(Store().Read("CurrentVersion").has_value());
        EXPECT_FALSE(Store().Read("CurrentURL").has_value());
    }
    EXPECT_EQ(shown, 0);
}

TEST_F(UpdateCheck, BothTransportsFailingIsRecordedAndStillFinishes) {
    CheckEnvironment env = Environment();
    env.serviceHost = "127.0.0.1:1";  // nobody listens there
    const CheckResults results = RunCheck(std::move(env));
    EXPECT_FALSE(results.showNotice);
    EXPECT_NE(results.errorText.find("HTTPS Response:\r"), std::string::npos);
    EXPECT_NE(results.errorText.find("\r\rHTTP Response:\r"), std::string::npos);
    EXPECT_EQ(Store().ReadText("HowMany"), "1");
}

TEST_F(UpdateCheck, NotificationsOffAsksNothingOtherValuesAskWithoutNotice) {
    KeyValueStore store = Store();
    store.Write("ShowUpdate", "0");
    CheckResults results = RunCheck();
    EXPECT_EQ(results.notificationsWanted, 0);
    EXPECT_FALSE(results.showNotice);
    EXPECT_EQ(server.requestCount(), 0u);
    EXPECT_EQ(store.ReadText("HowMany"), "1");

    store.Write("ShowUpdate", "5");
    results = RunCheck();
    EXPECT_EQ(results.notificationsWanted, 5);
    EXPECT_EQ(server.requestCount(), 1u);
    EXPECT_FALSE(results.showNotice);
    EXPECT_EQ(results.serverVersion, "2.4");
}

// A stored value that is not a number reads as its default, and the check goes on.
TEST_F(UpdateCheck, DamagedStoredValuesCountAsTheirDefaults) {
    KeyValueStore store = Store();
    store.Write("InstalledVersion", "2.3");
    store.Write("HowMany", "many");
    store.Write("ShowUpdate", "yes please");
    store.Write("LastUpdateCheck", ShortDateText(system_clock::time_point(today)));
    store.Write("LastUpdateCheckCount", "9x");
    store.Write("CurrentURL", "not hex at all");
    const CheckResults results = RunCheck();
    EXPECT_FALSE(results.errorFlag) << results.errorText;
    EXPECT_EQ(results.notificationsWanted, 1);
    EXPECT_TRUE(results.showNotice);
    EXPECT_EQ(store.ReadText("HowMany"), "1");
    EXPECT_EQ(store.ReadText("LastUpdateCheckCount"), "1");
}

TEST_F(UpdateCheck, StoreThatCannotBeOpenedStillFinishes) {
    test::writeText(dir.path() / "blocker", "a file where a folder should be");
    CheckEnvironment env = Environment();
    env.registryRoot = dir.path() / "blocker" / "Registry";
    {
        TChecker checker(env);
        checker.CheckNow();
        ASSERT_TRUE(checker.Finished());
        // Every value reads as its default: a first check of the day, notice due.
        EXPECT_TRUE(checker.Results().showNotice) << checker.Results().errorText;
        EXPECT_FALSE(checker.WriteShowUpdate(false));
    }
    env.serviceHost = "127.0.0.1:1";  // the request fails too: the messages stay
    TChecker checker(env);
    checker.CheckNow();
    ASSERT_TRUE(checker.Finished());
    EXPECT_TRUE(checker.Results().errorText.starts_with("Error: Registry open problem!\r\r"))
        << checker.Results().errorText;
}

TEST_F(UpdateCheck, StoredAddressSurvivesAFailedCheck) {
    RunCheck();
    SetReply("ERROR");
    const CheckResults results = RunCheck();
    EXPECT_FALSE(results.showNotice);
    EXPECT_EQ(results.downloadAddress, "https://download.example/imbrix");
}

TEST_F(UpdateCheck, UpdateNotificationsCommandStoresTheChoice) {
    TChecker checker(Environment());
    checker.CheckNow();
    ASSERT_TRUE(checker.WriteShowUpdate(false));
    EXPECT_EQ(Store().ReadText("ShowUpdate"), "0");
    ASSERT_TRUE(checker.WriteShowUpdate(true));
    EXPECT_EQ(Store().ReadText("ShowUpdate"), "1");
}

TEST_F(UpdateCheck, WorkerShowsTheImportantTextBeforeItFinishes) {
    SetReply(ReplyWith("2.4", "Please update: a security fix."));
    std::mutex mutex;
    std::string caption, text;
    bool finishedWhileShown = true;
    CheckEnvironment env = Environment();
    env.translate = [](std::string_view english) {
        return english == "IMPORTANT" ? std::string("WICHTIG") : std::string(english);
    };
    TChecker* self = nullptr;
    env.showImportant = [&](const std::string& c, const std::string& t, const std::atomic<bool>&) {
        std::lock_guard lock(mutex);
        caption = c;
        text = t;
        finishedWhileShown = self->Finished();
    };
    TChecker checker(std::move(env));
    self = &checker;
    checker.Start();
    for (int i = 0; i < 500 && !checker.Finished(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(checker.Finished());
    std::lock_guard lock(mutex);
    EXPECT_EQ(caption, "WICHTIG");
    EXPECT_EQ(text, "Please update: a security fix.");
    EXPECT_FALSE(finishedWhileShown);
    EXPECT_TRUE(checker.Results().showNotice);
}

TEST_F(UpdateCheck, BlankImportantTextShowsNoBox) {
    SetReply(ReplyWith("2.4", " \t "));
    bool shown = false;
    CheckEnvironment env = Environment();
    env.showImportant = [&](const std::string&, const std::string&, const std::atomic<bool>&) {
        shown = true;
    };
    RunCheck(std::move(env));
    EXPECT_FALSE(shown);
}

TEST_F(UpdateCheck, EndingTheProgramCancelsAPendingCheck) {
    // The service answers late (at most after 10 s, sooner when the test ends it);
    // a check that was not cancelled would take that answer and store it.
    LoopbackServer slow(false, [&slow](const test::SeenRequest&, httplib::Response& response) {
        for (int i = 0; i < 1000 && !slow.stopping(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        response.set_content(kNewerReply, "text/plain");
    });
    CheckEnvironment env = Environment();
    env.serviceHost = slow.host();
    env.request.responseTimeout = 30000ms;
    {
        TChecker checker(std::move(env));
        checker.Start();
        for (int i = 0; i < 500 && slow.requestCount() == 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_EQ(slow.requestCount(), 1u);
    }
    EXPECT_FALSE(Store().Read("CurrentVersion").has_value());
    EXPECT_EQ(Store().ReadText("HowMany"), "1");  // the run itself was counted
}

TEST_F(UpdateCheck, StoppingWhileTheSecureRequestHangsBeginsNoPlainOne) {
    // The service takes the connection and never answers the handshake.
    test::SilentServer silent;
    CheckEnvironment env = Environment();
    env.serviceHost = silent.host();
    env.request.connectTimeout = 30000ms;
    env.request.responseTimeout = 30000ms;
    TChecker checker(std::move(env));
    checker.Start();
    for (int i = 0; i < 500 && silent.connectionCount() == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(silent.connectionCount(), 1u);
    EXPECT_FALSE(checker.Finished());

    checker.Stop();  // what ending the program does before it waits for the worker
    for (int i = 0; i < 3000 && !checker.Finished(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(checker.Finished());
    const std::string& errors = checker.Results().errorText;
    EXPECT_TRUE(errors.starts_with("HTTPS Response:\r")) << errors;
    EXPECT_NE(errors.find("cancelled"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("HTTP Response:"), std::string::npos) << errors;
    EXPECT_FALSE(checker.Results().showNotice);
    // The secure connection was closed, and no other was opened.
    EXPECT_EQ(silent.connectionCount(), 1u);
    EXPECT_EQ(silent.closedCount(), 1u);
}

TEST(ScrambleValue, RoundTripsAndRejectsWhatIsNotHex) {
    for (const char* text :
         {"", "h", "https://download.example/imbrix?v=2.4&x=1", "caf\xC3\xA9 \xE2\x82\xAC"}) {
        const std::string scrambled = ScrambleValue(text);
        EXPECT_EQ(scrambled.size(), 2 * std::string(text).size());
        EXPECT_EQ(scrambled.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        EXPECT_EQ(UnscrambleValue(scrambled), text);
        std::string lower = scrambled;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(UnscrambleValue(lower), text);            // read back in any letter case
        EXPECT_EQ(UnscrambleValue(scrambled + "7"), text);  // a trailing odd digit is ignored
    }
    // The same letter scrambles differently at different places.
    const std::string twice = ScrambleValue("aa");
    EXPECT_NE(twice.substr(0, 2), twice.substr(2, 2));
    EXPECT_EQ(UnscrambleValue("12G4"), "");
    EXPECT_EQ(UnscrambleValue("zz"), "");
}

}  // namespace
}  // namespace imbrix::online
