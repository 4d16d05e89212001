#include "online/sysinfo.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/utsname.h>
#include <unicode/udat.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/uniquefd.h"

namespace imbrix::online {
namespace {

// The program's own key for deriving its machine identifier: the same machine gives
// the same identifier to this program and an unrelated one to any other.
constexpr std::string_view kMachineKey = "Imbrix update check machine identifier 1";

std::string Hex(const unsigned char* bytes, size_t count, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

std::string LowerAscii(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

// The first `count` dot-separated numbers at the start of a kernel release text.
std::array<int, 3> ReleaseNumbers(std::string_view release) {
    std::array<int, 3> numbers{0, 0, 0};
    size_t pos = 0;
    for (int& number : numbers) {
        if (pos >= release.size() || std::isdigit(static_cast<unsigned char>(release[pos])) == 0) {
            break;
        }
        long value = 0;
        while (pos < release.size() &&
               std::isdigit(static_cast<unsigned char>(release[pos])) != 0) {
            value = std::min(value * 10 + (release[pos] - '0'), 99999999L);
            ++pos;
        }
        number = static_cast<int>(value);
        if (pos >= release.size() || release[pos] != '.') {
            break;
        }
        ++pos;
    }
    return numbers;
}

// A value of os-release(5): shell-like, optionally in single or double quotes.
std::string OsReleaseValue(std::string_view raw) {
    if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
        raw.back() == raw.front()) {
        const char quote = raw.front();
        raw = raw.substr(1, raw.size() - 2);
        std::string value;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (quote == '"' && raw[i] == '\\' && i + 1 < raw.size()) {
                ++i;
            }
            value.push_back(raw[i]);
        }
        return value;
    }
    return std::string(raw);
}

}  // namespace

std::string GetMachineGuid(const std::string& machineIdFile) {
    platform::UniqueFd fd(::open(machineIdFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return {};
        }
        throw std::runtime_error("Cannot read " + machineIdFile + ": " + std::strerror(errno));
    }
    // A machine id is 32 digits and a line break; more than that is no machine id.
    std::string text(64, '\0');
    const ssize_t got = ::read(fd.get(), text.data(), text.size());
    const int readError = errno;
    fd.reset();
    if (got < 0) {
        throw std::runtime_error("Cannot read " + machineIdFile + ": " + std::strerror(readError));
    }
    text.resize(static_cast<size_t>(got));
    const std::string id = LowerAscii(TrimBlanks(text));
    if (id.empty()) {
        return {};
    }
    if (id.size() != 32 || id.find_first_not_of("0123456789abcdef") != std::string::npos) {
        throw std::runtime_error(machineIdFile + " holds no machine id");
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), kMachineKey.data(), static_cast<int>(kMachineKey.size()),
             reinterpret_cast<const unsigned char*>(id.data()), id.size(), digest,
             &length) == nullptr ||
        length < 16) {
        throw std::runtime_error("Cannot derive the machine identifier");
    }
    const std::string hex = Hex(digest, 16, false);
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
           hex.substr(16, 4) + "-" + hex.substr(20, 12);
}

std::string LocaleCodeFor(std::string_view posixLocale) {
    const std::string name(posixLocale.substr(0, posixLocale.find_first_of(".@")));
    if (name.empty() || name == "C" || name == "POSIX") {
        return "xx";
    }
    UErrorCode status = U_ZERO_ERROR;
    char full[ULOC_FULLNAME_CAPACITY] = {};
    uloc_addLikelySubtags(name.c_str(), full, sizeof full, &status);
    char language[ULOC_LANG_CAPACITY] = {};
    char country[ULOC_COUNTRY_CAPACITY] = {};
    uloc_getLanguage(full, language, sizeof language, &status);
    uloc_getCountry(full, country, sizeof country, &status);
    if (U_FAILURE(status) || language[0] == '\0' || country[0] == '\0') {
        return "xx";
    }
    // Only a locale that the system knows has a code: ICU's list stands in for the
    // system's list of locales.
    const int32_t count = uloc_countAvailable();
    for (int32_t i = 0; i < count; ++i) {
        UErrorCode itemStatus = U_ZERO_ERROR;
        char itemLanguage[ULOC_LANG_CAPACITY] = {};
        char itemCountry[ULOC_COUNTRY_CAPACITY] = {};
        const char* available = uloc_getAvailable(i);
        uloc_getLanguage(available, itemLanguage, sizeof itemLanguage, &itemStatus);
        uloc_getCountry(available, itemCountry, sizeof itemCountry, &itemStatus);
        if (U_SUCCESS(itemStatus) && std::strcmp(itemLanguage, language) == 0 &&
            std::strcmp(itemCountry, country) == 0) {
            return std::string(language) + "-" + country;
        }
    }
    return "xx";
}

std::string GetLocaleCode() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return LocaleCodeFor(value);
        }
    }
    return "xx";
}

std::string FormatOsDescription(std::string_view prettyName, std::string_view release,
                                std::string_view machine) {
    const auto numbers = ReleaseNumbers(release);
    const bool wide = machine.find("64") != std::string_view::npos || machine == "alpha";
    std::ostringstream text;
    text << prettyName << " (Version " << numbers[0] << '.' << numbers[1] << ", Build "
         << numbers[2] << ", " << (wide ? "64-bit Edition" : "32-bit Edition") << ')';
    return text.str();
}

std::string OsDescription(const std::string& osReleaseFile) {
    std::string prettyName = "Linux";
    std::ifstream in(osReleaseFile);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_NAME=", 0) == 0) {
            const std::string value = OsReleaseValue(TrimBlanks(line.substr(12)));
            if (!value.empty()) {
                prettyName = value;
            }
            break;
        }
    }
    utsname system{};
    if (uname(&system) != 0) {
        return FormatOsDescription(prettyName, "", "");
    }
    return FormatOsDescription(prettyName, system.release, system.machine);
}

std::string MD5Hex(std::string_view text) {
    std::string ascii;
    ascii.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            ascii.push_back(ch);
        } else if (c >= 0xC0 || (c & 0xC0) != 0x80) {
            ascii.push_back('?');  // the first byte of a character outside ASCII
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(ascii.data(), ascii.size(), digest, &length, EVP_md5(), nullptr) != 1 ||
        length != 16) {
        throw std::runtime_error("Cannot compute an MD5 digest");
    }
    return Hex(digest, length, true);
}

std::string TagValue(std::string_view line, std::string_view tag) {
    if (line.empty() || tag.empty()) {
        return {};
    }
    const std::string name = LowerAscii(tag);
    const std::string open = "<" + name + ">";
    const std::string close = "</" + name + ">";
    if (line.size() < open.size() + close.size() || !line.starts_with(open) ||
        !line.ends_with(close)) {
        return {};
    }
    return std::string(line.substr(open.size(), line.size() - open.size() - close.size()));
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') {
            ++start;
        }
    }
    return lines;
}

std::string TrimBlanks(std::string_view text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ') {
        ++first;
    }
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') {
        --last;
    }
    return std::string(text.substr(first, last - first));
}

std::string ShortDateText(std::chrono::system_clock::time_point when) {
    UErrorCode status = U_ZERO_ERROR;
    UDateFormat* format =
        udat_open(UDAT_NONE, UDAT_SHORT, nullptr, nullptr, -1, nullptr, -1, &status);
    if (U_FAILURE(status) || format == nullptr) {
        throw std::runtime_error(std::string("Cannot format a date: ") + u_errorName(status));
    }
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    UChar buffer[64] = {};
    const int32_t length =
        udat_format(format, static_cast<UDate>(millis), buffer, 64, nullptr, &status);
    udat_close(format);
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("Cannot format a date: ") + u_errorName(status));
    }
    char utf8[256] = {};
    int32_t utf8Length = 0;
    u_strToUTF8(utf8, sizeof utf8, &utf8Length, buffer, length, &status);
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("Cannot format a date: ") + u_errorName(status));
    }
    return std::string(utf8, static_cast<size_t>(utf8Length));
}

}  // namespace imbrix::online
