#include "tools/mkasset/collision_tree.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace mkasset {

namespace {

// Surface-area splits stop where the median splits still needed could take a path past this many
// nodes; the walks take 31.
constexpr int kSurfaceSplitDepth = 24;

struct Builder {
    const std::vector<float>& pos;
    const std::vector<std::array<std::uint16_t, 3>>& tris;
    int maxLeaf;
    std::vector<std::uint16_t> order;
    std::vector<CollisionNode> nodes;

    float Vert(std::uint16_t tri, int corner, int axis) const {
        return pos[3 * static_cast<std::size_t>(tris[tri][corner]) + axis];
    }
    float Centre(std::uint16_t tri, int axis) const {
        return Vert(tri, 0, axis) + Vert(tri, 1, axis) + Vert(tri, 2, axis);
    }
    void Range(std::size_t lo, std::size_t hi, int axis, float* mn, float* mx) const {
        *mn = std::numeric_limits<float>::max();
        *mx = std::numeric_limits<float>::lowest();
        for (std::size_t i = lo; i < hi; ++i) {
            for (int c = 0; c < 3; ++c) {
                *mn = std::min(*mn, Vert(order[i], c, axis));
                *mx = std::max(*mx, Vert(order[i], c, axis));
            }
        }
    }
    // Surface area of the box round the triangles at positions lo..hi-1.
    struct Box {
        float mn[3] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                       std::numeric_limits<float>::max()};
        float mx[3] = {std::numeric_limits<float>::lowest(), std::numeric_limits<float>::lowest(),
                       std::numeric_limits<float>::lowest()};
        void Add(const Builder& b, std::uint16_t tri) {
            for (int c = 0; c < 3; ++c) {
                for (int a = 0; a < 3; ++a) {
                    mn[a] = std::min(mn[a], b.Vert(tri, c, a));
                    mx[a] = std::max(mx[a], b.Vert(tri, c, a));
                }
            }
        }
        double Area() const {
            const double dx = mx[0] - mn[0], dy = mx[1] - mn[1], dz = mx[2] - mn[2];
            return dx * dy + dy * dz + dz * dx;
        }
    };
    void SortAlong(std::size_t lo, std::size_t hi, int axis) {
        std::sort(order.begin() + static_cast<std::ptrdiff_t>(lo), order.begin() + static_cast<std::ptrdiff_t>(hi),
                  [&](std::uint16_t x, std::uint16_t y) {
                      const float cx = Centre(x, axis);
                      const float cy = Centre(y, axis);
                      return cx < cy || (cx == cy && x < y);
                  });
    }
    // Node levels a median split down to leaves would take for count triangles.
    int MedianLevels(std::size_t count) const {
        int levels = 0;
        for (std::size_t n = count; n > static_cast<std::size_t>(maxLeaf); n = (n + 1) / 2) {
            ++levels;
        }
        return levels;
    }
    // The split of positions lo..hi-1 (sorted along the chosen axis on return) that a line is
    // least likely to have to test both sides of: the smallest sum of each side's triangle count
    // times its box's surface area, over the centre orders along x, y and z.
    void SurfaceSplit(std::size_t lo, std::size_t hi, int* axis, std::size_t* mid) {
        const std::size_t count = hi - lo;
        std::vector<double> rightCost(count + 1, 0.0);
        double best = std::numeric_limits<double>::max();
        for (int a = 0; a < 3; ++a) {
            SortAlong(lo, hi, a);
            Box box;
            for (std::size_t k = count; k-- > 1;) {
                box.Add(*this, order[lo + k]);
                rightCost[k] = box.Area() * static_cast<double>(count - k);
            }
            box = Box{};
            for (std::size_t k = 1; k < count; ++k) {
                box.Add(*this, order[lo + k - 1]);
                const double cost = box.Area() * static_cast<double>(k) + rightCost[k];
                if (cost < best) {
                    best = cost;
                    *axis = a;
                    *mid = lo + k;
                }
            }
        }
        SortAlong(lo, hi, *axis);
    }
    // The reference for positions lo..hi-1, building nodes in preorder; depth counts the nodes
    // above.
    CollisionRef Build(std::size_t lo, std::size_t hi, int depth) {
        const std::size_t count = hi - lo;
        if (count <= static_cast<std::size_t>(maxLeaf)) {
            return {0, static_cast<std::uint8_t>(count), static_cast<std::uint16_t>(lo)};
        }
        int axis = 0;
        std::size_t mid = lo + count / 2;
        if (depth + MedianLevels(count) < kSurfaceSplitDepth) {
            SurfaceSplit(lo, hi, &axis, &mid);
        } else {
            // Deep enough that uneven splits could outgrow the walks' stacks: halves from here.
            float best = -1;
            for (int a = 0; a < 3; ++a) {
                float mn = 0;
                float mx = 0;
                Range(lo, hi, a, &mn, &mx);
                if (mx - mn > best) {
                    best = mx - mn;
                    axis = a;
                }
            }
            std::nth_element(order.begin() + static_cast<std::ptrdiff_t>(lo),
                             order.begin() + static_cast<std::ptrdiff_t>(mid),
                             order.begin() + static_cast<std::ptrdiff_t>(hi), [&](std::uint16_t x, std::uint16_t y) {
                                 const float cx = Centre(x, axis);
                                 const float cy = Centre(y, axis);
                                 return cx < cy || (cx == cy && x < y);
                             });
        }
        const std::size_t index = nodes.size();
        nodes.emplace_back();
        float leftMin = 0;
        float leftMax = 0;
        float rightMin = 0;
        float rightMax = 0;
        Range(lo, mid, axis, &leftMin, &leftMax);
        Range(mid, hi, axis, &rightMin, &rightMax);
        const auto flags = static_cast<std::uint8_t>(4 * axis);
        CollisionRef left = Build(lo, mid, depth + 1);
        CollisionRef right = Build(mid, hi, depth + 1);
        left.flags = flags;
        right.flags = flags;
        nodes[index] = {left, leftMax, right, rightMin};
        return {flags, kCollisionNodeRef, static_cast<std::uint16_t>(index)};
    }
};

} // namespace

CollisionTree BuildCollisionTree(const std::vector<float>& positions,
                                 const std::vector<std::array<std::uint16_t, 3>>& triangles, int maxLeaf) {
    Builder b{positions, triangles, std::clamp(maxLeaf, 1, kCollisionMaxLeaf), {}, {}};
    CollisionTree tree;
    tree.numTriangles = static_cast<std::uint32_t>(triangles.size());
    b.order.resize(triangles.size());
    for (std::size_t i = 0; i < triangles.size(); ++i) {
        b.order[i] = static_cast<std::uint16_t>(i);
    }
    for (int a = 0; a < 3; ++a) {
        b.Range(0, triangles.size(), a, &tree.inf[a], &tree.sup[a]);
        if (triangles.empty()) {
            tree.inf[a] = 0;
            tree.sup[a] = 0;
        }
    }
    if (triangles.size() > static_cast<std::size_t>(b.maxLeaf)) {
        b.Build(0, triangles.size(), 0);
    }
    tree.nodes = std::move(b.nodes);
    tree.map = std::move(b.order);
    return tree;
}

Bytes CollisionBody(const CollisionTree& tree) {
    ChunkWriter w;
    w.U32(kVersion);
    w.Begin(kCollisionChunk);
    w.Begin(kStruct);
    w.U32(tree.map.empty() ? 0 : 1);
    for (float v : tree.inf) {
        w.F32(v);
    }
    for (float v : tree.sup) {
        w.F32(v);
    }
    w.U32(tree.numTriangles);
    w.U32(static_cast<std::uint32_t>(tree.nodes.size()));
    auto ref = [&](const CollisionRef& r) {
        w.U8(r.flags);
        w.U8(r.kind);
        w.U16(r.index);
    };
    for (const CollisionNode& n : tree.nodes) {
        ref(n.left);
        w.F32(n.leftMax);
        ref(n.right);
        w.F32(n.rightMin);
    }
    for (std::uint16_t m : tree.map) {
        w.U16(m);
    }
    w.End();
    w.End();
    return w.Data();
}

namespace {

std::vector<std::array<std::uint16_t, 3>> Corners(const std::vector<TriangleDesc>& triangles) {
    std::vector<std::array<std::uint16_t, 3>> out;
    out.reserve(triangles.size());
    for (const TriangleDesc& t : triangles) {
        out.push_back({t.v[0], t.v[1], t.v[2]});
    }
    return out;
}

void Replace(std::vector<Extension>& extensions, Extension extension) {
    std::erase_if(extensions, [](const Extension& e) { return e.id == kCollisionId; });
    extensions.push_back(std::move(extension));
}

constexpr std::size_t kMaxMapped = 0xFFFF;

// Whether a tree can be built: few enough triangles, every corner inside the positions.
bool Mappable(const std::vector<float>& positions, const std::vector<TriangleDesc>& triangles) {
    if (triangles.size() > kMaxMapped) {
        return false;
    }
    const std::size_t vertices = positions.size() / 3;
    return std::all_of(triangles.begin(), triangles.end(), [&](const TriangleDesc& t) {
        return t.v[0] < vertices && t.v[1] < vertices && t.v[2] < vertices;
    });
}

} // namespace

bool AddWorldCollision(WorldDesc& world, int maxLeaf) {
    for (const SectorNodeDesc& node : world.nodes) {
        if (node.type < 0 && !Mappable(node.sector.verts, node.sector.triangles)) {
            return false;
        }
    }
    for (SectorNodeDesc& node : world.nodes) {
        if (node.type < 0) {
            AtomicSectorDesc& s = node.sector;
            Replace(s.extensions, CollisionExtension(BuildCollisionTree(s.verts, Corners(s.triangles), maxLeaf)));
        }
    }
    return true;
}

bool AddGeometryCollision(GeometryDesc& geometry, int maxLeaf) {
    if (geometry.morphTargets.empty() || !Mappable(geometry.morphTargets[0].verts, geometry.triangles)) {
        return false;
    }
    Replace(geometry.extensions, CollisionExtension(BuildCollisionTree(geometry.morphTargets[0].verts,
                                                                       Corners(geometry.triangles), maxLeaf)));
    return true;
}

} // namespace mkasset
