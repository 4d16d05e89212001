// Imbrix conversion engine: the external converter.
#include "convert/converter.h"

#include <filesystem>
#include <system_error>

#include "imaging/error.h"
#include "platform/files.h"
#include "platform/process.h"

namespace imbrix::convert {

namespace {

// The converter runs in its own folder, so a relative path is made absolute
// against ours. An absolute path also keeps the converter from reading
// "fmt:name", "@list" or an option-like word as anything but a file name.
std::string plainPath(const std::string& path) {
    if (path.empty() || path.front() == '/') {
        return path;
    }
    std::error_code error;
    const std::filesystem::path cwd = std::filesystem::current_path(error);
    if (error) {
        return "./" + path;  // no current folder: still never an option or a prefix
    }
    return platform::withTrailingSlash(cwd.string()) + path;
}

// Builds the argument vector and the logged command line from the same words:
// paths are marked so the log shows them between double quotes.
class CommandBuilder {
public:
    explicit CommandBuilder(const std::string& converterPath) {
        command_.argv.push_back(converterPath);
        command_.logLine = "magick";
    }
    CommandBuilder& word(const std::string& text) {
        command_.argv.push_back(text);
        command_.logLine += " " + text;
        return *this;
    }
    // A word the log shows between double quotes, as a shell would need it.
    CommandBuilder& quotedWord(const std::string& text) {
        command_.argv.push_back(text);
        command_.logLine += " \"" + text + "\"";
        return *this;
    }
    CommandBuilder& path(const std::string& file) {
        const std::string plain = plainPath(file);
        command_.argv.push_back(plain);
        command_.logLine += " \"" + plain + "\"";
        return *this;
    }
    ConverterCommand done() { return std::move(command_); }

private:
    ConverterCommand command_;
};

std::string lastNonEmptyLine(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0) {
        std::size_t start = text.find_last_of('\n', end - 1);
        start = start == std::string::npos ? 0 : start + 1;
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        if (!line.empty()) {
            return line;
        }
        end = start == 0 ? 0 : start - 1;
    }
    return {};
}

// The reason in the converter's "magick: cannot read <path>: <reason>", the path
// being one of the words it was given; the line as it is when it is not so.
std::string unreadableReason(const std::string& line, const std::vector<std::string>& argv) {
    const std::string lead = "magick: cannot read ";
    if (line.rfind(lead, 0) != 0) {
        return line;
    }
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string head = lead + argv[i] + ": ";
        if (line.rfind(head, 0) == 0 && line.size() > head.size()) {
            return line.substr(head.size());
        }
    }
    return line;
}

// "600 seconds", "1 second", "250 milliseconds".
std::string durationText(std::chrono::milliseconds duration) {
    const auto ms = duration.count();
    if (ms % 1000 != 0) {
        return std::to_string(ms) + (ms == 1 ? " millisecond" : " milliseconds");
    }
    const auto s = ms / 1000;
    return std::to_string(s) + (s == 1 ? " second" : " seconds");
}

// "-resize GEOMETRY" on the upright picture (every frame of an animation).
void addResize(CommandBuilder& command, const ConverterWriteOptions& options) {
    const std::string geometry = imaging::resizeGeometry(options.resize);
    if (!geometry.empty()) {
        command.word("-resize").quotedWord(geometry);
    }
}

}  // namespace

ConverterCommand ImageMagickIleDonustur(const std::string& converterPath,
                                        const std::string& inputFile,
                                        const std::string& outputFile) {
    CommandBuilder command(converterPath);
    command.path(inputFile);
    if (platform::asciiLower(platform::extractFileExt(inputFile)) == ".psd") {
        command.word("-flatten");
    }
    return command.path(outputFile).done();
}

ConverterCommand ImageMagickIleAVIFDonustur(const std::string& converterPath,
                                            const std::string& inputFile,
                                            const std::string& outputFile,
                                            const ConverterWriteOptions& options) {
    CommandBuilder command(converterPath);
    command.path(inputFile).word("-auto-orient");
    addResize(command, options);
    if (options.grayscale) {
        command.word("-colorspace").word("Gray");
    }
    command.word("-quality").word(std::to_string(options.quality));
    if (options.stripMetadata) {
        command.word("+profile").quotedWord("!icc,*");
    }
    return command.path(outputFile).done();
}

ConverterCommand ImageMagickIleGIFDonustur(const std::string& converterPath,
                                           const std::string& inputFile,
                                           const std::string& outputFile,
                                           const ConverterWriteOptions& options) {
    CommandBuilder command(converterPath);
    if (options.grayscale) {
        command.word("-colorspace").word("Gray");
    }
    command.path(inputFile).word("-auto-orient").word("-coalesce");
    addResize(command, options);
    if (options.stripMetadata) {
        command.word("+profile").quotedWord("!icc,*");
    }
    return command.path(outputFile).done();
}

ConsoleResult RunConsoleCommand(const ConverterCommand& command, const std::string& workingFolder,
                                const ConverterLimits& limits) {
    ConsoleResult result;
    if (command.argv.empty() || !platform::fileExists(command.argv.front())) {
        // No converter: nothing is run or logged.
        result.lastErrorLine = "The converter program cannot be found: " +
                               (command.argv.empty() ? std::string() : command.argv.front());
        return result;
    }
    result.ran = true;
    std::string output;
    platform::ProcessLimits processLimits;
    processLimits.deadline = limits.deadline;
    processLimits.stop = limits.stop;
    if (limits.memory > 0) {
        processLimits.environment.push_back("IMBRIX_MEMORY_LIMIT=" + std::to_string(limits.memory));
    }
    const platform::ProcessResult process = platform::runProcess(
        command.argv, workingFolder,
        [&output](std::string_view chunk) {
            // Text up to the first zero byte of each chunk, appended as it is.
            output.append(chunk.substr(0, chunk.find('\0')));
        },
        processLimits);

    result.log = command.logLine + "\nCommencing processing...\n" + output;
    if (!output.empty() && output.back() != '\n') {
        result.log += '\n';
    }
    result.log += "Processing completed successfully.\n";
    result.log += std::string(34, '*') + "\n\n";

    result.timedOut = process.end == platform::ProcessEnd::TimedOut;
    result.stopped = process.end == platform::ProcessEnd::Stopped;
    // A converter ended from here failed, whatever status it managed to exit with.
    result.started = process.started;
    result.succeeded =
        process.started && process.exitCode == 0 && !result.timedOut && !result.stopped;
    result.sourceUnreadable = process.started && !result.timedOut && !result.stopped &&
                              process.exitCode == kConverterSourceUnreadable;
    if (!process.started) {
        result.lastErrorLine = "The converter program cannot be started: " + command.argv.front();
        const std::string prefix = "cannot start " + command.argv.front() + ": ";
        result.lastErrorLine += "\n" + (process.startError.rfind(prefix, 0) == 0
                                            ? process.startError.substr(prefix.size())
                                            : process.startError);
    } else if (result.sourceUnreadable) {
        result.lastErrorLine = unreadableReason(lastNonEmptyLine(output), command.argv);
    } else if (result.timedOut) {
        result.lastErrorLine =
            "The converter did not finish within " + durationText(limits.deadline);
    } else if (result.stopped) {
        result.lastErrorLine = imaging::kStoppedMessage;
    } else if (!result.succeeded) {
        result.lastErrorLine = lastNonEmptyLine(output);
    }
    return result;
}

}  // namespace imbrix::convert
