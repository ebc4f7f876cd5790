// mkasset spline: a spline file (one chunk of type 12) through the given points.

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/mkasset/chunk_writer.h"
#include "tools/mkasset/commands.h"

namespace mkasset {

namespace {

constexpr const char* kName = "spline";
constexpr std::uint32_t kSplineChunk = 12;
constexpr std::size_t kNameBytes = 32; // the name field; no terminator needed when full
constexpr int kMaxPoints = 1 << 20;

// "x,y,z;x,y,z;..." into triples; false (with the bad part in *bad) when a part is not three
// finite numbers.
bool ParsePoints(const std::string& text, std::vector<float>* out, std::string* bad) {
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(';', start), text.size());
        const std::string part = text.substr(start, end - start);
        const char* p = part.c_str();
        for (int k = 0; k < 3; ++k) {
            char* stop = nullptr;
            errno = 0;
            const float v = std::strtof(p, &stop);
            if (stop == p || errno != 0 || !std::isfinite(v) || (k < 2 && *stop != ',') || (k == 2 && *stop != '\0')) {
                *bad = part;
                return false;
            }
            out->push_back(v);
            p = stop + 1;
        }
        if (end == text.size()) {
            break;
        }
        start = end + 1;
    }
    return true;
}

} // namespace

std::vector<unsigned char> SplineFile(const std::string& fullName, const std::vector<float>& xyz, bool closed) {
    std::string name = fullName;
    name.resize(std::min(name.size(), kNameBytes));
    ChunkWriter w;
    w.Begin(kSplineChunk);
    for (std::size_t i = 0; i < kNameBytes; ++i) {
        w.U8(i < name.size() ? static_cast<std::uint8_t>(name[i]) : 0);
    }
    w.I32(static_cast<std::int32_t>(xyz.size() / 3));
    w.I32(closed ? 2 : 1);
    for (float v : xyz) {
        w.F32(v);
    }
    w.End();
    return w.Data();
}

void SplineUsage(std::FILE* out) {
    std::fprintf(out, "usage: mkasset spline --points X,Y,Z;X,Y,Z;... [--closed] --out FILE\n"
                      "  Writes a spline through the points: one chunk (type 12) holding a 32-byte name (the\n"
                      "  file's name without folder and extension, cut to 32 bytes), the point count, the type\n"
                      "  (1 open, 2 closed) and the points as three 32-bit floats each.\n"
                      "  --points  at least 4 points for an open spline, 1 for a closed one; quote the list,\n"
                      "            the shell takes ';' otherwise\n"
                      "  --closed  the curve returns to its first point\n"
                      "  Exit status 0 on success, 1 when the file cannot be written, 2 on bad usage.\n");
}

int RunSpline(int argc, char** argv) {
    std::string points, out;
    bool closed = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--closed") {
            closed = true;
            continue;
        }
        if (arg != "--points" && arg != "--out") {
            return Fail(kName, kExitUsage, "unknown argument " + arg);
        }
        if (i + 1 >= argc) {
            return Fail(kName, kExitUsage, "missing value after " + arg);
        }
        (arg == "--points" ? points : out) = argv[++i];
    }
    if (points.empty() || out.empty()) {
        return Fail(kName, kExitUsage, points.empty() ? "--points is required" : "--out is required");
    }
    std::vector<float> xyz;
    std::string bad;
    if (!ParsePoints(points, &xyz, &bad)) {
        return Fail(kName, kExitUsage, "bad point '" + bad + "' in --points (X,Y,Z with ';' between points)");
    }
    const int n = static_cast<int>(xyz.size() / 3);
    const int least = closed ? 1 : 4;
    if (n < least || n > kMaxPoints) {
        return Fail(kName, kExitUsage,
                    "--points has " + std::to_string(n) + " points; " + (closed ? "a closed" : "an open") +
                        " spline needs " + std::to_string(least) + " to " + std::to_string(kMaxPoints));
    }
    if (!WriteFile(kName, out, SplineFile(std::filesystem::path(out).stem().string(), xyz, closed))) {
        return kExitFailed;
    }
    return kExitOk;
}

} // namespace mkasset
