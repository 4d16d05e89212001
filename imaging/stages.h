// Imbrix imaging layer: stages, the steps a picture goes through between its
// decoder and its encoder.
//
// A run builds its list of stages once, from its options; every file's picture
// then goes through the same list, in order. A stage changes the picture in
// place (pixels and what is known about them) and may look at the stop token
// to give up early on a large picture; it throws imaging::Error on failure.
#pragma once

#include <functional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "imaging/picture.h"
#include "imaging/resize.h"

namespace imbrix::imaging {

using Stage = std::function<void(Picture&, std::stop_token)>;

/// The stages of a run, in order. A stage may have an equivalent that the
/// external converter applies itself (from its command line): on the converter's
/// routes such a stage is left to the converter.
class StageList {
public:
    void add(Stage stage, bool converterDoesItself = false) {
        stages_.push_back({std::move(stage), converterDoesItself});
    }
    bool empty() const { return stages_.empty(); }
    /// True when no stage is left for the picture on the converter's routes.
    bool emptyForConverter() const;

    /// What the decoders may do to save work for these stages (a resize lets
    /// them draw the picture smaller).
    const DecodeHint& decodeHint() const { return hint_; }
    void setDecodeHint(const DecodeHint& hint) { hint_ = hint; }

    /// Runs every stage on `picture`, in order (on a converter's route, only the
    /// stages the converter does not do itself). Throws Error("The conversion
    /// was stopped") when a stop is requested before a stage starts.
    void apply(Picture& picture, std::stop_token stop) const;
    void applyForConverter(Picture& picture, std::stop_token stop) const;

private:
    struct Entry {
        Stage run;
        bool converterDoesItself;
    };
    void apply(Picture& picture, const std::stop_token& stop, bool forConverter) const;
    std::vector<Entry> stages_;
    DecodeHint hint_;
};

/// The resize stage: resamples the picture to resizeTarget() of its full size
/// (Metadata::fullWidth/fullHeight when a decoder drew it smaller, else its
/// pixels' size) and clears the full size. Does nothing when the picture
/// already has that size.
Stage resizeStage(const ResizeOptions& options);

/// Converts the picture from its profile to sRGB (colour::convertToSrgb()), for
/// outputs that cannot carry a profile.
Stage toSrgbStage();

/// The equal-weight grayscale (grayscaleRaster(): alpha dropped). Both grayscale
/// stages work on sRGB values: a picture in another profile is converted to
/// sRGB first, and comes out with none.
Stage equalWeightGrayscaleStage();

/// The luminance filter (applyLuminanceGrayscale(): alpha kept). A picture that
/// decode by content did not draw takes the equal-weight grayscale first.
Stage luminanceGrayscaleStage();

}  // namespace imbrix::imaging
