// Imbrix imaging layer: the error type.
#pragma once

#include <stdexcept>
#include <string>

namespace imbrix::imaging {

/// Every failure of the imaging layer. what() is the exact text the user sees
/// ("JPEG error #53", "Unknown picture file extension (.xyz)", ...), so callers
/// show it as it is and never parse it.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The message of a file that a stop request cut short.
inline constexpr const char* kStoppedMessage = "The conversion was stopped";

}  // namespace imbrix::imaging
