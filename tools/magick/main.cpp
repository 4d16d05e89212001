// magick: the program's external converter front. See request.h for the command
// lines it accepts and pipeline.h for what it does with them.
//
// Exit status: 0 when the output was written in the requested format, 1 when the
// conversion failed (the last line on standard error says why), 2 for an argument
// vector it does not accept (usage on standard error), 3 when the source cannot
// be read: the last line on standard error is then
// "magick: cannot read <source path as given>: <reason>".
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "tools/magick/pipeline.h"
#include "tools/magick/request.h"

namespace {

// The program hands us the memory this conversion may use in IMBRIX_MEMORY_LIMIT
// (bytes). It bounds our data segment and, inherited, that of every tool we
// start; ImageMagick and GraphicsMagick are told the same limit and no disk
// cache, so a picture too large for it fails at once instead of being paged
// through a file on disk.
void applyMemoryLimit() {
    const char* text = std::getenv("IMBRIX_MEMORY_LIMIT");
    if (!text || !*text) {
        return;
    }
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(text, &end, 10);
    if (*end != '\0' || bytes == 0) {
        return;
    }
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_DATA, &limit) == 0 &&
        (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > bytes)) {
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_DATA, &limit);
    }
    const std::string value = std::to_string(bytes);
    for (const char* name : {"MAGICK_MEMORY_LIMIT", "MAGICK_MAP_LIMIT", "MAGICK_AREA_LIMIT",
                             "MAGICK_LIMIT_MEMORY", "MAGICK_LIMIT_MAP"}) {
        ::setenv(name, value.c_str(), 1);
    }
    ::setenv("MAGICK_DISK_LIMIT", "0", 1);
    ::setenv("MAGICK_LIMIT_DISK", "0", 1);
}

int run(int argc, char** argv) {
    using namespace imbrix::magick;
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto request = parseRequest(args);
    if (!request) {
        std::string words;
        for (const auto& arg : args) {
            words += " '" + arg + "'";
        }
        std::fprintf(stderr, "magick: unsupported command line:%s\n%s",
                     words.empty() ? " (no arguments)" : words.c_str(), usageText().c_str());
        return 2;
    }
    const Outcome outcome = convertFile(*request, Tools::fromEnvironment());
    if (outcome.status == Outcome::Status::Written) {
        return 0;
    }
    // One line: the program shows the last line it received.
    std::string problem = outcome.message;
    for (char& c : problem) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    while (!problem.empty() && problem.back() == ' ') {
        problem.pop_back();
    }
    std::fflush(stdout);
    std::fprintf(stderr, "magick: %s\n", problem.c_str());
    return outcome.status == Outcome::Status::Unreadable ? 3 : 1;
}

// The last word when even the message could not be made: fixed text, nothing
// that allocates.
int failed(const char* why) {
    std::fflush(stdout);
    std::fputs("magick: ", stderr);
    std::fputs(why, stderr);
    std::fputc('\n', stderr);
    return 1;
}

}  // namespace

// Nothing leaves main() as an exception: every failure ends with a message on
// standard error and status 1.
int main(int argc, char** argv) {
    applyMemoryLimit();
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        return failed("not enough memory");
    } catch (const std::exception& e) {
        return failed(e.what());
    } catch (...) {
        return failed("the conversion failed for an unknown reason");
    }
}
