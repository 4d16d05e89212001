// The roads into the image list.
#include "imagelist/ui/intake.h"

#include <sys/stat.h>

#include <QtGlobal>

#include "imagelist/folderwalk.h"
#include "imagelist/imagelist.h"
#include "imagelist/ui/imagelistmodel.h"
#include "imagelist/ui/localpaths.h"
#include "platform/files.h"

namespace imbrix::imagelist {

ImageIntake::ImageIntake(ImageListModel& model, QObject* parent) : QObject(parent), model_(model) {
    timer_.setInterval(40);
    connect(&timer_, &QTimer::timeout, this, &ImageIntake::refresh);
}

ImageIntake::~ImageIntake() {
    if (worker_.joinable()) {
        worker_.request_stop();
        wake_.notify_all();
        worker_.join();
    }
}

bool ImageIntake::busy() const {
    std::lock_guard lock(mutex_);
    return working_ || !jobs_.empty() || !found_.empty();
}

void ImageIntake::appendNow(std::vector<TMyRecord> entries) {
    for (TMyRecord& entry : entries)
        model_.files().AppendImageFile(std::move(entry.FName), std::move(entry.BaseFolder));
    model_.syncRowCount();
    emit countChanged(static_cast<int>(model_.files().size()));
}

namespace {

// What a path is, found without opening it (opening a FIFO waits for a writer).
enum class PathKind { kMissing, kFolder, kFile, kOther };

PathKind pathKind(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return PathKind::kMissing;
    }
    if (S_ISDIR(st.st_mode)) {
        return PathKind::kFolder;
    }
    return S_ISREG(st.st_mode) ? PathKind::kFile : PathKind::kOther;
}

// A FIFO, device or socket, or a conversion's temporary file, is never added;
// the user hears why.
bool refused(const std::string& path, PathKind kind) {
    if (kind == PathKind::kOther) {
        qWarning("Skipped (not a regular file): %s", path.c_str());
        return true;
    }
    if (kind != PathKind::kFolder && platform::tempFileTarget(path)) {
        qWarning("Skipped (a temporary file of a conversion): %s", path.c_str());
        return true;
    }
    return false;
}

}  // namespace

void ImageIntake::addFiles(const std::vector<std::string>& paths) {
    std::vector<Job> jobs;
    for (const std::string& path : paths) {
        if (!refused(path, pathKind(path))) {
            jobs.push_back({path, false});
        }
    }
    enqueue(std::move(jobs));
}

void ImageIntake::addFolders(const std::vector<std::string>& folders) {
    std::vector<Job> jobs;
    for (const std::string& folder : folders) {
        jobs.push_back({folder, true});
    }
    enqueue(std::move(jobs));
}

void ImageIntake::addDropped(const QList<QUrl>& urls) {
    // Only local files and folders; the same test as for the command line.
    addCommandLine(localFilePaths(urls));
}

void ImageIntake::addCommandLine(const std::vector<std::string>& arguments) {
    std::vector<Job> jobs;
    for (const std::string& path : arguments) {
        const PathKind kind = pathKind(path);
        if (refused(path, kind)) {
            continue;
        }
        if (kind == PathKind::kFolder) {
            jobs.push_back({path, true});
        } else if (Destekleniyormu(path)) {
            jobs.push_back({path, false});
        }
    }
    enqueue(std::move(jobs));
}

void ImageIntake::enqueue(std::vector<Job> jobs) {
    bool anyWalk = false;
    for (const Job& job : jobs)
        anyWalk = anyWalk || job.walk;
    if (!anyWalk && !busy() && !held_) {
        // Nothing to walk and nothing ahead of these files: they go in at once.
        std::vector<TMyRecord> entries;
        for (Job& job : jobs)
            entries.push_back(TMyRecord{std::move(job.path), 0, {}});
        appendNow(std::move(entries));
        emit finished();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        for (Job& job : jobs)
            jobs_.push_back(std::move(job));
    }
    if (!worker_.joinable()) {
        worker_ = std::jthread([this](std::stop_token stop) { workerLoop(stop); });
    }
    wake_.notify_all();
    if (!timer_.isActive())
        timer_.start();
}

void ImageIntake::workerLoop(std::stop_token stop) {
    auto includeSubfolders = [this] { return includeSubfolders_.load(); };
    auto onEntry = [this, &stop](TMyRecord entry) {
        std::lock_guard lock(mutex_);
        found_.push_back(std::move(entry));
        return !stop.stop_requested();
    };
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        if (!wake_.wait(lock, stop, [this] { return !jobs_.empty(); }))
            break;
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        working_ = true;
        if (job.walk) {
            lock.unlock();
            AddFolderEntries(job.path, includeSubfolders, onEntry, stop);
            lock.lock();
        } else {
            found_.push_back(TMyRecord{std::move(job.path), 0, {}});
        }
        working_ = false;
        if (jobs_.empty()) {
            // The last road is done: let the window take the rest in now, not at
            // the next tick.
            QMetaObject::invokeMethod(this, &ImageIntake::refresh, Qt::QueuedConnection);
        }
    }
}

void ImageIntake::hold(bool on) {
    held_ = on;
    if (!held_ && busy())
        refresh();
}

void ImageIntake::refresh() {
    if (held_)
        return;
    std::vector<TMyRecord> batch;
    bool done = false;
    {
        std::lock_guard lock(mutex_);
        batch.swap(found_);
        done = !working_ && jobs_.empty();
    }
    for (TMyRecord& entry : batch)
        model_.files().AppendImageFile(std::move(entry.FName), std::move(entry.BaseFolder));
    model_.syncRowCount();
    // A tick that found nothing leaves the caption alone (an empty folder, or a
    // walk through folders without images).
    if (!batch.empty())
        emit countChanged(static_cast<int>(model_.files().size()));
    if (done && timer_.isActive()) {
        timer_.stop();
        emit finished();
    }
}

}  // namespace imbrix::imagelist
