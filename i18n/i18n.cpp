// Imbrix languages: catalogue loading, the code table and the text lookup.
#include "i18n/i18n.h"

#include <unicode/uloc.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace imbrix::i18n {
namespace {

namespace fs = std::filesystem;

// Language files and the code table are a few kilobytes; anything far larger is
// not one of them and is not read whole into memory.
constexpr std::uintmax_t kMaxFileBytes = 4 * 1024 * 1024;

constexpr std::string_view kLanguageFileEnding = ".lang.txt";
constexpr std::string_view kCodeTableName = "LanguageCodes.csv";
constexpr std::uint16_t kEnglishUnitedStates = 1033;

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
}

bool endsWithIgnoringAsciiCase(std::string_view text, std::string_view ending) {
    return text.size() >= ending.size() &&
           equalsIgnoringAsciiCase(text.substr(text.size() - ending.size()), ending);
}

// Trims blanks and control characters (everything up to U+0020) at both ends.
std::string_view trimmed(std::string_view text) {
    auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Splits at CR LF, LF or CR. A final line break does not start another line.
std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.emplace_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    if (start < text.size()) {
        lines.emplace_back(text.substr(start));
    }
    return lines;
}

std::string_view withoutUtf8Bom(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    return text;
}

// Text of a file with a UTF-16 byte-order mark, as UTF-8.
std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        auto b0 = static_cast<unsigned char>(bytes[i]);
        auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        units.push_back(static_cast<char16_t>(bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0)));
    }
    std::string out;
    icu::UnicodeString(units.data(), static_cast<int32_t>(units.size())).toUTF8String(out);
    return out;
}

// Reads a whole regular file of at most kMaxFileBytes; throws std::system_error.
std::string readSmallFile(const fs::path& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    if (ec) {
        throw std::system_error(ec);
    }
    if (size > kMaxFileBytes) {
        throw std::system_error(std::make_error_code(std::errc::file_too_large));
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::system_error(errno ? errno : EIO, std::generic_category());
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        throw std::system_error(std::make_error_code(std::errc::io_error));
    }
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

std::string localeOrEmpty(EnvironmentReader getenv, const char* name) {
    const char* value = getenv(name);
    return value ? std::string(value) : std::string();
}

bool isNoLocale(std::string_view name) {
    const auto base = name.substr(0, name.find_first_of(".@"));
    return base.empty() || base == "C" || base == "POSIX";
}

std::uint16_t lcidOf(const std::string& localeId) {
    const auto lcid = uloc_getLCID(localeId.c_str());
    return lcid <= 0xFFFF ? static_cast<std::uint16_t>(lcid) : 0;
}

std::atomic<const Catalogue*>& processCatalogueSlot() {
    // Written once (the first install wins) and never freed, so readers on any
    // thread never see it change under them.
    static std::atomic<const Catalogue*> slot{nullptr};
    return slot;
}

}  // namespace

void FindLanguageFiles(const std::string& folder, std::vector<std::string>& names) {
    std::error_code ec;
    std::vector<std::string> found;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::error_code typeError;
        if (endsWithIgnoringAsciiCase(name, "lang.txt") && !it->is_directory(typeError)) {
            found.push_back(std::move(name));
        }
    }
    // The directory listing's own order is arbitrary here; name order keeps the
    // choice among names that differ only in case the same on every run.
    std::sort(found.begin(), found.end());
    names.insert(names.end(), found.begin(), found.end());
}

std::string lookUpLanguageCode(std::string_view codeTableBytes, std::uint16_t uiLanguage) {
    std::string text;
    if (codeTableBytes.starts_with("\xFF\xFE")) {
        text = utf16ToUtf8(codeTableBytes, false);
    } else if (codeTableBytes.starts_with("\xFE\xFF")) {
        text = utf16ToUtf8(codeTableBytes, true);
    } else {
        text = withoutUtf8Bom(codeTableBytes);
    }
    const std::string code = std::to_string(uiLanguage);
    for (const std::string& line : splitLines(text)) {
        const auto comma = line.find(',');
        if (comma == std::string::npos) {
            continue;
        }
        const std::string_view view(line);
        if (trimmed(view.substr(0, comma)) == code) {
            return std::string(trimmed(view.substr(comma + 1)));
        }
    }
    return {};
}

Catalogue Catalogue::load(const std::string& programFolder, std::uint16_t uiLanguage) {
    Catalogue catalogue;
    std::string folder = programFolder;
    if (!folder.empty() && folder.back() != '/') {
        folder += '/';
    }
    catalogue.languagesFolder_ = folder + "Languages";

    std::error_code ec;
    if (!fs::is_directory(catalogue.languagesFolder_, ec)) {
        return catalogue;
    }
    FindLanguageFiles(catalogue.languagesFolder_, catalogue.languageFiles_);

    std::string fileName;
    const fs::path codeTable = fs::path(catalogue.languagesFolder_) / kCodeTableName;
    if (fs::is_regular_file(codeTable, ec)) {
        std::string wanted;
        try {
            wanted = lookUpLanguageCode(readSmallFile(codeTable), uiLanguage);
        } catch (const std::exception&) {
            // An unreadable code table is an empty one: English.
        }
        if (!wanted.empty()) {
            for (const std::string& name : catalogue.languageFiles_) {
                if (equalsIgnoringAsciiCase(name, wanted)) {
                    fileName = name;
                    break;
                }
            }
        }
    }
    if (fileName.empty()) {
        return catalogue;
    }

    const std::string path = catalogue.languagesFolder_ + "/" + fileName;
    if (!fs::is_regular_file(path, ec)) {
        return catalogue;
    }
    std::string bytes;
    try {
        bytes = readSmallFile(path);
    } catch (const std::system_error& e) {
        throw LanguageError("Cannot read language file \"" + path + "\": " + e.code().message());
    }
    const auto ending = fileName.find(kLanguageFileEnding);
    catalogue.languageName_ =
        ending == std::string::npos ? std::string() : fileName.substr(0, ending);
    catalogue.languageFile_ = path;
    catalogue.lines_ = splitLines(withoutUtf8Bom(bytes));
    return catalogue;
}

Catalogue Catalogue::fromText(std::string_view fileText, std::string languageFile,
                              std::string languageName) {
    Catalogue catalogue;
    catalogue.languageFile_ = std::move(languageFile);
    catalogue.languageName_ = std::move(languageName);
    catalogue.lines_ = splitLines(withoutUtf8Bom(fileText));
    return catalogue;
}

std::string Catalogue::translate(std::string_view text) const {
    if (languageFile_.empty()) {
        return std::string(text);
    }
    std::string key;
    key.reserve(text.size() + 2);
    key.append("{").append(text).append("}");
    for (const std::string& line : lines_) {
        if (line.starts_with(key)) {
            // The translation is what follows the key. (No looked-up text holds a
            // '}', so this is also everything after the line's first '}'.)
            std::string rest = line.substr(key.size());
            return rest.empty() ? std::string(text) : rest;
        }
    }
    return std::string(text);
}

std::uint16_t languageIdForLocale(std::string_view posixLocale) {
    if (isNoLocale(posixLocale)) {
        return kEnglishUnitedStates;
    }
    // "ll_CC.codeset@modifier": the codeset says nothing about the language.
    std::string name(posixLocale);
    std::string modifier;
    if (const auto at = name.find('@'); at != std::string::npos) {
        modifier = name.substr(at + 1);
        name.erase(at);
    }
    if (const auto dot = name.find('.'); dot != std::string::npos) {
        name.erase(dot);
    }
    std::string script;
    if (modifier == "latin") {
        script = "Latn";
    } else if (modifier == "cyrillic") {
        script = "Cyrl";
    } else if (!modifier.empty()) {
        name += "@" + modifier;  // ICU knows a few others, such as "valencia"
    }

    char buffer[ULOC_FULLNAME_CAPACITY];
    UErrorCode status = U_ZERO_ERROR;
    uloc_canonicalize(name.c_str(), buffer, sizeof buffer, &status);
    if (U_FAILURE(status)) {
        return kEnglishUnitedStates;
    }
    const std::string canonical(buffer);
    auto part = [&](auto getter) {
        char out[ULOC_FULLNAME_CAPACITY] = {};
        UErrorCode partStatus = U_ZERO_ERROR;
        getter(canonical.c_str(), out, static_cast<int32_t>(sizeof out), &partStatus);
        return U_SUCCESS(partStatus) ? std::string(out) : std::string();
    };
    const std::string language = part(uloc_getLanguage);
    std::string country = part(uloc_getCountry);
    const std::string variant = part(uloc_getVariant);
    if (language.empty()) {
        return kEnglishUnitedStates;
    }
    if (country.empty()) {
        // A bare language ("de") stands for its main country, as a Windows
        // display language always names one.
        char likely[ULOC_FULLNAME_CAPACITY] = {};
        UErrorCode likelyStatus = U_ZERO_ERROR;
        uloc_addLikelySubtags(language.c_str(), likely, sizeof likely, &likelyStatus);
        char likelyCountry[ULOC_COUNTRY_CAPACITY] = {};
        if (U_SUCCESS(likelyStatus)) {
            uloc_getCountry(likely, likelyCountry, sizeof likelyCountry, &likelyStatus);
        }
        if (U_SUCCESS(likelyStatus)) {
            country = likelyCountry;
        }
    }

    std::vector<std::string> candidates;
    const std::string region = country.empty() ? std::string() : "_" + country;
    if (!script.empty()) {
        candidates.push_back(language + "_" + script + region);
    }
    if (!variant.empty()) {
        candidates.push_back(language + region + "_" + variant);
    }
    candidates.push_back(language + region);
    candidates.push_back(language);
    for (const std::string& candidate : candidates) {
        if (const auto id = lcidOf(candidate); id != 0) {
            return id;
        }
    }
    return kEnglishUnitedStates;
}

std::uint16_t userInterfaceLanguage(EnvironmentReader getenv) {
    if (getenv == nullptr) {
        getenv = [](const char* name) -> const char* { return std::getenv(name); };
    }
    std::string locale = localeOrEmpty(getenv, "LC_ALL");
    if (locale.empty()) {
        locale = localeOrEmpty(getenv, "LC_MESSAGES");
    }
    if (locale.empty()) {
        locale = localeOrEmpty(getenv, "LANG");
    }
    // gettext's rule: LANGUAGE is a list of preferences that counts only when
    // the message locale itself is a real one.
    if (!isNoLocale(locale)) {
        const std::string languages = localeOrEmpty(getenv, "LANGUAGE");
        const std::string first = languages.substr(0, languages.find(':'));
        if (!first.empty()) {
            locale = first;
        }
    }
    return languageIdForLocale(locale);
}

bool installCatalogue(std::unique_ptr<const Catalogue> catalogue) {
    const Catalogue* expected = nullptr;
    if (processCatalogueSlot().compare_exchange_strong(expected, catalogue.get(),
                                                       std::memory_order_acq_rel)) {
        static_cast<void>(catalogue.release());  // lives until the process ends
        return true;
    }
    return false;
}

const Catalogue* processCatalogue() {
    return processCatalogueSlot().load(std::memory_order_acquire);
}

void LoadLanguage() {
    if (processCatalogue() != nullptr) {
        return;
    }
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    const std::string programFolder = ec ? std::string() : program.parent_path().string() + "/";
    if (programFolder.empty()) {
        installCatalogue(std::make_unique<const Catalogue>());
        return;
    }
    installCatalogue(
        std::make_unique<const Catalogue>(Catalogue::load(programFolder, userInterfaceLanguage())));
}

std::string Translate(std::string_view text) {
    const Catalogue* catalogue = processCatalogue();
    return catalogue ? catalogue->translate(text) : std::string(text);
}

}  // namespace imbrix::i18n
