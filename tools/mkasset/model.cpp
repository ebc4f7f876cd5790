// mkasset model: a clump of one atomic holding a box, a cylinder or a grid.

#include <png.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/commands.h"
#include "tools/mkasset/shapes.h"

namespace mkasset {

namespace {

constexpr const char* kName = "model";
constexpr int kMaxVertices = 65535;
constexpr std::size_t kMaxTextureName = 31; // the engine keeps texture names in 32 bytes

// Material effects: the extension id, and the textures an effect needs, written beside the model.
constexpr std::uint32_t kEffectsId = 0x120;
constexpr int kEffectTextureSide = 64;
enum class Effect { None, Bump, Env, Dual };

// The effect's texture: bump heights (grey domes, brightest at their centres), an environment
// (a sky over a dark ground, no alpha) or a dual texture (diagonal stripes, their alpha falling
// off across each stripe).
bool WriteEffectTexture(Effect effect, const std::string& path) {
    const int n = kEffectTextureSide;
    std::vector<png_byte> rgba(static_cast<std::size_t>(n * n * 4));
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            png_byte* p = &rgba[static_cast<std::size_t>((y * n + x) * 4)];
            int r = 0, g = 0, b = 0, a = 255;
            if (effect == Effect::Bump) {
                const double dx = (x % 16) - 7.5, dy = (y % 16) - 7.5;
                const double h = std::max(0.0, 1.0 - (dx * dx + dy * dy) / 64.0);
                r = g = b = static_cast<int>(std::lround(40.0 + 215.0 * h));
            } else if (effect == Effect::Env) {
                const double t = static_cast<double>(y) / (n - 1);
                r = static_cast<int>(std::lround(t < 0.5 ? 90 + 120 * t : 60));
                g = static_cast<int>(std::lround(t < 0.5 ? 150 + 100 * t : 50));
                b = static_cast<int>(std::lround(t < 0.5 ? 255 : 40));
            } else {
                const int stripe = (x + y) % 16;
                r = 255;
                g = 200;
                b = 40;
                a = stripe < 8 ? 255 - stripe * 28 : 0;
            }
            p[0] = static_cast<png_byte>(r);
            p[1] = static_cast<png_byte>(g);
            p[2] = static_cast<png_byte>(b);
            p[3] = static_cast<png_byte>(a);
        }
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = n;
    image.height = n;
    image.format = effect == Effect::Dual ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    std::vector<png_byte> pixels;
    if (effect != Effect::Dual) {
        for (std::size_t i = 0; i < rgba.size(); i += 4) {
            pixels.insert(pixels.end(), rgba.begin() + static_cast<std::ptrdiff_t>(i),
                          rgba.begin() + static_cast<std::ptrdiff_t>(i + 3));
        }
    }
    return png_image_write_to_file(&image, path.c_str(), 0, effect == Effect::Dual ? rgba.data() : pixels.data(), 0,
                                   nullptr) != 0;
}

const char* EffectTextureName(Effect effect) {
    return effect == Effect::Bump ? "fxgrain" : effect == Effect::Env ? "fxsky" : "fxdetail";
}

// The material extension body of the effect: its type, its slot naming the texture, an empty
// second slot. Bump: coefficient 1.5 stored negated, only the source texture (the bump texture is
// made from it when read); environment: coefficient 0.5; dual: blend pair 5, 6 (the texture over
// the base by its alpha).
Bytes EffectBody(Effect effect) {
    ChunkWriter w;
    TextureDesc texture;
    texture.name = EffectTextureName(effect);
    switch (effect) {
    case Effect::Bump:
        w.U32(1);
        w.U32(1);
        w.F32(-1.5f);
        w.U32(0);
        w.U32(1);
        break;
    case Effect::Env:
        w.U32(2);
        w.U32(2);
        w.F32(0.5f);
        w.U32(0);
        w.U32(1);
        break;
    default:
        w.U32(4);
        w.U32(4);
        w.U32(5);
        w.U32(6);
        w.U32(1);
        break;
    }
    WriteTexture(w, texture);
    w.U32(0);
    return w.Data();
}

} // namespace

void ModelUsage(std::FILE* out) {
    std::fprintf(out, "usage: mkasset model --kind box|cylinder|grid --size N [--materials K] [--texture FILE.png]\n"
                      "                     [--effect bump|env|dual] [--no-collision] --out FILE.dff\n"
                      "  Writes a clump of one atomic on one frame with the shape's geometry (normals, one\n"
                      "  texture-coordinate set, one morph target) and its material list.\n"
                      "  --kind grid      N x N quads on the unit square: (N+1)^2 vertices, 2 N^2 triangles\n"
                      "  --kind box       the unit cube, each face N x N quads: 6 (N+1)^2 vertices, 12 N^2 triangles\n"
                      "  --kind cylinder  N segments round (N >= 3) with both caps: 4 N + 4 vertices, 4 N triangles\n"
                      "  --materials K    K materials (default 1), quads cycling through them\n"
                      "  --texture FILE   the first material is textured with the image FILE, named in the\n"
                      "                   file by its name without folder and extension\n"
                      "  --effect E       every material gets a surface effect and the atomic is marked for it;\n"
                      "                   the effect's 64x64 texture is written beside FILE.dff:\n"
                      "                   bump  bump map of coefficient 1.5 from fxgrain.png (grey domes)\n"
                      "                   env   environment map of coefficient 0.5 with fxsky.png\n"
                      "                   dual  fxdetail.png (stripes with alpha) blended over the base\n"
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
    Effect effect = Effect::None;
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
        } else if (arg == "--effect") {
            const std::string name = value;
            if (name == "bump") {
                effect = Effect::Bump;
            } else if (name == "env") {
                effect = Effect::Env;
            } else if (name == "dual") {
                effect = Effect::Dual;
            } else {
                return Fail(kName, kExitUsage, "bad --effect '" + name + "' (bump, env or dual)");
            }
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
    if (effect != Effect::None) {
        const std::filesystem::path folder = std::filesystem::path(out).parent_path();
        const std::string image = (folder / (std::string(EffectTextureName(effect)) + ".png")).string();
        if (!WriteEffectTexture(effect, image)) {
            return Fail(kName, kExitFailed, "cannot write " + image);
        }
        const Bytes body = EffectBody(effect);
        for (GeometryDesc& geometry : clump.geometries) {
            for (MaterialDesc& material : geometry.materialList.materials) {
                material.extensions.push_back({kEffectsId, body});
            }
        }
        for (AtomicDesc& atomic : clump.atomics) {
            atomic.extensions.push_back({kEffectsId, {1, 0, 0, 0}});
        }
    }
    const Bytes bytes = ClumpFile(clump);
    return WriteFile(kName, out, bytes) ? kExitOk : kExitFailed;
}

} // namespace mkasset
