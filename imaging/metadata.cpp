// Metadata through exiv2: read from whole files, rewritten for upright output.
#include "imaging/metadata.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exiv2/exiv2.hpp>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>

#include "imaging/error.h"

namespace imbrix::imaging::metadata {

namespace {

// What a reader keeps of one file at most, per kind. exiv2 reads from memory,
// so a block can never be larger than the file; these only keep an absurd one
// (a 500 MB "comment") from following the picture into every output.
constexpr std::size_t kMaxBlock = std::size_t{16} << 20;

// The errors exiv2 reported on this thread: each call that needs to know
// whether exiv2 met damage reads the count before and after. exiv2 reports
// damage to the TIFF structure (an entry or a value out of the block) as an
// error, and oddities of a maker's private notes only as warnings: a camera's
// EXIF with a quirky maker note still counts as whole.
thread_local unsigned tlErrors = 0;

extern "C" void onExiv2Message(int level, const char*) {
    if (level >= Exiv2::LogMsg::error) {
        ++tlErrors;
    }
}

std::recursive_mutex& xmpMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

extern "C" void onXmpLock(void*, bool lock) {
    if (lock) {
        xmpMutex().lock();
    } else {
        xmpMutex().unlock();
    }
}

// exiv2's one-time set-up: its XMP toolkit (not thread-safe by itself, given a
// lock here), its log kept off stderr (errors counted instead), and its BMFF reader
// (AVIF, HEIF, JPEG XL), which it leaves off unless asked.
void initialise() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::error);
        Exiv2::LogMsg::setHandler(onExiv2Message);
        Exiv2::XmpParser::initialize(onXmpLock, nullptr);
#ifdef EXV_ENABLE_BMFF
        Exiv2::enableBMFF(true);
#endif
    });
}

// IFD0 tags that describe the source file's own pixels and their storage, or
// carry what the output keeps elsewhere (profile, XMP, IPTC, Photoshop data):
// never copied beside other pixels.
constexpr std::array<std::string_view, 28> kLayoutTags = {
    "Exif.Image.NewSubfileType",
    "Exif.Image.SubfileType",
    "Exif.Image.BitsPerSample",
    "Exif.Image.Compression",
    "Exif.Image.PhotometricInterpretation",
    "Exif.Image.FillOrder",
    "Exif.Image.StripOffsets",
    "Exif.Image.SamplesPerPixel",
    "Exif.Image.RowsPerStrip",
    "Exif.Image.StripByteCounts",
    "Exif.Image.PlanarConfiguration",
    "Exif.Image.Predictor",
    "Exif.Image.ColorMap",
    "Exif.Image.TileWidth",
    "Exif.Image.TileLength",
    "Exif.Image.TileOffsets",
    "Exif.Image.TileByteCounts",
    "Exif.Image.SubIFDs",
    "Exif.Image.ExtraSamples",
    "Exif.Image.SampleFormat",
    "Exif.Image.JPEGTables",
    "Exif.Image.JPEGProc",
    "Exif.Image.JPEGInterchangeFormat",
    "Exif.Image.JPEGInterchangeFormatLength",
    "Exif.Image.InterColorProfile",
    "Exif.Image.XMLPacket",
    "Exif.Image.IPTCNAA",
    "Exif.Image.ImageResources",
};

bool isLayoutTag(const std::string& key) {
    return std::find(kLayoutTags.begin(), kLayoutTags.end(), key) != kLayoutTags.end();
}

// The thumbnail (IFD1) and the other images a TIFF or raw file describes.
bool isOtherImage(const std::string& group) {
    return group == "Thumbnail" || group.rfind("SubImage", 0) == 0 ||
           group.rfind("SubThumb", 0) == 0;
}

// exiv2's video container types (riffvideo.hpp, matroskavideo.hpp,
// quicktimevideo.hpp, asfvideo.hpp: headers that do not compile on their own).
bool isVideoType(int type) {
    constexpr int kRiff = 20, kMatroska = 21, kQuickTime = 22, kAsf = 24;
    return type == kRiff || type == kMatroska || type == kQuickTime || type == kAsf;
}

bool isTiffDescriptiveTag(const std::string& key) {
    static constexpr std::string_view kTags[] = {
        "Exif.Image.ImageDescription", "Exif.Image.Make",         "Exif.Image.Model",
        "Exif.Image.Software",         "Exif.Image.DateTime",     "Exif.Image.Artist",
        "Exif.Image.HostComputer",     "Exif.Image.Copyright",    "Exif.Image.ExifTag",
        "Exif.Image.GPSTag",           "Exif.Image.DocumentName", "Exif.Image.PageName"};
    return std::find(std::begin(kTags), std::end(kTags), key) != std::end(kTags);
}

void dropSourceLayout(Exiv2::ExifData& exif) {
    for (auto it = exif.begin(); it != exif.end();) {
        if (isLayoutTag(it->key()) || isOtherImage(it->groupName())) {
            it = exif.erase(it);
        } else {
            ++it;
        }
    }
}

std::vector<std::uint8_t> encodeExif(const Exiv2::ExifData& exif, Exiv2::ByteOrder order) {
    if (exif.empty()) {
        return {};
    }
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, order == Exiv2::invalidByteOrder ? Exiv2::littleEndian : order,
                              exif);
    return std::vector<std::uint8_t>(blob.begin(), blob.end());
}

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    if (text.size() > kMaxBlock) {
        return {};
    }
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

Bytes withoutExifPrefix(Bytes exif) {
    static constexpr std::uint8_t kPrefix[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (exif.size() >= sizeof kPrefix && std::memcmp(exif.data(), kPrefix, sizeof kPrefix) == 0) {
        return exif.subspan(sizeof kPrefix);
    }
    return exif;
}

// Sets `key` to an unsigned value when `always` or when the data has it already.
template <typename Value>
void setNumber(Exiv2::ExifData& exif, const char* key, Value value, bool always) {
    if (always || exif.findKey(Exiv2::ExifKey(key)) != exif.end()) {
        exif[key] = value;
    }
}

}  // namespace

namespace {

// What read() and readFile() share: `open` gives the image (null for a file
// that is no picture container exiv2 should open).
template <typename Open>
void readWith(Metadata& into, const Open& open) {
    into.exif.clear();
    into.xmp.clear();
    into.iptc.clear();
    into.comment.clear();
    initialise();
    // exiv2 throws its own errors, std::bad_alloc and, on hostile input, the odd
    // std::out_of_range; none of them may stop the conversion.
    Exiv2::Image::AutoPtr image;
    try {
        image = open();
        if (!image.get()) {
            return;
        }
        // The XMP toolkit parses and serialises through shared state; its
        // lock covers only namespaces. Reading takes well under a millisecond
        // per photo: one at a time costs nothing next to decoding.
        const std::lock_guard<std::recursive_mutex> lock(xmpMutex());
        // The packet as the file holds it: otherwise exiv2 serialises its
        // parsed XMP anew, with namespace prefixes that depend on what the
        // process read before (the same file would give other bytes).
        image->writeXmpFromPacket(true);
        image->readMetadata();
        into.xmp = bytesOf(image->xmpPacket());
    } catch (...) {
        into.xmp.clear();
        return;
    }
    try {
        Exiv2::ExifData exif = image->exifData();
        dropSourceLayout(exif);
        std::vector<std::uint8_t> block = encodeExif(exif, image->byteOrder());
        if (block.size() <= kMaxBlock) {
            into.exif = std::move(block);
        }
    } catch (...) {
        into.exif.clear();
    }
    try {
        if (!image->iptcData().empty()) {
            const Exiv2::DataBuf records = Exiv2::IptcParser::encode(image->iptcData());
            if (records.size_ > 0 && static_cast<std::size_t>(records.size_) <= kMaxBlock) {
                into.iptc.assign(records.pData_, records.pData_ + records.size_);
            }
        }
    } catch (...) {
        into.iptc.clear();
    }
    try {
        std::string comment = image->comment();
        if (comment.size() <= kMaxBlock) {
            into.comment = std::move(comment);
        }
    } catch (...) {
        into.comment.clear();
    }
}

// exiv2's video readers (RIFF, QuickTime, Matroska, ASF) are not for pictures
// and can loop for ever on a damaged file (a RIFF animated cursor): only
// picture containers are opened.
bool isPictureType(int type) {
    return type != Exiv2::ImageType::none && !isVideoType(type);
}

}  // namespace

void read(Bytes file, Metadata& into) {
    if (file.empty() || file.size() > static_cast<std::size_t>(std::numeric_limits<long>::max())) {
        into.stripDescriptive();
        return;
    }
    readWith(into, [&] {
        const auto size = static_cast<long>(file.size());
        return isPictureType(Exiv2::ImageFactory::getType(file.data(), size))
                   ? Exiv2::ImageFactory::open(file.data(), size)
                   : Exiv2::Image::AutoPtr();
    });
}

void readFile(const std::string& path, Metadata& into) {
    readWith(into, [&] {
        return isPictureType(Exiv2::ImageFactory::getType(path)) ? Exiv2::ImageFactory::open(path)
                                                                 : Exiv2::Image::AutoPtr();
    });
}

std::vector<std::uint8_t> exifForOutput(Bytes exif, std::uint32_t width, std::uint32_t height) {
    exif = withoutExifPrefix(exif);
    if (exif.empty() || exif.size() > kMaxBlock) {
        return {};
    }
    initialise();
    try {
        Exiv2::ExifData data;
        const unsigned errorsBefore = tlErrors;
        const Exiv2::ByteOrder order =
            Exiv2::ExifParser::decode(data, exif.data(), static_cast<std::uint32_t>(exif.size()));
        // exiv2 skips what it cannot follow and says so; a block it had to
        // patch up is not copied into the output.
        if (order == Exiv2::invalidByteOrder || tlErrors != errorsBefore) {
            return {};
        }
        dropSourceLayout(data);
        data["Exif.Image.Orientation"] = std::uint16_t{1};
        if (width != 0 && height != 0) {
            data["Exif.Photo.PixelXDimension"] = width;
            data["Exif.Photo.PixelYDimension"] = height;
            setNumber(data, "Exif.Image.ImageWidth", width, false);
            setNumber(data, "Exif.Image.ImageLength", height, false);
        }
        return encodeExif(data, order);
    } catch (...) {
        return {};
    }
}

std::vector<std::uint8_t> xmpForOutput(Bytes xmp, std::uint32_t width, std::uint32_t height) {
    if (xmp.empty() || xmp.size() > kMaxBlock) {
        return {};
    }
    const std::string packet(xmp.begin(), xmp.end());
    if (packet.find("xmpmeta") == std::string::npos &&
        packet.find("rdf:RDF") == std::string::npos) {
        return {};  // not XMP at all
    }
    // Most packets name none of the properties that follow the pixels: they go
    // out as they are, unparsed. The XMP toolkit is strict (it refuses, say,
    // a property given twice, as some photo managers write it), and a packet
    // it refuses but that needs no change is still worth keeping.
    static constexpr std::string_view kFollowing[] = {
        "Orientation", "PixelXDimension", "PixelYDimension", "ImageWidth", "ImageLength"};
    if (std::none_of(std::begin(kFollowing), std::end(kFollowing), [&](std::string_view name) {
            return packet.find(name) != std::string::npos;
        })) {
        return std::vector<std::uint8_t>(xmp.begin(), xmp.end());
    }
    initialise();
    try {
        const std::lock_guard<std::recursive_mutex> lock(xmpMutex());
        Exiv2::XmpData data;
        if (Exiv2::XmpParser::decode(data, packet) != 0) {
            return {};
        }
        bool changed = false;
        auto follow = [&](const char* key, std::uint32_t value) {
            const auto it = data.findKey(Exiv2::XmpKey(key));
            if (it != data.end() && it->toString() != std::to_string(value)) {
                it->setValue(std::to_string(value));
                changed = true;
            }
        };
        follow("Xmp.tiff.Orientation", 1);
        if (width != 0 && height != 0) {
            follow("Xmp.exif.PixelXDimension", width);
            follow("Xmp.exif.PixelYDimension", height);
            follow("Xmp.tiff.ImageWidth", width);
            follow("Xmp.tiff.ImageLength", height);
        }
        if (!changed) {
            return std::vector<std::uint8_t>(xmp.begin(), xmp.end());
        }
        std::string out;
        if (Exiv2::XmpParser::encode(out, data, Exiv2::XmpParser::useCompactFormat) != 0) {
            return {};
        }
        return bytesOf(out);
    } catch (...) {
        return {};
    }
}

std::vector<std::uint8_t> writeIntoTiff(Bytes tiff, Bytes exif, Bytes xmp, Bytes iptc) {
    initialise();
    try {
        const std::lock_guard<std::recursive_mutex> lock(xmpMutex());
        Exiv2::Image::AutoPtr image =
            Exiv2::ImageFactory::open(tiff.data(), static_cast<long>(tiff.size()));
        image->readMetadata();
        Exiv2::ExifData& target = image->exifData();
        if (!exif.empty()) {
            Exiv2::ExifData source;
            Exiv2::ExifParser::decode(source, exif.data(), static_cast<std::uint32_t>(exif.size()));
            for (const Exiv2::Exifdatum& datum : source) {
                // Of the first directory, only the descriptive tags TIFF itself
                // defines: a maker's private tags there would be unknown to
                // TIFF readers. The EXIF and GPS directories come whole, but for the
                // interoperability one below.
                if (datum.groupName() == "Image" && !isTiffDescriptiveTag(datum.key())) {
                    continue;
                }
                // libtiff knows no interoperability directory inside the EXIF one.
                if (datum.groupName() == "Iop" || datum.key() == "Exif.Photo.InteroperabilityTag") {
                    continue;
                }
                if (target.findKey(Exiv2::ExifKey(datum.key())) == target.end()) {
                    target.add(datum);
                }
            }
        }
        if (!xmp.empty()) {
            // Written as it is, not parsed and serialised again.
            Exiv2::XmpData& data = image->xmpData();
            data.clear();
            data.setPacket(std::string(xmp.begin(), xmp.end()));
            data.usePacket(true);
            image->writeXmpFromPacket(true);
        }
        if (!iptc.empty()) {
            Exiv2::IptcData records;
            if (Exiv2::IptcParser::decode(records, iptc.data(),
                                          static_cast<std::uint32_t>(iptc.size())) == 0) {
                image->setIptcData(records);
            }
        }
        image->writeMetadata();
        Exiv2::BasicIo& io = image->io();
        if (io.open() != 0) {
            throw Error("Cannot write TIFF: the metadata cannot be added");
        }
        const Exiv2::DataBuf written = io.read(static_cast<long>(io.size()));
        io.close();
        return std::vector<std::uint8_t>(written.pData_, written.pData_ + written.size_);
    } catch (const Exiv2::AnyError& e) {
        throw Error(std::string("Cannot write TIFF: the metadata cannot be added (") + e.what() +
                    ")");
    }
}

}  // namespace imbrix::imaging::metadata
