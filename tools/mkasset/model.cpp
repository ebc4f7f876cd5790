// mkasset model: a clump of one atomic holding a box, a cylinder or a grid.

#include <filesystem>
#include <fstream>
#include <string>

#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/commands.h"
#include "tools/mkasset/shapes.h"

namespace mkasset {

namespace {

constexpr const char* kName = "model";
constexpr int kMaxVertices = 65535;
constexpr std::size_t kMaxTextureName = 31; // the engine keeps texture names in 32 bytes

} // namespace

void ModelUsage(std::FILE* out) {
    std::fprintf(out, "usage: mkasset model --kind box|cylinder|grid --size N [--materials K] [--texture FILE.png]\n"
                      "                     [--no-collision] --out FILE.dff\n"
                      "  Writes a clump of one atomic on one frame with the shape's geometry (normals, one\n"
                      "  texture-coordinate set, one morph target) and its material list.\n"
                      "  --kind grid      N x N quads on the unit square: (N+1)^2 vertices, 2 N^2 triangles\n"
                      "  --kind box       the unit cube, each face N x N quads: 6 (N+1)^2 vertices, 12 N^2 triangles\n"
                      "  --kind cylinder  N segments round (N >= 3) with both caps: 4 N + 4 vertices, 4 N triangles\n"
                      "  --materials K    K materials (default 1), quads cycling through them\n"
                      "  --texture FILE   the first material is textured with the image FILE, named in the\n"
                      "                   file by its name without folder and extension\n"
                      "  --no-collision   no collision data; without it the geometry carries a tree over\n"
                      "                   its triangles (leaves of at most 8), which can name at most 65535\n"
                      "                   triangles\n"
                      "  At most 65535 vertices. Exit status 0 on success, 1 when a file cannot be read or\n"
                      "  written, 2 on bad usage.\n");
}

int RunModel(int argc, char** argv) {
    ShapeOptions options;
    bool haveKind = false, haveSize = false;
    std::string out, texture;
    bool collision = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-collision") {
            collision = false;
            continue;
        }
        if (i + 1 >= argc) {
            return Fail(kName, kExitUsage, "missing value after " + arg);
        }
        const char* value = argv[++i];
        if (arg == "--kind") {
            const std::string kind = value;
            if (kind == "box") {
                options.kind = ShapeKind::Box;
            } else if (kind == "cylinder") {
                options.kind = ShapeKind::Cylinder;
            } else if (kind == "grid") {
                options.kind = ShapeKind::Grid;
            } else {
                return Fail(kName, kExitUsage, "bad --kind '" + kind + "' (box, cylinder or grid)");
            }
            haveKind = true;
        } else if (arg == "--size") {
            if (!ParseInt(value, &options.size) || options.size < 1) {
                return Fail(kName, kExitUsage, std::string("bad --size '") + value + "' (a whole number from 1)");
            }
            haveSize = true;
        } else if (arg == "--materials") {
            if (!ParseInt(value, &options.materials) || options.materials < 1 || options.materials > 0xFFFF) {
                return Fail(kName, kExitUsage,
                            std::string("bad --materials '") + value + "' (a whole number from 1 to 65535)");
            }
        } else if (arg == "--texture") {
            texture = value;
        } else if (arg == "--out") {
            out = value;
        } else {
            return Fail(kName, kExitUsage, "unknown argument " + arg);
        }
    }
    if (!haveKind || !haveSize || out.empty()) {
        return Fail(kName, kExitUsage,
                    !haveKind   ? "--kind is required"
                    : !haveSize ? "--size is required"
                                : "--out is required");
    }
    if (options.kind == ShapeKind::Cylinder && options.size < 3) {
        return Fail(kName, kExitUsage, "bad --size for a cylinder (at least 3 segments)");
    }
    if (ShapeVertexCount(options.kind, options.size) > kMaxVertices) {
        return Fail(kName, kExitUsage, "--size " + std::to_string(options.size) + " gives more than 65535 vertices");
    }
    if (!texture.empty()) {
        if (!std::ifstream(texture, std::ios::binary)) {
            return Fail(kName, kExitFailed, "cannot read texture " + texture);
        }
        options.texture = std::filesystem::path(texture).stem().string();
        if (options.texture.empty() || options.texture.size() > kMaxTextureName) {
            return Fail(kName, kExitUsage, "texture name of " + texture + " must be 1 to 31 characters");
        }
    }
    ClumpDesc clump = ModelClump(options);
    for (GeometryDesc& geometry : clump.geometries) {
        if (collision && !AddGeometryCollision(geometry)) {
            return Fail(kName, kExitUsage,
                        "--size " + std::to_string(options.size) + " gives " +
                            std::to_string(geometry.triangles.size()) +
                            " triangles; collision data name at most 65535 (--no-collision leaves them out)");
        }
    }
    const Bytes bytes = ClumpFile(clump);
    return WriteFile(kName, out, bytes) ? kExitOk : kExitFailed;
}

} // namespace mkasset
