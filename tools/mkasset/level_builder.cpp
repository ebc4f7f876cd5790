#include "tools/mkasset/level_builder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <numeric>
#include <tuple>

namespace mkasset {

namespace {

constexpr std::uint32_t kLevelFlags = 0x02 | 0x04 | 0x08 | 0x10 | 0x20 | kWorldSectorsOverlap;
constexpr int kMaxDepth = 64;
constexpr float kClearRadius = 2.5f; // no block within this distance of the origin (where a player starts)
constexpr float kWallMargin = 1.0f;  // blocks keep this far from the walls

// Deterministic numbers from the seed (the same on every platform).
class Random {
public:
    explicit Random(std::uint32_t seed) : m_state(0x9E3779B97F4A7C15ull ^ seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Whole number in [0, n).
    int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }

private:
    std::uint64_t m_state;
};

struct Vertex {
    float p[3];
    std::int8_t n[3];
    float uv[2];
    std::uint8_t rgba[4];
    auto Key() const {
        return std::make_tuple(p[0], p[1], p[2], n[0], n[1], n[2], uv[0], uv[1], rgba[0], rgba[1], rgba[2], rgba[3]);
    }
};

struct Triangle {
    Vertex v[3];
    std::uint16_t material;
    float centre[3];
};

enum Material : std::uint16_t { kFloor = 0, kWall = 1, kBlock = 2 };

// Prelit colour: a material's tone, darker near the floor and on faces turned from the sky.
void Shade(Vertex& v, Material m, const float normal[3]) {
    static const float tones[3][3] = {{0.75f, 0.72f, 0.65f}, {0.70f, 0.70f, 0.74f}, {0.62f, 0.50f, 0.36f}};
    const float height = std::min(1.0f, v.p[1] / 2.0f);
    const float light = (0.55f + 0.45f * height) * (0.8f + 0.2f * normal[1]);
    for (int i = 0; i < 3; ++i) {
        v.rgba[i] = static_cast<std::uint8_t>(std::lround(255.0f * std::clamp(tones[m][i] * light, 0.0f, 1.0f)));
    }
    v.rgba[3] = 255;
}

// Emits a face of the level: the rectangle origin + s * u + t * v for s in [0, lenU], t in
// [0, lenV], cut into tiles of at most a metre, facing along normal (u x v points along it).
void Face(std::vector<Triangle>& out, const float origin[3], const float u[3], const float v[3], float lenU, float lenV,
          Material m) {
    float normal[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    const int tilesU = std::max(1, static_cast<int>(std::ceil(lenU - 1e-4f)));
    const int tilesV = std::max(1, static_cast<int>(std::ceil(lenV - 1e-4f)));
    auto corner = [&](int i, int j) {
        const float s = lenU * static_cast<float>(i) / static_cast<float>(tilesU);
        const float t = lenV * static_cast<float>(j) / static_cast<float>(tilesV);
        Vertex x{};
        for (int k = 0; k < 3; ++k) {
            x.p[k] = origin[k] + s * u[k] + t * v[k];
            x.n[k] = static_cast<std::int8_t>(std::lround(normal[k] * 127.0f));
        }
        // Texture coordinates in metres along the face, repeating every two metres.
        x.uv[0] = s / 2.0f;
        x.uv[1] = t / 2.0f;
        Shade(x, m, normal);
        return x;
    };
    for (int i = 0; i < tilesU; ++i) {
        for (int j = 0; j < tilesV; ++j) {
            const Vertex a = corner(i, j), b = corner(i + 1, j), c = corner(i + 1, j + 1), d = corner(i, j + 1);
            for (const std::array<const Vertex*, 3>& t : {std::array{&a, &b, &c}, std::array{&a, &c, &d}}) {
                Triangle tri{{*t[0], *t[1], *t[2]}, m, {}};
                for (int k = 0; k < 3; ++k) {
                    tri.centre[k] = (tri.v[0].p[k] + tri.v[1].p[k] + tri.v[2].p[k]) / 3.0f;
                }
                out.push_back(tri);
            }
        }
    }
}

std::vector<Triangle> LevelTriangles(const LevelOptions& o) {
    std::vector<Triangle> tris;
    const float half = static_cast<float>(o.size) / 2.0f;
    const float x[3] = {1, 0, 0}, y[3] = {0, 1, 0}, z[3] = {0, 0, 1};
    const float nx[3] = {-1, 0, 0}, nz[3] = {0, 0, -1};
    // Floor (facing up: z x x = y).
    const float floorAt[3] = {-half, 0, -half};
    Face(tris, floorAt, z, x, static_cast<float>(o.size), static_cast<float>(o.size), kFloor);
    // Walls, facing in.
    const float h = kLevelWallHeight;
    const float w0[3] = {-half, 0, -half}, w1[3] = {half, 0, -half}, w2[3] = {half, 0, half}, w3[3] = {-half, 0, half};
    const auto side = static_cast<float>(o.size);
    Face(tris, w0, x, y, side, h, kWall);  // z = -half, facing +z
    Face(tris, w1, z, y, side, h, kWall);  // x = +half, facing -x
    Face(tris, w2, nx, y, side, h, kWall); // z = +half, facing -z
    Face(tris, w3, nz, y, side, h, kWall); // x = -half, facing +x
    for (const LevelBlock& block : LevelBlocks(o)) {
        const float* lo = block.min;
        const float* hi = block.max;
        const float w = hi[0] - lo[0], d = hi[2] - lo[2], bh = hi[1];
        const float sideA[3] = {lo[0], 0, lo[2]}, sideB[3] = {hi[0], 0, lo[2]}, sideC[3] = {hi[0], 0, hi[2]},
                    sideD[3] = {lo[0], 0, hi[2]}, top[3] = {lo[0], bh, lo[2]};
        Face(tris, sideA, y, x, bh, w, kBlock);  // z = lo, facing -z (y x x = -z)
        Face(tris, sideB, y, z, bh, d, kBlock);  // x = hi, facing +x (y x z = x)
        Face(tris, sideC, y, nx, bh, w, kBlock); // z = hi, facing +z
        Face(tris, sideD, y, nz, bh, d, kBlock); // x = lo, facing -x
        Face(tris, top, z, x, d, w, kBlock);     // top, facing up
    }
    return tris;
}

class TreeBuilder {
public:
    TreeBuilder(const std::vector<Triangle>& tris, int maxTris, WorldDesc& world)
        : m_tris(tris), m_maxTris(maxTris), m_world(world) {}

    std::size_t Build(std::vector<std::size_t> items, int depth) {
        const std::size_t index = m_world.nodes.size();
        m_world.nodes.emplace_back();
        int axis = -1;
        if (static_cast<int>(items.size()) > m_maxTris && depth < kMaxDepth) {
            axis = ChooseAxis(items);
        }
        if (axis < 0) {
            m_world.nodes[index].type = -1;
            m_world.nodes[index].sector = Leaf(items);
            return index;
        }
        std::stable_sort(items.begin(), items.end(),
                         [&](std::size_t a, std::size_t b) { return m_tris[a].centre[axis] < m_tris[b].centre[axis]; });
        const std::size_t mid = items.size() / 2;
        std::vector<std::size_t> left(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(mid));
        std::vector<std::size_t> right(items.begin() + static_cast<std::ptrdiff_t>(mid), items.end());
        float leftValue = -INFINITY, rightValue = INFINITY;
        for (std::size_t t : left) {
            for (const Vertex& v : m_tris[t].v) {
                leftValue = std::max(leftValue, v.p[axis]);
            }
        }
        for (std::size_t t : right) {
            for (const Vertex& v : m_tris[t].v) {
                rightValue = std::min(rightValue, v.p[axis]);
            }
        }
        const float value = (m_tris[left.back()].centre[axis] + m_tris[right.front()].centre[axis]) / 2.0f;
        const std::size_t l = Build(std::move(left), depth + 1);
        const std::size_t r = Build(std::move(right), depth + 1);
        SectorNodeDesc& n = m_world.nodes[index];
        n.type = 4 * axis;
        n.value = value;
        n.leftValue = leftValue;
        n.rightValue = rightValue;
        n.left = l;
        n.right = r;
        return index;
    }

private:
    // The axis along which the centres spread most, or -1 when they all coincide.
    int ChooseAxis(const std::vector<std::size_t>& items) const {
        int best = -1;
        float bestSpread = 0;
        for (int a = 0; a < 3; ++a) {
            float lo = INFINITY, hi = -INFINITY;
            for (std::size_t t : items) {
                lo = std::min(lo, m_tris[t].centre[a]);
                hi = std::max(hi, m_tris[t].centre[a]);
            }
            if (hi - lo > bestSpread) {
                bestSpread = hi - lo;
                best = a;
            }
        }
        return best;
    }

    AtomicSectorDesc Leaf(const std::vector<std::size_t>& items) const {
        AtomicSectorDesc s;
        s.texCoordSets.resize(1);
        std::map<decltype(Vertex{}.Key()), std::uint16_t> index;
        for (int k = 0; k < 3; ++k) {
            s.min[k] = INFINITY;
            s.max[k] = -INFINITY;
        }
        for (std::size_t t : items) {
            TriangleDesc tri;
            tri.material = m_tris[t].material;
            for (int c = 0; c < 3; ++c) {
                const Vertex& v = m_tris[t].v[c];
                auto [it, added] = index.emplace(v.Key(), static_cast<std::uint16_t>(s.verts.size() / 3));
                if (added) {
                    for (int k = 0; k < 3; ++k) {
                        s.verts.push_back(v.p[k]);
                        s.normals.push_back(static_cast<std::uint8_t>(v.n[k]));
                        s.prelit.push_back(v.rgba[k]);
                        s.min[k] = std::min(s.min[k], v.p[k]);
                        s.max[k] = std::max(s.max[k], v.p[k]);
                    }
                    s.normals.push_back(0);
                    s.prelit.push_back(v.rgba[3]);
                    s.texCoordSets[0].push_back(v.uv[0]);
                    s.texCoordSets[0].push_back(v.uv[1]);
                }
                tri.v[c] = it->second;
            }
            s.triangles.push_back(tri);
        }
        if (items.empty()) {
            for (int k = 0; k < 3; ++k) {
                s.min[k] = s.max[k] = 0;
            }
        }
        return s;
    }

    const std::vector<Triangle>& m_tris;
    int m_maxTris;
    WorldDesc& m_world;
};

MaterialDesc TexturedMaterial(const char* name, std::uint8_t grey) {
    MaterialDesc m;
    m.color[0] = m.color[1] = m.color[2] = grey;
    m.textured = true;
    m.texture.name = name;
    return m;
}

} // namespace

std::vector<LevelBlock> LevelBlocks(const LevelOptions& o) {
    std::vector<LevelBlock> blocks;
    const float half = static_cast<float>(o.size) / 2.0f;
    // Footprints of 1 to 3 metres in half metres, heights of 1.8 to 3 metres.
    Random random(o.seed);
    for (int b = 0; b < o.boxes; ++b) {
        float w = 0, d = 0, bh = 0, cx = 0, cz = 0;
        for (int attempt = 0; attempt < 64; ++attempt) {
            w = 1.0f + 0.5f * static_cast<float>(random.Below(5));
            d = 1.0f + 0.5f * static_cast<float>(random.Below(5));
            bh = o.blockMinHeight + 0.1f * static_cast<float>(random.Below(13));
            const float roomX = std::max(0.0f, half - kWallMargin - w / 2.0f);
            const float roomZ = std::max(0.0f, half - kWallMargin - d / 2.0f);
            const int stepsX = std::max(1, static_cast<int>(2.0f * roomX));
            const int stepsZ = std::max(1, static_cast<int>(2.0f * roomZ));
            cx = -roomX + 0.5f * static_cast<float>(random.Below(stepsX + 1));
            cz = -roomZ + 0.5f * static_cast<float>(random.Below(stepsZ + 1));
            cx = std::clamp(cx, -roomX, roomX);
            cz = std::clamp(cz, -roomZ, roomZ);
            const float ex = std::max(0.0f, std::abs(cx) - w / 2.0f), ez = std::max(0.0f, std::abs(cz) - d / 2.0f);
            if (ex * ex + ez * ez > kClearRadius * kClearRadius) {
                break;
            }
        }
        blocks.push_back({{cx - w / 2.0f, 0, cz - d / 2.0f}, {cx + w / 2.0f, bh, cz + d / 2.0f}});
    }
    blocks.insert(blocks.end(), o.placed.begin(), o.placed.end());
    return blocks;
}

WorldDesc LevelWorld(const LevelOptions& options) {
    const std::vector<Triangle> tris = LevelTriangles(options);
    WorldDesc world;
    world.flags = kLevelFlags;
    world.materialList =
        MaterialListOf({TexturedMaterial("floor", 255), TexturedMaterial("wall", 255), TexturedMaterial("block", 255)});
    for (int k = 0; k < 3; ++k) {
        world.min[k] = INFINITY;
        world.max[k] = -INFINITY;
    }
    for (const Triangle& t : tris) {
        for (const Vertex& v : t.v) {
            for (int k = 0; k < 3; ++k) {
                world.min[k] = std::min(world.min[k], v.p[k]);
                world.max[k] = std::max(world.max[k], v.p[k]);
            }
        }
    }
    std::vector<std::size_t> items(tris.size());
    std::iota(items.begin(), items.end(), std::size_t{0});
    TreeBuilder(tris, options.maxTris, world).Build(std::move(items), 0);
    return world;
}

} // namespace mkasset
