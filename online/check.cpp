#include "online/check.h"

#include <cxxabi.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <typeinfo>
#include <vector>

namespace imbrix::online {
namespace {

// The three numbers of the scrambled store values; the same for writing and reading.
constexpr std::uint16_t kScrambleSeed = 0x6B3D;
constexpr std::uint16_t kScrambleMultiplier = 52845;
constexpr std::uint16_t kScrambleAddend = 22719;

std::uint16_t NextKey(std::uint16_t key, std::uint8_t scrambled) {
    return static_cast<std::uint16_t>(
        (static_cast<std::uint32_t>(scrambled) + key) * kScrambleMultiplier + kScrambleAddend);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string TypeName(const std::exception& error) {
    const char* mangled = typeid(error).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled != nullptr ? demangled : mangled;
    std::free(demangled);
    return name;
}

// A whole number as the version test takes it: an optional sign and decimal
// digits that fit in 32 bits.
bool IsWholeNumber(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

std::string LineOrEmpty(const std::vector<std::string>& lines, size_t number) {
    return number >= 1 && number <= lines.size() ? lines[number - 1] : std::string();
}

}  // namespace

std::string ScrambleValue(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 2);
    std::uint16_t key = kScrambleSeed;
    for (char ch : text) {
        const auto c = static_cast<std::uint8_t>(static_cast<std::uint8_t>(ch) ^ (key >> 8));
        key = NextKey(key, c);
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0x0F]);
    }
    return out;
}

std::string UnscrambleValue(std::string_view scrambled) {
    std::string out;
    out.reserve(scrambled.size() / 2);
    std::uint16_t key = kScrambleSeed;
    for (size_t i = 0; i + 1 < scrambled.size(); i += 2) {
        const int high =
            HexDigit(static_cast<char>(std::toupper(static_cast<unsigned char>(scrambled[i]))));
        const int low =
            HexDigit(static_cast<char>(std::toupper(static_cast<unsigned char>(scrambled[i + 1]))));
        if (high < 0 || low < 0) {
            return {};
        }
        const auto c = static_cast<std::uint8_t>(high * 16 + low);
        out.push_back(static_cast<char>(c ^ (key >> 8)));
        key = NextKey(key, c);
    }
    return out;
}

TChecker::TChecker(CheckEnvironment environment) : env_(std::move(environment)) {}

TChecker::~TChecker() {
    Stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TChecker::Start() {
    thread_ = std::thread([this] { Execute(); });
}

void TChecker::Execute() {
    finished_.store(false, std::memory_order_relaxed);
    CheckNow();
}

void TChecker::AddError(std::string_view message) {
    if (TrimBlanks(message).empty()) {
        return;
    }
    if (!results_.errorText.empty()) {
        results_.errorText += "\r\r";
    }
    results_.errorText += message;
    results_.errorFlag = true;
}

void TChecker::ClearErrors() {
    results_.errorText.clear();
    results_.errorFlag = false;
}

bool TChecker::WriteShowUpdate(bool on) {
    if (!store_) {
        return false;
    }
    try {
        store_->WriteInt("ShowUpdate", on ? 1 : 0);
        return true;
    } catch (const StoreError&) {
        return false;
    }
}

void TChecker::CheckNow() {
    try {
        RunCheck();
    } catch (const std::exception& error) {
        // Nothing may keep the main window waiting for a check that never ends.
        AddError(TypeName(error) + " Error:\r" + error.what());
    }
    finished_.store(true, std::memory_order_release);
}

void TChecker::RunCheck() {
    results_ = CheckResults{};

    std::string keyName;
    try {
        keyName = MD5Hex(env_.appCaption);
    } catch (const std::exception&) {
        AddError("Error: MD5 generate problem!");
    }

    std::string machineGuid;
    try {
        machineGuid = GetMachineGuid(env_.machineIdFile);
    } catch (const std::exception&) {
        AddError("Error: GUID generate problem!");
    }

    store_.reset();
    try {
        store_ = std::make_unique<KeyValueStore>(env_.registryRoot / keyName / "Settings");
    } catch (const std::exception&) {
        AddError("Error: Registry open problem!");
    }
    // Without a store every value reads as its default and writes go nowhere.
    auto readText = [this](std::string_view name) {
        return store_ ? store_->ReadText(name) : std::string();
    };
    auto readInt = [this](std::string_view name, int fallback) {
        return store_ ? store_->ReadInt(name, fallback) : fallback;
    };
    auto write = [this](std::string_view name, std::string_view value) {
        if (!store_) {
            return;
        }
        try {
            store_->Write(name, value);
        } catch (const StoreError&) {
            // The check goes on: a value that cannot be stored is read as its
            // default next time.
        }
    };

    const std::string lastCheck = readText("LastUpdateCheck");
    const int lastCount = readInt("LastUpdateCheckCount", 0);
    const std::string installedVersion = readText("InstalledVersion");

    // Run count, on every run. A stored value that is not a number counts as 0.
    int howMany = std::max(readInt("HowMany", 0), 0);
    if (installedVersion != env_.versionText) {
        howMany = 0;
    }
    if (howMany < INT_MAX) {
        ++howMany;
    }
    write("HowMany", std::to_string(howMany));
    write("InstalledVersion", env_.versionText);

    results_.downloadAddress = UnscrambleValue(readText("CurrentURL"));
    results_.notificationsWanted = readInt("ShowUpdate", 1);

    const std::string today = ShortDateText(env_.clock());
    if (results_.notificationsWanted == 0 || (lastCheck == today && lastCount >= 5)) {
        return;
    }

    const int dayCount = lastCheck == today ? std::min(lastCount, INT_MAX - 1) + 1 : 1;
    write("LastUpdateCheck", today);
    write("LastUpdateCheckCount", std::to_string(dayCount));

    try {
        FieldList fields = {"cmd=check", "appname=" + env_.appCaption,
                            "version=" + env_.versionText, "os=" + env_.osDescription()};
        try {
            fields.push_back("local=" + env_.localeCode());
        } catch (const std::exception&) {
            AddError("Error: LocaleName2 problem!");
        }
        fields.push_back("guid=" + machineGuid);
        fields.push_back("howmany=" + std::to_string(howMany));

        RequestOptions options = env_.request;
        options.cancel = &stop_;
        const std::string endpoint = CheckEndpoint(env_.serviceHost);
        std::string reply;
        try {
            reply = PostRequest("https://" + endpoint, fields, options);
        } catch (const RequestError& secureError) {
            AddError(std::string("HTTPS Response:\r") + secureError.what());
            // A check that was stopped gave the secure request up: the plain one
            // is not begun.
            if (!stop_.load(std::memory_order_relaxed)) {
                try {
                    reply = PostRequest("http://" + endpoint, fields, options);
                    ClearErrors();
                } catch (const RequestError& plainError) {
                    AddError(std::string("HTTP Response:\r") + plainError.what());
                }
            }
        }
        const std::vector<std::string> lines = SplitLines(reply);

        if (reply.starts_with("ERROR")) {
            AddError("INVALIDSERVERRESPONSE");
        }
        if (!results_.errorFlag) {
            const std::string result = TagValue(LineOrEmpty(lines, 4), "result");
            if (result != "0" && result != "1") {
                AddError("INVALIDSERVERRESPONSE");
            }
        }
        if (results_.errorFlag) {
            return;
        }

        results_.serverVersion = TagValue(LineOrEmpty(lines, 1), "version");
        write("CurrentVersion", results_.serverVersion);
        results_.downloadAddress = TagValue(LineOrEmpty(lines, 2), "url");
        write("CurrentURL", ScrambleValue(results_.downloadAddress));
        const std::string important = TagValue(LineOrEmpty(lines, 6), "important");

        if (!TrimBlanks(important).empty() && env_.showImportant) {
            const std::string caption = env_.translate ? env_.translate("IMPORTANT") : "IMPORTANT";
            env_.showImportant(caption, important, stop_);
        }

        if (results_.serverVersion == env_.versionText) {
            return;
        }
        std::string digits = results_.serverVersion;
        std::erase(digits, '.');
        if (IsWholeNumber(digits) && results_.notificationsWanted == 1 &&
            (lastCheck != today || dayCount <= 3)) {
            results_.showNotice = true;
        }
    } catch (const std::exception& error) {
        AddError(TypeName(error) + " Error:\r" + error.what());
    }
}

}  // namespace imbrix::online
