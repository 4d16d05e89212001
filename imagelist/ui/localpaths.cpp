// Paths between the window and the rest of the program.
#include "imagelist/ui/localpaths.h"

#include <QByteArray>
#include <QFile>
#include <filesystem>

namespace imbrix::imagelist {

std::string localFilePath(const QUrl& url) {
    if (!url.isLocalFile()) {
        return {};
    }
    // The fully escaped form is plain ASCII; undoing its escapes gives the bytes
    // of the name, where toLocalFile() would decode them as UTF-8 and replace
    // what is not.
    QByteArray path = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (!url.host().isEmpty()) {
        QByteArray prefix = "//" + url.host(QUrl::FullyEncoded).toLatin1();
        if (!path.startsWith('/')) {
            prefix += '/';
        }
        path.prepend(prefix);
    }
    return path.toStdString();
}

std::vector<std::string> localFilePaths(const QList<QUrl>& urls) {
    std::vector<std::string> paths;
    for (const QUrl& url : urls) {
        if (url.isLocalFile()) {
            paths.push_back(localFilePath(url));
        }
    }
    return paths;
}

QUrl localFileUrl(const std::string& path) {
    std::string absolute = path;
    if (absolute.empty() || absolute.front() != '/') {
        std::error_code error;
        std::filesystem::path here = std::filesystem::current_path(error);
        if (!error) {
            absolute = (here / path).string();
        }
    }
    // Every byte outside the unreserved characters is escaped, so the URL holds
    // the name exactly, whatever its encoding.
    return QUrl::fromEncoded("file://" + QByteArray::fromStdString(absolute).toPercentEncoding("/"),
                             QUrl::StrictMode);
}

std::string nativePath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

std::vector<std::string> nativePaths(const QStringList& paths) {
    std::vector<std::string> native;
    native.reserve(static_cast<std::size_t>(paths.size()));
    for (const QString& path : paths) {
        native.push_back(nativePath(path));
    }
    return native;
}

}  // namespace imbrix::imagelist
