#include "tools/magick/messages.h"

namespace imbrix::magick {

namespace {

bool isMagickError(const std::string& line) {
    return line.find("@ error/") != std::string::npos || line.find("@ fatal/") != std::string::npos;
}

}  // namespace

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) {
        return;
    }
    for (std::size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size()) {
        text.replace(pos, from.size(), to);
    }
}

// The non-empty lines of a helper's output. ImageMagick breaks a long message
// and indents the rest ("convert: Expected a SOC marker \n `OpenJP2' @ error/..."):
// such a continuation joins the line before it.
std::vector<std::string> nonEmptyLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos) {
            continue;
        }
        const bool continuation = !lines.empty() && (first > 0 || line[0] == '`');
        if (continuation) {
            std::string& previous = lines.back();
            while (!previous.empty() && previous.back() == ' ') {
                previous.pop_back();
            }
            previous += " " + line.substr(first);
        } else {
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

// The line of a helper's output that best says what went wrong: ImageMagick's and
// GraphicsMagick's first error that is not the closing "no images defined";
// otherwise the last line printed.
std::string problemLine(const std::string& output) {
    const auto lines = nonEmptyLines(output);
    for (const auto& line : lines) {
        if (isMagickError(line) && line.find("error/convert.c/") == std::string::npos) {
            return line;
        }
    }
    // GraphicsMagick: "/usr/bin/gm convert: Invalid IHDR data (x.png).", then the
    // closing "Request did not return an image".
    for (const auto& line : lines) {
        if (line.find("gm convert: ") != std::string::npos &&
            line.find("Request did not return an image") == std::string::npos) {
            return line;
        }
    }
    // OpenJPEG's tools: "[ERROR] Number of resolutions is too high ...", among
    // "[INFO]" lines and a closing "failed to encode image".
    for (const auto& line : lines) {
        if (line.rfind("[ERROR] ", 0) == 0) {
            return line;
        }
    }
    // The libjxl tools name the failed check as "./lib/jxl/decode.cc:2123: invalid signature".
    // Lines of the same form only inform ("./lib/jxl/fields.cc:520: Skipping 17-bit
    // extension(s)"): they are passed over for the real error.
    std::string line = lines.empty() ? std::string() : lines.back();
    for (const auto& candidate : lines) {
        const auto at = candidate.find(".cc:");
        const auto colon = at == std::string::npos ? at : candidate.find(": ", at);
        if (colon != std::string::npos && candidate.compare(colon + 2, 9, "Skipping ") != 0) {
            line = candidate.substr(colon + 2);
            break;
        }
    }
    for (const auto& candidate : lines) {
        if (candidate.find("Input file is truncated") != std::string::npos) {
            line = candidate.substr(candidate.find("Input file is truncated"));
            break;
        }
    }
    // djxl runs its next message on without a line break ("...was disabled.DecompressJxl...").
    for (std::size_t i = 1; i + 1 < line.size(); ++i) {
        if (line[i] == '.' && line[i - 1] >= 'a' && line[i - 1] <= 'z' && line[i + 1] >= 'A' &&
            line[i + 1] <= 'Z') {
            line.erase(i);
            break;
        }
    }
    return line;
}

// True when a message in `output` other than a warning names the file `name`, or
// ImageMagick or GraphicsMagick read nothing at all: a problem with the input.
bool readNothing(const std::string& output) {
    return output.find("no images defined") != std::string::npos ||
           output.find("Request did not return an image") != std::string::npos;
}

bool blamesInput(const std::string& output, const std::string& name) {
    if (readNothing(output)) {
        return true;
    }
    if (name.empty()) {
        return false;
    }
    for (const auto& line : nonEmptyLines(output)) {
        if (line.find(name) != std::string::npos && line.find("@ warning/") == std::string::npos) {
            return true;
        }
    }
    return false;
}

// "convert-im6.q16: improper image header `x' @ error/heic.c/ReadHEICImage/226."
// becomes "improper image header `x'".
std::string tidy(std::string line) {
    for (const char* marker : {" @ error/", " @ warning/", " @ fatal/"}) {
        const auto at = line.find(marker);
        if (at != std::string::npos) {
            line.erase(at);
        }
    }
    if (line.rfind("[ERROR] ", 0) == 0) {
        line.erase(0, 8);
    }
    const auto gm = line.find("gm convert: ");
    if (gm != std::string::npos) {
        line.erase(0, gm + 12);
    }
    for (const char* prefix : {"convert", "gm ", "gm:", "djxl", "cjxl"}) {
        if (line.rfind(prefix, 0) == 0) {
            const auto colon = line.find(": ");
            if (colon != std::string::npos) {
                line.erase(0, colon + 2);
            }
            break;
        }
    }
    const auto first = line.find_first_not_of(" \t");
    const auto last = line.find_last_not_of(" \t.");
    return first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
}

}  // namespace imbrix::magick
