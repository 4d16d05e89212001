// Test helpers: the JSON record of a run, read by Python's json module
// (tests/cli/record_rows.py), not by the code that wrote it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/testsupport.h"

namespace imbrix::test {

/// One row of a record, each path with its exact bytes.
struct RecordRow {
    std::string status;
    std::string source;
    std::optional<std::string> baseFolder;
    std::optional<std::string> output;
    std::optional<std::string> error;
    std::optional<std::int64_t> bytesIn;
    std::int64_t bytesOut = 0;
    std::int64_t ms = 0;
};

inline std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

/// The rows of the record file `path`, in its order. A malformed record is a
/// test failure (and gives no rows).
inline std::vector<RecordRow> readRecord(const std::filesystem::path& path) {
    std::string output;
    const int status = runCommand(
        {"python3", (sourceDir() / "tests/cli/record_rows.py").string(), path.string()}, &output);
    if (status != 0) {
        ADD_FAILURE() << "not a well-formed record: " << output;
        return {};
    }
    std::vector<RecordRow> rows;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, '\t');) {
            fields.push_back(field);
        }
        if (fields.size() != 8) {
            ADD_FAILURE() << "unexpected checker line: " << line;
            return {};
        }
        const auto text = [](const std::string& field) {
            return field == "-" ? std::nullopt : std::optional<std::string>(fromHex(field));
        };
        RecordRow row;
        row.status = fields[0];
        row.source = fromHex(fields[1]);
        row.baseFolder = text(fields[2]);
        row.output = text(fields[3]);
        row.error = text(fields[4]);
        if (fields[5] != "null") {
            row.bytesIn = std::stoll(fields[5]);
        }
        row.bytesOut = std::stoll(fields[6]);
        row.ms = std::stoll(fields[7]);
        rows.push_back(row);
    }
    return rows;
}

}  // namespace imbrix::test
