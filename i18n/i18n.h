// Imbrix languages: the language files beside the program, the code table that
// picks one, and the text lookup.
//
// The program's built-in texts are English. At start-up the main window calls
// LoadLanguage() once; it picks a file from "<program folder>/Languages" through
// "LanguageCodes.csv" by the user's interface language and keeps its lines for the
// rest of the run. From then on Translate(text) gives the loaded file's
// translation of `text`, or `text` itself.
//
// Threads: a Catalogue never changes after it is built, so any number of threads
// may read one. The process-wide catalogue behind the free Translate() is
// installed once (the first LoadLanguage() or installCatalogue() wins; later
// calls change nothing) and is never freed, so Translate() may run on any thread
// at any time, before or after loading.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace imbrix::i18n {

/// A language file that exists but cannot be read (the message names the file).
class LanguageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The languages folder and the loaded language file; read-only once built.
class Catalogue {
public:
    /// Nothing loaded: translate() returns its argument.
    Catalogue() = default;

    /// Loads the language for `uiLanguage` (a Windows language identifier such as
    /// 1031 for German (Germany)) from `programFolder` + "Languages":
    ///  1. no such folder: nothing loaded;
    ///  2. languageFiles() := FindLanguageFiles on that folder;
    ///  3. when "LanguageCodes.csv" exists there, the first line with a comma whose
    ///     trimmed left side is the identifier in plain decimal names the wanted
    ///     file (trimmed right side); the first of languageFiles() equal to it with
    ///     A-Z compared without regard to case is chosen, with its case on disk;
    ///  4. when the chosen file exists, its lines become the catalogue.
    /// Any miss loads nothing and reports nothing. An unreadable code table counts
    /// as an empty one. Throws LanguageError when the chosen language file exists
    /// but cannot be read.
    static Catalogue load(const std::string& programFolder, std::uint16_t uiLanguage);

    /// Builds a catalogue straight from a language file's text (for tools and tests).
    static Catalogue fromText(std::string_view fileText, std::string languageFile = "memory",
                              std::string languageName = {});

    /// The translation of `text`: the text after "{" + text + "}" on the first
    /// line that starts with exactly that key, or `text` itself when that line has
    /// nothing after the key, when no line starts with the key, or when nothing is
    /// loaded. Blanks at either end of a translation are part of it.
    std::string translate(std::string_view text) const;

    /// program folder + "Languages", no trailing '/'; empty before load().
    const std::string& languagesFolder() const { return languagesFolder_; }
    /// Names (not paths) of the language files found, in name order.
    const std::vector<std::string>& languageFiles() const { return languageFiles_; }
    /// The loaded file's name up to its first ".lang.txt" (case-sensitive); empty
    /// when nothing is loaded or the name lacks ".lang.txt".
    const std::string& languageName() const { return languageName_; }
    /// Full path of the loaded file; empty when nothing is loaded.
    const std::string& languageFile() const { return languageFile_; }
    bool isLoaded() const { return !languageFile_.empty(); }

private:
    std::string languagesFolder_;
    std::vector<std::string> languageFiles_;
    std::string languageName_;
    std::string languageFile_;
    std::vector<std::string> lines_;
};

/// Appends to `names` the name of every entry of `folder` that matches
/// "*lang.txt" (letter case ignored, as the Windows file listing does) and is not
/// a folder, in name order. A missing or unreadable folder appends nothing.
void FindLanguageFiles(const std::string& folder, std::vector<std::string>& names);

/// The file chosen by the code table's text for `uiLanguage`, or empty. Lines end
/// with CR LF, LF or CR; a UTF-8 or UTF-16 byte-order mark selects that encoding,
/// otherwise the text is taken as UTF-8 (the system's 8-bit encoding here).
std::string lookUpLanguageCode(std::string_view codeTableBytes, std::uint16_t uiLanguage);

/// The Windows language identifier of a POSIX locale name such as "de_DE.UTF-8",
/// "pt_BR", "sr_RS@latin" or "de" (a bare language takes its most likely
/// country). "C", "POSIX", an empty name and names ICU does not know give 1033
/// (English (United States)), the language of the built-in texts.
std::uint16_t languageIdForLocale(std::string_view posixLocale);

/// The user's interface language: the message locale as gettext finds it
/// (LANGUAGE's first entry, unless the locale of LC_ALL, else LC_MESSAGES, else
/// LANG is "C" or "POSIX" or unset, in which case LANGUAGE is ignored), mapped by
/// languageIdForLocale(). `getenv` is the environment to read (std::getenv by
/// default).
using EnvironmentReader = const char* (*)(const char* name);
std::uint16_t userInterfaceLanguage(EnvironmentReader getenv = nullptr);

/// Start-up: loads the catalogue of the running program's folder for
/// userInterfaceLanguage() and installs it as the process-wide catalogue. Runs
/// once; later calls do nothing. Throws LanguageError as Catalogue::load().
void LoadLanguage();

/// Installs `catalogue` as the process-wide catalogue unless one is installed
/// already. Returns false (and drops `catalogue`) when one was there.
bool installCatalogue(std::unique_ptr<const Catalogue> catalogue);

/// The process-wide catalogue, or nullptr before it is installed.
const Catalogue* processCatalogue();

/// The text lookup of the process-wide catalogue; `text` itself before loading.
std::string Translate(std::string_view text);

}  // namespace imbrix::i18n
