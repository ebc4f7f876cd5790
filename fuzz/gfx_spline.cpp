// Splines: the input as a stream holding a spline chunk, read and evaluated.

#include <cstdint>

#include "fuzz/fuzz_kit.h"
#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"
#include "graphics/plugins/spline.h"

namespace {

void RegisterPlugins() { OvSplinePluginAttach(); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzkit::GraphicsEngine engine(RegisterPlugins);
    if (!engine.Up()) {
        return 0;
    }
    OvStream* stream = fuzzkit::OpenMemoryStream(data, size);
    OvUInt32 length = 0;
    if (stream != nullptr && OvStreamFindChunk(stream, ovID_SPLINE, &length, nullptr)) {
        if (OvSpline* spline = OvSplineStreamRead(stream, length)) {
            OvV3d p, tangent;
            for (float t : {-2.5f, 0.0f, 0.3f, 0.999999f, 1.0f, 7.25f}) {
                OvSplineEvaluate(spline, ovSPLINEPATHLINEAR, t, &p, &tangent);
                OvSplineEvaluate(spline, ovSPLINEPATHEASE, t, &p, nullptr);
            }
            OvSplineDestroy(spline);
        }
    }
    if (stream != nullptr) {
        OvStreamClose(stream, nullptr);
    }
    return 0;
}
