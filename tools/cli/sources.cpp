// imbrix-cli: the roads into a run.
#include "tools/cli/sources.h"

#include <sys/stat.h>

#include <ostream>

#include "imagelist/folderwalk.h"
#include "imagelist/imagelist.h"
#include "platform/files.h"

namespace imbrix::cli {

Sources::Sources(SourceOptions options) : options_(std::move(options)) {
    if (!options_.listFile.empty()) {
        list_.emplace(options_.listFile, options_.nulSeparated
                                             ? convert::PathListReader::Separator::Nul
                                             : convert::PathListReader::Separator::Newline);
    }
    if (!options_.retryRecord.empty()) {
        record_.emplace(options_.retryRecord);
    }
}

bool Sources::mine(const std::string& path) const {
    return !options_.shard || convert::inShard(path, *options_.shard);
}

// One PATH or list entry. False when `take` wants no more.
bool Sources::entry(const std::string& path, const std::function<bool(convert::SourceFile)>& take,
                    std::stop_token stop, std::ostream& messages) {
    const bool pictureName = imagelist::Destekleniyormu(path);
    if (pictureName && !mine(path)) {
        ++counts_.files;  // another shard's
        return true;
    }
    // Nothing is opened to find out what a path is: a FIFO or a device named
    // here is reported and skipped, never waited on.
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        // The folder is walked whole before its files are converted, so an
        // output written into it is never taken for a source; only this
        // shard's files are kept meanwhile. It is the base of what its walk
        // finds (for --keep-tree). A folder named like a picture is this
        // shard's whole (see sources.h).
        std::vector<convert::SourceFile> found;
        const bool subfolders = options_.subfolders;
        const bool wholeFolder = pictureName;
        imagelist::AddFolderEntries(
            path, [subfolders] { return subfolders; },
            [&](imagelist::TMyRecord record) {
                ++counts_.files;
                if (wholeFolder || mine(record.FName)) {
                    found.push_back({std::move(record.FName), std::move(record.BaseFolder)});
                }
                return true;
            },
            stop);
        for (convert::SourceFile& file : found) {
            ++counts_.taken;
            if (!take(std::move(file))) {
                return false;
            }
        }
        return true;
    }
    if (pictureName && !(exists && !S_ISREG(st.st_mode)) && !platform::tempFileTarget(path)) {
        ++counts_.files;
        ++counts_.taken;  // a missing one fails when it is converted
        return take({path, options_.base});
    }
    if (!mine(path)) {
        return true;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        messages << "Skipped (not a regular file): " << path << "\n";
    } else if (platform::tempFileTarget(path)) {
        messages << "Skipped (a temporary file of a conversion): " << path << "\n";
    } else {
        messages << "Skipped (not a supported image file name): " << path << "\n";
    }
    return true;
}

SourceCounts Sources::feed(const std::function<bool(convert::SourceFile)>& take,
                           const std::function<void()>& waiting, std::stop_token stop,
                           std::ostream& messages) {
    const auto problem = [this, &messages](const std::string& text) {
        messages << "ERROR: " << text << "\n";
        ++counts_.problems;
    };
    for (const std::string& path : options_.paths) {
        if (stop.stop_requested() || !entry(path, take, stop, messages)) {
            return counts_;
        }
    }
    try {
        while (list_ && !stop.stop_requested()) {
            const std::optional<convert::PathListReader::Entry> item = list_->next(stop, waiting);
            if (!item) {
                break;
            }
            if (!item->problem.empty()) {
                problem(item->problem);
            } else if (!entry(item->path, take, stop, messages)) {
                return counts_;
            }
        }
        while (record_ && !stop.stop_requested()) {
            std::optional<convert::FailedFilesReader::Entry> item = record_->next(stop, waiting);
            if (!item) {
                break;
            }
            if (!item->problem.empty()) {
                problem(item->problem);
                continue;
            }
            ++counts_.files;
            if (item->file.baseFolder.empty()) {
                item->file.baseFolder = options_.base;
            }
            if (mine(item->file.path)) {
                ++counts_.taken;
                if (!take(std::move(item->file))) {
                    return counts_;
                }
            }
        }
    } catch (const convert::PathListError& e) {
        // The list cannot be read on: what was read is converted, and the run fails.
        problem(e.what());
    }
    return counts_;
}

}  // namespace imbrix::cli
