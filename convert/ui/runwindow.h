// The conversion run started from a window.
//
// The engine runs on a thread of its own (its workers on more) while the window's
// thread waits in an event loop that takes the engine's reports, one at a time,
// and paints. The window takes no other input meanwhile, as if a modal dialog
// were open: clicks and keys are dropped, not queued, except on the stop control;
// Escape stops the run, and the close box asks whether to. Timers of the caller
// go on firing; the caller holds the ones that would change what the run reads
// or open windows of their own.
// What the user sees comes in the engine's order: a warning, or "Converting
// <path>..." per file with an "ERROR" box for each failed one (the next file's
// messages wait until it is answered) until the user ticks "Don't show further
// errors in this run", then the result window. The progress shows how many
// files are done and the time left.
#pragma once

#include <QString>
#include <cstddef>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "convert/run.h"
#include "convert/ui/messagebox.h"
#include "convert/ui/resultform.h"

class QWidget;

namespace imbrix::convert {

/// How far a run is, as the window shows it.
struct RunDisplay {
    std::size_t done = 0;   ///< files processed (failed and skipped ones included)
    std::size_t total = 0;  ///< files in the list
    QString timeLeft;       ///< "1:23 left", translated; empty while not known
    bool stopping = false;  ///< a stop was asked for: the files in flight are finishing
};

struct RunWindow {
    QWidget* window = nullptr;  ///< owner of the boxes and the result window
    MessageFunction message = showMessageBox;
    /// The "ERROR" box of a failed file, with "Don't show further errors in this
    /// run"; once that is ticked the run's later failures are only listed in the
    /// result window.
    ErrorBoxFunction errorBox = showErrorBox;
    /// Shows the progress: 0 of N at the start, then after each file, each second
    /// (the time left counts down) and when a stop is asked for.
    std::function<void(const RunDisplay& display)> showProgress;
    /// Stops the run. The caller keeps a copy to stop it from its stop control;
    /// Escape and an agreed close stop it through the same source.
    std::stop_source stop;
    /// The control that stops the run: the one control that takes clicks and keys
    /// during the run (the caller connects it to `stop`).
    QWidget* stopControl = nullptr;
    /// Asked when the window is closed during the run; true stops the run, and the
    /// window is closed once it has ended (without the result window). Without
    /// it, the close box does nothing during a run.
    std::function<bool()> confirmStop;
    /// After the run and before its result window (nothing when no run took place).
    std::function<void(const RunSummary& summary)> finished;
    std::function<void(const QString& text)> showStatus;  ///< the status bar's text
    std::function<void(const QString& text)> showLog;     ///< the hidden converter log box
    /// After a failed check's warning: show the image list page or focus the destination.
    std::function<void(RunCheck check)> afterWarning;
    TFormResult::Sources result;  ///< what "Open Folder" reads
    /// Shows the finished result window; modal (exec) unless replaced.
    std::function<void(TFormResult& form)> showResult;
};

/// Runs the conversion of `files` and shows what happens in `ui`. Returns the end
/// report, or nothing when a check failed or the run could not start; an error
/// outside the per-file handler (such as an empty destination) is shown in an
/// error box captioned with the application's name.
std::optional<RunSummary> runFromWindow(const std::vector<SourceFile>& files,
                                        const ConversionOptions& options,
                                        const ConversionEnvironment& environment,
                                        const RunWindow& ui);
/// The same for files that were all added on their own (no base folders).
std::optional<RunSummary> runFromWindow(const std::vector<std::string>& files,
                                        const ConversionOptions& options,
                                        const ConversionEnvironment& environment,
                                        const RunWindow& ui);

}  // namespace imbrix::convert
