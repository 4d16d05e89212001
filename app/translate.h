// The window's messages in the user's language.
#pragma once

#include <QString>

#include "i18n/i18n.h"

namespace imbrix::app {

/// The loaded language's text for the English `text` (the text itself when none).
inline QString Translate(const char* text) {
    return QString::fromStdString(i18n::Translate(text));
}

}  // namespace imbrix::app
