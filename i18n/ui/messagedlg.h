// The platform's message dialog with a translated title and button captions.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

namespace imbrix::i18n {

/// The kind of message; it decides the icon.
enum class DialogType { Warning, Error, Information, Confirmation, Custom };

/// Shows a modal message dialog with `msg`, the icon of `type` (none for Custom),
/// the standard buttons `buttons` and the window title `title`, and returns the
/// button that closed it (the dialog's escape button, such as No, when it was
/// closed without one; NoButton when it has none).
///
/// Captions go to the dialog's buttons in the standard order Yes, No, OK, Cancel,
/// Abort, Retry, Ignore, No to All, Yes to All, Help, Close, then any others:
/// captions[n] names the n-th button present in that order, whatever the desktop's
/// button layout shows first. Buttons beyond the captions keep the platform's
/// captions. The caller translates `msg`, `captions` and `title`.
QMessageBox::StandardButton MessageDlgWithCaptions(const QString& msg, DialogType type,
                                                   QMessageBox::StandardButtons buttons,
                                                   const QStringList& captions,
                                                   const QString& title, QWidget* parent = nullptr);

}  // namespace imbrix::i18n
