// physics_hull: the convex hull of a point list (or of the unit cube) as the physics engine
// builds it, with its vertex, face and half-edge counts, volume, inertia and thickness.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "physics/qhull/convex_hull.h"
#include "tools/physics_hull/points_file.h"

namespace {

const char kUsage[] = "usage: physics_hull --cube | --points FILE [--verbose]\n"
                      "\n"
                      "Builds the convex hull of the points and prints one line:\n"
                      "  V=<vertices> F=<faces> E=<half-edges> volume=<v> inertia=<moments> thickness=<t>\n"
                      "inertia is the inertia per unit mass about the centre of mass along the principal axes, one\n"
                      "number when all three agree, else three separated by commas; thickness is the width along the\n"
                      "axis of largest moment.\n"
                      "\n"
                      "  --cube          the eight corners of the unit cube\n"
                      "  --points FILE   one point per line: three numbers separated by spaces, tabs or commas;\n"
                      "                  empty lines and lines starting with '#' are skipped\n"
                      "  --verbose       also print qhull's summary to standard error\n"
                      "  --help          this text\n"
                      "\n"
                      "Exit status: 0 success, 1 no hull (fewer than four points, all coplanar or the same, or a\n"
                      "hull whose block would pass 65,535 bytes), 2 bad arguments or file.\n";

int Usage(const char* problem, const char* argument) {
    std::fprintf(stderr, "physics_hull: %s '%s'\n%s", problem, argument, kUsage);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    bool cube = false, verbose = false;
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--cube") == 0) {
            cube = true;
        } else if (std::strcmp(argv[i], "--verbose") == 0) {
            verbose = true;
        } else if (std::strcmp(argv[i], "--points") == 0) {
            if (i + 1 >= argc) {
                return Usage("missing file after", argv[i]);
            }
            file = argv[++i];
        } else {
            return Usage("unknown argument", argv[i]);
        }
    }
    if (cube == (file != nullptr)) {
        return Usage("give exactly one of --cube and --points FILE", cube ? "--cube" : "");
    }
    std::vector<float> points;
    if (cube) {
        for (int c = 0; c < 8; ++c) {
            points.insert(points.end(), {(c & 1) ? 1.0f : 0.0f, (c & 2) ? 1.0f : 0.0f, (c & 4) ? 1.0f : 0.0f});
        }
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "physics_hull: %s: cannot open the file\n", file);
            return 2;
        }
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad()) {
            std::fprintf(stderr, "physics_hull: %s: cannot read the file\n", file);
            return 2;
        }
        PointsParseError error;
        if (!ParsePoints(text.data(), text.size(), &points, &error)) {
            std::fprintf(stderr, "physics_hull: %s:%zu: %s\n", file, error.line, error.message.c_str());
            return 2;
        }
    }
    const OvInt32 count = static_cast<OvInt32>(points.size() / 3);
    OvpConvexHullFailure why;
    OvpConvexHull* hull = OvpConvexHullCreateFromPoints(count, points.data(), nullptr,
                                                        verbose ? reinterpret_cast<void*>(2) : nullptr, &why);
    if (hull == nullptr) {
        const char* name = cube ? "--cube" : file;
        if (why.cause == OvpConvexHullFailure::ovpHULL_TOOLARGE) {
            std::fprintf(stderr,
                         "physics_hull: %s: the hull of %d points has %d vertices, %d faces and %d half-edges, which "
                         "need %zu bytes: over the %zu-byte limit of a hull block (16-bit offsets)\n",
                         name, count, why.vertices, why.faces, why.edges, why.bytes, ovpHULLMAXBYTES);
        } else if (why.cause == OvpConvexHullFailure::ovpHULL_NOMEMORY) {
            std::fprintf(stderr, "physics_hull: %s: out of memory for the hull of %d points\n", name, count);
        } else {
            std::fprintf(stderr, "physics_hull: %s: no hull of %d points (fewer than four, all coplanar or the same)\n",
                         name, count);
        }
        return 1;
    }
    OvpConvexHullComputeMassProperties(hull);
    char moments[3][32];
    const float d[3] = {hull->inertia.diagonal.x, hull->inertia.diagonal.y, hull->inertia.diagonal.z};
    for (int i = 0; i < 3; ++i) {
        std::snprintf(moments[i], sizeof(moments[i]), "%g", d[i]);
    }
    std::string inertia = moments[0];
    if (std::strcmp(moments[0], moments[1]) != 0 || std::strcmp(moments[0], moments[2]) != 0) {
        inertia = inertia + "," + moments[1] + "," + moments[2];
    }
    std::printf("V=%d F=%d E=%d volume=%g inertia=%s thickness=%g\n", hull->vertexCount, hull->faceCount,
                hull->edgeCount, hull->volume, inertia.c_str(), hull->thickness);
    OvpConvexHullRelease(hull);
    return 0;
}
