// The folder walk that adds a folder's image files to the list.
#pragma once

#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

#include "imagelist/imagelist.h"

namespace imbrix::imagelist {

/// Walks `dirName` in one depth-first pass, each folder's entries in name order
/// (FolderNameLess), hidden ones included. Each supported file (Destekleniyormu) is
/// handed to `onFile` as dirName + '/' (unless dirName ends with one) + name;
/// each subfolder is walked in place, before the next entry, when
/// `includeSubfolders()` says so at that moment. Links are followed, and each
/// real folder (device and inode) is walked once, at the first path that leads
/// to it, however many links lead there. Folders that cannot be read add
/// nothing and report nothing; fifos, sockets and devices are never added (nor
/// opened), and neither are the program's own temporary files (TempFile names).
///
/// The walk stops early when `onFile` returns false or `stop` is requested;
/// it returns false then, true when it went through everything.
bool AddAllFilesInDir(const std::string& dirName, const std::function<bool()>& includeSubfolders,
                      const std::function<bool(const std::string& path)>& onFile,
                      std::stop_token stop = {});

/// The same walk, handing each file to `onEntry` as the list's entry: its path
/// as above and, as its BaseFolder, `dirName` (the folder that was added).
bool AddFolderEntries(const std::string& dirName, const std::function<bool()>& includeSubfolders,
                      const std::function<bool(TMyRecord entry)>& onEntry,
                      std::stop_token stop = {});

/// The order of names within a folder, the same on every file system: names
/// compared character by character with letters upper-cased (Unicode simple
/// mapping, so "b" follows "A", "_" follows "Z" and "\u00e9" meets "\u00c9"),
/// characters in code point order, and a byte that is not part of valid UTF-8
/// after every character. Names equal in that comparison ("A.png", "a.png")
/// are ordered by their bytes. Digits are characters like any other: "img10"
/// comes before "img9".
bool FolderNameLess(std::string_view a, std::string_view b);

}  // namespace imbrix::imagelist
