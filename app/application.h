// The application object's names and icons, the same for the program and its
// window tests.
#pragma once

namespace imbrix::app {

/// Names the application "Imbrix" and sets its icons: the Breeze theme and the
/// program's icon for every window. Call once after the QApplication exists.
///
/// No display name is set: on X11 Qt would add it to the title of every window
/// whose title does not end with it ("Failure — Imbrix"), while each window's
/// title is exactly its caption. QApplication::applicationDisplayName() still
/// gives "Imbrix", the application's name.
void setUpApplication();

}  // namespace imbrix::app
