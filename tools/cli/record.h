// imbrix-cli --json: the record of every file on standard output, one JSON
// line each (see convert/runrecord.h), written as each file finishes.
#pragma once

#include <string>

#include "convert/run.h"

namespace imbrix::cli {

/// Passes every report on to `inner` (the terminal's reporter) and writes each
/// finished file's line to the descriptor `fd`, in one write where the system
/// allows, so that lines of processes sharing a pipe do not mix. A line that
/// cannot be written ends the run (the exception says why).
class RecordReporter final : public convert::RunReporter {
public:
    RecordReporter(convert::RunReporter& inner, int fd) : inner_(inner), fd_(fd) {}

    void status(const std::string& text) override { inner_.status(text); }
    void fileFailed(std::size_t index, const std::string& source,
                    const std::string& message) override {
        inner_.fileFailed(index, source, message);
    }
    void fileConverted(std::size_t index, const std::string& source,
                       const std::string& output) override {
        inner_.fileConverted(index, source, output);
    }
    void fileSkipped(std::size_t index, const std::string& source,
                     const std::string& existing) override {
        inner_.fileSkipped(index, source, existing);
    }
    void fileDone(std::size_t index, const convert::FileOutcome& outcome) override;
    void warning(const std::string& caption, const std::string& text,
                 convert::RunCheck check) override {
        inner_.warning(caption, text, check);
    }
    void converterLog(const std::string& text) override { inner_.converterLog(text); }
    void progress(const convert::RunProgress& progress) override { inner_.progress(progress); }
    void idle() override { inner_.idle(); }

private:
    convert::RunReporter& inner_;
    int fd_;
};

}  // namespace imbrix::cli
