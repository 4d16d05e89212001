// The update check: once per run a worker thread asks the maker's service whether
// another version exists, within daily limits, and decides whether the user sees
// the new-version notice.
//
// The worker keeps its values in the per-user store (see keystore.h), under a key
// named by MD5Hex of the application caption. It hands its results to the
// user-interface thread through Finished(): every result is written before the
// flag is published (release) and read only after it is seen set (acquire).
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "online/endpoints.h"
#include "online/keystore.h"
#include "online/request.h"
#include "online/sysinfo.h"

namespace imbrix::online {

/// English text in, text in the user's language out.
using Translator = std::function<std::string(std::string_view)>;

/// Shows the service's important text in a modal warning box captioned `caption`
/// and returns once the user has closed it. Called on the worker thread: the
/// window must be shown on the user-interface thread. Should return early once
/// `stop` is set (the program is ending).
using ImportantNotice = std::function<void(const std::string& caption, const std::string& text,
                                           const std::atomic<bool>& stop)>;

/// The stored form of "CurrentURL": each UTF-8 byte mixed with a running 16-bit
/// key, as two upper-case hexadecimal digits.
std::string ScrambleValue(std::string_view text);
/// The reverse of ScrambleValue(); empty when the text is not hexadecimal (a
/// trailing odd digit is ignored).
std::string UnscrambleValue(std::string_view scrambled);

/// Everything the check takes from the program, so that tests can stand in for it.
struct CheckEnvironment {
    /// The application caption, "<company> - <product>".
    std::string appCaption;
    /// The program's version text, "<major>.<minor>".
    std::string versionText;
    std::string serviceHost = ServiceHost();
    /// Folder of the per-user keys; the check's file is <root>/<MD5Hex(caption)>/Settings.
    std::filesystem::path registryRoot = DefaultRegistryRoot();
    std::string machineIdFile = "/etc/machine-id";
    std::function<std::chrono::system_clock::time_point()> clock = &std::chrono::system_clock::now;
    std::function<std::string()> localeCode = [] { return GetLocaleCode(); };
    std::function<std::string()> osDescription = [] { return OsDescription(); };
    /// Empty: texts stay English.
    Translator translate;
    /// Empty: the important text is not shown.
    ImportantNotice showImportant;
    RequestOptions request;
};

/// What the worker hands over; read only after TChecker::Finished().
struct CheckResults {
    bool showNotice = false;
    /// The version that the service reported.
    std::string serverVersion;
    /// The download page: the stored one, replaced by the service's answer.
    std::string downloadAddress;
    /// "ShowUpdate" as read: 1 on, 0 off (other values: asked, never shown).
    int notificationsWanted = 1;
    /// What went wrong, messages joined by CR CR. Never shown to the user.
    std::string errorText;
    bool errorFlag = false;
};

class TChecker {
public:
    explicit TChecker(CheckEnvironment environment);
    /// Asks a running check to stop (a pending request is cancelled) and waits for it.
    ~TChecker();
    TChecker(const TChecker&) = delete;
    TChecker& operator=(const TChecker&) = delete;

    /// Runs Execute() on a new worker thread. Call once.
    void Start();
    /// Asks a running check to stop: a pending request is cancelled, and no other
    /// request is begun. Finished() follows once the worker has given up.
    void Stop() { stop_.store(true, std::memory_order_relaxed); }
    /// True once the check has finished; its results are then complete.
    bool Finished() const { return finished_.load(std::memory_order_acquire); }
    /// The results; only after Finished() returned true.
    const CheckResults& Results() const { return results_; }

    /// The whole check on the calling thread; sets Finished() as its last step,
    /// whatever happened before.
    void CheckNow();

    /// The "Update Notifications" command: stores "ShowUpdate" = 1 or 0 for the next
    /// run's check. Only after Finished(). False when it could not be stored.
    bool WriteShowUpdate(bool on);

private:
    void Execute();
    void AddError(std::string_view message);
    void ClearErrors();
    void RunCheck();

    CheckEnvironment env_;
    CheckResults results_;
    std::unique_ptr<KeyValueStore> store_;
    std::atomic<bool> finished_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace imbrix::online
