#include "online/keystore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <system_error>

#include "platform/files.h"
#include "platform/uniquefd.h"

namespace imbrix::online {
namespace {

// The store is tiny; anything beyond this is not ours and is not read.
constexpr size_t kMaxStoreBytes = 256 * 1024;

using Values = std::map<std::string, std::string, std::less<>>;

std::string Escape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string Unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char next = text[++i];
            out.push_back(next == 'n' ? '\n' : next == 'r' ? '\r' : next);
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Missing or unreadable file: no values. Lines without "=" are ignored.
Values Load(const std::filesystem::path& file) {
    Values values;
    std::string text;
    {
        const platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) {
            return values;
        }
        char buffer[4096];
        while (text.size() < kMaxStoreBytes) {
            const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(got));
        }
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string_view line(text.data() + start, end - start);
        const size_t equals = line.find('=');
        if (equals != std::string_view::npos && !line.starts_with('#')) {
            values.emplace(std::string(line.substr(0, equals)), Unescape(line.substr(equals + 1)));
        }
        start = end + 1;
    }
    return values;
}

}  // namespace

std::filesystem::path DefaultRegistryRoot() {
    std::filesystem::path base;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config != nullptr && config[0] == '/') {
        base = config;
    } else if (home != nullptr && home[0] == '/') {
        base = std::filesystem::path(home) / ".config";
    } else {
        return {};
    }
    return base / "KELVANE" / "Registry";
}

KeyValueStore::KeyValueStore(std::filesystem::path file) : file_(std::move(file)) {
    if (file_.empty() || !file_.has_parent_path() || file_.is_relative()) {
        throw StoreError("No place for the per-user values");
    }
    std::error_code ec;
    std::filesystem::create_directories(file_.parent_path(), ec);
    if (ec || !std::filesystem::is_directory(file_.parent_path(), ec)) {
        throw StoreError("Cannot create " + file_.parent_path().string() + ": " +
                         (ec ? ec.message() : "not a folder"));
    }
}

std::optional<std::string> KeyValueStore::Read(std::string_view name) const {
    const Values values = Load(file_);
    const auto it = values.find(name);
    if (it == values.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::string KeyValueStore::ReadText(std::string_view name, std::string_view fallback) const {
    auto value = Read(name);
    return value ? std::move(*value) : std::string(fallback);
}

int KeyValueStore::ReadInt(std::string_view name, int fallback) const {
    const auto value = Read(name);
    if (!value || value->empty()) {
        return fallback;
    }
    int number = 0;
    const char* first = value->data();
    const char* last = first + value->size();
    const auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end != last) {
        return fallback;
    }
    return number;
}

void KeyValueStore::Write(std::string_view name, std::string_view value) {
    if (name.empty() || name.find_first_of("=\r\n") != std::string_view::npos) {
        throw StoreError("Invalid value name");
    }
    Values values = Load(file_);
    values.insert_or_assign(std::string(name), std::string(value));
    std::string text = "# Imbrix per-user values\n";
    for (const auto& [key, stored] : values) {
        text += key + "=" + Escape(stored) + "\n";
    }

    // Private to the user, as the values identify the machine.
    try {
        platform::replaceFileContents(file_.string(), text, 0600);
    } catch (const std::system_error& error) {
        throw StoreError("Cannot write " + file_.string() + ": " +
                         std::strerror(error.code().value()));
    }
}

}  // namespace imbrix::online
