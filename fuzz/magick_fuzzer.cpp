// libFuzzer entry for the converter front's readers and the SVG guard.
// IMBRIX_FUZZ_INPUT names what the bytes go to:
//   "magick_content"    content recognition, the header sizes and the GIF frame count
//   "magick_jxlheader"  the JPEG XL header reader
//   "magick_tga"        the TGA reader (gdk-pixbuf's loader and our header checks)
//   "magick_psd"        the PSD layer stripper
//   "magick_wholeness"  the output checks, every format
//   "svgguard"          the SVG guard (entities counted, compressed documents inflated)
// Any input may be refused, with a message; a crash or a sanitizer report is a finding.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "imaging/formats/svgguard.h"
#include "tools/magick/content.h"
#include "tools/magick/jxlheader.h"
#include "tools/magick/psd.h"
#include "tools/magick/tga.h"
#include "tools/magick/wholeness.h"

namespace {

constexpr std::string_view kInput = IMBRIX_FUZZ_INPUT;

using namespace imbrix::magick;

// A file of this process for the readers that take paths.
std::string scratch(const char* name) {
    return "/tmp/imbrix-fuzz-" + std::to_string(::getpid()) + "-" + name;
}

void writeFile(const std::string& path, std::string_view data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
}

}  // namespace

extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    if (kInput == "magick_content") {
        for (const char* extension : {".tga", ".svg", ".png"}) {
            const SourceKind kind = classifySource(data, extension);
            (void)magickCoder(kind);
            (void)kindName(kind);
            if (const auto picture = headerSize(kind, data)) {
                asm volatile("" : : "r"(picture->width + picture->height));
            }
        }
        std::istringstream in{std::string(data)};
        (void)countGifFrames(in, 1000);
    } else if (kInput == "magick_jxlheader") {
        (void)readJxlHeaderOfData(data);
    } else if (kInput == "magick_tga") {
        const std::string in = scratch("in.tga");
        const std::string out = scratch("out.pam");
        writeFile(in, data);
        const TgaReading reading = readTga(in, out, TgaTarget::Pam);
        if (reading.result != TgaReading::Result::Done && reading.message.empty()) {
            std::abort();  // every refusal says why
        }
        std::remove(in.c_str());
        std::remove(out.c_str());
    } else if (kInput == "magick_psd") {
        const std::string in = scratch("in.psd");
        const std::string out = scratch("out.psd");
        writeFile(in, data);
        (void)copyPsdWithoutLayers(in, out);
        std::remove(in.c_str());
        std::remove(out.c_str());
    } else if (kInput == "magick_wholeness") {
        for (int f = 0; f <= static_cast<int>(OutputFormat::Webp); ++f) {
            (void)findDamage(static_cast<OutputFormat>(f), data);
        }
    } else if (kInput == "svgguard") {
        std::string inflated;
        (void)imbrix::svgguard::checkDocument(data, inflated);
        if (inflated.size() > imbrix::svgguard::kMaxInflated) {
            std::abort();
        }
    }
    return 0;
}
