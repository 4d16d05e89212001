// The roads into the image list: the file dialog's choice, folders, drops and the
// command line.
//
// Folders are walked on a worker thread while the window goes on painting and
// taking commands. What the walk finds reaches the list in batches, a few tens of
// milliseconds apart and always at the end, so a walk of many thousands of files
// costs little more than the walk itself. Every road keeps its order: a file that
// follows a folder (in one drop, or in a later command while a walk goes on)
// enters the list after that folder's files.
#pragma once

#include <QList>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "imagelist/imagelist.h"

namespace imbrix::imagelist {

class ImageListModel;

class ImageIntake : public QObject {
    Q_OBJECT
public:
    /// Adds to the list of `model`, which must outlive the intake.
    explicit ImageIntake(ImageListModel& model, QObject* parent = nullptr);
    ~ImageIntake() override;

    /// "Include Subfolders", read by a walk each time it meets a subfolder.
    void setIncludeSubfolders(bool on) { includeSubfolders_ = on; }
    /// How long the walk's findings may wait before the view shows them.
    void setRefreshInterval(int milliseconds) { timer_.setInterval(milliseconds); }

    // Paths are the bytes the system knows the files by (see localpaths.h).

    /// Files chosen in the file dialog: added as they are, whatever their extension.
    void addFiles(const std::vector<std::string>& paths);
    /// Folders chosen in the folder picker: each is walked (AddMyFolder). On
    /// every road, the files a walk finds enter the list with the walked folder
    /// as their BaseFolder.
    void addFolders(const std::vector<std::string>& folders);
    /// A drop: local folders are walked, local supported files added, the rest
    /// ignored. Each path is taken from its URL byte for byte.
    void addDropped(const QList<QUrl>& urls);
    /// Command-line arguments: folders walked, supported names added exactly as
    /// typed (existing or not), the rest ignored. On every road, a FIFO, device
    /// or socket, and a conversion's temporary file, is skipped with a warning on
    /// standard error; nothing is opened to tell what a path is.
    void addCommandLine(const std::vector<std::string>& arguments);

    /// True while a walk is going on or its findings have not all reached the list.
    bool busy() const;

    /// While held (a conversion is reading the list), nothing reaches the list:
    /// every road goes on gathering in its order, and what it found is taken in
    /// when the hold ends.
    void hold(bool on);
    bool held() const { return held_; }

    /// Takes whatever the walk has found so far into the list and refreshes the
    /// view's row count (RefreshImageCount); commands that change the list call
    /// it first so they act on what the user has been shown plus what was found.
    /// Does nothing while held.
    void refresh();

signals:
    /// The list's length after entries were added (for the tab caption); a
    /// refresh that added nothing stays silent.
    void countChanged(int count);
    /// Every road taken so far has reached the list.
    void finished();

private:
    struct Job {
        std::string path;
        bool walk = false;  // a folder to walk; otherwise a file to add
    };

    void enqueue(std::vector<Job> jobs);
    void appendNow(std::vector<TMyRecord> entries);
    void workerLoop(std::stop_token stop);

    ImageListModel& model_;
    QTimer timer_;
    std::atomic<bool> includeSubfolders_{true};
    bool held_ = false;

    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<Job> jobs_;          // guarded by mutex_
    std::vector<TMyRecord> found_;  // guarded by mutex_
    bool working_ = false;          // guarded by mutex_
    std::jthread worker_;           // started with the first walk
};

}  // namespace imbrix::imagelist
