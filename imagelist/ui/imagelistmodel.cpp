// The list view's model and its icon cache.
#include "imagelist/ui/imagelistmodel.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QStyle>
#include <QStyleOption>
#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/files.h"

namespace imbrix::imagelist {

QString FileSizeText(const std::string& path, const QLocale& locale) {
    std::int64_t size = platform::fileSizeBytes(path);
    if (size < 0)
        return QStringLiteral("-1");
    // Always grouped, even where the locale's own default leaves the separator out
    // (the "C" locale does): the column is read as a figure, "1,234,567".
    QLocale grouped = locale;
    grouped.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return grouped.toString(static_cast<qlonglong>(size));
}

namespace {

// The theme's icon when the desktop has one, else the style's own.
QIcon stockIcon(const char* themeName, QAbstractFileIconProvider::IconType kind) {
    QIcon icon = QIcon::fromTheme(QString::fromLatin1(themeName));
    if (!icon.isNull())
        return icon;
    return QFileIconProvider().icon(kind);
}

// The type the desktop's database gives a file by its name; a supported image
// ending the database does not know is taken for what it is (".jfif" is a JPEG).
QMimeType fileType(const QMimeDatabase& types, const std::string& path) {
    QMimeType type =
        types.mimeTypeForFile(QString::fromStdString(path), QMimeDatabase::MatchExtension);
    if (type.isDefault() && platform::asciiLower(platform::extractFileExt(path)) == ".jfif") {
        type = types.mimeTypeForName(QStringLiteral("image/jpeg"));
    }
    return type;
}

// The icon the desktop shows for a file of this type: the icon theme's picture of
// its type ("image-png"), else of its kind ("image-x-generic"), else whatever the
// platform gives (without a desktop's own platform theme that is one plain
// document icon for every file). A missing file has none. The file is looked at
// through its bytes, so a name that is not UTF-8 gets its icon too.
QIcon desktopFileIcon(const QFileIconProvider& shell, const std::string& path) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) {
        return {};
    }
    const bool folder = std::filesystem::is_directory(status);
    const QMimeDatabase types;
    QStringList iconNames;
    if (folder) {
        iconNames << types.mimeTypeForName(QStringLiteral("inode/directory")).iconName();
    } else if (const QMimeType type = fileType(types, path); !type.isDefault()) {
        iconNames << type.iconName() << type.genericIconName();
    } else if (Destekleniyormu(path)) {
        iconNames << QStringLiteral("image-x-generic");  // an image all the same (".wmp")
    }
    for (const QString& name : iconNames) {
        if (QIcon::hasThemeIcon(name)) {
            return QIcon::fromTheme(name);
        }
    }
    const QFileInfo info(QString::fromStdString(path));
    if (info.exists()) {
        return shell.icon(info);
    }
    // A name Qt cannot spell: the platform's icon of its kind.
    return shell.icon(folder ? QAbstractFileIconProvider::Folder : QAbstractFileIconProvider::File);
}

}  // namespace

IconCache::IconCache(Provider provider) : provider_(std::move(provider)) {
    if (!provider_) {
        auto shell = std::make_shared<QFileIconProvider>();
        provider_ = [shell](const std::string& path) { return desktopFileIcon(*shell, path); };
    }
    ImageListSifirla();
}

void IconCache::ImageListSifirla() {
    icons_.clear();
    icons_.append(stockIcon("folder", QAbstractFileIconProvider::Folder));
    icons_.append(stockIcon("text-x-generic", QAbstractFileIconProvider::File));
}

int IconCache::append(const std::string& path) {
    ++requests_;
    QIcon icon = provider_(path);
    if (icon.isNull())
        return -1;
    icons_.append(icon);
    return static_cast<int>(icons_.size()) - 1;
}

QIcon IconCache::at(int index) const {
    if (index < 0 || index >= icons_.size())
        return {};
    return icons_[index];
}

ImageListModel::ImageListModel(IconCache::Provider iconProvider, QObject* parent)
    : QAbstractTableModel(parent), icons_(std::move(iconProvider)) {}

void ImageListModel::setDisplayIcons(bool on) {
    displayIcons_ = on;
    if (shownRows_ > 0) {
        emit dataChanged(index(0, 0), index(shownRows_ - 1, 0), {Qt::DecorationRole});
    }
}

void ImageListModel::syncRowCount() {
    int wanted = static_cast<int>(files_.size());
    if (wanted > shownRows_) {
        beginInsertRows({}, shownRows_, wanted - 1);
        shownRows_ = wanted;
        endInsertRows();
    } else if (wanted < shownRows_) {
        resetRows();
    }
}

void ImageListModel::resetRows() {
    beginResetModel();
    shownRows_ = static_cast<int>(files_.size());
    endResetModel();
}

int ImageListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownRows_;
}

int ImageListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 2;
}

QIcon ImageListModel::rowIcon(std::size_t row) const {
    if (!displayIcons_)
        return icons_.at(1);
    // The entry's icon index is a cache filled the first time its row is drawn.
    TMyRecord& entry = const_cast<ImageFiles&>(files_)[row];
    if (entry.FImageIndex == 0)
        entry.FImageIndex = icons_.append(entry.FName);
    return icons_.at(entry.FImageIndex);
}

QVariant ImageListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shownRows_)
        return {};
    auto row = static_cast<std::size_t>(index.row());
    if (row >= files_.size())
        return {};  // the list shrank; a reset is on its way
    const TMyRecord& entry = files_[row];
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        if (index.column() == 0)
            return QString::fromStdString(entry.FName);
        if (role == Qt::DisplayRole)
            return FileSizeText(entry.FName);
    }
    if (role == Qt::DecorationRole && index.column() == 0)
        return rowIcon(row);
    if (role == Qt::TextAlignmentRole && index.column() == 1) {
        return QVariant::fromValue(Qt::AlignCenter);
    }
    return {};
}

QVariant ImageListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return section == 0 ? QStringLiteral("Filename") : QStringLiteral("Size (bytes)");
    }
    if (role == Qt::TextAlignmentRole) {
        // Each heading sits as its column's cells do: names from the left, sizes centred.
        const Qt::Alignment alignment =
            section == 0 ? (Qt::AlignLeft | Qt::AlignVCenter) : Qt::Alignment(Qt::AlignCenter);
        return static_cast<int>(alignment);  // the plain number every Qt 6 view reads
    }
    return {};
}

void ImageRowDelegate::initStyleOption(QStyleOptionViewItem* option,
                                       const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    if (index.column() != 0 || !option->icon.isNull()) {
        return;
    }
    // No icon to draw, but the room of one: an empty icon of the view's icon size.
    QSize room;
    if (const auto* view = qobject_cast<const QAbstractItemView*>(option->widget)) {
        room = view->iconSize();
    }
    if (!room.isValid()) {
        const QStyle* style = option->widget ? option->widget->style() : QApplication::style();
        const int extent = style->pixelMetric(QStyle::PM_SmallIconSize, option, option->widget);
        room = QSize(extent, extent);
    }
    option->features |= QStyleOptionViewItem::HasDecoration;
    option->decorationSize = room;
}

}  // namespace imbrix::imagelist
