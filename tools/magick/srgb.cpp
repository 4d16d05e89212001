#include "tools/magick/srgb.h"

#include <lcms2.h>

#include <fstream>
#include <memory>
#include <vector>

namespace imbrix::magick {

std::string writeSrgbProfile(const std::string& path) {
    const std::unique_ptr<void, decltype(&cmsCloseProfile)> profile(cmsCreate_sRGBProfile(),
                                                                    &cmsCloseProfile);
    cmsUInt32Number size = 0;
    if (!profile || !cmsSaveProfileToMem(profile.get(), nullptr, &size) || size == 0) {
        return "lcms2 made no sRGB profile";
    }
    std::vector<char> bytes(size);
    if (!cmsSaveProfileToMem(profile.get(), bytes.data(), &size)) {
        return "lcms2 made no sRGB profile";
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        return "cannot write the sRGB profile into the temporary folder";
    }
    return {};
}

}  // namespace imbrix::magick
