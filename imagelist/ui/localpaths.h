// Paths between the window and the rest of the program.
//
// The program keeps a path as the bytes the system gave it, which on Linux need
// not be UTF-8 (names from older systems are often Latin-1). A QString cannot
// hold such bytes, but a file URL can: it carries them percent-escaped. So a
// path that comes from the desktop is read from its URL, and a path that goes
// to the desktop is handed over as a URL made from its bytes.
#pragma once

#include <QList>
#include <QString>
#include <QUrl>
#include <string>
#include <vector>

namespace imbrix::imagelist {

/// The path a file URL names, as the bytes of its name; empty for other URLs.
/// A URL with a host gives "//host/path", as QUrl::toLocalFile() does.
std::string localFilePath(const QUrl& url);
/// The paths of the file URLs among `urls`, in order; other URLs are left out.
std::vector<std::string> localFilePaths(const QList<QUrl>& urls);
/// A file URL that names `path` byte for byte, made absolute against the working
/// folder.
QUrl localFileUrl(const std::string& path);
/// The path the system knows by the text `path` (QFile::encodeName), for paths
/// that only exist as text: typed, or from Qt's own dialogs.
std::string nativePath(const QString& path);
std::vector<std::string> nativePaths(const QStringList& paths);

}  // namespace imbrix::imagelist
