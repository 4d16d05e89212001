// Imbrix conversion engine: the machine-readable record of a run.
#include "convert/runrecord.h"

#include <array>
#include <nlohmann/json.hpp>

namespace imbrix::convert {

namespace {

using Json = nlohmann::ordered_json;

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// `name` with the text, and `name`_bytes with the exact bytes when the text is
// not valid UTF-8 (the text then shows U+FFFD for those bytes).
void putPath(Json& row, const std::string& name, const std::string& path) {
    row[name] = path;
    if (!isValidUtf8(path)) {
        row[name + "_bytes"] = base64Encode(path);
    }
}

// A path field read back: its exact bytes when given, else its text. Nothing
// when the field is absent; throws std::runtime_error when it is malformed.
std::optional<std::string> readPath(const nlohmann::json& row, const std::string& name) {
    const auto bytes = row.find(name + "_bytes");
    if (bytes != row.end()) {
        if (!bytes->is_string()) {
            throw std::runtime_error("\"" + name + "_bytes\" is not a string");
        }
        std::optional<std::string> decoded = base64Decode(bytes->get_ref<const std::string&>());
        if (!decoded) {
            throw std::runtime_error("\"" + name + "_bytes\" is not base64");
        }
        return decoded;
    }
    const auto text = row.find(name);
    if (text == row.end()) {
        return std::nullopt;
    }
    if (!text->is_string()) {
        throw std::runtime_error("\"" + name + "\" is not a string");
    }
    return text->get<std::string>();
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const auto continuation = [&](std::size_t at) { return at < n && (byte(at) & 0xC0) == 0x80; };
    while (i < n) {
        const unsigned char lead = byte(i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The second byte's range depends on the lead (no overlong forms, no
        // surrogates, nothing beyond U+10FFFF); the rest are plain continuations.
        unsigned char low = 0x80, high = 0xBF;
        std::size_t length = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (i + 1 >= n || byte(i + 1) < low || byte(i + 1) > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if (!continuation(i + k)) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

std::string base64Encode(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const std::uint32_t group =
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
            static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) {
            text.push_back(kBase64Alphabet[(group >> shift) & 63]);
        }
    }
    const std::size_t left = bytes.size() - i;
    if (left > 0) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]))
                              << 16;
        if (left == 2) {
            group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        text.push_back(kBase64Alphabet[(group >> 18) & 63]);
        text.push_back(kBase64Alphabet[(group >> 12) & 63]);
        text.push_back(left == 2 ? kBase64Alphabet[(group >> 6) & 63] : '=');
        text.push_back('=');
    }
    return text;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::array<int, 256> value{};
    value.fill(-1);
    for (std::size_t k = 0; k < kBase64Alphabet.size(); ++k) {
        value[static_cast<unsigned char>(kBase64Alphabet[k])] = static_cast<int>(k);
    }
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (padding == 1 && text[i + 2] == '=') {
            return std::nullopt;  // "xx=y"
        }
        std::uint32_t group = 0;
        for (int k = 0; k < 4; ++k) {
            const int digit = k >= 4 - padding ? 0 : value[static_cast<unsigned char>(text[i + k])];
            if (digit < 0) {
                return std::nullopt;
            }
            group = group << 6 | static_cast<std::uint32_t>(digit);
        }
        bytes.push_back(static_cast<char>(group >> 16));
        if (padding < 2) {
            bytes.push_back(static_cast<char>(group >> 8 & 0xFF));
        }
        if (padding < 1) {
            bytes.push_back(static_cast<char>(group & 0xFF));
        }
    }
    return bytes;
}

std::string recordLine(const FileOutcome& outcome) {
    Json row = Json::object();
    putPath(row, "source", outcome.source);
    if (!outcome.baseFolder.empty()) {
        putPath(row, "base_folder", outcome.baseFolder);
    }
    const bool failed = !outcome.skipped && !outcome.error.empty();
    if (!failed && !outcome.output.empty()) {
        putPath(row, "output", outcome.output);
    }
    row["status"] = outcome.skipped ? "skipped" : failed ? "failed" : "converted";
    if (failed) {
        row["error"] = outcome.error;
    }
    if (outcome.bytesIn >= 0) {
        row["bytes_in"] = outcome.bytesIn;
    } else {
        row["bytes_in"] = nullptr;
    }
    row["bytes_out"] = outcome.bytesOut;
    row["ms"] = outcome.elapsedMs;
    // UTF-8 as it is; a byte that is not UTF-8 shows as U+FFFD (the exact bytes
    // of a path are in its _bytes field).
    return row.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

FailedFilesReader::FailedFilesReader(const std::string& name)
    : lines_(name, PathListReader::Separator::Newline, kMaxRecordLineBytes) {}

std::optional<FailedFilesReader::Entry> FailedFilesReader::next(
    std::stop_token stop, const std::function<void()>& waiting) {
    while (std::optional<PathListReader::Entry> line = lines_.next(stop, waiting)) {
        Entry entry;
        const std::string where = "line " + std::to_string(line->number) + " of " + lines_.name();
        if (!line->problem.empty()) {
            entry.problem = line->problem;
            return entry;
        }
        const nlohmann::json row = nlohmann::json::parse(line->path, nullptr, false);
        if (row.is_discarded() || !row.is_object()) {
            entry.problem = where + " is no JSON object";
            return entry;
        }
        const auto status = row.find("status");
        if (status == row.end() || !status->is_string()) {
            entry.problem = where + " has no \"status\"";
            return entry;
        }
        if (status->get_ref<const std::string&>() != "failed") {
            continue;
        }
        try {
            std::optional<std::string> source = readPath(row, "source");
            if (!source || source->empty()) {
                entry.problem = where + " has no \"source\"";
                return entry;
            }
            entry.file.path = std::move(*source);
            entry.file.baseFolder = readPath(row, "base_folder").value_or(std::string());
        } catch (const std::runtime_error& e) {
            entry.file = {};
            entry.problem = where + ": " + e.what();
        }
        return entry;
    }
    return std::nullopt;
}

}  // namespace imbrix::convert
