// Every English text the program passes through Translate(), in one place.
// Language files translate exactly these texts; the language tests check every
// shipped file against this list.
#pragma once

#include <array>
#include <string_view>

namespace imbrix::i18n {

inline constexpr std::array<std::string_view, 68> kTranslatedTexts = {
    // Main window: the add-files dialog's filter names.
    "Image Files",
    "All Files (*.*)",
    // Main window: checks before a conversion run.
    "No image files have been added!",
    "WARNING",
    "Directory does not exist!",
    "Unable to write to directory!",
    // Main window: the options page's metadata switch and its tool tip.
    "Remove Metadata",
    "Removes EXIF (including the GPS location), XMP, IPTC and comments. The colour profile is "
    "kept.",
    // Main window: the options page's resize, file and existing-output options.
    "Resize:",
    "Original size",
    "Fit inside",
    "Long side",
    "Percentage",
    "The picture keeps its aspect ratio. Smaller pictures keep their size unless \"Enlarge "
    "smaller pictures\" is checked.",
    "Enlarge smaller pictures",
    "Keep Folder Structure",
    "Files from an added folder go to the same subfolders under the destination folder.",
    "Keep File Dates",
    "Each new file gets the modification date of its original.",
    "If the file exists:",
    "Add a number",
    "Skip the file",
    "Existing files are never overwritten.",
    // Result window: the number of files whose output existed.
    "Skipped Files:",
    // Main window during a run, the "ERROR" box, the result window, notifications.
    "Stop",
    "Stopping...",
    "%1 left",
    "Don't show further errors in this run",
    "A conversion is running. Stop it?",
    "Failed Files:",
    "Details",
    "Failed Files",
    "Copy",
    "Close",
    "The run was stopped after %1 of %2 files.",
    "Conversion finished",
    "Conversion stopped",
    "Converted Files: %1",
    "Show",
    // Main window: "Reset to Defaults...".
    "Restart Application?",
    "Yes",
    "No",
    "Confirmation",
    // Update check: caption of the maker's important message.
    "IMPORTANT",
    // Feedback window ("feedback" follows the product name in its caption).
    "feedback",
    "We would really appreciate your feedback.",
    "What did you like or dislike?",
    "Include my e-mail:",
    "Send",
    "I like it!",
    "I dislike it!",
    "Invalid e-mail address!",
    "Failure",
    "Your feedback is received.",
    "Thank you!",
    "Success",
    "Something went wrong. Your feedback could not be delivered.",
    "Please try again later.",
    // New-version notice.
    "UPDATE AVAILABLE",
    "Click to download",
    // About window ("About %s" is a format: %s is the product name).
    "About %s",
    "OK",
    "Info",
    "Acknowledgements...",
    "How to uninstall...",
    "License...",
    "File not found!",
    "License",
};

}  // namespace imbrix::i18n
