// Message boxes with one OK button, through one function that tests can replace.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace imbrix::convert {

enum class BoxIcon { None, Information, Warning, Error };

/// Shows a modal box with `text`, the window title `caption`, the icon and an OK
/// button, and returns when the user has closed it.
using MessageFunction =
    std::function<void(QWidget* parent, BoxIcon icon, const QString& caption, const QString& text)>;

/// The real box (QMessageBox).
void showMessageBox(QWidget* parent, BoxIcon icon, const QString& caption, const QString& text);

/// A run's "ERROR" box for a failed file: `text`, the error icon, an OK button
/// and a check box labelled `checkText`. Returns true when the box was closed
/// with the check box ticked.
using ErrorBoxFunction =
    std::function<bool(QWidget* parent, const QString& text, const QString& checkText)>;

/// The real box (QMessageBox with its check box).
bool showErrorBox(QWidget* parent, const QString& text, const QString& checkText);

}  // namespace imbrix::convert
