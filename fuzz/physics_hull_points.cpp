// Point files of physics_hull. A file that parses prints back (%.9g) to the same floats; up to
// 200 of its points go through the hull builder, whose hull must be a closed polyhedron whose
// support search finds the furthest vertex.

#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "physics/core/utils/math.h"
#include "physics/qhull/convex_hull.h"
#include "tools/physics_hull/points_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<float> points;
    PointsParseError error;
    if (!ParsePoints(reinterpret_cast<const char*>(data), size, &points, &error)) {
        if (error.line == 0 || error.message.empty()) {
            std::abort(); // a refusal names its line and fault
        }
        return 0;
    }
    std::string printed;
    for (std::size_t i = 0; i < points.size(); i += 3) {
        char line[64];
        std::snprintf(line, sizeof(line), "%.9g %.9g %.9g\n", points[i], points[i + 1], points[i + 2]);
        printed += line;
    }
    std::vector<float> again;
    if (!ParsePoints(printed.data(), printed.size(), &again, &error) || again != points) {
        std::abort(); // the printed points do not read back
    }
    const OvInt32 count = static_cast<OvInt32>(std::min<std::size_t>(points.size() / 3, 200));
    OvpConvexHull* hull = OvpConvexHullCreateFromPoints(count, points.data(), nullptr, nullptr);
    if (hull != nullptr) {
        if (hull->vertexCount - hull->edgeCount / 2 + hull->faceCount != 2) {
            std::abort(); // not a closed polyhedron
        }
        // The support from any start is the furthest vertex, along the axes and along directions
        // taken from the input (whose flat parts and near ties a climb must get past).
        std::vector<OvV3d> directions = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
        for (OvInt32 i = 0; i < count && i < 8; ++i) {
            directions.push_back({points[3 * i], points[3 * i + 1], points[3 * i + 2]});
        }
        for (const OvV3d& d : directions) {
            float best = -FLT_MAX;
            for (int i = 0; i < hull->vertexCount; ++i) {
                best = std::max(best, OvpDot(d, hull->vertices[i]));
            }
            for (int start : {0, hull->vertexCount / 2, hull->vertexCount - 1}) {
                OvInt32 vertex = -1;
                if (OvpConvexHullSupport(hull, &d, start, FLT_MAX, &vertex) != best ||
                    OvpDot(d, hull->vertices[vertex]) != best) {
                    std::abort(); // the support stopped short of the furthest vertex
                }
            }
        }
        OvpConvexHullComputeMassProperties(hull);
        OvpConvexHullRelease(hull);
    }
    return 0;
}
