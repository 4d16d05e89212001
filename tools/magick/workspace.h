// The converter's private temporary folder and the publication of its result.
#pragma once

#include <string>

namespace imbrix::magick {

/// How the workspace folders' names begin: "imbrix-magick-<pid>-XXXXXX".
inline constexpr const char* kWorkspacePrefix = "imbrix-magick-";

/// A folder of our own (mkdtemp under $TMPDIR, else /tmp) for every intermediate
/// file of one run. Folders left by a front that was killed (SIGKILL leaves no
/// chance to clean up) are removed when the next one starts. The helper tools are told to keep
/// their own temporary files in it as well. It is removed with everything in it when the object
/// goes away, and also when the process is ended by SIGINT, SIGTERM, SIGHUP or SIGQUIT (see
/// installCleanupOnSignals). One Workspace per process.
class Workspace {
public:
    /// Throws std::runtime_error with a message when the folder cannot be made.
    Workspace();
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    const std::string& path() const { return path_; }
    /// path() + "/" + name.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

/// Removes the workspace and any half-copied output when one of the usual
/// termination signals arrives, then ends the process by that signal.
void installCleanupOnSignals();

/// Moves the finished file `finished` to `destination` so that `destination`
/// either keeps its old state or holds the whole new file, never a part of it:
/// a rename when both are on one file system, otherwise a copy to a hidden
/// temporary name beside `destination` (flushed to disk), then a rename.
///
/// The caller hands over a fresh name: `destination` must not exist, or be an
/// empty regular file (a placeholder the caller created to reserve the name).
/// Anything else is refused, so that no existing picture is ever replaced.
/// Returns an empty string on success, otherwise the reason.
std::string publish(const std::string& finished, const std::string& destination);

}  // namespace imbrix::magick
