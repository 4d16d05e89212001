// The folder walk that adds a folder's image files to the list.
#pragma once

#include <functional>
#include <stop_token>
#include <string>

namespace imbrix::imagelist {

/// Walks `dirName` in one depth-first pass, entries in the order the file system
/// returns them, hidden ones included. Each supported file (Destekleniyormu) is
/// handed to `onFile` as dirName + '/' (unless dirName ends with one) + name;
/// each subfolder is walked in place, before the next entry, when
/// `includeSubfolders()` says so at that moment. Links are followed, except a
/// link back into a folder that is being walked. Folders that cannot be read add
/// nothing and report nothing; fifos, sockets and devices are never added.
///
/// The walk stops early when `onFile` returns false or `stop` is requested;
/// it returns false then, true when it went through everything.
bool AddAllFilesInDir(const std::string& dirName, const std::function<bool()>& includeSubfolders,
                      const std::function<bool(const std::string& path)>& onFile,
                      std::stop_token stop = {});

}  // namespace imbrix::imagelist
