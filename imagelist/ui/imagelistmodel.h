// The list view's model: one row per image list entry, produced when drawn.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QLocale>
#include <QStyledItemDelegate>
#include <QVector>
#include <functional>
#include <string>

#include "imagelist/imagelist.h"

namespace imbrix::imagelist {

/// The size column's text: the file's size in bytes with the locale's digit
/// grouping ("1,234,567"), or "-1" when there is no file at `path`.
QString FileSizeText(const std::string& path, const QLocale& locale = QLocale());

/// The list view's small icons: the two stock icons (0: a folder, 1: a blank
/// document) followed by one icon per entry that has been drawn with icons on.
class IconCache {
public:
    using Provider = std::function<QIcon(const std::string& path)>;

    /// `provider` answers the icon of an existing file (a null icon: none).
    explicit IconCache(Provider provider = {});

    /// Back to the two stock icons (ImageListSifirla).
    void ImageListSifirla();
    /// Appends the icon of `path`: its index, or -1 when the file has none.
    int append(const std::string& path);
    QIcon at(int index) const;
    int count() const { return static_cast<int>(icons_.size()); }
    /// How many icons the provider was asked for since the start.
    int requests() const { return requests_; }

private:
    Provider provider_;
    QVector<QIcon> icons_;
    int requests_ = 0;
};

/// The model of `ListView1` over the image list it owns. Rows follow the list
/// when syncRowCount() or resetRows() is called, not by themselves, so a road
/// that adds many files refreshes the view at the pace it chooses.
class ImageListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit ImageListModel(IconCache::Provider iconProvider = {}, QObject* parent = nullptr);

    ImageFiles& files() { return files_; }
    const ImageFiles& files() const { return files_; }
    IconCache& icons() { return icons_; }

    /// Whether rows show the entry's own icon ("Display Icons") or the blank document.
    void setDisplayIcons(bool on);
    bool displayIcons() const { return displayIcons_; }

    /// Makes the row count equal to the list's length after entries were appended.
    void syncRowCount();
    /// Rebuilds every row (after removals or a clear).
    void resetRows();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QIcon rowIcon(std::size_t row) const;

    ImageFiles files_;
    mutable IconCache icons_;  // grows as rows are drawn
    int shownRows_ = 0;
    bool displayIcons_ = true;
};

/// Draws the list view's rows. A row whose file has no icon keeps the icon's
/// room empty, so every name in the column starts at the same place.
class ImageRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

}  // namespace imbrix::imagelist
