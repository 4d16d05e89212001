// Imbrix settings: "settings.ini" in the data folder.
//
// The file is UTF-8 with a byte-order mark, an INI text with the options in the
// section "Settings", switches written "ON" and "OFF". Section and key names are
// matched without regard to case; values are compared exactly. Blanks around a
// value do not count, so a value with a blank at either end is written in double
// quotes (" My Pictures "), which reading takes off again. Sections, keys and
// other lines the program does not know are kept and written back. A damaged file
// is read as far as it goes: every line that reads as a section header or as
// "key=value" counts.
//
// The store is read once at start-up and the whole file is rewritten the moment
// an option changes; nothing is saved at exit. Each rewrite goes to a new
// temporary file beside "settings.ini" that is renamed over it when complete, so
// a crash or a full disk leaves the previous file whole.
//
// Start-up, in this order (readStartupOptions() does the reading):
//  1. "RememberSettings" is "OFF": uncheck "Remember Settings" and apply nothing
//     else; every option keeps its default.
//  2. "DisplayIcons" is "OFF": uncheck "Display Icons".
//  3. "IncludeSubfolders" is "OFF": uncheck "Include Subfolders".
//  4. "Destination" names an existing folder: it becomes the destination box's
//     text; otherwise the box keeps "Same Folder as Original".
//  5. "OutputFormat": the first format item equal to it (case included) becomes
//     the selection, without running the format box's change action; no match
//     leaves "PNG".
//  6. "OutputQuality" as a whole number (missing or malformed: 100), clamped into
//     1..100, becomes the quality box's value. When the stored text differs from
//     100 the box's change action writes the clamped value back.
//  7. "Grayscale" is "ON": check "Convert to Grayscale", whose change action
//     writes "ON" back.
//  8. "RemoveMetadata" is "ON": check "Remove Metadata" (nothing is written back).
//  9. The resize ("ResizeMode", its sides, percentage and "ResizeEnlarge"),
//     "KeepFolderStructure", "ExistingOutput" and "KeepFileDates" set their
//     controls (nothing is written back).
// "MemoryLimit" (megabytes, 0: automatic) is read when a run starts; the program
// has no control for it, so it is set by editing the file.
// Only the user-interface thread uses the store.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/resize.h"

namespace imbrix::settings {

enum class Key {
    RememberSettings,
    DisplayIcons,
    IncludeSubfolders,
    Destination,
    OutputFormat,
    OutputQuality,
    Grayscale,
    MemoryLimit,
    RemoveMetadata,
    ResizeMode,
    ResizeWidth,
    ResizeHeight,
    ResizeLongSide,
    ResizePercent,
    ResizeEnlarge,
    KeepFolderStructure,
    ExistingOutput,
    KeepFileDates,
};

struct KeyInfo {
    Key key;
    std::string_view name;          ///< the key in the file
    std::string_view defaultValue;  ///< what the option shows when the key is absent
};

inline constexpr std::string_view kSection = "Settings";
inline constexpr std::string_view kOn = "ON";
inline constexpr std::string_view kOff = "OFF";
inline constexpr std::string_view kSameFolder = "Same Folder as Original";
inline constexpr int kMinQuality = 1;
inline constexpr int kMaxQuality = 100;

/// The stored texts of "ResizeMode" and "ExistingOutput".
inline constexpr std::string_view kResizeNone = "NONE";
inline constexpr std::string_view kResizeFit = "FIT";
inline constexpr std::string_view kResizeLongSide = "LONGSIDE";
inline constexpr std::string_view kResizePercent = "PERCENT";
inline constexpr std::string_view kExistingAddNumber = "NUMBER";
inline constexpr std::string_view kExistingSkip = "SKIP";

/// Every option: its key and its default.
inline constexpr std::array<KeyInfo, 18> kKeys = {{
    {Key::RememberSettings, "RememberSettings", kOn},
    {Key::DisplayIcons, "DisplayIcons", kOn},
    {Key::IncludeSubfolders, "IncludeSubfolders", kOn},
    {Key::Destination, "Destination", kSameFolder},
    {Key::OutputFormat, "OutputFormat", "PNG"},
    {Key::OutputQuality, "OutputQuality", "100"},
    {Key::Grayscale, "Grayscale", kOff},
    // Megabytes a run's pictures may hold at once; 0: half of the machine's memory.
    {Key::MemoryLimit, "MemoryLimit", "0"},
    // Outputs carry no EXIF, XMP, IPTC or comment (the colour profile stays).
    {Key::RemoveMetadata, "RemoveMetadata", kOff},
    // Resize: NONE, FIT (inside ResizeWidth x ResizeHeight), LONGSIDE (ResizeLongSide)
    // or PERCENT (ResizePercent); pictures are made larger only with ResizeEnlarge.
    {Key::ResizeMode, "ResizeMode", kResizeNone},
    {Key::ResizeWidth, "ResizeWidth", "1920"},
    {Key::ResizeHeight, "ResizeHeight", "1080"},
    {Key::ResizeLongSide, "ResizeLongSide", "1920"},
    {Key::ResizePercent, "ResizePercent", "50"},
    {Key::ResizeEnlarge, "ResizeEnlarge", kOff},
    // Files from an added folder keep their subfolders under the destination.
    {Key::KeepFolderStructure, "KeepFolderStructure", kOff},
    // A taken output name: NUMBER ("name (2).ext") or SKIP (the file is skipped).
    {Key::ExistingOutput, "ExistingOutput", kExistingAddNumber},
    // Outputs get their source's modification time.
    {Key::KeepFileDates, "KeepFileDates", kOff},
}};

const KeyInfo& keyInfo(Key key);

/// A settings file that cannot be written; the message names the file and the
/// reason, ready to show to the user.
class SettingsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// "settings.ini" in memory, with every line of the file.
class Store {
public:
    /// An empty store for `path`; nothing is read or written.
    explicit Store(std::string path = {});

    /// Opens `path` at start-up. A missing or unreadable file is an empty store;
    /// nothing is written until a value is set.
    static Store load(const std::string& path);
    /// Reads the text of a settings file (with or without a byte-order mark).
    static Store parse(std::string_view text, std::string path = {});

    const std::string& path() const { return path_; }

    /// The stored text of `key` in section "Settings", or nullopt when absent.
    std::optional<std::string> value(Key key) const;
    /// The stored text, or "" when absent (how start-up reads every key).
    std::string text(Key key) const { return value(key).value_or(std::string()); }

    /// Switches: only "OFF" turns these off.
    bool rememberSettings() const { return text(Key::RememberSettings) != kOff; }
    bool displayIcons() const { return text(Key::DisplayIcons) != kOff; }
    bool includeSubfolders() const { return text(Key::IncludeSubfolders) != kOff; }
    /// Only "ON" turns grayscale on.
    bool grayscale() const { return text(Key::Grayscale) == kOn; }
    bool removeMetadata() const { return text(Key::RemoveMetadata) == kOn; }
    bool keepFolderStructure() const { return text(Key::KeepFolderStructure) == kOn; }
    bool keepFileDates() const { return text(Key::KeepFileDates) == kOn; }
    /// Only "SKIP" skips; anything else adds a number.
    bool skipExisting() const { return text(Key::ExistingOutput) == kExistingSkip; }
    /// The resize: the stored mode, sides and percentage, each read as its
    /// default when missing, malformed or out of range (sides 1..65535,
    /// percentage 1..1000); an unknown mode is NONE.
    imaging::ResizeOptions resize() const;
    /// The stored whole number, 100 when missing or malformed; not clamped.
    long long outputQuality() const;
    /// "MemoryLimit" in bytes: 0 (automatic) when missing, malformed, zero or negative.
    std::uint64_t memoryLimitBytes() const;
    void setMemoryLimitMegabytes(std::uint64_t megabytes) {
        set(Key::MemoryLimit, std::to_string(megabytes));
    }

    /// Stores `value` under `key` and rewrites the file at once. The new value
    /// stays in the store even when the write fails, so the next write carries
    /// it. Throws SettingsError when the file cannot be written, and
    /// std::invalid_argument for a value with a line break (it would split the line).
    void set(Key key, std::string_view value);
    void setSwitch(Key key, bool on) { set(key, on ? kOn : kOff); }
    void setQuality(int quality) { set(Key::OutputQuality, std::to_string(quality)); }

    /// The file text as it is written (byte-order mark included).
    std::string serialize() const;
    /// Writes the whole store to path() through a temporary file. Throws SettingsError.
    void save() const;

    /// "Reset to Defaults": deletes the file. False when a file was there and
    /// could not be deleted (not reported to the user). The store is emptied.
    bool reset();

private:
    struct Line {
        std::string raw;  // the line as read (or as last written)
        std::string key;  // empty when the line is not "key=value"
        std::string value;
    };
    struct Section {
        std::string header;  // the header line; empty for lines before any header
        std::string name;
        std::vector<Line> lines;
    };

    const Line* find(std::string_view key) const;

    std::string path_;
    std::vector<Section> sections_;
};

/// What start-up applies, read from the store in the order described above.
struct StartupOptions {
    bool rememberSettings = true;
    bool displayIcons = true;
    bool includeSubfolders = true;
    /// The destination folder, when one is stored and exists.
    std::optional<std::string> destination;
    /// The stored format text; the format box selects the first item equal to
    /// it, or keeps "PNG".
    std::string outputFormat;
    /// The quality box's value, clamped into 1..100.
    int outputQuality = kMaxQuality;
    bool grayscale = false;
    bool removeMetadata = false;
    imaging::ResizeOptions resize;
    bool keepFolderStructure = false;
    bool skipExisting = false;
    bool keepFileDates = false;
    /// Start-up writes "OutputQuality" = outputQuality back (the quality box's
    /// change action).
    bool writeBackQuality = false;
    /// Start-up writes "Grayscale" = "ON" back (the check box's change action).
    bool writeBackGrayscale = false;
};

/// Reads the options start-up applies. When "RememberSettings" is "OFF" every
/// other field keeps its default and nothing is written back. `folderExists`
/// decides whether a stored destination still exists.
StartupOptions readStartupOptions(const Store& store,
                                  const std::function<bool(const std::string&)>& folderExists);

/// Parses a whole number as the quality box does: blanks around it, an optional
/// sign and decimal digits within the range of a 32-bit integer. nullopt when
/// the text is not one.
std::optional<long long> parseWholeNumber(std::string_view text);

}  // namespace imbrix::settings
