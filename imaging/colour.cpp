// Colour profiles through Little CMS.
#include "imaging/colour.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <utility>

namespace imbrix::imaging::colour {

namespace {

// Little CMS reports what it cannot read through the context's handler; we
// look at what its functions return instead, and say it in our own words.
void ignoreMessage(cmsContext, cmsUInt32Number, const char*) {}

// A context of our own for each profile we read and each transform we make:
// nothing of Little CMS's mutable state is shared between threads.
cmsContext newContext() {
    cmsContext context = cmsCreateContext(nullptr, nullptr);
    if (context) {
        cmsSetLogErrorHandlerTHR(context, ignoreMessage);
    }
    return context;
}

struct ContextOwner {
    cmsContext context = newContext();
    ~ContextOwner() {
        if (context) {
            cmsDeleteContext(context);
        }
    }
    ContextOwner() = default;
    ContextOwner(const ContextOwner&) = delete;
    ContextOwner& operator=(const ContextOwner&) = delete;
};

struct ProfileOwner {
    cmsHPROFILE profile = nullptr;
    explicit ProfileOwner(cmsHPROFILE p) : profile(p) {}
    ~ProfileOwner() {
        if (profile) {
            cmsCloseProfile(profile);
        }
    }
    ProfileOwner(const ProfileOwner&) = delete;
    ProfileOwner& operator=(const ProfileOwner&) = delete;
};

cmsHPROFILE openProfile(cmsContext context, Bytes icc) {
    if (!context || icc.empty() || icc.size() > UINT32_MAX) {
        return nullptr;
    }
    return cmsOpenProfileFromMemTHR(context, icc.data(), static_cast<cmsUInt32Number>(icc.size()));
}

// What a transform turns into sRGB, in which layout.
enum class Kind { Rgb, Gray, Cmyk, CmykInverted };

cmsUInt32Number inputFormat(Kind kind) {
    switch (kind) {
        case Kind::Rgb:
            return TYPE_BGRA_8;
        case Kind::Gray:
            return TYPE_GRAY_8;
        case Kind::Cmyk:
            return TYPE_CMYK_8;
        case Kind::CmykInverted:
            return TYPE_CMYK_8_REV;
    }
    return TYPE_BGRA_8;
}

cmsUInt32Number outputFormat(Kind kind) {
    switch (kind) {
        case Kind::Rgb:
            return TYPE_BGRA_8;
        case Kind::Gray:
        case Kind::Cmyk:
        case Kind::CmykInverted:
            return TYPE_BGR_8;
    }
    return TYPE_BGRA_8;
}

cmsColorSpaceSignature spaceOf(Kind kind) {
    switch (kind) {
        case Kind::Gray:
            return cmsSigGrayData;
        case Kind::Cmyk:
        case Kind::CmykInverted:
            return cmsSigCmykData;
        default:
            return cmsSigRgbData;
    }
}

// A transform to sRGB with the context it lives in. Only read once made:
// cmsDoTransform() keeps its working state on the caller's stack.
class Transform {
public:
    static std::shared_ptr<const Transform> make(Bytes icc, Kind kind) {
        auto t = std::shared_ptr<Transform>(new Transform);
        if (!t->context_.context) {
            return nullptr;
        }
        const ProfileOwner source(openProfile(t->context_.context, icc));
        if (!source.profile || cmsGetColorSpace(source.profile) != spaceOf(kind)) {
            return nullptr;
        }
        const ProfileOwner srgb(cmsCreate_sRGBProfileTHR(t->context_.context));
        if (!srgb.profile) {
            return nullptr;
        }
        const cmsUInt32Number flags =
            cmsFLAGS_HIGHRESPRECALC | (kind == Kind::Rgb ? cmsFLAGS_COPY_ALPHA : 0);
        t->transform_ =
            cmsCreateTransformTHR(t->context_.context, source.profile, inputFormat(kind),
                                  srgb.profile, outputFormat(kind), INTENT_PERCEPTUAL, flags);
        return t->transform_ ? t : nullptr;
    }
    ~Transform() {
        if (transform_) {
            cmsDeleteTransform(transform_);
        }
    }
    Transform(const Transform&) = delete;
    Transform& operator=(const Transform&) = delete;

    void run(const void* in, void* out, std::uint32_t pixels, std::uint32_t rows,
             std::size_t inStride, std::size_t outStride) const {
        cmsDoTransformLineStride(transform_, in, out, pixels, rows,
                                 static_cast<cmsUInt32Number>(inStride),
                                 static_cast<cmsUInt32Number>(outStride), 0, 0);
    }

private:
    Transform() = default;
    ContextOwner context_;  // destroyed after the transform
    cmsHTRANSFORM transform_ = nullptr;
};

// The last few values made from a profile's bytes, most recent first. Values
// are made outside the lock, so a slow one holds up no other thread.
template <typename Value>
class RecentProfiles {
public:
    template <typename Make>
    Value get(Bytes icc, int kind, Make&& make) {
        {
            const std::lock_guard lock(mutex_);
            for (auto it = entries_.begin(); it != entries_.end(); ++it) {
                if (it->kind == kind && it->icc.size() == icc.size() &&
                    std::equal(icc.begin(), icc.end(), it->icc.begin())) {
                    entries_.splice(entries_.begin(), entries_, it);
                    return entries_.front().value;
                }
            }
        }
        Value value = make();
        const std::lock_guard lock(mutex_);
        entries_.push_front({std::vector<std::uint8_t>(icc.begin(), icc.end()), kind, value});
        if (entries_.size() > kCapacity) {
            entries_.pop_back();
        }
        return value;
    }

private:
    static constexpr std::size_t kCapacity = 8;
    struct Entry {
        std::vector<std::uint8_t> icc;
        int kind;
        Value value;
    };
    std::mutex mutex_;
    std::list<Entry> entries_;
};

std::shared_ptr<const Transform> transformFor(Bytes icc, Kind kind) {
    static RecentProfiles<std::shared_ptr<const Transform>> cache;
    return cache.get(icc, static_cast<int>(kind), [&] { return Transform::make(icc, kind); });
}

// What an RGB profile amounts to.
enum class Verdict { Srgb, Other, Unusable };

// The profile's colours against sRGB's over a grid of the colour cube, as
// CIELAB colour differences: the same test for matrix profiles and table-based
// ones. The sRGB variants in circulation differ from Little CMS's own by less
// than 0.1 (their colorants are rounded differently); a pure 2.2 gamma with
// sRGB's primaries differs by 6 in the shadows, other RGB spaces by more.
Verdict judge(Bytes icc) {
    const ContextOwner c;
    const ProfileOwner profile(openProfile(c.context, icc));
    if (!profile.profile || cmsGetColorSpace(profile.profile) != cmsSigRgbData) {
        return Verdict::Unusable;
    }
    const ProfileOwner srgb(cmsCreate_sRGBProfileTHR(c.context));
    const ProfileOwner lab(cmsCreateLab4ProfileTHR(c.context, nullptr));
    if (!srgb.profile || !lab.profile) {
        return Verdict::Unusable;
    }
    constexpr cmsUInt32Number kFlags = cmsFLAGS_NOOPTIMIZE | cmsFLAGS_NOCACHE;
    cmsHTRANSFORM fromProfile =
        cmsCreateTransformTHR(c.context, profile.profile, TYPE_RGB_DBL, lab.profile, TYPE_Lab_DBL,
                              INTENT_PERCEPTUAL, kFlags);
    cmsHTRANSFORM fromSrgb =
        cmsCreateTransformTHR(c.context, srgb.profile, TYPE_RGB_DBL, lab.profile, TYPE_Lab_DBL,
                              INTENT_PERCEPTUAL, kFlags);
    Verdict verdict = fromProfile && fromSrgb ? Verdict::Srgb : Verdict::Unusable;
    constexpr int kSteps = 9;
    for (int i = 0; verdict == Verdict::Srgb && i < kSteps * kSteps * kSteps; ++i) {
        const double rgb[3] = {static_cast<double>(i / (kSteps * kSteps)) / (kSteps - 1),
                               static_cast<double>(i / kSteps % kSteps) / (kSteps - 1),
                               static_cast<double>(i % kSteps) / (kSteps - 1)};
        cmsCIELab profileLab{};
        cmsCIELab srgbLab{};
        cmsDoTransform(fromProfile, rgb, &profileLab, 1);
        cmsDoTransform(fromSrgb, rgb, &srgbLab, 1);
        if (!(cmsDeltaE(&profileLab, &srgbLab) < 1.0)) {  // NaN counts as a difference
            verdict = Verdict::Other;
        }
    }
    if (fromProfile) {
        cmsDeleteTransform(fromProfile);
    }
    if (fromSrgb) {
        cmsDeleteTransform(fromSrgb);
    }
    return verdict;
}

Verdict verdictOf(Bytes icc) {
    if (icc.empty()) {
        return Verdict::Srgb;
    }
    static RecentProfiles<Verdict> cache;
    return cache.get(icc, 0, [&] { return judge(icc); });
}

// Gray samples (replicated into B, G and R) to sRGB through a gray profile:
// 256 values, looked up per pixel.
void grayToSrgb(Raster& raster, Bytes icc) {
    const std::shared_ptr<const Transform> transform = transformFor(icc, Kind::Gray);
    if (!transform) {
        return;  // dropped: the samples are taken as sRGB gray
    }
    std::array<std::uint8_t, 256> levels{};
    for (std::size_t v = 0; v < levels.size(); ++v) {
        levels[v] = static_cast<std::uint8_t>(v);
    }
    std::array<std::uint8_t, 256 * 3> bgr{};
    transform->run(levels.data(), bgr.data(), 256, 1, 256, bgr.size());
    const bool premultiplied = raster.premultiplied;
    unpremultiply(raster);
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            std::memcpy(p, &bgr[std::size_t{p[kGreen]} * 3], 3);
        }
    }
    if (premultiplied) {
        premultiply(raster);
    }
}

// The profile at kDefaultCmykProfilePath, read once; empty when it is missing.
const std::vector<std::uint8_t>& defaultCmykProfile() {
    static const std::vector<std::uint8_t> bytes = [] {
        constexpr std::streamoff kMaxProfile = 16 << 20;
        std::vector<std::uint8_t> data;
        std::ifstream file(kDefaultCmykProfilePath, std::ios::binary | std::ios::ate);
        const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : 0;
        if (size > 0 && size <= kMaxProfile) {
            data.resize(static_cast<std::size_t>(size));
            file.seekg(0);
            if (!file.read(reinterpret_cast<char*>(data.data()), size)) {
                data.clear();
            }
        }
        return data;
    }();
    return bytes;
}

// (255 - ink) scaled by (255 - black): what the pixels look like with no profile
// to go by.
void cmykByFormula(Raster& raster, bool inverted) {
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        std::uint8_t* p = raster.row(y);
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4) {
            unsigned c = p[0], m = p[1], yy = p[2], k = p[3];
            if (!inverted) {
                c = 255 - c;
                m = 255 - m;
                yy = 255 - yy;
                k = 255 - k;
            }
            p[kRed] = static_cast<std::uint8_t>((c * k + 127) / 255);
            p[kGreen] = static_cast<std::uint8_t>((m * k + 127) / 255);
            p[kBlue] = static_cast<std::uint8_t>((yy * k + 127) / 255);
            p[kAlpha] = 255;
        }
    }
}

}  // namespace

ProfileSpace profileSpace(Bytes icc) {
    const ContextOwner c;
    const ProfileOwner profile(openProfile(c.context, icc));
    if (!profile.profile) {
        return ProfileSpace::Unreadable;
    }
    switch (cmsGetColorSpace(profile.profile)) {
        case cmsSigRgbData:
            return ProfileSpace::Rgb;
        case cmsSigGrayData:
            return ProfileSpace::Gray;
        case cmsSigCmykData:
            return ProfileSpace::Cmyk;
        default:
            return ProfileSpace::Other;
    }
}

bool isSrgb(Bytes icc) {
    return verdictOf(icc) == Verdict::Srgb;
}

void convertToSrgb(Picture& picture) {
    std::vector<std::uint8_t>& icc = picture.meta.icc;
    if (verdictOf(icc) != Verdict::Other) {
        icc.clear();
        return;
    }
    Raster& raster = picture.pixels;
    const std::shared_ptr<const Transform> transform = transformFor(icc, Kind::Rgb);
    icc.clear();
    if (!transform || raster.empty()) {
        return;
    }
    if (!raster.premultiplied || !raster.hasAlpha) {
        // In place: input and output have the same layout.
        transform->run(raster.data(), raster.data(), raster.width(), raster.height(),
                       raster.stride(), raster.stride());
        return;
    }
    // Premultiplied colours are divided by alpha first: the profile's curves
    // apply to the colour itself. A row at a time, through a straight copy.
    const std::size_t rowBytes = std::size_t{raster.width()} * 4;
    std::vector<std::uint8_t> straight(rowBytes);
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        std::uint8_t* row = raster.row(y);
        bool opaque = true;
        for (std::size_t i = kAlpha; i < rowBytes && opaque; i += 4) {
            opaque = row[i] == 255;
        }
        if (opaque) {  // premultiplied and straight agree
            transform->run(row, row, raster.width(), 1, rowBytes, rowBytes);
            continue;
        }
        for (std::size_t i = 0; i < rowBytes; i += 4) {
            const unsigned a = row[i + kAlpha];
            for (int c = 0; c < 3; ++c) {
                straight[i + c] = a == 255 || a == 0 ? row[i + c]
                                                     : static_cast<std::uint8_t>(std::min(
                                                           255u, (row[i + c] * 255u + a / 2) / a));
            }
            straight[i + kAlpha] = static_cast<std::uint8_t>(a);
        }
        transform->run(straight.data(), straight.data(), raster.width(), 1, rowBytes, rowBytes);
        for (std::size_t i = 0; i < rowBytes; i += 4) {
            const unsigned a = row[i + kAlpha];
            for (int c = 0; c < 3; ++c) {
                row[i + c] = a == 255
                                 ? straight[i + c]
                                 : static_cast<std::uint8_t>((straight[i + c] * a + 127) / 255);
            }
        }
    }
}

namespace {

// The profile's bytes. Its creation date is a fixed one, so that a picture
// converted twice gives the same file byte for byte (the profile carries no
// checksum over it: its ID is left zero). Empty when Little CMS cannot write it.
std::vector<std::uint8_t> savedProfile(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    if (!profile || !cmsSaveProfileToMem(profile, nullptr, &size) || size < 128) {
        return {};
    }
    std::vector<std::uint8_t> bytes(size);
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) {
        return {};
    }
    bytes.resize(size);
    // Bytes 24 to 35: year, month, day, hours, minutes, seconds, big-endian.
    constexpr std::uint8_t kCreated[12] = {0x07, 0xD0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};
    std::copy(std::begin(kCreated), std::end(kCreated), bytes.begin() + 24);
    return bytes;
}

}  // namespace

std::vector<std::uint8_t> srgbProfile() {
    const ContextOwner c;
    const ProfileOwner srgb(cmsCreate_sRGBProfileTHR(c.context));
    return savedProfile(srgb.profile);
}

std::vector<std::uint8_t> profileFromPngChunks(const std::optional<PngChromaticities>& chrm,
                                               std::optional<double> gamma) {
    if (!chrm && !gamma) {
        return {};
    }
    // sRGB's primaries and white point as the PNG format gives them.
    constexpr PngChromaticities kSrgb{0.3127, 0.3290, 0.64, 0.33, 0.30, 0.60, 0.15, 0.06};
    const PngChromaticities xy = chrm.value_or(kSrgb);
    const double values[] = {xy.whiteX, xy.whiteY, xy.redX,  xy.redY,
                             xy.greenX, xy.greenY, xy.blueX, xy.blueY};
    bool srgbPrimaries = true;
    const double srgbValues[] = {kSrgb.whiteX, kSrgb.whiteY, kSrgb.redX,  kSrgb.redY,
                                 kSrgb.greenX, kSrgb.greenY, kSrgb.blueX, kSrgb.blueY};
    for (std::size_t i = 0; i < std::size(values); ++i) {
        if (!(values[i] >= 0 && values[i] <= 1)) {
            return {};
        }
        srgbPrimaries = srgbPrimaries && std::fabs(values[i] - srgbValues[i]) < 0.001;
    }
    if (xy.whiteY <= 0 || xy.redY <= 0 || xy.greenY <= 0 || xy.blueY <= 0) {
        return {};
    }
    // 1/2.2 within a percent stands for sRGB's curve, which it approximates.
    const bool srgbGamma = !gamma || std::fabs(*gamma * 2.2 - 1) < 0.01;
    if (gamma && !(*gamma >= 0.01 && *gamma <= 100)) {
        return {};
    }
    if (srgbPrimaries && srgbGamma) {
        return {};
    }

    const ContextOwner c;
    if (!c.context) {
        return {};
    }
    cmsToneCurve* curve = nullptr;
    if (gamma && !srgbGamma) {
        curve = cmsBuildGamma(c.context, 1.0 / *gamma);
    } else {
        // IEC 61966-2-1: Y = ((X + 0.055) / 1.055)^2.4 above 0.04045, X / 12.92 below.
        const cmsFloat64Number params[] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
        curve = cmsBuildParametricToneCurve(c.context, 4, params);
    }
    if (!curve) {
        return {};
    }
    const cmsCIExyY white{xy.whiteX, xy.whiteY, 1.0};
    const cmsCIExyYTRIPLE primaries{
        {xy.redX, xy.redY, 1.0}, {xy.greenX, xy.greenY, 1.0}, {xy.blueX, xy.blueY, 1.0}};
    cmsToneCurve* curves[3] = {curve, curve, curve};
    const ProfileOwner profile(cmsCreateRGBProfileTHR(c.context, &white, &primaries, curves));
    cmsFreeToneCurve(curve);
    std::vector<std::uint8_t> bytes = savedProfile(profile.profile);
    if (bytes.empty()) {
        return {};
    }
    return verdictOf(bytes) == Verdict::Other ? bytes : std::vector<std::uint8_t>{};
}

void adoptProfile(Picture& picture, Bytes icc, SourceModel model) {
    picture.meta.icc.clear();
    if (icc.empty()) {
        return;
    }
    if (model == SourceModel::Rgb) {
        // Judged once per profile (an sRGB photo's decode costs a lookup); only
        // a readable RGB profile is judged Other.
        if (verdictOf(icc) == Verdict::Other) {
            picture.meta.icc.assign(icc.begin(), icc.end());
        }
    } else if (profileSpace(icc) == ProfileSpace::Gray) {
        grayToSrgb(picture.pixels, icc);
    }
}

void cmykToSrgb(Raster& raster, Bytes icc, bool inverted) {
    const Kind kind = inverted ? Kind::CmykInverted : Kind::Cmyk;
    std::shared_ptr<const Transform> transform;
    if (!icc.empty()) {
        transform = transformFor(icc, kind);
    }
    if (!transform && !defaultCmykProfile().empty()) {
        transform = transformFor(defaultCmykProfile(), kind);
    }
    if (!transform) {
        cmykByFormula(raster, inverted);
        return;
    }
    std::vector<std::uint8_t> bgr(std::size_t{raster.width()} * 3);
    for (std::uint32_t y = 0; y < raster.height(); ++y) {
        std::uint8_t* p = raster.row(y);
        transform->run(p, bgr.data(), raster.width(), 1, std::size_t{raster.width()} * 4,
                       bgr.size());
        const std::uint8_t* q = bgr.data();
        for (std::uint32_t x = 0; x < raster.width(); ++x, p += 4, q += 3) {
            p[kBlue] = q[0];
            p[kGreen] = q[1];
            p[kRed] = q[2];
            p[kAlpha] = 255;
        }
    }
}

}  // namespace imbrix::imaging::colour
