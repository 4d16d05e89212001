// Imbrix imaging layer: the speed settings of the slower encoders, chosen by
// measurement (bench/encode_bench.cpp); the bench passes others to compare.
#pragma once

#include "imaging/picture.h"
#include "imaging/sink.h"

namespace imbrix::imaging::formats {

struct JxlTuning {
    int effort = 0;  ///< libjxl's effort 1..9; 0: the program's choice
};
void encodeJxl(const Picture& picture, const EncodeOptions& options, const JxlTuning& tuning,
               Sink& out);

struct AvifTuning {
    int speed = -1;              ///< libaom's speed 0..9; -1: the program's choice
    int threads = 0;             ///< libaom's threads; 0: one more than EncodeOptions::extraThreads
    const char* tune = nullptr;  ///< libaom's tune ("psnr", "ssim"); null: the program's choice
};
void encodeAvif(const Picture& picture, const EncodeOptions& options, const AvifTuning& tuning,
                Sink& out);

}  // namespace imbrix::imaging::formats
