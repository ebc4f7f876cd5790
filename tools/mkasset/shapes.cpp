#include "tools/mkasset/shapes.h"

#include <algorithm>
#include <cmath>

namespace mkasset {

namespace {

struct Builder {
    std::vector<float> verts, normals, uvs;
    std::vector<TriangleDesc> triangles;
    int materials = 1;

    std::uint16_t Vertex(float x, float y, float z, float nx, float ny, float nz, float u, float v) {
        const auto index = static_cast<std::uint16_t>(verts.size() / 3);
        verts.insert(verts.end(), {x, y, z});
        normals.insert(normals.end(), {nx, ny, nz});
        uvs.insert(uvs.end(), {u, v});
        return index;
    }
    void Triangle(std::uint16_t a, std::uint16_t b, std::uint16_t c) {
        TriangleDesc t;
        t.v[0] = a;
        t.v[1] = b;
        t.v[2] = c;
        // Pairs of triangles (one quad) share a material; quads cycle through the materials.
        t.material = static_cast<std::uint16_t>((triangles.size() / 2) % static_cast<std::size_t>(materials));
        triangles.push_back(t);
    }
    // An n x n patch of quads: origin o, edge vectors e1 and e2 (whole patch), normal nrm.
    void Patch(int n, const float o[3], const float e1[3], const float e2[3], const float nrm[3]) {
        const auto base = static_cast<std::uint16_t>(verts.size() / 3);
        for (int j = 0; j <= n; ++j) {
            for (int i = 0; i <= n; ++i) {
                const float s = static_cast<float>(i) / static_cast<float>(n);
                const float t = static_cast<float>(j) / static_cast<float>(n);
                Vertex(o[0] + s * e1[0] + t * e2[0], o[1] + s * e1[1] + t * e2[1], o[2] + s * e1[2] + t * e2[2], nrm[0],
                       nrm[1], nrm[2], s, t);
            }
        }
        const int row = n + 1;
        for (int j = 0; j < n; ++j) {
            for (int i = 0; i < n; ++i) {
                const auto a = static_cast<std::uint16_t>(base + j * row + i);
                const auto b = static_cast<std::uint16_t>(a + 1);
                const auto c = static_cast<std::uint16_t>(a + row);
                const auto d = static_cast<std::uint16_t>(c + 1);
                Triangle(a, b, d);
                Triangle(a, d, c);
            }
        }
    }
};

void Grid(Builder& b, int n) {
    const float o[3] = {-0.5f, 0, -0.5f}, e1[3] = {1, 0, 0}, e2[3] = {0, 0, 1}, up[3] = {0, 1, 0};
    b.Patch(n, o, e1, e2, up);
}

void Box(Builder& b, int n) {
    // Six faces of the unit cube centred on the origin, each seen from outside.
    struct Face {
        float o[3], e1[3], e2[3], n[3];
    };
    const Face faces[6] = {
        {{-0.5f, -0.5f, 0.5f}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
        {{0.5f, -0.5f, -0.5f}, {-1, 0, 0}, {0, 1, 0}, {0, 0, -1}},
        {{0.5f, -0.5f, 0.5f}, {0, 0, -1}, {0, 1, 0}, {1, 0, 0}},
        {{-0.5f, -0.5f, -0.5f}, {0, 0, 1}, {0, 1, 0}, {-1, 0, 0}},
        {{-0.5f, 0.5f, 0.5f}, {1, 0, 0}, {0, 0, -1}, {0, 1, 0}},
        {{-0.5f, -0.5f, -0.5f}, {1, 0, 0}, {0, 0, 1}, {0, -1, 0}},
    };
    for (const Face& f : faces) {
        b.Patch(n, f.o, f.e1, f.e2, f.n);
    }
}

void Cylinder(Builder& b, int n) {
    const float pi = 3.14159265f;
    // Side: a ring at the bottom and one at the top, the seam vertex repeated for the texture.
    const auto side = static_cast<std::uint16_t>(b.verts.size() / 3);
    for (int i = 0; i <= n; ++i) {
        const float a = 2 * pi * static_cast<float>(i) / static_cast<float>(n);
        const float c = std::cos(a), s = std::sin(a);
        const float u = static_cast<float>(i) / static_cast<float>(n);
        b.Vertex(0.5f * c, -0.5f, 0.5f * s, c, 0, s, u, 0);
        b.Vertex(0.5f * c, 0.5f, 0.5f * s, c, 0, s, u, 1);
    }
    for (int i = 0; i < n; ++i) {
        const auto a = static_cast<std::uint16_t>(side + 2 * i);
        b.Triangle(a, static_cast<std::uint16_t>(a + 1), static_cast<std::uint16_t>(a + 3));
        b.Triangle(a, static_cast<std::uint16_t>(a + 3), static_cast<std::uint16_t>(a + 2));
    }
    // Caps: a centre and a ring each.
    for (int cap = 0; cap < 2; ++cap) {
        const float y = cap == 0 ? -0.5f : 0.5f;
        const float ny = cap == 0 ? -1.0f : 1.0f;
        const std::uint16_t centre = b.Vertex(0, y, 0, 0, ny, 0, 0.5f, 0.5f);
        for (int i = 0; i < n; ++i) {
            const float a = 2 * pi * static_cast<float>(i) / static_cast<float>(n);
            b.Vertex(0.5f * std::cos(a), y, 0.5f * std::sin(a), 0, ny, 0, 0.5f + 0.5f * std::cos(a),
                     0.5f + 0.5f * std::sin(a));
        }
        for (int i = 0; i < n; ++i) {
            const auto p = static_cast<std::uint16_t>(centre + 1 + i);
            const auto q = static_cast<std::uint16_t>(centre + 1 + (i + 1) % n);
            if (cap == 0) {
                b.Triangle(centre, p, q);
            } else {
                b.Triangle(centre, q, p);
            }
        }
    }
}

MaterialDesc PaletteMaterial(int index) {
    static const std::uint8_t palette[][3] = {{200, 200, 200}, {200, 60, 60},  {60, 200, 60},  {60, 60, 200},
                                              {200, 200, 60},  {200, 60, 200}, {60, 200, 200}, {120, 120, 120}};
    MaterialDesc m;
    const std::uint8_t* c = palette[index % 8];
    m.color[0] = c[0];
    m.color[1] = c[1];
    m.color[2] = c[2];
    m.color[3] = 255;
    return m;
}

} // namespace

std::int64_t ShapeVertexCount(ShapeKind kind, int size) {
    const std::int64_t n = size;
    switch (kind) {
    case ShapeKind::Grid:
        return (n + 1) * (n + 1);
    case ShapeKind::Box:
        return 6 * (n + 1) * (n + 1);
    case ShapeKind::Cylinder:
        return 2 * (n + 1) + 2 * (n + 1);
    }
    return 0;
}

std::int64_t ShapeTriangleCount(ShapeKind kind, int size) {
    const std::int64_t n = size;
    switch (kind) {
    case ShapeKind::Grid:
        return 2 * n * n;
    case ShapeKind::Box:
        return 12 * n * n;
    case ShapeKind::Cylinder:
        return 4 * n;
    }
    return 0;
}

GeometryDesc ShapeGeometry(const ShapeOptions& options) {
    Builder b;
    b.materials = options.materials > 0 ? options.materials : 1;
    switch (options.kind) {
    case ShapeKind::Grid:
        Grid(b, options.size);
        break;
    case ShapeKind::Box:
        Box(b, options.size);
        break;
    case ShapeKind::Cylinder:
        Cylinder(b, options.size);
        break;
    }
    GeometryDesc g;
    // Positions, one texture-coordinate set, normals, lit, modulated by the material colour.
    g.flags = 0x02 | 0x04 | 0x10 | 0x20 | 0x40;
    g.numVertices = static_cast<std::int32_t>(b.verts.size() / 3);
    g.texCoordSets.push_back(b.uvs);
    g.triangles = b.triangles;
    MorphTargetDesc target;
    // Every shape lies in the unit cube centred on the origin.
    float radius = 0;
    for (std::size_t i = 0; i < b.verts.size(); i += 3) {
        radius = std::max(radius, std::sqrt(b.verts[i] * b.verts[i] + b.verts[i + 1] * b.verts[i + 1] +
                                            b.verts[i + 2] * b.verts[i + 2]));
    }
    target.sphere[3] = radius;
    target.verts = b.verts;
    target.normals = b.normals;
    g.morphTargets.push_back(target);
    std::vector<MaterialDesc> materials;
    for (int i = 0; i < b.materials; ++i) {
        materials.push_back(PaletteMaterial(i));
    }
    if (!options.texture.empty()) {
        materials[0].textured = true;
        materials[0].texture.name = options.texture;
    }
    g.materialList = MaterialListOf(materials);
    return g;
}

ClumpDesc ModelClump(const ShapeOptions& options) {
    ClumpDesc clump;
    clump.frames.push_back(FrameDesc{});
    clump.geometries.push_back(ShapeGeometry(options));
    AtomicDesc atomic;
    atomic.frame = 0;
    atomic.geometry = 0;
    clump.atomics.push_back(atomic);
    return clump;
}

} // namespace mkasset
