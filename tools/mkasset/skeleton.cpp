#include "tools/mkasset/skeleton.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace mkasset {

namespace {

constexpr std::uint32_t kHierarchyId = 0x11E;
constexpr std::uint32_t kSkinId = 0x116;
constexpr std::uint32_t kHierarchyVersion = 0x100;
constexpr std::uint32_t kHierarchyFlags = 0x1000; // the bones' frames follow the animation
constexpr std::int32_t kInterpKeySize = 36;       // the standard interpolated key
constexpr std::uint32_t kPushParent = 2;
constexpr std::uint32_t kPopParent = 1;
constexpr int kRingSides = 6;

struct V3 {
    float x, y, z;
};

V3 Sub(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
V3 Add(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V3 Scale(V3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
V3 Cross(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
float Length(V3 a) { return std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }
V3 Unit(V3 a) {
    const float l = Length(a);
    return l > 0 ? Scale(a, 1.0f / l) : V3{0, 1, 0};
}

void PutU32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}
void PutF32(Bytes& b, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    PutU32(b, bits);
}

// One vertex's bones (hierarchy nodes) and weights, at most four, heaviest first.
struct Influence {
    int bone[4] = {0, 0, 0, 0};
    float weight[4] = {0, 0, 0, 0};
};

Influence Mix(std::vector<std::pair<int, float>> parts) {
    // Merge repeated bones, heaviest first.
    std::vector<std::pair<int, float>> merged;
    for (const auto& p : parts) {
        auto it = std::find_if(merged.begin(), merged.end(), [&](const auto& m) { return m.first == p.first; });
        if (it != merged.end()) {
            it->second += p.second;
        } else {
            merged.push_back(p);
        }
    }
    std::stable_sort(merged.begin(), merged.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    Influence in;
    for (std::size_t k = 0; k < merged.size() && k < 4; ++k) {
        in.bone[k] = merged[k].first;
        in.weight[k] = merged[k].second;
    }
    return in;
}

// The skinned body as it is built: tubes of kRingSides sides with three rings each.
struct Body {
    std::vector<float> verts, normals;
    std::vector<Influence> influence;
    std::vector<TriangleDesc> triangles;

    // A tube from start to end, ru across and rv the other way round its axis, each ring
    // weighted as given (start, middle, end).
    void AddTube(V3 start, V3 end, float ru, float rv, const Influence rings[3]) {
        const V3 axis = Unit(Sub(end, start));
        const V3 ref = std::fabs(axis.z) < 0.9f ? V3{0, 0, 1} : V3{1, 0, 0};
        const V3 u = Unit(Cross(axis, ref));
        const V3 v = Cross(axis, u);
        const auto first = static_cast<std::uint16_t>(verts.size() / 3);
        for (int ring = 0; ring < 3; ++ring) {
            const V3 centre = Add(start, Scale(Sub(end, start), 0.5f * static_cast<float>(ring)));
            for (int k = 0; k < kRingSides; ++k) {
                const float a = 6.2831853f * (static_cast<float>(k) + 0.5f) / kRingSides;
                const V3 round = Add(Scale(u, std::cos(a)), Scale(v, std::sin(a)));
                // Round: the ring's direction is the normal; an ellipse's normal divides each
                // axis by its radius.
                const V3 out = ru == rv ? round : Unit(Add(Scale(u, std::cos(a) / ru), Scale(v, std::sin(a) / rv)));
                const V3 p = ru == rv ? Add(centre, Scale(round, ru))
                                      : Add(centre, Add(Scale(u, std::cos(a) * ru), Scale(v, std::sin(a) * rv)));
                verts.insert(verts.end(), {p.x, p.y, p.z});
                normals.insert(normals.end(), {out.x, out.y, out.z});
                influence.push_back(rings[ring]);
            }
        }
        for (int ring = 0; ring < 2; ++ring) {
            for (int k = 0; k < kRingSides; ++k) {
                const auto a = static_cast<std::uint16_t>(first + ring * kRingSides + k);
                const auto b = static_cast<std::uint16_t>(first + ring * kRingSides + (k + 1) % kRingSides);
                const auto c = static_cast<std::uint16_t>(a + kRingSides);
                const auto d = static_cast<std::uint16_t>(b + kRingSides);
                triangles.push_back({{a, b, d}, 0});
                triangles.push_back({{a, d, c}, 0});
            }
        }
    }
};

} // namespace

const std::vector<BoneDesc>& SkeletonBones() {
    static const std::vector<BoneDesc> bones = {
        {"pelvis", 1, -1, {0, 1.0f, 0}},
        {"spine", 2, 0, {0, 0.15f, 0}},
        {"chest", 3, 1, {0, 0.2f, 0}},
        {"neck", 4, 2, {0, 0.2f, 0}},
        {"head", 5, 3, {0, 0.1f, 0}},
        {"l_thigh", 6, 0, {0.1f, -0.05f, 0}},
        {"l_calf", 7, 5, {0, -0.42f, 0}},
        {"r_thigh", 8, 0, {-0.1f, -0.05f, 0}},
        {"r_calf", 9, 7, {0, -0.42f, 0}},
        {"l_upperarm", 10, 2, {0.18f, 0.15f, 0}},
        {"l_forearm", 11, 9, {0.28f, 0, 0}},
        {"r_upperarm", 12, 2, {-0.18f, 0.15f, 0}},
        {"r_forearm", 13, 11, {-0.28f, 0, 0}},
        {"r_hand", 14, 12, {-0.25f, 0, 0}},
        {"l_hand", 15, 10, {0.25f, 0, 0}},
        {"l_foot", 16, 6, {0, -0.42f, 0}},
        {"r_foot", 17, 8, {0, -0.42f, 0}},
        {"muzzle", 18, 13, {-0.05f, 0, 0.5f}},
        {"l_toe", 19, 15, {0, -0.05f, 0.12f}},
        {"r_toe", 20, 16, {0, -0.05f, 0.12f}},
        {"jaw", 21, 4, {0, 0.02f, 0.06f}},
        {"l_thumb", 22, 14, {0.03f, 0, 0.04f}},
        {"l_index", 23, 14, {0.08f, 0, 0.02f}},
        {"l_index2", 24, 22, {0.03f, 0, 0}},
        {"r_thumb", 25, 13, {-0.03f, 0, 0.04f}},
        {"r_index", 26, 13, {-0.08f, 0, 0.02f}},
        {"r_index2", 27, 25, {-0.03f, 0, 0}},
        {"l_thumb2", 28, 21, {0.02f, 0, 0.02f}},
        {"r_thumb2", 29, 24, {-0.02f, 0, 0.02f}},
        {"l_pinky", 30, 14, {0.07f, 0, -0.03f}},
        {"r_pinky", 31, 13, {-0.07f, 0, -0.03f}},
        {"ponytail", 32, 4, {0, 0.08f, -0.1f}},
        {"ponytail2", 33, 31, {0, -0.1f, -0.02f}},
        {"backpack", 34, 2, {0, 0.05f, -0.15f}},
        {"antenna", 35, 33, {0.1f, 0.25f, 0}},
        {"holster", 36, 0, {-0.15f, -0.05f, 0}},
    };
    return bones;
}

std::int32_t BoneNodeId(const std::string& name) {
    for (const BoneDesc& b : SkeletonBones()) {
        if (name == b.name) {
            return b.nodeId;
        }
    }
    return -1;
}

const char* BoneName(std::int32_t nodeId) {
    for (const BoneDesc& b : SkeletonBones()) {
        if (b.nodeId == nodeId) {
            return b.name;
        }
    }
    return nullptr;
}

Skeleton MakeSkeleton(int numBones) { return MakeSkeletonOf(SkeletonBones(), numBones, 1.0f); }

Skeleton MakeSkeletonOf(const std::vector<BoneDesc>& table, int numBones, float unit) {
    const int n = std::clamp(numBones, 1, static_cast<int>(table.size()));
    std::vector<std::vector<int>> children(static_cast<std::size_t>(n));
    for (int b = 1; b < n; ++b) {
        children[static_cast<std::size_t>(table[static_cast<std::size_t>(b)].parent)].push_back(b);
    }
    Skeleton s;
    std::vector<int> nodeOf(static_cast<std::size_t>(n), -1);
    std::vector<float> world(static_cast<std::size_t>(n) * 3);
    // Depth first, children in table order.
    struct Item {
        int bone;
        bool lastSibling;
    };
    std::vector<Item> todo = {{0, true}};
    while (!todo.empty()) {
        const Item it = todo.back();
        todo.pop_back();
        const BoneDesc& d = table[static_cast<std::size_t>(it.bone)];
        const int node = static_cast<int>(s.bones.size());
        nodeOf[static_cast<std::size_t>(it.bone)] = node;
        const int parentNode = d.parent < 0 ? -1 : nodeOf[static_cast<std::size_t>(d.parent)];
        for (int k = 0; k < 3; ++k) {
            const float base = parentNode < 0 ? 0.0f : s.bindWorld[static_cast<std::size_t>(parentNode) * 3 + k];
            s.bindWorld.push_back(base + d.offset[k] * unit);
        }
        const bool leaf = children[static_cast<std::size_t>(it.bone)].empty();
        std::uint32_t f = 0;
        if (!it.lastSibling) {
            f |= kPushParent;
        }
        if (leaf && !it.lastSibling) {
            f |= kPopParent; // a leaf with a later sibling keeps the parent (push and pop)
        } else if (leaf) {
            f = kPopParent;
        }
        s.bones.push_back(it.bone);
        s.flags.push_back(f);
        s.parentNode.push_back(parentNode);
        const std::vector<int>& c = children[static_cast<std::size_t>(it.bone)];
        for (std::size_t k = c.size(); k-- > 0;) {
            todo.push_back({c[k], k + 1 == c.size()});
        }
    }
    return s;
}

ClumpDesc CharacterClump(int numBones) {
    const std::uint8_t colour[3] = {150, 140, 110};
    return CharacterClumpOf(SkeletonBones(), numBones, 1.0f, colour);
}

ClumpDesc CharacterClumpOf(const std::vector<BoneDesc>& table, int numBones, float unit, const std::uint8_t colour[3],
                           const std::vector<BodyPart>* parts) {
    const Skeleton s = MakeSkeletonOf(table, numBones, unit);
    const int n = static_cast<int>(s.bones.size());
    auto joint = [&](int node) {
        const std::size_t i = static_cast<std::size_t>(node) * 3;
        return V3{s.bindWorld[i], s.bindWorld[i + 1], s.bindWorld[i + 2]};
    };
    ClumpDesc clump;
    clump.frames.push_back(FrameDesc{});
    for (int i = 0; i < n; ++i) {
        const BoneDesc& d = table[static_cast<std::size_t>(s.bones[static_cast<std::size_t>(i)])];
        FrameDesc f;
        for (int k = 0; k < 3; ++k) {
            f.pos[k] = d.offset[k] * unit;
        }
        f.parent = s.parentNode[static_cast<std::size_t>(i)] < 0 ? 0 : 1 + s.parentNode[static_cast<std::size_t>(i)];
        Extension e{kHierarchyId, {}};
        PutU32(e.body, kHierarchyVersion);
        PutU32(e.body, static_cast<std::uint32_t>(d.nodeId));
        if (i == 0) {
            PutU32(e.body, static_cast<std::uint32_t>(n));
            PutU32(e.body, kHierarchyFlags);
            PutU32(e.body, static_cast<std::uint32_t>(kInterpKeySize));
            for (int k = 0; k < n; ++k) {
                PutU32(e.body, static_cast<std::uint32_t>(
                                   table[static_cast<std::size_t>(s.bones[static_cast<std::size_t>(k)])].nodeId));
                PutU32(e.body, static_cast<std::uint32_t>(k));
                PutU32(e.body, s.flags[static_cast<std::size_t>(k)]);
            }
        } else {
            PutU32(e.body, 0);
        }
        f.extensions.push_back(e);
        clump.frames.push_back(f);
    }

    // The body: a six-sided tube along every bone, from its joint to its first child's joint (or
    // a short way on for a leaf), with rings at both ends and in the middle; or, with parts, the
    // tubes the parts describe.
    Body body;
    if (parts != nullptr) {
        auto nodeOf = [&](const char* name) {
            for (int i = 0; name != nullptr && i < n; ++i) {
                if (std::strcmp(table[static_cast<std::size_t>(s.bones[static_cast<std::size_t>(i)])].name, name) ==
                    0) {
                    return i;
                }
            }
            return -1;
        };
        for (const BodyPart& part : *parts) {
            const int i = nodeOf(part.bone);
            if (i < 0) {
                continue; // a bone this character does not have
            }
            const V3 at = joint(i);
            const V3 from = Add(at, Scale(V3{part.from[0], part.from[1], part.from[2]}, unit));
            const V3 to = Add(at, Scale(V3{part.to[0], part.to[1], part.to[2]}, unit));
            const int first = nodeOf(part.startWith);
            const int last = nodeOf(part.endWith);
            const Influence rings[3] = {first >= 0 ? Mix({{i, 0.5f}, {first, 0.5f}}) : Mix({{i, 1.0f}}),
                                        Mix({{i, 1.0f}}),
                                        last >= 0 ? Mix({{i, 0.5f}, {last, 0.5f}}) : Mix({{i, 1.0f}})};
            body.AddTube(from, to, part.radius * unit, part.radius * part.depth * unit, rings);
        }
    } else {
        for (int i = 0; i < n; ++i) {
            const int parent = s.parentNode[static_cast<std::size_t>(i)];
            const int grand = parent < 0 ? -1 : s.parentNode[static_cast<std::size_t>(parent)];
            int child = -1;
            for (int k = i + 1; k < n && child < 0; ++k) {
                if (s.parentNode[static_cast<std::size_t>(k)] == i) {
                    child = k;
                }
            }
            const V3 start = joint(i);
            V3 end = child >= 0
                         ? joint(child)
                         : Add(start, Scale(Unit(parent >= 0 ? Sub(start, joint(parent)) : V3{0, 1, 0}), 0.08f * unit));
            if (Length(Sub(end, start)) < 1e-3f * unit) {
                end = Add(start, V3{0, 0.05f * unit, 0});
            }
            const float boneRadius = table[static_cast<std::size_t>(s.bones[static_cast<std::size_t>(i)])].radius;
            const float radius = (boneRadius > 0 ? boneRadius : i < 4 ? 0.09f : 0.035f) * unit;
            const Influence rings[3] = {parent >= 0 ? Mix({{i, 0.5f}, {parent, 0.5f}}) : Mix({{i, 1.0f}}),
                                        Mix({{i, 1.0f}}),
                                        Mix({{i, 0.5f},
                                             {child >= 0 ? child : i, 0.3f},
                                             {parent >= 0 ? parent : i, 0.1f},
                                             {grand >= 0 ? grand : i, 0.1f}})};
            body.AddTube(start, end, radius, radius, rings);
        }
    }
    const std::vector<float>& verts = body.verts;
    const std::vector<float>& normals = body.normals;
    const std::vector<Influence>& influence = body.influence;
    const std::vector<TriangleDesc>& triangles = body.triangles;

    GeometryDesc g;
    g.flags = 0x02 | 0x10 | 0x20 | 0x40; // positions, normals, lit, modulated by the material colour
    g.numVertices = static_cast<std::int32_t>(verts.size() / 3);
    g.triangles = triangles;
    MorphTargetDesc target;
    float radius = 0;
    for (std::size_t k = 0; k < verts.size(); k += 3) {
        radius = std::max(radius, Length(Sub(V3{verts[k], verts[k + 1], verts[k + 2]}, V3{0, unit, 0})));
    }
    target.sphere[1] = unit;
    target.sphere[3] = radius;
    target.verts = verts;
    target.normals = normals;
    g.morphTargets.push_back(target);
    MaterialDesc material;
    material.color[0] = colour[0];
    material.color[1] = colour[1];
    material.color[2] = colour[2];
    g.materialList = MaterialListOf({material});

    // Skin: bone i is hierarchy node i; inverse bind matrices undo each joint's bind position.
    Extension skin{kSkinId, {}};
    int maxWeights = 1;
    std::vector<bool> used(static_cast<std::size_t>(n), false);
    for (const Influence& in : influence) {
        for (int k = 0; k < 4; ++k) {
            if (in.weight[k] > 0) {
                maxWeights = std::max(maxWeights, k + 1);
                used[static_cast<std::size_t>(in.bone[k])] = true;
            }
        }
    }
    const auto usedCount = static_cast<std::uint8_t>(std::count(used.begin(), used.end(), true));
    skin.body.push_back(static_cast<std::uint8_t>(n));
    skin.body.push_back(usedCount);
    skin.body.push_back(static_cast<std::uint8_t>(maxWeights));
    skin.body.push_back(0);
    for (int i = 0; i < n; ++i) {
        if (used[static_cast<std::size_t>(i)]) {
            skin.body.push_back(static_cast<std::uint8_t>(i));
        }
    }
    for (const Influence& in : influence) {
        for (int k = 0; k < 4; ++k) {
            skin.body.push_back(static_cast<std::uint8_t>(in.bone[k]));
        }
    }
    for (const Influence& in : influence) {
        for (int k = 0; k < 4; ++k) {
            PutF32(skin.body, in.weight[k]);
        }
    }
    for (int i = 0; i < n; ++i) {
        const V3 p = joint(i);
        const float m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, -p.x, -p.y, -p.z, 0};
        for (int k = 0; k < 16; ++k) {
            if (k == 3) {
                PutU32(skin.body, 3); // orthonormal
            } else {
                PutF32(skin.body, m[k]);
            }
        }
    }
    for (int k = 0; k < 3; ++k) {
        PutU32(skin.body, 0); // no split data
    }
    g.extensions.push_back(skin);
    clump.geometries.push_back(g);
    AtomicDesc atomic;
    atomic.frame = 0;
    atomic.geometry = 0;
    clump.atomics.push_back(atomic);
    return clump;
}

} // namespace mkasset
