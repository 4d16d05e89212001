// imbrix-cli --json: the record of every file on standard output.
#include "tools/cli/record.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "convert/runrecord.h"

namespace imbrix::cli {

void RecordReporter::fileDone(std::size_t index, const convert::FileOutcome& outcome) {
    inner_.fileDone(index, outcome);
    const std::string line = convert::recordLine(outcome);
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw std::system_error(errno, std::system_category(),
                                    "cannot write the JSON record to standard output");
        }
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace imbrix::cli
