// JPEG XR (.wmp) sources through jxrlib, in a program of their own.
//
// jxrlib is not safe on damaged input: it stops the process on failed
// assertions and reads out of bounds. So the decode runs in imbrix-jxrdecode
// (tools/jxrdecode), started for each file with the file's bytes on its
// standard input; it writes the picture back on its standard output
// (formats/jxr_reply.h). A program that crashes becomes "JPEG XR error: the
// file is damaged", one that runs past its deadline "JPEG XR error: the decoder
// stopped responding": errors of this decoder, never a crash of ours.
//
// Where the program is: $IMBRIX_JXRDECODE when set (the tests point it into the
// build tree), else imbrix-jxrdecode beside the running executable
// (/proc/self/exe), which is where the build (<build>/bin) and the install rules
// (<prefix>/lib/imbrix) put it next to imbrix and imbrix-cli.
#include "imaging/formats/jxr_input.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "imaging/colour.h"
#include "imaging/error.h"
#include "imaging/formats/inputs.h"
#include "imaging/formats/jxr_reply.h"
#include "platform/process.h"
#include "platform/system.h"

namespace imbrix::imaging::formats {

namespace {

[[noreturn]] void fail(const std::string& why) {
    throw Error("JPEG XR error: " + why);
}

// How long one decode may take: a picture at the size cap decodes in well
// under a minute; a program that takes this long has hung on its data.
constexpr std::chrono::milliseconds kDecodeDeadline = std::chrono::seconds(60);

// Takes the program's reply as it arrives: the header, the message, then the
// rows straight into the picture. Anything that does not fit is an error.
class ReplyReader {
public:
    void take(std::string_view chunk) {
        while (!chunk.empty()) {
            if (received_ < sizeof header_) {
                chunk = fill(reinterpret_cast<char*>(&header_), sizeof header_, chunk);
                if (received_ == sizeof header_) {
                    startBody();
                }
            } else if (message_.size() < header_.messageSize) {
                const std::size_t n = std::min(chunk.size(), header_.messageSize - message_.size());
                message_.append(chunk.substr(0, n));
                chunk.remove_prefix(n);
            } else if (picture_ && profile_.size() < header_.profileSize) {
                const std::size_t n = std::min(chunk.size(), header_.profileSize - profile_.size());
                profile_.insert(profile_.end(), chunk.begin(), chunk.begin() + n);
                chunk.remove_prefix(n);
            } else if (picture_ && row_ < picture_->height()) {
                const std::size_t rowBytes = std::size_t{picture_->width()} * 4;
                const std::size_t n = std::min(chunk.size(), rowBytes - column_);
                std::memcpy(picture_->row(row_) + column_, chunk.data(), n);
                chunk.remove_prefix(n);
                column_ += n;
                if (column_ == rowBytes) {
                    column_ = 0;
                    ++row_;
                }
            } else {
                fail("the decoder program wrote more than a picture");
            }
        }
    }

    // Whether the whole reply is a message saying why the decode failed.
    bool isFailure() const {
        return received_ == sizeof header_ && header_.status != jxr::kDecoded &&
               message_.size() == header_.messageSize;
    }

    // After a clean exit: the picture with its profile, or the decoder's own message.
    Picture finish() {
        if (received_ < sizeof header_ || message_.size() < header_.messageSize) {
            fail("the decoder program's reply is incomplete");
        }
        if (header_.status == jxr::kTooLarge) {
            checkPictureSize(header_.width, header_.height);  // throws the layer's message
        }
        if (header_.status != jxr::kDecoded) {
            fail(message_);
        }
        if (!picture_ || row_ < picture_->height()) {
            fail("the decoder program's reply is incomplete");
        }
        Picture picture{std::move(*picture_), {}};
        picture.pixels.premultiplied = header_.premultiplied != 0;
        premultiply(picture.pixels);
        colour::adoptProfile(picture, profile_,
                             header_.gray ? colour::SourceModel::Gray : colour::SourceModel::Rgb);
        return picture;
    }

private:
    std::string_view fill(char* out, std::size_t size, std::string_view chunk) {
        const std::size_t n = std::min(chunk.size(), size - received_);
        std::memcpy(out + received_, chunk.data(), n);
        received_ += n;
        return chunk.substr(n);
    }

    void startBody() {
        if (header_.messageSize >= jxr::kMaxMessage || header_.profileSize > jxr::kMaxProfile ||
            (header_.status != jxr::kDecoded && header_.status != jxr::kFailed &&
             header_.status != jxr::kTooLarge)) {
            fail("the file is damaged");
        }
        if (header_.status == jxr::kDecoded) {
            checkPictureSize(header_.width, header_.height);
            picture_.emplace(header_.width, header_.height);
        }
    }

    jxr::Reply header_{};
    std::size_t received_ = 0;
    std::string message_;
    std::vector<std::uint8_t> profile_;
    std::optional<Raster> picture_;
    std::uint32_t row_ = 0;
    std::size_t column_ = 0;
};

}  // namespace

JxrDecoderProgram jxrDecoderProgram() {
    const char* path = std::getenv("IMBRIX_JXRDECODE");
    if (path != nullptr && *path != '\0') {
        return {path, kDecodeDeadline};
    }
    return {platform::programFolder() + "imbrix-jxrdecode", kDecodeDeadline};
}

Picture decodeJxrWith(Bytes data, const JxrDecoderProgram& program) {
    if (data.empty()) {
        fail("the file is empty");
    }
    ReplyReader reader;
    platform::ProcessLimits limits;
    limits.deadline = program.deadline;
    limits.grace = std::chrono::milliseconds(0);  // nothing of its own to clean up
    const platform::ProcessResult result = platform::runProcess(
        {program.path, std::to_string(kMaxPixels)}, {},
        [&reader](std::string_view chunk) { reader.take(chunk); }, limits, data);
    if (!result.started) {
        if (::access(program.path.c_str(), F_OK) != 0) {
            fail("the decoder program " + program.path + " is missing");
        }
        fail(result.startError);
    }
    if (result.end != platform::ProcessEnd::Finished) {
        fail("the decoder stopped responding");
    }
    if (result.exitCode != 0 && !reader.isFailure()) {
        // It crashed on the data, or jxrlib gave up on it with a failed assertion.
        fail("the file is damaged");
    }
    return reader.finish();
}

Picture decodeJxr(Bytes data) {
    return decodeJxrWith(data, jxrDecoderProgram());
}

}  // namespace imbrix::imaging::formats
