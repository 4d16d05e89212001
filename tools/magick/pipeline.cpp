#include "tools/magick/pipeline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

#include "imaging/colour.h"
#include "imaging/resize.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/uniquefd.h"
#include "tools/magick/content.h"
#include "tools/magick/direct.h"
#include "tools/magick/jxlheader.h"
#include "tools/magick/messages.h"
#include "tools/magick/metadata.h"
#include "tools/magick/pdf.h"
#include "tools/magick/psd.h"
#include "tools/magick/srgb.h"
#include "tools/magick/svg.h"
#include "tools/magick/tga.h"
#include "tools/magick/wholeness.h"
#include "tools/magick/workspace.h"

namespace imbrix::magick {

namespace {

// Only the end of a helper's console output is kept for messages.
constexpr std::size_t kKeptOutput = 64 * 1024;
// The largest SVG document read into memory to be rendered.
constexpr std::uint64_t kMaxSvgFile = 256ull * 1024 * 1024;

// The largest picture read, as in ImageMagick's resource policy.
constexpr std::uint64_t kMaxSide = 16384;
constexpr std::uint64_t kMaxPixels = 128ull * 1024 * 1024;
// The most work an animation may ask for: its frames times its screen's pixels
// (1000 frames of 512 x 512, 16 of 4096 x 4096). gif2webp composes every frame
// on a canvas of the screen's size: a few kilobytes of GIF may claim 200
// frames of 12000 x 10000, minutes of work and gigabytes of memory.
constexpr std::uint64_t kMaxAnimationPixels = 256ull * 1024 * 1024;
// An icon holds at most 256 x 256 pixels: a larger picture shrinks to fit,
// keeping its proportions (after any resize the request asks for).
constexpr imaging::ResizeOptions kIconFit{imaging::ResizeMode::Fit, 256, 256, 0, 0, false};

// A policy of our own beside the system's (MAGICK_CONFIGURE_PATH): every coder
// is named explicitly, and the coders that read other files or the network
// (or run programs) are refused even if one were asked for.
constexpr const char* kPolicy = R"(<?xml version="1.0" encoding="UTF-8"?>
<policymap>
  <policy domain="coder" rights="none" pattern="{MSVG,MVG,SVG,RSVG,TEXT,TXT,LABEL,CAPTION,URL,HTTP,HTTPS,FTP,FILE,EPHEMERAL,MSL,SHOW,WIN,X,VID,PLASMA,PANGO,HTML,INLINE,PS,PS2,PS3,EPS,EPI,EPSI,EPSF,PDF,AI,XPS,PCL,GS}" />
  <policy domain="delegate" rights="none" pattern="*" />
  <policy domain="path" rights="none" pattern="@*" />
  <policy domain="resource" name="width" value="16KP"/>
  <policy domain="resource" name="height" value="16KP"/>
  <policy domain="resource" name="area" value="128MP"/>
</policymap>
)";

// Metadata an intermediate PNG must not carry on: the EXIF block still names the
// source's orientation after the pixels have been turned upright.
constexpr const char* kNoMetadataChunks = "png:exclude-chunk=EXIF,zTXt,tEXt,iTXt,date";
// The same, but keeping the colour profile (ImageMagick 6 leaves out the iCCP
// chunk with zTXt): the front takes the text chunks away afterwards and puts in
// the source's EXIF and XMP, without a stale thumbnail (replacePngMetadata).
constexpr const char* kProfileOnlyChunks = "png:exclude-chunk=EXIF,tEXt,iTXt,date";
// The decoded PNG keeps the source's profile, EXIF, XMP and IPTC (the program
// reads them from it), but not ImageMagick's copies of single EXIF and profile
// fields as text, nor its dates.
constexpr const char* kDecodedChunks = "png:exclude-chunk=tEXt,date";

// True when the -quality format keeps the source's colour profile and its common
// readers honour it (web browsers, Photoshop, GIMP, ImageMagick); every other one
// gets sRGB pixels and no profile. (An animated WEBP keeps the GIF's profile too.)
bool carriesProfile(OutputFormat format) {
    return format == OutputFormat::Avif || format == OutputFormat::Jxl ||
           format == OutputFormat::Psd;
}

// Why a conversion stopped: one line naming the file and the problem
// ("cannot read /x/y.heic: ..."), as the program shows it.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& what, bool source = false)
        : std::runtime_error(what), source_(source) {}
    /// The source cannot be read (exit status 3).
    bool source() const { return source_; }

private:
    bool source_;
};

std::string errorText(int err) {
    return std::system_category().message(err);
}

std::string absolutePath(const std::string& path) {
    if (!path.empty() && path.front() == '/') {
        return path;
    }
    std::error_code ec;
    const auto cwd = std::filesystem::current_path(ec);
    if (ec) {
        throw Failure{"cannot read " + path + ": " + ec.message(), true};
    }
    return platform::withTrailingSlash(cwd.string()) + path;
}

// The source's bytes as a stream, read from its descriptor from the start.
class InputBuffer : public std::streambuf {
public:
    explicit InputBuffer(int fd) : fd_(fd) {}

protected:
    int_type underflow() override {
        ssize_t got = 0;
        do {
            got = ::pread(fd_, buffer_.data(), buffer_.size(), offset_);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            return traits_type::eof();
        }
        offset_ += got;
        setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
        return traits_type::to_int_type(buffer_[0]);
    }

private:
    int fd_;
    off_t offset_ = 0;
    std::array<char, 64 * 1024> buffer_{};
};

class Conversion {
public:
    Conversion(const Request& request, const Tools& tools)
        : request_(request), tools_(tools), inputPath_(absolutePath(request.input)) {
        // Temporary files of the helpers go into our folder, and away with it.
        for (const char* name : {"TMPDIR", "MAGICK_TEMPORARY_PATH", "MAGICK_TMPDIR"}) {
            ::setenv(name, workspace_.path().c_str(), 1);
        }
        std::ofstream policy(workspace_.file("policy.xml"), std::ios::binary | std::ios::trunc);
        policy << kPolicy;
        policy.close();
        if (!policy) {
            throw Failure{"cannot convert " + request.input +
                          ": cannot write ImageMagick's policy into the temporary folder"};
        }
        ::setenv("MAGICK_CONFIGURE_PATH", workspace_.path().c_str(), 1);
    }

    void run() {
        const SourceKind kind = inspectSource();
        const std::string finished = produce(kind);
        verify(finished);
        if (!jxlMetadata_.empty()) {
            const std::string problem = addJxlMetadata(finished, jxlMetadata_);
            if (!problem.empty()) {
                throw writeFailure(problem);
            }
        }
        const std::string problem = publish(finished, request_.output);
        if (!problem.empty()) {
            throw Failure{"cannot write " + request_.output + ": " + problem};
        }
    }

private:
    // Opens the source (without blocking, a regular file only: a FIFO or a
    // device never holds the front up), reads its first bytes and recognises it
    // by content. A source whose content is no format the front reads, or whose
    // header claims more pixels than the limits, is refused here, before any
    // helper runs.
    SourceKind inspectSource() {
        input_ = platform::UniqueFd(::open(inputPath_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!input_) {
            throw readFailure(errorText(errno));
        }
        struct stat st {};
        if (::fstat(input_.get(), &st) != 0) {
            throw readFailure(errorText(errno));
        }
        if (!S_ISREG(st.st_mode)) {
            throw readFailure("not a regular file");
        }
        if (st.st_size == 0) {
            throw readFailure("the file is empty");
        }
        inputSize_ = static_cast<std::uint64_t>(st.st_size);
        head_ = readInput(kHeadSize);
        if (head_.empty()) {
            throw readFailure("the file is empty");
        }
        const SourceKind kind =
            classifySource(head_, platform::asciiLower(platform::extractFileExt(inputPath_)));
        if (kind == SourceKind::Unknown) {
            throw readFailure(
                "unknown format (the content is no picture format the converter reads)");
        }
        if (const auto size = headerSize(kind, head_)) {
            refuseHuge(size->width, size->height);
        }
        return kind;
    }

    // Up to `limit` bytes of the source from its start.
    std::string readInput(std::uint64_t limit) {
        std::string data(static_cast<std::size_t>(std::min(limit, inputSize_)), '\0');
        std::size_t have = 0;
        while (have < data.size()) {
            const ssize_t got = ::pread(input_.get(), data.data() + have, data.size() - have,
                                        static_cast<off_t>(have));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                throw readFailure(errorText(errno));
            }
            if (got == 0) {
                break;
            }
            have += static_cast<std::size_t>(got);
        }
        data.resize(have);
        return data;
    }

    // The frames of an animated GIF times its screen's pixels, against the cap.
    void refuseHugeAnimation() {
        if (head_.size() < 10) {
            return;
        }
        const auto byte = [this](std::size_t i) {
            return std::uint64_t{static_cast<unsigned char>(head_[i])};
        };
        // Every frame is made at the screen's size, and at the resized size too.
        std::uint64_t screen =
            std::max<std::uint64_t>(1, (byte(6) | byte(7) << 8) * (byte(8) | byte(9) << 8));
        if (size_) {
            screen = std::max(screen, std::uint64_t{size_->width} * size_->height);
        }
        const std::uint64_t cap = kMaxAnimationPixels / screen;
        InputBuffer buffer(input_.get());
        std::istream in(&buffer);
        const auto frames = countGifFrames(in, cap);
        if (frames && *frames > cap) {
            throw readFailure("the animation asks for too much work (more than " +
                              std::to_string(cap) + " frames of " + std::to_string(screen) +
                              " pixels; at most " + std::to_string(kMaxAnimationPixels) +
                              " pixels in all frames)");
        }
    }

    // Writes the output into the workspace and returns its path there.
    std::string produce(SourceKind kind) {
        const std::string out = workspace_.file("out." + std::string(coderName(request_.format)));
        if (request_.mode == Mode::Write && writtenInProcess(kind, out)) {
            return out;
        }
        std::string source;  // what ImageMagick reads
        switch (kind) {
            case SourceKind::JpegXl: {
                const auto header = readJxlHeaderOfFile(input_.get());
                refuseHugeJxl(header);
                // djxl compresses PNG slowly (several seconds for a camera photo);
                // PPM is quick and carries colour sRGB pixels without alpha unchanged.
                const bool plain = header && header->srgb && !header->alpha && !header->gray;
                if (!plain) {
                    source = workspace_.file(request_.mode == Mode::Decode ? "out.png" : "src.png");
                    runReader({tools_.djxl, inputPath_, source});
                    if (request_.mode == Mode::Decode) {
                        return source;
                    }
                    break;
                }
                source = workspace_.file("src.ppm");
                coder_ = "ppm";
                runReader({tools_.djxl, inputPath_, source});
                if (request_.mode == Mode::Decode) {
                    runWriter({tools_.convert, "ppm:" + source, "-depth", "8", "-define",
                               "png:compression-level=1", "png:" + out});
                    return out;
                }
                break;
            }
            case SourceKind::Svg: {
                source = workspace_.file(request_.mode == Mode::Decode ? "out.png" : "src.png");
                if (inputSize_ > kMaxSvgFile) {
                    throw readFailure("the SVG document is too large (" +
                                      std::to_string(inputSize_ / (1024 * 1024)) + " MiB)");
                }
                const std::string problem = renderSvgToPng(readInput(inputSize_), source);
                if (!problem.empty()) {
                    throw readFailure(problem);
                }
                if (request_.mode == Mode::Decode) {
                    return source;
                }
                break;
            }
            case SourceKind::JpegXr: {
                // The decoder picks formats by extension: give it names that say so.
                const std::string link = linkToInput(".jxr");
                source = workspace_.file("src.tif");
                coder_ = "tiff";
                runReader({tools_.jxrDecoder, "-i", link, "-o", source});
                break;
            }
            case SourceKind::Heic:
            case SourceKind::Avif:
                source = linkToInput("." + std::string(magickCoder(kind)));
                coder_ = std::string(magickCoder(kind));
                if (heifHasIccProfile(head_)) {
                    // libheif's own decoder writes the profile (and the EXIF) into
                    // its PNG; ImageMagick 6 reading the file itself would drop it.
                    const std::string png = workspace_.file("src.png");
                    std::string problem = runToolRaw({tools_.heifConvert, source, png}, false);
                    // heif-convert ends with status 0 when libpng refused to write
                    // (an empty file).
                    std::error_code ec;
                    if (problem.empty() && std::filesystem::file_size(png, ec) == 0) {
                        problem = "libheif could not write the picture with its profile";
                    }
                    if (problem.empty()) {
                        source = png;
                        coder_ = "png";
                    } else {
                        // libpng refuses some profiles (one whose PCS illuminant is
                        // not D50, ...): ImageMagick reads the picture without it.
                        std::printf("magick: the colour profile of %s is not kept: %s\n",
                                    request_.input.c_str(), userWords(problem).c_str());
                        std::fflush(stdout);
                    }
                }
                break;
            case SourceKind::Tga:
                // Decoded for the program: gdk-pixbuf writes the PNG itself.
                source = readTgaSource(
                    request_.mode == Mode::Decode && !request_.flatten ? out : std::string());
                if (source == out) {
                    return out;
                }
                coder_ = "pam";
                break;
            default:
                // ImageMagick reads a link of our own naming, so that nothing in the
                // user's file name ("x:y", "x[1]", "-x") is taken for syntax, with
                // the coder of the content recognised: it never guesses one.
                source = linkToInput("." + std::string(magickCoder(kind)));
                coder_ = std::string(magickCoder(kind));
                break;
        }
        sourceName_ = source;
        if (coder_.empty()) {
            coder_ = "png";  // what the SVG and JPEG XL readers wrote
        }

        const bool allFrames =
            request_.mode == Mode::Animate || (request_.mode == Mode::Decode && request_.flatten) ||
            (request_.mode == Mode::Write && request_.format == OutputFormat::Gif);
        // An animation's frames are resized on their full canvas, each alike.
        coalesce_ = allFrames && request_.mode != Mode::Decode &&
                    (kind == SourceKind::Gif || kind == SourceKind::Webp);
        if (request_.mode != Mode::Decode) {
            planSize(kind, source);
        }
        if (allFrames && kind == SourceKind::Gif) {
            refuseHugeAnimation();
        }
        const std::string input = coder_ + ":" + source + (allFrames ? "" : "[0]");
        std::vector<std::string> gray;
        if (request_.grayscale) {
            gray = {"-colorspace", "Gray"};
        }
        const std::string quality = std::to_string(request_.quality);

        if (request_.mode == Mode::Decode) {
            std::vector<std::string> args{tools_.convert, input};
            if (request_.flatten) {
                args.push_back("-flatten");
            }
            // Read straight back by the program into an 8-bit raster: no deeper
            // samples, and speed before size.
            append(args, {"-depth", "8", "-define", "png:compression-level=1", "-define",
                          kDecodedChunks, "png:" + out});
            runWriter(args);
            if (kind == SourceKind::Heic || kind == SourceKind::Avif) {
                // ImageMagick 6 loses the EXIF and XMP of HEIF, and libheif has
                // turned the pixels upright already: they go in with Orientation 1.
                const std::string problem = replacePngMetadata(out, carriedMetadata());
                if (!problem.empty()) {
                    throw writeFailure(problem);
                }
            }
            return out;
        }
        if (request_.mode == Mode::Animate) {
            return animate(kind, source, gray);
        }

        switch (request_.format) {
            case OutputFormat::Jxl: {
                const std::string mid = workspace_.file("mid.png");
                // cjxl misreads samples of fewer than 8 bits (ImageMagick writes them
                // for pictures of few grays); and ImageMagick 6 crashes when asked
                // for 8 bits of a 16-bit picture without "-depth 8".
                writeUprightInColour(input, gray,
                                     {"-depth", "8", "-define", "png:compression-level=1",
                                      "-define", kProfileOnlyChunks, "-define", "png:bit-depth=8"},
                                     "png:" + mid, "%[opaque]");
                const CarriedMetadata metadata = carriedMetadata();
                const std::string problem = replacePngMetadata(mid, metadata);
                if (!problem.empty()) {
                    throw writeFailure(problem);
                }
                runWriter({tools_.cjxl, mid, out, "-q", quality});
                // cjxl 0.7 reads EXIF and XMP from a PNG but writes neither: they
                // go in once the file has proved to be whole JPEG XL (run()).
                jxlMetadata_ = metadata;
                return out;
            }
            case OutputFormat::Avif: {
                // ImageMagick 6 writes AVIF without the alpha channel: transparent
                // parts would come out in whatever colour they hide. libheif's
                // encoder keeps it. It reads 8-bit RGB(A) PNG only (a palette or
                // fewer bits stop it), so the picture goes over as RGBA, with a
                // note whether it is opaque (then no alpha plane is stored).
                const std::string mid = workspace_.file("mid.png");
                const std::string opaque = writeUprightInColour(
                    input, gray,
                    {"-define", "png:compression-level=1", "-define", kProfileOnlyChunks},
                    "png32:" + mid, "%[opaque]");
                // heif-enc takes the profile, EXIF and XMP from the PNG.
                const std::string problem = replacePngMetadata(mid, carriedMetadata());
                if (!problem.empty()) {
                    throw writeFailure(problem);
                }
                std::vector<std::string> encode{tools_.heifEnc, "-A", "-q", quality};
                if (platform::asciiLower(opaque) == "true") {
                    encode.push_back("--no-alpha");
                }
                append(encode, {mid, "-o", out});
                runWriter(encode);
                return out;
            }
            case OutputFormat::Svg: {
                const std::string mid = workspace_.file("mid.png");
                std::vector<std::string> args{tools_.convert};
                append(args, uprightWords(input));
                append(args, toSrgb());
                append(args, gray);
                append(args, {"-define", kNoMetadataChunks, "png:" + mid});
                runWriter(args);
                const std::string problem = writeSvgWithPng(mid, out);
                if (!problem.empty()) {
                    throw writeFailure(problem);
                }
                return out;
            }
            case OutputFormat::Pdf: {
                // ImageMagick 6 may not write PDF here (system policy); GraphicsMagick
                // does. It reads JPEG and PNG itself; anything else reaches it as a
                // PNG made by ImageMagick.
                std::string gmInput = input;
                if (size_) {
                    // Resized by ImageMagick, which weighs every pixel by its
                    // opacity: transparent parts lend no colour to the edges that
                    // then go onto white. The page follows the resized picture.
                    gmInput = workspace_.file("mid.png");
                    std::vector<std::string> args{tools_.convert};
                    append(args, uprightWords(input));
                    append(args, toSrgb());
                    append(args, {"-define", "png:compression-level=1", "-define",
                                  kNoMetadataChunks, "png:" + gmInput});
                    runWriter(args);
                    gmInput = "png:" + gmInput;
                } else if (kind != SourceKind::Jpeg && kind != SourceKind::Png) {
                    // (JPEG and PNG sources reach it as "jpeg:" or "png:" the link.)
                    gmInput = workspace_.file("mid.png");
                    std::vector<std::string> args{tools_.convert, input};
                    append(args, toSrgb());
                    append(args, {"-define", "png:compression-level=1", "png:" + gmInput});
                    runWriter(args);
                    gmInput = "png:" + gmInput;
                }
                // GraphicsMagick has no resource policy of its own here: the same
                // limits as ImageMagick's, so that a picture that claims to be huge
                // is refused instead of taking all memory.
                std::vector<std::string> args{tools_.gm, "convert"};
                append(args, {"-limit", "Width", "16384", "-limit", "Height", "16384", "-limit",
                              "Pixels", "128MP", "-limit", "Memory", "256MB", "-limit", "Map",
                              "512MB", "-limit", "Disk", "1GB"});
                append(args, {gmInput, "-auto-orient"});
                // GraphicsMagick's "-profile" converts as ImageMagick's does; the
                // JPEG in the PDF carries no profile or metadata.
                append(args, toSrgb());
                append(args, gray);
                // The picture goes into the PDF as a JPEG of the requested quality;
                // JPEG has no transparency, so transparent parts become white.
                append(args, {"-background", "white", "-flatten", "-compress", "JPEG", "-quality",
                              quality, "pdf:" + pdfName()});
                runWriter(args);
                const std::string problem = copyPdfWithTitle(pdfName(), out, pdfTitle());
                if (!problem.empty()) {
                    throw writeFailure(problem);
                }
                return out;
            }
            case OutputFormat::Psd: {
                const std::string psd = writePsd(input, gray);
                // ImageMagick 6 writes the colour profile and IPTC into PSD, not
                // the EXIF or XMP.
                const std::string problem = addPsdMetadata(psd, carriedMetadata());
                if (!problem.empty()) {
                    throw writeFailure(problem);
                }
                return psd;
            }
            case OutputFormat::Jp2:
                return writeJp2(input, gray);
            default: {
                // (An icon's size is the request's, shrunk to fit 256 x 256: see planSize.)
                std::vector<std::string> args{tools_.convert};
                append(args, uprightWords(input));
                append(args, toSrgb());
                append(args, gray);
                append(args, {"-quality", quality});
                if (request_.format == OutputFormat::Tga) {
                    // ImageMagick 6 takes the header's pixel size from the -depth
                    // setting and the pixels' from the picture: a picture of 5-bit
                    // samples got a 24-bit header over 16-bit pixels.
                    append(args, {"-depth", "8"});
                }
                args.push_back(std::string(coderName(request_.format)) + ":" + out);
                runWriter(args);
                return out;
            }
        }
    }

    // Writes the output without helpers (see direct.h) when the imaging layer
    // reads the source and writes the format; false, having written nothing,
    // when the helpers' route is the one. A source whose size the header does
    // not give goes to the helpers, which check it before they read it.
    bool writtenInProcess(SourceKind kind, const std::string& out) {
        const DirectEncoder* encoder = tools_.inProcess ? directEncoder(request_.format) : nullptr;
        if (!encoder || !headerSize(kind, head_)) {
            return false;
        }
        const std::string data = readInput(inputSize_);
        const imaging::Bytes file(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
        if (!decodesInProcess(request_, kind, file) ||
            (request_.format == OutputFormat::Pdf && !pdfDensity(kind, file))) {
            return false;
        }
        platform::UniqueFd fd(::open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd) {
            throw writeFailure(errorText(errno));
        }
        try {
            writeInProcess(request_, *encoder, kind, file, {kMaxSide, kMaxPixels}, fd.get(),
                           pdfTitle());
        } catch (const DirectFailure& failure) {
            throw failure.source() ? readFailure(failure.what()) : writeFailure(failure.what());
        }
        if (::close(fd.release()) != 0) {
            throw writeFailure(errorText(errno));
        }
        return true;
    }

    // Every frame of an animation into an animated WEBP. ImageMagick 6 writes
    // broken animated WEBP files (a second RIFF appended, a metadata flag without
    // its chunk), so libwebp's gif2webp assembles the animation: from the source
    // itself, or from a gray GIF that ImageMagick made. The frames keep their
    // timing and the loop count; the coding is lossless, as suits GIF pictures.
    std::string animate(SourceKind kind, const std::string& source,
                        const std::vector<std::string>& gray) {
        const std::string out = workspace_.file("out.webp");
        if (kind != SourceKind::Gif) {
            // A still picture with a ".gif" name: ImageMagick's still WEBP is sound.
            std::vector<std::string> args{tools_.convert};
            append(args, uprightWords(coder_ + ":" + source + "[0]"));
            append(args, toSrgb());
            append(args, gray);
            args.push_back("webp:" + out);
            runWriter(args);
            return out;
        }
        // gif2webp makes canvases of the GIF's screen size, whatever its frames
        // hold: the screen and the frames were checked against the limits
        // before it runs.
        // A gray or resized animation goes over as a GIF that ImageMagick made,
        // its frames whole (coalesced) and in sRGB.
        std::string gif = source;
        if (!gray.empty() || size_) {
            gif = workspace_.file("mid.gif");
            std::vector<std::string> args{tools_.convert, "gif:" + source, "-coalesce"};
            append(args, resizeWords());
            append(args, toSrgb());
            append(args, gray);
            args.push_back("gif:" + gif);
            runWriter(args);
        }
        // A GIF's colour profile (an ICCRGBG1 extension) goes into the WEBP,
        // whose readers honour it; its other metadata does not.
        const std::string problem = runToolRaw({tools_.gif2webp, "-quiet", gif, "-o", out,
                                                "-metadata", gif == source ? "icc" : "none"});
        if (problem.find("GIFLib") != std::string::npos) {
            throw readFailure("the GIF file is damaged or truncated (" + problem + ")");
        }
        if (!problem.empty()) {
            throw writeFailure(userWords(problem));
        }
        return out;
    }

    // PSD, its rows compressed with RLE (PackBits), which every PSD reader takes.
    // ImageMagick 6 writes a palette picture as an indexed PSD that no reader
    // (itself included) opens: the picture goes over as direct colour, with alpha
    // only where it has transparency. It also writes every picture twice, flattened
    // and as a layer; an opaque picture keeps the flattened one alone.
    std::string writePsd(const std::string& input, const std::vector<std::string>& gray) {
        const std::string out = workspace_.file("out.psd");
        const std::string mid = workspace_.file("mid.miff");
        std::istringstream info(platform::asciiLower(
            writeUprightInColour(input, gray, {}, "miff:" + mid, "%[opaque] %[type]")));
        std::string opaque;
        std::string type;
        info >> opaque >> type;
        if (opaque == "true") {
            const std::string layered = workspace_.file("mid.psd");
            runWriter({tools_.convert, "miff:" + mid, "-type", "TrueColor", "-compress", "RLE",
                       "psd:" + layered});
            const std::string problem = copyPsdWithoutLayers(layered, out);
            if (!problem.empty()) {
                throw writeFailure(problem);
            }
            return out;
        }
        // With transparency the layer stays: Photoshop and GIMP take transparency
        // from a layer only, and show the flattened picture's alpha as a channel
        // of its own. The flattened picture is what readers without layers show;
        // Photoshop stores a colour one blended with white, and ImageMagick reads
        // it back so (not a gray one). It goes first, the layer after it.
        std::vector<std::string> write{tools_.convert, "miff:" + mid, "-type", "TrueColorAlpha"};
        const bool grayPicture = type.rfind("gray", 0) == 0 || type == "bilevel";
        if (!grayPicture) {
            append(write, {"(", "-clone", "0", "-background", "white", "-alpha", "remove"});
            append(write, {"-alpha", "off", ")", "(", "-clone", "0", "-alpha", "extract", ")"});
            append(write, {"(", "-clone", "1,2", "-compose", "CopyOpacity", "-composite", ")"});
            append(write, {"-delete", "1,2", "-swap", "0,1", "-compose", "Over"});
        }
        append(write, {"-compress", "RLE", "psd:" + out});
        runWriter(write);
        return out;
    }

    // JPEG 2000 through OpenJPEG. ImageMagick 6 takes -quality as a target PSNR
    // in dB for the reversible wavelet: 10 gives noise, 50 and more a file larger
    // than the source. Here the quality means what it does for the program's own
    // JPEG output: the picture gets as many bytes as a JPEG of that quality (4:2:0,
    // optimised tables) takes, coded with the irreversible wavelet, which spends
    // them better. That JPEG is made only to be measured. 100 is lossless.
    std::string writeJp2(const std::string& input, const std::vector<std::string>& gray) {
        const std::string out = workspace_.file("out.jp2");
        const std::string mid = workspace_.file("mid.miff");
        std::istringstream info(
            writeUprightInColour(input, gray, {}, "miff:" + mid, "%[opaque] %w %h"));
        std::string opaque;
        std::uint64_t width = 0;
        std::uint64_t height = 0;
        if (!(info >> opaque >> width >> height) || width == 0 || height == 0) {
            throw writeFailure("ImageMagick gave no size for the picture");
        }
        const bool alpha = platform::asciiLower(opaque) != "true";
        const bool grayPicture = request_.grayscale;
        std::string type = grayPicture ? "Grayscale" : "TrueColor";
        if (alpha) {
            type += "Alpha";
        }
        // OpenJPEG reads 8-bit PAM with the components it should code. The JPEG
        // goes without metadata: only its pixels count.
        const std::string pam = workspace_.file("mid.pam");
        const std::string probe = workspace_.file("probe.jpg");
        runWriter({tools_.convert, "miff:" + mid, "-type", type, "-depth", "8", "-write",
                   "pam:" + pam, "-strip", "-sampling-factor", "2x2", "-define",
                   "jpeg:optimize-coding=true", "-quality", std::to_string(request_.quality),
                   "jpeg:" + probe});

        std::vector<std::string> encode{tools_.opjCompress, "-i", pam, "-o", out};
        append(encode, {"-n", std::to_string(jp2Levels(width, height))});
        const std::uint64_t colourBytes = width * height * (grayPicture ? 1 : 3);
        const std::int64_t jpegBytes = platform::fileSizeBytes(probe);
        if (request_.quality < 100 && jpegBytes > 0 &&
            colourBytes > static_cast<std::uint64_t>(jpegBytes)) {
            // The ratio of raw to coded size. An alpha plane gets its share on top.
            char ratio[32];
            std::snprintf(ratio, sizeof ratio, "%.3f",
                          static_cast<double>(colourBytes) / static_cast<double>(jpegBytes));
            append(encode, {"-I", "-r", ratio});
        }
        runWriter(encode, false);
        return out;
    }

    // OpenJPEG's resolution levels (6 unless told): every level halves the
    // picture, and the smallest must keep at least one pixel a side.
    static int jp2Levels(std::uint64_t width, std::uint64_t height) {
        const std::uint64_t side = std::min(width, height);
        int levels = 1;
        while (levels < 6 && (std::uint64_t{1} << levels) <= side) {
            ++levels;
        }
        return levels;
    }

    // The words that give sRGB pixels and no profile or metadata, for ImageMagick
    // and GraphicsMagick alike: a picture with a colour profile is converted
    // (perceptual intent); one without is sRGB already, gets the profile
    // assigned, and keeps its pixels as they are.
    std::vector<std::string> toSrgb() {
        std::vector<std::string> words = cmykProfileWords();
        append(words, {"-intent", "Perceptual", "-profile", srgbProfile(), "+profile", "*"});
        return words;
    }

    // The same for an output that keeps the source's metadata: only the colour
    // profile goes.
    std::vector<std::string> toSrgbKeepingMetadata() {
        std::vector<std::string> words = cmykProfileWords();
        append(words, {"-intent", "Perceptual", "-profile", srgbProfile(), "+profile", "icc"});
        return words;
    }

    // A CMYK JPEG without a profile is taken to be in the generic CMYK profile,
    // as the program's own decoder takes it: assigned first, its inks then
    // convert through it (rather than by ImageMagick's plain formula).
    std::vector<std::string> cmykProfileWords() const {
        std::error_code ec;
        if (!jpegIsCmykWithoutProfile(head_) ||
            !std::filesystem::is_regular_file(imaging::colour::kDefaultCmykProfilePath, ec)) {
            return {};
        }
        return {"-profile", imaging::colour::kDefaultCmykProfilePath};
    }

    // lcms2's sRGB profile, written into the workspace when first asked for.
    const std::string& srgbProfile() {
        if (srgbProfile_.empty()) {
            const std::string path = workspace_.file("srgb.icc");
            const std::string problem = writeSrgbProfile(path);
            if (!problem.empty()) {
                throw writeFailure(problem);
            }
            srgbProfile_ = path;
        }
        return srgbProfile_;
    }

    // ImageMagick's words that take the source's metadata away when the request says so.
    std::vector<std::string> stripWords() const {
        if (!request_.stripMetadata) {
            return {};
        }
        return {"+profile", "!icc,*"};
    }

    // The source's EXIF and XMP for the outputs whose writers lose them: none when
    // the request strips them. A source whose metadata cannot be read is still
    // converted; the log says why its metadata is missing.
    CarriedMetadata carriedMetadata() {
        if (request_.stripMetadata) {
            return {};
        }
        std::string problem;
        // A resized output's EXIF and XMP give its new size.
        CarriedMetadata metadata =
            size_ ? readCarriedMetadata(inputPath_, problem, size_->width, size_->height)
                  : readCarriedMetadata(inputPath_, problem);
        if (!problem.empty()) {
            std::printf("magick: the metadata of %s is not kept: %s\n", request_.input.c_str(),
                        userWords(problem).c_str());
            std::fflush(stdout);
        }
        return metadata;
    }

    // writeUpright() with the colours the output format takes: the source's
    // profile where the format carries it (unless the picture is made gray),
    // otherwise sRGB pixels without a profile. A profile that is not for RGB
    // (a CMYK or gray source's) cannot go with the RGB pixels written: such a
    // picture is written again, converted.
    std::string writeUprightInColour(const std::string& input, const std::vector<std::string>& gray,
                                     const std::vector<std::string>& options,
                                     const std::string& target, const std::string& format) {
        std::vector<std::string> words;
        if (!carriesProfile(request_.format) || !gray.empty() || !cmykProfileWords().empty()) {
            words = carriesMetadata() ? toSrgbKeepingMetadata() : toSrgb();
            append(words, stripWords());
            append(words, gray);
            append(words, options);
            return writeUpright(input, words, target, format);
        }
        words = stripWords();
        append(words, options);
        // The picture's colour space and its profile's name (empty without one).
        const std::string answer =
            writeUpright(input, words, target, format + "|%[colorspace]|%[icc:description]");
        const auto bar = answer.find('|');
        const auto secondBar = answer.find('|', bar == std::string::npos ? bar : bar + 1);
        if (bar == std::string::npos || secondBar == std::string::npos) {
            return answer;
        }
        const std::string colourSpace =
            platform::asciiLower(answer.substr(bar + 1, secondBar - bar - 1));
        const bool profiled = secondBar + 1 < answer.size();
        if ((profiled && colourSpace != "srgb" && colourSpace != "rgb") || colourSpace == "cmyk") {
            words = toSrgbKeepingMetadata();
            append(words, stripWords());
            append(words, options);
            return writeUpright(input, words, target, format);
        }
        return answer.substr(0, bar);
    }

    // The formats that keep the source's EXIF and XMP (and PSD its IPTC).
    bool carriesMetadata() const {
        return request_.format == OutputFormat::Avif || request_.format == OutputFormat::Jxl ||
               request_.format == OutputFormat::Psd;
    }

    // Writes the input, upright and gray when asked, to `target` ("coder:path")
    // with `options` before it, and returns what ImageMagick says of the picture
    // in `format` ("%[opaque] %w", ...): empty when it said nothing. The answer
    // goes into a file of its own, apart from the warnings ImageMagick prints
    // (which may hold any word, "true" included).
    std::string writeUpright(const std::string& input, const std::vector<std::string>& options,
                             const std::string& target, const std::string& format) {
        const std::string answer = workspace_.file("upright.txt");
        std::vector<std::string> args{tools_.convert};
        append(args, uprightWords(input));
        append(args, options);
        append(args, {"-write", target, "-format", format + "\\n", "info:" + answer});
        runWriter(args, false);
        std::ifstream in(answer, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        const auto lines = nonEmptyLines(text.str());
        return lines.empty() ? std::string() : lines.back();
    }

    // The words that read `input` and turn it upright, resized when the request
    // asks (ImageMagick's "-define jpeg:size", "IN", "-auto-orient", "-coalesce",
    // "-resize", ...).
    std::vector<std::string> uprightWords(const std::string& input) const {
        std::vector<std::string> words;
        if (!jpegSize_.empty()) {
            // Let libjpeg decode a big photo at a reduced scale right away.
            append(words, {"-define", "jpeg:size=" + jpegSize_});
        }
        append(words, {input, "-auto-orient"});
        if (coalesce_ && size_) {
            words.push_back("-coalesce");
        }
        append(words, resizeWords());
        return words;
    }

    // ImageMagick's words that resize the upright picture, every frame, to the
    // planned size exactly: Lanczos-3, each pixel weighed by its opacity. None
    // when it keeps its size.
    std::vector<std::string> resizeWords() const {
        if (!size_) {
            return {};
        }
        return {"-filter", "Lanczos", "-resize",
                std::to_string(size_->width) + "x" + std::to_string(size_->height) + "!"};
    }

    // Works out the size of the output from the first picture's size and
    // orientation as ImageMagick reads them (header only), by the program's own
    // rule (imaging::resizeTarget), so that the output is as large as the
    // program's own encoders make it. A JPEG source is then decoded by libjpeg at
    // a reduced scale where that leaves the resampler at least twice the size
    // (the rule of imaging::shrinkFactor).
    void planSize(SourceKind kind, const std::string& source) {
        const bool icon = request_.format == OutputFormat::Ico;
        if (!request_.resize.active() && !icon) {
            return;
        }
        const std::string answer = workspace_.file("size.txt");
        runWriter({tools_.convert, "-ping", coder_ + ":" + source + "[0]", "-format",
                   "%w %h %W %H %X %Y %[orientation]\\n", "info:" + answer},
                  false);
        std::ifstream in(answer, std::ios::binary);
        std::int64_t width = 0;
        std::int64_t height = 0;
        std::int64_t pageWidth = 0;
        std::int64_t pageHeight = 0;
        std::int64_t x = 0;
        std::int64_t y = 0;
        std::string orientation;
        if (!(in >> width >> height >> pageWidth >> pageHeight >> x >> y >> orientation) ||
            width <= 0 || height <= 0) {
            throw readFailure("ImageMagick gave no size for the picture");
        }
        refuseHuge(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height));
        PictureSize stored{static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height)};
        if (coalesce_) {
            // The canvas that -coalesce makes, as ImageMagick works it out.
            stored.width = static_cast<std::uint64_t>(
                pageWidth > 0 ? pageWidth : width + std::max<std::int64_t>(x, 0));
            stored.height = static_cast<std::uint64_t>(
                pageHeight > 0 ? pageHeight : height + std::max<std::int64_t>(y, 0));
            refuseHuge(stored.width, stored.height);
        }
        // LeftTop, RightTop, RightBottom, LeftBottom (EXIF 5 to 8) put the picture
        // on its side.
        const std::string turn = platform::asciiLower(orientation);
        const bool sideways = turn.rfind("left", 0) == 0 || turn.rfind("right", 0) == 0;
        const imaging::PixelSize full{
            static_cast<std::uint32_t>(sideways ? stored.height : stored.width),
            static_cast<std::uint32_t>(sideways ? stored.width : stored.height)};
        imaging::PixelSize target = imaging::resizeTarget(request_.resize, full);
        if (icon) {
            target = imaging::resizeTarget(kIconFit, target);
        }
        if (target.width > kMaxSide || target.height > kMaxSide ||
            std::uint64_t{target.width} * target.height > kMaxPixels) {
            throw writeFailure("the resized picture would be too large (" +
                               std::to_string(target.width) + " x " +
                               std::to_string(target.height) + " pixels)");
        }
        if (target == full) {
            return;
        }
        size_ = target;
        const unsigned reduction = icon ? imaging::reductionFor(full, target)
                                        : imaging::shrinkFactor({request_.resize}, full);
        if (kind == SourceKind::Jpeg && !coalesce_ && reduction > 1) {
            // ImageMagick has libjpeg scale by 1 / floor(the smaller ratio of the
            // stored size to this one): the stored size divided by the reduction,
            // rounded down, gives the reduction itself.
            jpegSize_ = std::to_string(stored.width / reduction) + "x" +
                        std::to_string(stored.height / reduction);
        }
    }

    // djxl allocates whatever a header claims: the limits that ImageMagick's
    // policy sets for every other source are checked before it runs.
    void refuseHugeJxl(const std::optional<JxlHeader>& header) const {
        if (header) {
            refuseHuge(header->width, header->height);
        }
    }

    // The limits that ImageMagick's policy sets, for the helpers that have none.
    void refuseHuge(std::uint64_t width, std::uint64_t height) const {
        if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels) {
            throw readFailure("the picture is too large (" + std::to_string(width) + " x " +
                              std::to_string(height) + " pixels)");
        }
    }

    // GraphicsMagick's PDF, before it gets its title.
    std::string pdfName() const { return workspace_.file("mid.pdf"); }

    // The PDF's title: the name of the user's file without folder and extension
    // ("photo" for "photo.pdf"). The program has us write a temporary file beside
    // the output (platform::TempFile) and names it afterwards: the title comes
    // from the name that file stands in for.
    std::string pdfTitle() const {
        const std::string name = platform::tempFileTarget(request_.output)
                                     .value_or(platform::extractFileName(request_.output));
        const std::string stem = platform::stripFileExt(name);
        return stem.empty() ? name : stem;
    }

    // A TGA source, upright, in the workspace (see tga.h): read by gdk-pixbuf into
    // the PNG `png` when one is asked for, otherwise into an 8-bit PAM. Where
    // gdk-pixbuf does not read a layout right (15-bit colour, 16-bit colour maps),
    // ImageMagick writes the PAM: it keeps the rows as stored and records the
    // origin as the orientation that "-auto-orient" applies. Returns the file
    // written.
    std::string readTgaSource(const std::string& png) {
        if (head_.size() >= 18) {
            const auto le16 = [this](std::size_t i) {
                return std::uint64_t{static_cast<unsigned char>(head_[i])} |
                       std::uint64_t{static_cast<unsigned char>(head_[i + 1])} << 8;
            };
            refuseHuge(le16(12), le16(14));
        }
        const std::string pam = workspace_.file("src.pam");
        const std::string target = png.empty() ? pam : png;
        const TgaReading reading =
            readTga(inputPath_, target, png.empty() ? TgaTarget::Pam : TgaTarget::Png);
        switch (reading.result) {
            case TgaReading::Result::Done:
                return target;
            case TgaReading::Result::Unreadable:
                throw readFailure(reading.message);
            case TgaReading::Result::Unwritable:
                throw writeFailure(reading.message);
            case TgaReading::Result::Unsupported:
                break;
        }
        const std::string link = linkToInput(".tga");
        runWriter(
            {tools_.convert, "tga:" + link + "[0]", "-auto-orient", "-depth", "8", "pam:" + pam});
        return pam;
    }

    void verify(const std::string& finished) {
        std::ifstream in(finished, std::ios::binary);
        if (!in) {
            throw writeFailure("the converter wrote no file" + lastWords());
        }
        std::string head(64, '\0');
        in.read(head.data(), static_cast<std::streamsize>(head.size()));
        head.resize(static_cast<std::size_t>(in.gcount()));
        if (head.empty()) {
            throw writeFailure("the converter wrote an empty file" + lastWords());
        }
        if (!looksLike(request_.format, head)) {
            throw writeFailure("the converter wrote no " +
                               std::string(displayName(request_.format)) + " data");
        }
        // The whole file, as its own lengths describe it: a writer that stops
        // early, or writes less than its header says, still ends successfully.
        const std::string damage = findDamageInFile(request_.format, finished);
        if (!damage.empty()) {
            throw writeFailure("the converter wrote an incomplete " +
                               std::string(displayName(request_.format)) + " file (" + damage +
                               ")" + lastWords());
        }
    }

    // A symbolic link to the input in the workspace, named "in" + `extension`.
    std::string linkToInput(const std::string& extension) {
        const std::string link = workspace_.file("in" + extension);
        if (::symlink(inputPath_.c_str(), link.c_str()) != 0) {
            throw readFailure(errorText(errno));
        }
        linkName_ = link;
        return link;
    }

    // A helper that only reads the input: any failure is a read failure.
    void runReader(const std::vector<std::string>& argv) {
        const std::string problem = runTool(argv);
        if (!problem.empty()) {
            throw readFailure(problem);
        }
    }

    // A helper that writes the output: a failure that names the input is a read
    // failure, any other a write failure.
    void runWriter(const std::vector<std::string>& argv, bool echo = true) {
        const std::string line = runToolRaw(argv, echo);
        if (line.empty()) {
            return;
        }
        const bool aboutInput =
            blamesInput(output_, linkName_) || blamesInput(output_, sourceName_);
        // ImageMagick says only "no images defined", GraphicsMagick "Request did not
        // return an image", when a reader gave up quietly.
        if (readNothing(line)) {
            throw readFailure("the file is damaged, too large or in a format that cannot be read");
        }
        const std::string problem = userWords(line);
        throw aboutInput ? readFailure(problem) : writeFailure(problem);
    }

    std::string runTool(const std::vector<std::string>& argv) {
        const std::string raw = runToolRaw(argv);
        return raw.empty() ? raw : userWords(raw);
    }

    // Runs a helper; empty when it succeeded, otherwise its problem line as printed.
    // `echo`: pass what it prints on to our standard output (the program's log).
    std::string runToolRaw(const std::vector<std::string>& argv, bool echo = true) {
        output_.clear();
        const auto result =
            platform::runProcess(argv, workspace_.path(), [this, echo](std::string_view chunk) {
                if (echo) {
                    std::fwrite(chunk.data(), 1, chunk.size(), stdout);
                }
                output_.append(chunk);
                if (output_.size() > 2 * kKeptOutput) {
                    output_.erase(0, output_.size() - kKeptOutput);
                }
            });
        if (echo && !output_.empty() && output_.back() != '\n') {
            std::fputc('\n', stdout);  // our own message starts on a line of its own
        }
        std::fflush(stdout);
        if (!result.started) {
            // Not the source's fault, whichever helper it is.
            const auto colon = result.startError.rfind(": ");
            throw writeFailure("the helper program " + platform::extractFileName(argv[0]) +
                               " is missing or cannot be started (looked for at " + argv[0] +
                               (colon == std::string::npos
                                    ? std::string()
                                    : ": " + result.startError.substr(colon + 2)) +
                               ")");
        }
        if (result.exitCode == 0) {
            return {};
        }
        std::string line = problemLine(output_);
        const std::string tool = platform::extractFileName(argv[0]);
        if (line.empty()) {
            line = tool + " ended with status " + std::to_string(result.exitCode);
        }
        return line;
    }

    // A helper's words with our own file names replaced by the user's.
    std::string userWords(std::string line) const {
        replaceAll(line, linkName_, request_.input);
        if (!sourceName_.empty() && sourceName_ != linkName_) {
            replaceAll(line, sourceName_, request_.input);
        }
        replaceAll(line, workspace_.file("out." + std::string(coderName(request_.format))),
                   request_.output);
        if (request_.format == OutputFormat::Pdf) {
            replaceAll(line, pdfName(), request_.output);
        }
        // Any other file of ours is an intermediate picture: its name means
        // nothing to the user.
        const std::string ours = workspace_.path() + "/";
        for (std::size_t at = line.find(ours); at != std::string::npos; at = line.find(ours, at)) {
            std::size_t end = at + ours.size();
            while (end < line.size() && line[end] != ' ' && line[end] != '\'' && line[end] != '`' &&
                   line[end] != '"' && line[end] != ')') {
                ++end;
            }
            const std::string word = "an intermediate file";
            line.replace(at, end - at, word);
            at += word.size();
        }
        std::string tidied = tidy(line);
        return tidied.empty() ? line : tidied;
    }

    // ": " and the helper's last problem line, when a helper succeeded but said something.
    std::string lastWords() const {
        const std::string line = tidy(problemLine(output_));
        return line.empty() ? std::string() : " (" + userWords(line) + ")";
    }

    Failure readFailure(const std::string& why) const {
        return Failure{"cannot read " + request_.input + ": " + why, true};
    }
    Failure writeFailure(const std::string& why) const {
        return Failure{"cannot write " + request_.output + ": " + why};
    }

    static void append(std::vector<std::string>& to, const std::vector<std::string>& words) {
        to.insert(to.end(), words.begin(), words.end());
    }

    const Request& request_;
    const Tools& tools_;
    const std::string inputPath_;
    Workspace workspace_;
    platform::UniqueFd input_;  ///< the source, open for reading
    std::uint64_t inputSize_ = 0;
    std::string head_;   ///< the input's first bytes
    std::string coder_;  ///< ImageMagick's coder for `sourceName_`
    /// The size every picture of the output gets; none when it keeps its own.
    std::optional<imaging::PixelSize> size_;
    /// Animation frames are put together whole before they are resized.
    bool coalesce_ = false;
    std::string jpegSize_;  ///< "WxH" for ImageMagick's "-define jpeg:size", when set
    std::string linkName_;
    std::string sourceName_;
    std::string srgbProfile_;      ///< lcms2's sRGB profile in the workspace, once written
    CarriedMetadata jxlMetadata_;  ///< EXIF and XMP for the finished JPEG XL file
    std::string output_;
};

}  // namespace

Tools Tools::fromEnvironment() {
    Tools tools;
    auto pick = [](std::string& field, const char* variable) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            field = value;
        }
    };
    pick(tools.convert, "IMBRIX_MAGICK_CONVERT");
    pick(tools.gm, "IMBRIX_MAGICK_GM");
    pick(tools.cjxl, "IMBRIX_MAGICK_CJXL");
    pick(tools.djxl, "IMBRIX_MAGICK_DJXL");
    pick(tools.jxrDecoder, "IMBRIX_MAGICK_JXRDEC");
    pick(tools.gif2webp, "IMBRIX_MAGICK_GIF2WEBP");
    pick(tools.heifEnc, "IMBRIX_MAGICK_HEIFENC");
    pick(tools.opjCompress, "IMBRIX_MAGICK_OPJCOMPRESS");
    pick(tools.heifConvert, "IMBRIX_MAGICK_HEIFCONVERT");
    const char* inProcess = std::getenv("IMBRIX_MAGICK_IN_PROCESS");
    tools.inProcess = !(inProcess && std::string_view(inProcess) == "0");
    return tools;
}

Outcome convertFile(const Request& request, const Tools& tools) {
    using Status = Outcome::Status;
    try {
        Conversion conversion(request, tools);
        conversion.run();
        return {};
    } catch (const Failure& failure) {
        return {failure.source() ? Status::Unreadable : Status::Failed, failure.what()};
    } catch (const std::bad_alloc&) {
        return {Status::Failed, "cannot convert " + request.input + ": not enough memory"};
    } catch (const std::exception& e) {
        return {Status::Failed, "cannot convert " + request.input + ": " + e.what()};
    }
}

}  // namespace imbrix::magick
