// Imbrix settings: reading and writing "settings.ini".
#include "settings/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <fstream>

#include "platform/files.h"

namespace imbrix::settings {
namespace {

// A settings file is a few hundred bytes; a larger one is read this far only.
constexpr std::size_t kMaxReadBytes = 1024 * 1024;
constexpr std::string_view kBom = "\xEF\xBB\xBF";

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool isQuoted(std::string_view text) {
    return text.size() >= 2 && text.front() == '"' && text.back() == '"';
}

// Reading trims the blanks around a value, so a value with a blank at either end
// is written in double quotes, and so is a value that would itself read as such a
// quoted one. Nothing else is quoted, so the lines of earlier versions (which
// never quoted) read as they always did.
bool needsQuotes(std::string_view value) {
    if (value.empty()) {
        return false;
    }
    if (isBlank(value.front()) || isBlank(value.back())) {
        return true;
    }
    return isQuoted(value) && needsQuotes(value.substr(1, value.size() - 2));
}

std::string storedForm(std::string_view value) {
    return needsQuotes(value) ? "\"" + std::string(value) + "\"" : std::string(value);
}

std::string readValue(std::string_view stored) {
    stored = trimmed(stored);
    if (isQuoted(stored) && needsQuotes(stored.substr(1, stored.size() - 2))) {
        stored = stored.substr(1, stored.size() - 2);
    }
    return std::string(stored);
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

std::string cannotCreate(const std::string& path, int error) {
    return "Cannot create file \"" + path + "\". " + std::strerror(error);
}

}  // namespace

const KeyInfo& keyInfo(Key key) {
    for (const KeyInfo& info : kKeys) {
        if (info.key == key) {
            return info;
        }
    }
    throw std::logic_error("settings key without an entry in the key table");
}

std::optional<long long> parseWholeNumber(std::string_view text) {
    text = trimmed(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    long long number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        number < INT_MIN || number > INT_MAX) {
        return std::nullopt;
    }
    return number;
}

Store::Store(std::string path) : path_(std::move(path)) {}

Store Store::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes;
    if (in) {
        bytes.resize(kMaxReadBytes);
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        bytes.resize(static_cast<std::size_t>(in.gcount()));
    }
    return parse(bytes, path);
}

Store Store::parse(std::string_view text, std::string path) {
    Store store(std::move(path));
    if (text.starts_with(kBom)) {
        text.remove_prefix(kBom.size());
    }
    store.sections_.push_back(Section{});  // lines before the first header
    for (std::string_view rawLine : splitLines(text)) {
        const std::string_view line = trimmed(rawLine);
        if (line.starts_with('[')) {
            if (const auto close = line.find(']'); close != std::string_view::npos) {
                store.sections_.push_back(Section{
                    std::string(rawLine), std::string(trimmed(line.substr(1, close - 1))), {}});
                continue;
            }
        }
        Line entry{std::string(rawLine), {}, {}};
        const auto equals = line.find('=');
        if (equals != std::string_view::npos && !line.starts_with(';') && !line.starts_with('#')) {
            entry.key = trimmed(line.substr(0, equals));
            entry.value = readValue(line.substr(equals + 1));
        }
        store.sections_.back().lines.push_back(std::move(entry));
    }
    return store;
}

const Store::Line* Store::find(std::string_view key) const {
    for (const Section& section : sections_) {
        if (section.header.empty() || !equalsIgnoringCase(section.name, kSection)) {
            continue;
        }
        for (const Line& line : section.lines) {
            if (!line.key.empty() && equalsIgnoringCase(line.key, key)) {
                return &line;
            }
        }
    }
    return nullptr;
}

std::optional<std::string> Store::value(Key key) const {
    if (const Line* line = find(keyInfo(key).name)) {
        return line->value;
    }
    return std::nullopt;
}

std::uint64_t Store::memoryLimitBytes() const {
    const std::optional<long long> megabytes = parseWholeNumber(text(Key::MemoryLimit));
    if (!megabytes || *megabytes <= 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(*megabytes) << 20;
}

imaging::ResizeOptions Store::resize() const {
    // A stored number within 1..limit, else the key's default.
    const auto number = [this](Key key, long long limit) {
        const std::optional<long long> stored = parseWholeNumber(text(key));
        const long long value = stored && *stored >= 1 && *stored <= limit
                                    ? *stored
                                    : *parseWholeNumber(keyInfo(key).defaultValue);
        return static_cast<std::uint32_t>(value);
    };
    imaging::ResizeOptions options;
    const std::string mode = text(Key::ResizeMode);
    if (mode == kResizeFit) {
        options.mode = imaging::ResizeMode::Fit;
    } else if (mode == kResizeLongSide) {
        options.mode = imaging::ResizeMode::LongSide;
    } else if (mode == kResizePercent) {
        options.mode = imaging::ResizeMode::Percent;
    }
    options.width = number(Key::ResizeWidth, imaging::kMaxResizeSide);
    options.height = number(Key::ResizeHeight, imaging::kMaxResizeSide);
    options.longSide = number(Key::ResizeLongSide, imaging::kMaxResizeSide);
    options.percent = number(Key::ResizePercent, imaging::kMaxResizePercent);
    options.enlarge = text(Key::ResizeEnlarge) == kOn;
    return options;
}

long long Store::outputQuality() const {
    return parseWholeNumber(text(Key::OutputQuality)).value_or(kMaxQuality);
}

void Store::set(Key key, std::string_view value) {
    const std::string_view name = keyInfo(key).name;
    if (value.find_first_of("\r\n") != std::string_view::npos) {
        throw std::invalid_argument("The value of " + std::string(name) +
                                    " cannot hold a line break.");
    }
    if (Line* line = const_cast<Line*>(find(name))) {
        line->value = value;
        line->raw = line->key + "=" + storedForm(value);
    } else {
        auto section = std::find_if(sections_.begin(), sections_.end(), [](const Section& s) {
            return !s.header.empty() && equalsIgnoringCase(s.name, kSection);
        });
        if (section == sections_.end()) {
            sections_.push_back(
                Section{"[" + std::string(kSection) + "]", std::string(kSection), {}});
            section = sections_.end() - 1;
        }
        // After the section's last non-blank line, so a blank line that parts it
        // from the next section stays where it is.
        auto at = section->lines.end();
        while (at != section->lines.begin() && trimmed((at - 1)->raw).empty()) {
            --at;
        }
        Line entry{std::string(name) + "=" + storedForm(value), std::string(name),
                   std::string(value)};
        section->lines.insert(at, std::move(entry));
    }
    save();
}

std::string Store::serialize() const {
    std::string text(kBom);
    for (const Section& section : sections_) {
        if (!section.header.empty()) {
            text.append(section.header).append("\n");
        }
        for (const Line& line : section.lines) {
            text.append(line.raw).append("\n");
        }
    }
    return text;
}

void Store::save() const {
    const std::string text = serialize();
    // A new file beside the settings file, renamed over it: the old file stays
    // whole until the new one is.
    try {
        platform::replaceFileContents(path_, text);
    } catch (const std::system_error& error) {
        throw SettingsError(cannotCreate(path_, error.code().value()));
    }
}

bool Store::reset() {
    sections_.clear();
    return ::unlink(path_.c_str()) == 0 || errno == ENOENT;
}

StartupOptions readStartupOptions(const Store& store,
                                  const std::function<bool(const std::string&)>& folderExists) {
    StartupOptions options;
    if (!store.rememberSettings()) {
        options.rememberSettings = false;
        return options;
    }
    options.displayIcons = store.displayIcons();
    options.includeSubfolders = store.includeSubfolders();
    if (std::string destination = store.text(Key::Destination);
        !destination.empty() && folderExists(destination)) {
        options.destination = std::move(destination);
    }
    options.outputFormat = store.text(Key::OutputFormat);
    const long long quality = store.outputQuality();
    options.outputQuality =
        static_cast<int>(std::clamp<long long>(quality, kMinQuality, kMaxQuality));
    options.writeBackQuality = quality != kMaxQuality;
    options.grayscale = store.grayscale();
    options.writeBackGrayscale = options.grayscale;
    options.removeMetadata = store.removeMetadata();
    options.resize = store.resize();
    options.keepFolderStructure = store.keepFolderStructure();
    options.skipExisting = store.skipExisting();
    options.keepFileDates = store.keepFileDates();
    return options;
}

}  // namespace imbrix::settings
