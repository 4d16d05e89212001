// What the desktop does with a file of the list: open it, show its properties.
#pragma once

#include <string>

namespace imbrix::imagelist {

/// Opens `path` with the desktop's default application for its type. The result
/// is not examined: a failure is left to the desktop.
void openWithDesktop(const std::string& path);

/// Asks the file manager to show the properties of `path`
/// (org.freedesktop.FileManager1.ShowItemProperties on the session bus). The call
/// does not wait for an answer, and nothing is reported when nobody answers.
void ShowFileProperties(const std::string& path);

}  // namespace imbrix::imagelist
