// Helpers shared by the test suites.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace imbrix::test {

/// The shared corpus of real images from public test suites (read-only).
std::filesystem::path corpusDir();
/// The project's source folder.
std::filesystem::path sourceDir();
/// The folder of the built program (the install layout: imbrix, imagemagick/magick, ...).
std::filesystem::path binDir();

/// A fresh folder under the system's temp folder, removed with everything in it
/// when the object goes away.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    /// path() / name as a string.
    std::string file(const std::string& name) const;

private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> readBytes(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
void writeText(const std::filesystem::path& path, const std::string& text);

/// Runs a program with arguments (no shell) and returns its exit status;
/// standard output and error are collected in `output` when given.
int runCommand(const std::vector<std::string>& argv, std::string* output = nullptr);

/// A PDF's document title as poppler's pdfinfo reads it (UTF-8); empty when it
/// has none. A pdfinfo failure is a test failure.
std::string pdfTitle(const std::filesystem::path& pdf);

/// True once the process `pid` has ended (gone, or a zombie nobody has reaped
/// yet: either way it runs no more) within `limit`; a killed process is gone a
/// moment after kill() returns, not at once.
bool endsWithin(int pid, std::chrono::milliseconds limit);

}  // namespace imbrix::test
