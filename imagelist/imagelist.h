// The image list: the source files of the next conversion run, in the order they
// were added, and the test that decides which file names are images.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/fileformats.h"

namespace imbrix::imagelist {

/// One entry of the list.
struct TMyRecord {
    std::string FName;             ///< the source path as it entered the list
    std::int32_t FImageIndex = 0;  ///< icon index in the list view's cache; 0: not fetched yet
    /// The folder whose walk found the file (the folder that was added, as
    /// given); empty for a file added on its own. A run that keeps the folder
    /// tree puts the output in the file's folder below this one.
    std::string BaseFolder;
};

/// The source files, in insertion order; the same path may stand in it any number of times.
class ImageFiles {
public:
    /// Adds an entry for `path` at the end, with no icon yet; `baseFolder` is the
    /// added folder whose walk found it (empty for a file added on its own).
    void AppendImageFile(std::string path, std::string baseFolder = {});
    /// Removes the entry at `index`; an index past the last entry does nothing.
    void DeleteImageFile(std::size_t index);
    /// Removes the entries at the given indexes (any order, repeats allowed; indexes
    /// past the end are ignored), as if each were deleted walking from the last
    /// index down: the remaining entries keep their order. Returns how many went.
    std::size_t DeleteImageFiles(std::span<const std::size_t> indexes);
    /// Empties the list.
    void Clear() { items_.clear(); }

    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const TMyRecord& operator[](std::size_t index) const { return items_[index]; }
    TMyRecord& operator[](std::size_t index) { return items_[index]; }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::vector<TMyRecord> items_;
};

/// The supported source extensions, lower case with their dot: the source
/// formats of the format table.
inline constexpr auto kSupportedExtensions = [] {
    std::array<std::string_view, 18> extensions{};
    std::size_t count = 0;
    for (const imaging::FileFormat& format : imaging::kFileFormats) {
        if (format.isSource()) {
            extensions.at(count++) = format.extension;
        }
    }
    return count == extensions.size() ? extensions : throw "every source format is listed";
}();

/// The image patterns of the file dialog, one string.
inline constexpr std::string_view kImagePatterns =
    "*.png;*.webp;*.jpg;*.jpeg;*.jfif;*.tif;*.tiff;*.gif;*.ico;*.bmp;*.wmp;*.avif;*.psd;*.heic;"
    "*.svg;*.tga;*.jxl;*.jp2";

/// True when `dosyaadi` (a file name or path) ends in a supported extension: the
/// part from the last '.' after the last '/', compared after ASCII lower-casing.
bool Destekleniyormu(std::string_view dosyaadi);

/// One entry of the file dialog's filter: the name shown and its patterns
/// (separated by ';').
struct DialogFilterEntry {
    std::string name;
    std::string patterns;
};

/// The two entries of the "Add Files" dialog: images first, then all files.
/// `imageFiles` and `allFiles` are the translated "Image Files" and
/// "All Files (*.*)".
std::array<DialogFilterEntry, 2> ImageDialogFilterEntries(std::string_view imageFiles,
                                                          std::string_view allFiles);

/// The same filter as one string, "name|patterns|name|patterns".
std::string ImageDialogFilter(std::string_view imageFiles, std::string_view allFiles);

}  // namespace imbrix::imagelist
