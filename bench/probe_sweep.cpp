// Prints what the probe reads from each file named on the command line, one
// line per file: "<path>\t<width>\t<height>\t<frames>", "<path>\tnone" or
// "<path>\trefused\t<message>". bench/probe_sweep.py runs it over the corpus.
#include <cstdio>
#include <exception>

#include "imaging/probe.h"
#include "imaging/source.h"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        try {
            const imbrix::imaging::FileBytes file(argv[i]);
            const auto extent = imbrix::imaging::probePicture(file.bytes());
            if (extent) {
                std::printf("%s\t%u\t%u\t%llu\n", argv[i], extent->width, extent->height,
                            static_cast<unsigned long long>(extent->frames));
            } else {
                std::printf("%s\tnone\n", argv[i]);
            }
        } catch (const std::exception& e) {
            std::printf("%s\trefused\t%s\n", argv[i], e.what());
        }
    }
    return 0;
}
