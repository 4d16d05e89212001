// Imbrix imaging layer: stages.
#include "imaging/stages.h"

#include "imaging/colour.h"
#include "imaging/error.h"
#include "imaging/grayscale.h"

namespace imbrix::imaging {

bool StageList::emptyForConverter() const {
    for (const Entry& entry : stages_) {
        if (!entry.converterDoesItself) {
            return false;
        }
    }
    return true;
}

void StageList::apply(Picture& picture, std::stop_token stop) const {
    apply(picture, stop, false);
}

void StageList::applyForConverter(Picture& picture, std::stop_token stop) const {
    apply(picture, stop, true);
}

void StageList::apply(Picture& picture, const std::stop_token& stop, bool forConverter) const {
    for (const Entry& entry : stages_) {
        if (forConverter && entry.converterDoesItself) {
            continue;
        }
        if (stop.stop_requested()) {
            throw Error(kStoppedMessage);
        }
        entry.run(picture, stop);
    }
}

Stage toSrgbStage() {
    return [](Picture& picture, std::stop_token) { colour::convertToSrgb(picture); };
}

Stage equalWeightGrayscaleStage() {
    return [](Picture& picture, std::stop_token) {
        colour::convertToSrgb(picture);
        grayscaleRaster(picture.pixels);
    };
}

Stage luminanceGrayscaleStage() {
    return [](Picture& picture, std::stop_token) {
        colour::convertToSrgb(picture);
        if (picture.meta.decodedByContent == ContentFormat::Unknown) {
            grayscaleRaster(picture.pixels);
        }
        applyLuminanceGrayscale(picture.pixels);
    };
}

}  // namespace imbrix::imaging
