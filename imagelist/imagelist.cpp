// The image list and the supported-extension test.
#include "imagelist/imagelist.h"

#include <algorithm>
#include <utility>

namespace imbrix::imagelist {

void ImageFiles::AppendImageFile(std::string path, std::string baseFolder) {
    items_.push_back(TMyRecord{std::move(path), 0, std::move(baseFolder)});
}

void ImageFiles::DeleteImageFile(std::size_t index) {
    if (index < items_.size()) {
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    }
}

std::size_t ImageFiles::DeleteImageFiles(std::span<const std::size_t> indexes) {
    // One pass instead of one erase per index: deleting a large selection from a
    // long list stays linear.
    std::vector<bool> doomed(items_.size(), false);
    for (std::size_t index : indexes) {
        if (index < items_.size()) {
            doomed[index] = true;
        }
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (!doomed[i]) {
            if (kept != i) {
                items_[kept] = std::move(items_[i]);
            }
            ++kept;
        }
    }
    const std::size_t removed = items_.size() - kept;
    items_.resize(kept);
    return removed;
}

bool Destekleniyormu(std::string_view dosyaadi) {
    const std::size_t slash = dosyaadi.rfind('/');
    const std::size_t dot = dosyaadi.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return false;
    }
    std::string ext(dosyaadi.substr(dot));
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return std::find(kSupportedExtensions.begin(), kSupportedExtensions.end(), ext) !=
           kSupportedExtensions.end();
}

std::array<DialogFilterEntry, 2> ImageDialogFilterEntries(std::string_view imageFiles,
                                                          std::string_view allFiles) {
    const std::string patterns(kImagePatterns);
    return {DialogFilterEntry{std::string(imageFiles) + " (" + patterns + ")", patterns},
            DialogFilterEntry{std::string(allFiles), "*.*"}};
}

std::string ImageDialogFilter(std::string_view imageFiles, std::string_view allFiles) {
    std::string filter;
    for (const DialogFilterEntry& entry : ImageDialogFilterEntries(imageFiles, allFiles)) {
        if (!filter.empty()) {
            filter += '|';
        }
        filter += entry.name + "|" + entry.patterns;
    }
    return filter;
}

}  // namespace imbrix::imagelist
