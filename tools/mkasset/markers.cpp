// mkasset markers: what the framework's camera and input managers load besides the level: the
// mouse pointer and the first-person crosshair images, and the path camera's spline.

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tools/mkasset/bmp_writer.h"
#include "tools/mkasset/commands.h"

namespace mkasset {

namespace {

constexpr const char* kName = "markers";
constexpr int kPointerSide = 16;
constexpr int kTargetSide = 8;

// The pointer: a white arrow with a black edge, its tip at the top-left corner, on dark grey.
std::vector<unsigned char> PointerPixels() {
    std::vector<unsigned char> rgb(static_cast<std::size_t>(kPointerSide * kPointerSide * 3), 40);
    for (int y = 0; y < kPointerSide; ++y) {
        for (int x = 0; x < kPointerSide; ++x) {
            const bool inside = x <= y && x + y / 2 < kPointerSide - 2;
            const bool edge = inside && (x == 0 || x == y || x + y / 2 >= kPointerSide - 4);
            unsigned char* p = &rgb[static_cast<std::size_t>((y * kPointerSide + x) * 3)];
            if (inside) {
                p[0] = p[1] = p[2] = edge ? 0 : 255;
            }
        }
    }
    return rgb;
}

} // namespace

const float kCameraSplinePoints[kCameraSplineCount][3] = {
    {-9.0f, 4.0f, -9.0f}, {0.0f, 5.0f, -10.0f}, {9.0f, 4.0f, -9.0f}, {10.0f, 5.0f, 0.0f},
    {9.0f, 4.0f, 9.0f},   {0.0f, 5.0f, 10.0f},  {-9.0f, 4.0f, 9.0f}, {-6.0f, 3.0f, 0.0f},
};

bool WriteMarkers(const std::string& dir, std::string* error) {
    const std::filesystem::path root(dir);
    std::error_code ec;
    for (const char* sub : {"textures", "revolution"}) {
        std::filesystem::create_directories(root / "models" / sub, ec);
        if (ec) {
            *error = "cannot create " + (root / "models" / sub).string();
            return false;
        }
    }
    std::vector<unsigned char> target(static_cast<std::size_t>(kTargetSide * kTargetSide * 3));
    for (std::size_t i = 0; i < target.size(); i += 3) {
        target[i] = 40; // a bright green the scene does not use elsewhere
        target[i + 1] = 255;
        target[i + 2] = 40;
    }
    std::vector<float> points;
    for (const auto& p : kCameraSplinePoints) {
        points.insert(points.end(), p, p + 3);
    }
    const struct {
        std::filesystem::path path;
        std::vector<unsigned char> bytes;
    } files[] = {
        {root / "models" / "textures" / "pointer.bmp", BmpFile(kPointerSide, kPointerSide, PointerPixels())},
        {root / "models" / "textures" / "target.bmp", BmpFile(kTargetSide, kTargetSide, target)},
        {root / "models" / "revolution" / "spline.ovs", SplineFile("spline", points, false)},
    };
    for (const auto& f : files) {
        if (!WriteFile(kName, f.path.string(), f.bytes)) {
            *error = "cannot write " + f.path.string();
            return false;
        }
    }
    return true;
}

void MarkersUsage(std::FILE* out) {
    std::fprintf(out, "usage: mkasset markers --out DIR\n"
                      "  Writes what the framework's camera and input managers load:\n"
                      "    DIR/models/textures/pointer.bmp   the mouse pointer, 16 x 16 (POINTER.BMP)\n"
                      "    DIR/models/textures/target.bmp    the first-person crosshair, 8 x 8 green (TARGET.BMP)\n"
                      "    DIR/models/revolution/spline.ovs  the path camera's open spline, a loop round the\n"
                      "                                      origin 4 to 5 metres up, 9 to 10 metres out\n"
                      "  The framework finds them whatever the case of their names. DIR and its folders are created.\n"
                      "  Exit status 0 on success, 1 when a file cannot be written, 2 on bad usage.\n");
}

int RunMarkers(int argc, char** argv) {
    std::string out;
    if (const int status = ParseOutOnly(kName, argc, argv, &out); status != kExitOk) {
        return status;
    }
    std::string error;
    if (!WriteMarkers(out, &error)) {
        return Fail(kName, kExitFailed, error);
    }
    return kExitOk;
}

} // namespace mkasset
