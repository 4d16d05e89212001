// Imbrix platform layer: files and folders.
//
// Paths are UTF-8 byte strings, passed to the system as they are. Nothing here
// ever goes through a shell, and nothing here overwrites an existing file.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/uniquefd.h"

namespace imbrix::platform {

/// True when a regular file (or a link to one) exists at `path`; folders do not count.
bool fileExists(const std::string& path);
/// True when a folder (or a link to one) exists at `path`.
bool folderExists(const std::string& path);
/// True when anything has the name `path`: a file, a folder, a link (even one
/// that leads nowhere), a device, ...
bool nameTaken(const std::string& path);
/// Size in bytes of the file at `path`, or -1 when there is no such file.
std::int64_t fileSizeBytes(const std::string& path);
/// Creates `path` with every missing parent. True when the folder exists afterwards.
bool createFolders(const std::string& path);
/// The same; when it fails, `error` says why.
bool createFolders(const std::string& path, std::error_code& error);

/// A modification time as the file system keeps it (nanoseconds where it has them).
struct FileTime {
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;  ///< 0..999999999
    bool operator==(const FileTime&) const = default;
};
/// The modification time of the file at `path` (a link is followed); nothing
/// when there is no such file.
std::optional<FileTime> modificationTime(const std::string& path);
/// Gives the file at `path` (a link is followed) the modification time `time`,
/// exactly; its access time is left alone. Throws std::system_error.
void setModificationTime(const std::string& path, const FileTime& time);

/// The folder write probe: creates "chk.tmp" in `folder` exclusively (an
/// existing "chk.tmp" fails the probe), closes and removes it. Never leaves a
/// file behind.
bool isFolderWritable(const std::string& folder);

/// `path` with a '/' at the end unless it has one already.
std::string withTrailingSlash(std::string path);

/// A file created exclusively under a name unique to this process and call, in
/// `folder`, named ".<stem>.<pid>-<n>-h<machine>.imbrix-tmp<suffix>" (hidden,
/// recognisable; <machine> is 16 hex digits of a hash of the host name).
/// The file is removed when the object is destroyed, unless it was published.
/// `suffix` lets a tool that picks its format by extension see the right one.
class TempFile {
public:
    /// Throws std::system_error when the file cannot be created.
    TempFile(const std::string& folder, const std::string& stem, const std::string& suffix);
    ~TempFile();
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& path() const { return path_; }
    /// The open descriptor (read-write), or -1 after close().
    int fd() const { return fd_.get(); }
    /// Closes the descriptor; the file stays until destruction or publication.
    /// Throws std::system_error when the close reports a write error.
    void close();
    /// Removes the file now.
    void remove();

    /// Gives the finished file the name `candidate`, or, while a file or folder of
    /// that name exists, "<stem> (n)<ext>" for n = 2, 3, ...: the first free one.
    /// The name is claimed atomically (rename without replace, or a hard link
    /// where the file system lacks that), so no other process or thread can take
    /// it in between and no existing file is replaced. Returns the claimed path;
    /// afterwards the temporary name is gone. Throws std::system_error on failure.
    std::string publishUnique(const std::string& candidate);

    /// Gives the finished file the name `target` itself, claimed atomically like
    /// publishUnique(). Returns false, and keeps the temporary file, when a file
    /// or folder (or a link) of that name exists: nothing is ever replaced.
    /// Throws std::system_error on any other failure.
    bool publishExact(const std::string& target);

    /// Renames the finished file over `target`, replacing whatever file is there
    /// in one step. Afterwards the temporary name is gone. Throws
    /// std::system_error on failure.
    void replace(const std::string& target);

private:
    std::string path_;
    UniqueFd fd_;
};

/// The name, without folder, that a file made by TempFile stands in for: its stem
/// and suffix ("photo.pdf" for "/dest/.photo.1234-7.imbrix-tmp.pdf"), the stem as
/// far as the temporary name kept it. nullopt when `path` is not named that way.
std::optional<std::string> tempFileTarget(const std::string& path);

/// Removes from `folder` the files made by TempFile (by their names) that no
/// run of this program will ever finish: those of a process that has ended, or
/// whose process id now belongs to another program (one whose executable is not
/// ours nor named "imbrix...") or to a process started after the file last
/// changed (its status change time: the id was used again). A file another
/// machine made (its name says which, for folders shared over the network) is
/// removed only once it has not changed for `otherMachineAge`. Files of a live
/// run of this program, files of other users and anything but regular files are
/// left alone. Returns how many were removed; a folder that cannot be read
/// removes nothing.
std::size_t removeStaleTempFiles(const std::string& folder,
                                 std::chrono::seconds otherMachineAge = std::chrono::hours(24));

/// Removes from `folder` the work folders named "<prefix><pid>-<anything>" that
/// no process will ever finish with, by the rules of removeStaleTempFiles (the
/// file times are the folder's own). Folders of a live process, of other users,
/// and anything but real folders are left alone. Returns how many were removed.
std::size_t removeStaleWorkFolders(const std::string& folder, std::string_view prefix);

/// Makes `text` the whole content of the file at `path`: writes it to a new file
/// beside it, flushes it to disk and renames it over the old one, so a crash or
/// a full disk leaves either the old content or the new, never a mix. The file
/// keeps the permissions of the one it replaces; a new file gets `newFileMode`.
/// Throws std::system_error (the failing call's errno) and leaves no temporary
/// file behind.
void replaceFileContents(const std::string& path, std::string_view text,
                         unsigned newFileMode = 0644);

/// The first name in the sequence candidate, "<stem> (2)<ext>", "<stem> (3)<ext>", ...
/// under which no file exists right now (folders do not count). Only a look:
/// nothing is claimed.
std::string uniqueFileName(const std::string& candidate);

/// Name parts as the program uses them: the extension is the part from the last
/// '.' after the last '/', dot included, or empty.
std::string extractFileExt(const std::string& path);
/// File name without folder.
std::string extractFileName(const std::string& path);
/// Folder part, including its trailing '/', or empty.
std::string extractFilePath(const std::string& path);
/// `path` without its extension (see extractFileExt).
std::string stripFileExt(const std::string& path);
/// ASCII-only lower casing, as file extensions are compared.
std::string asciiLower(std::string text);

}  // namespace imbrix::platform
