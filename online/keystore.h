// The per-user value store of the update check: named string values in one small
// file, $XDG_CONFIG_HOME/KELVANE/Registry/<digest>/Settings.
//
// Every write reads the file, changes the one value and puts the whole file back
// through a temporary file and a rename, so a crash leaves either the old or the
// new file, never a half-written one. Numbers are stored as decimal text.
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace imbrix::online {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// $XDG_CONFIG_HOME (when absolute), else $HOME/.config, + "/KELVANE/Registry";
/// empty when neither variable is usable.
std::filesystem::path DefaultRegistryRoot();

class KeyValueStore {
public:
    /// Opens the store kept in `file`, creating its folders when missing. Throws
    /// StoreError when they cannot be created.
    explicit KeyValueStore(std::filesystem::path file);

    const std::filesystem::path& file() const { return file_; }

    /// The stored value, or nothing when the file or the value is missing or the
    /// file cannot be read.
    std::optional<std::string> Read(std::string_view name) const;
    /// The stored value as text, or `fallback`.
    std::string ReadText(std::string_view name, std::string_view fallback = {}) const;
    /// The stored value as a whole number, or `fallback` when it is missing, not a
    /// number or out of range.
    int ReadInt(std::string_view name, int fallback) const;

    /// Stores `value` under `name`. Throws StoreError when the file cannot be
    /// written; the previous file is then left as it was.
    void Write(std::string_view name, std::string_view value);
    void WriteInt(std::string_view name, int value) { Write(name, std::to_string(value)); }

private:
    std::filesystem::path file_;
};

}  // namespace imbrix::online
