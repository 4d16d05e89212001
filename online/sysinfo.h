// Small routines that fill the service requests' fields and read their replies:
// the machine identifier, the locale code, the operating-system description, the
// MD5 digest, reply lines and tag values, and the date text of the update check.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace imbrix::online {

/// This program's identifier of the machine: HMAC-SHA256 of the machine id in
/// `machineIdFile` under a fixed key of the program, its first 16 bytes as a
/// lower-case GUID text ("xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"). The machine id
/// itself never leaves the machine. Empty when the file does not exist or is empty;
/// throws std::runtime_error when it cannot be read or holds no machine id.
std::string GetMachineGuid(const std::string& machineIdFile = "/etc/machine-id");

/// "language-COUNTRY" (such as "en-US", "tr-TR") of a POSIX locale name such as
/// "tr_TR.UTF-8"; a bare language takes its most likely country. "xx" for "C",
/// "POSIX", an empty name and locales that ICU does not list.
std::string LocaleCodeFor(std::string_view posixLocale);
/// LocaleCodeFor() of the process's locale (LC_ALL, else LC_MESSAGES, else LANG).
std::string GetLocaleCode();

/// "<name> (Version <major>.<minor>, Build <patch>, <64-bit|32-bit> Edition)" from
/// the system's pretty name, its kernel release ("6.1.0-18-amd64") and machine.
std::string FormatOsDescription(std::string_view prettyName, std::string_view release,
                                std::string_view machine);
/// FormatOsDescription() of PRETTY_NAME in `osReleaseFile` (or "Linux") and uname.
std::string OsDescription(const std::string& osReleaseFile = "/etc/os-release");

/// MD5 of `text` taken as 7-bit ASCII (each other character becomes "?"), as 32
/// upper-case hexadecimal digits.
std::string MD5Hex(std::string_view text);

/// The value between "<tag>" and "</tag>" (tag lower-cased) when `line` starts with
/// the first and ends with the second, exactly; otherwise empty.
std::string TagValue(std::string_view line, std::string_view tag);

/// The lines of `text`; CR, LF and CR LF each end a line. A final line break does
/// not start another line.
std::vector<std::string> SplitLines(std::string_view text);

/// `text` without leading and trailing blanks and control characters.
std::string TrimBlanks(std::string_view text);

/// The date of `when` in the user's short date format (ICU, the default locale and
/// time zone): the day text of the update check's daily limits.
std::string ShortDateText(std::chrono::system_clock::time_point when);

}  // namespace imbrix::online
