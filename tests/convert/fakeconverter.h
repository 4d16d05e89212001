// Test helpers: a stand-in for the external converter that records its calls.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/testsupport.h"

namespace imbrix::test {

/// A shell script in a scratch folder, taking the converter's place. It records
/// each call's arguments and writes its last argument: a ".png" gets the picture
/// "<first 3 letters of the input's name>.png" from its folder when there is
/// one, else "decoded.png"; any other output gets the bytes "FAKE-OUTPUT".
/// Switches (files in its folder): "fail" writes a partial output, prints two
/// lines and exits 1; "unreadable" says it cannot read its first argument and
/// exits 3, as the converter front does for a source it cannot read; "silent" writes nothing and
/// exits 0; "slow" sleeps after writing; "keep-input" copies its first argument to "input-copy" in
/// its folder; "hang" starts a program that hangs, writes its process id to "hang.pid" and hangs.
class FakeConverter {
public:
    FakeConverter() {
        std::filesystem::create_directories(folder());
        writeText(path(), R"(#!/bin/sh
dir=$(dirname "$0")
{ for a in "$@"; do printf '%s\037' "$a"; done; printf '\n'; } >> "$dir/calls.log"
for last in "$@"; do :; done
if [ -e "$dir/fail" ]; then
  printf 'partial' > "$last"
  echo "converting..."
  echo "magick: no encode delegate for this image format" >&2
  exit 1
fi
if [ -e "$dir/unreadable" ]; then
  echo "magick: cannot read $1: the file is truncated" >&2
  exit 3
fi
[ -e "$dir/silent" ] && exit 0
if [ -e "$dir/hang" ]; then
  sleep 300 &
  echo $! > "$dir/hang.pid"
  sleep 300
fi
[ -e "$dir/keep-input" ] && cp "$1" "$dir/input-copy"
case "$last" in
  *.png)
    pic="$dir/$(basename "$1" | cut -c1-3).png"
    [ -e "$pic" ] || pic="$dir/decoded.png"
    cp "$pic" "$last" ;;
  *) printf 'FAKE-OUTPUT' > "$last" ;;
esac
[ -e "$dir/slow" ] && sleep 0.2
exit 0
)");
        std::filesystem::permissions(path(), std::filesystem::perms::owner_all);
        std::filesystem::copy_file(corpusDir() / "pngsuite/basn6a08.png", folder() / "decoded.png");
    }

    std::filesystem::path folder() const { return scratch_.path() / "imagemagick"; }
    std::string path() const { return (folder() / "magick").string(); }

    void set(const std::string& switchName, bool on) {
        if (on) {
            writeText(folder() / switchName, "");
        } else {
            std::filesystem::remove(folder() / switchName);
        }
    }

    /// The recorded calls, each as its argument words (without argv[0]).
    std::vector<std::vector<std::string>> calls() const {
        std::vector<std::vector<std::string>> result;
        std::ifstream log(folder() / "calls.log");
        std::string line;
        while (std::getline(log, line)) {
            std::vector<std::string> words;
            std::stringstream stream(line);
            std::string word;
            while (std::getline(stream, word, '\037')) {
                words.push_back(word);
            }
            result.push_back(words);
        }
        return result;
    }

    void clearCalls() const { std::filesystem::remove(folder() / "calls.log"); }

private:
    ScratchDir scratch_;
};

}  // namespace imbrix::test
