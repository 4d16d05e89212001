// The program's icons: the Breeze theme (breeze-icon-theme), by name.
#pragma once

#include <QIcon>
#include <QString>

namespace imbrix::app {

/// Makes the Breeze theme the source of QIcon::fromTheme() when it is installed,
/// so the program looks the same on every desktop. Call once after the
/// application object exists.
void setUpIconTheme();

/// The icon for one of the window's image names ("add", "folder_add", "delete",
/// "clear", "next", "previous", "folder", "tick_button", "exit", "help",
/// "feedback", "about"); a null icon for an unknown name.
QIcon designIcon(const QString& name);

}  // namespace imbrix::app
