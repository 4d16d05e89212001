// The conversion run started from a window.
//
// The engine runs on a thread of its own (its workers on more) while the window's
// thread waits in an event loop that takes the engine's reports, one at a time,
// and paints. The window takes no input meanwhile, as if a modal dialog were
// open: clicks, keys and the close box are dropped, not queued. Timers of the
// caller go on firing; the caller holds the ones that would change what the run
// reads or open windows of their own.
// What the user sees comes in the engine's order: a warning, or "Converting
// <path>..." per file with an "ERROR" box for each failed one (the next file's
// messages wait until it is answered), then the result window.
#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "convert/run.h"
#include "convert/ui/messagebox.h"
#include "convert/ui/resultform.h"

class QWidget;

namespace imbrix::convert {

struct RunWindow {
    QWidget* window = nullptr;  ///< owner of the boxes and the result window
    MessageFunction message = showMessageBox;
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
