// Line queries against generated levels of about 10k and 100k triangles, in rays per second:
// random segments inside the level's box, eye-height rays across the floor, and long rays from one
// side of the box to the other. Each runs through the collision plugin's world query (keeping the
// nearest hit) and, when the benchmark build found Bullet, through its ray test on the same
// triangles (a bvh triangle mesh in a collision world, back faces filtered as our lines are
// one-sided) so that the two rates print side by side. The "hits" counter is the share of rays
// that hit something: it must agree between the two.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/collision.h"
#include "graphics/world/world.h"
#include "graphics/world/world_plugin.h"
#include "tools/mkasset/collision_tree.h"
#include "tools/mkasset/level_builder.h"

#if defined(DUN_HAVE_BULLET)
#include <BulletCollision/NarrowPhaseCollision/btRaycastCallback.h>
#include <btBulletCollisionCommon.h>
#endif

namespace {

constexpr int kRays = 4096;

void Register() {
    OvWorldPluginAttach();
    OvCollisionPluginAttach();
}

// Deterministic numbers (the same on every platform).
struct Random {
    std::uint64_t state;
    float Unit() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<float>(z >> 40) / static_cast<float>(1u << 24);
    }
    float Between(float lo, float hi) { return lo + (hi - lo) * Unit(); }
};

struct Level {
    OvWorld* world = nullptr;
    std::vector<float> positions; // every sector's vertices, for the comparison
    std::vector<int> indices;
    std::int64_t triangles = 0;
    float min[3] = {0, 0, 0};
    float max[3] = {0, 0, 0};
    std::array<std::vector<OvLine>, 3> rays; // random, eye height, long
};

mkasset::LevelOptions OptionsFor(int size) {
    mkasset::LevelOptions o;
    o.seed = 42;
    if (size == 0) { // about 10k triangles
        o.size = 60;
        o.boxes = 60;
    } else { // about 100k
        o.size = 196;
        o.boxes = 600;
    }
    return o;
}

Level* LevelFor(int size) {
    static std::map<int, std::unique_ptr<Level>> levels;
    static bool up = OvTestEngineUp(0, Register);
    if (!up) {
        return nullptr;
    }
    if (auto it = levels.find(size); it != levels.end()) {
        return it->second.get();
    }
    auto level = std::make_unique<Level>();
    mkasset::WorldDesc desc = mkasset::LevelWorld(OptionsFor(size));
    mkasset::AddWorldCollision(desc);
    for (const mkasset::SectorNodeDesc& node : desc.nodes) {
        if (node.type >= 0) {
            continue;
        }
        const int base = static_cast<int>(level->positions.size() / 3);
        level->positions.insert(level->positions.end(), node.sector.verts.begin(), node.sector.verts.end());
        for (const mkasset::TriangleDesc& t : node.sector.triangles) {
            level->indices.insert(level->indices.end(), {base + t.v[0], base + t.v[1], base + t.v[2]});
        }
        level->triangles += static_cast<std::int64_t>(node.sector.triangles.size());
    }
    for (int k = 0; k < 3; ++k) {
        level->min[k] = desc.min[k];
        level->max[k] = desc.max[k];
    }
    const mkasset::Bytes file = mkasset::WorldFile(desc);
    OvMemory memory{const_cast<OvUInt8*>(file.data()), static_cast<OvUInt32>(file.size())};
    OvStream* stream = OvStreamOpen(ovSTREAMMEMORY, ovSTREAMREAD, &memory);
    if (stream != nullptr && OvStreamFindChunk(stream, ovCHUNKIDWORLD, nullptr, nullptr)) {
        level->world = OvWorldStreamRead(stream);
    }
    if (stream != nullptr) {
        OvStreamClose(stream, nullptr);
    }
    if (level->world == nullptr) {
        return nullptr;
    }
    Random random{0x5EEDull + static_cast<std::uint64_t>(size)};
    const float* lo = level->min;
    const float* hi = level->max;
    for (int i = 0; i < kRays; ++i) {
        level->rays[0].push_back(
            {{random.Between(lo[0], hi[0]), random.Between(lo[1], hi[1]), random.Between(lo[2], hi[2])},
             {random.Between(lo[0], hi[0]), random.Between(lo[1], hi[1]), random.Between(lo[2], hi[2])}});
        level->rays[1].push_back({{random.Between(lo[0], hi[0]), 1.7f, random.Between(lo[2], hi[2])},
                                  {random.Between(lo[0], hi[0]), 1.7f, random.Between(lo[2], hi[2])}});
        // From outside one side of the box to outside the opposite one, at a height inside it.
        const int axis = i % 2 == 0 ? 0 : 2;
        const int other = 2 - axis;
        OvLine line{};
        const float margin = 1.0f;
        float* s = &line.start.x;
        float* e = &line.end.x;
        s[axis] = lo[axis] - margin;
        e[axis] = hi[axis] + margin;
        s[other] = random.Between(lo[other], hi[other]);
        e[other] = random.Between(lo[other], hi[other]);
        s[1] = random.Between(lo[1], hi[1]);
        e[1] = random.Between(lo[1], hi[1]);
        if (i % 4 >= 2) {
            std::swap(line.start, line.end);
        }
        level->rays[2].push_back(line);
    }
    Level* result = level.get();
    levels[size] = std::move(level);
    return result;
}

struct Nearest {
    float fraction;
    bool hit;
};

OvCollisionTriangle* KeepNearest(OvIntersection*, OvWorldSector*, OvCollisionTriangle* tri, float distance,
                                 void* data) {
    auto* n = static_cast<Nearest*>(data);
    if (!n->hit || distance < n->fraction) {
        n->fraction = distance;
        n->hit = true;
    }
    return tri;
}

// Arguments: level (0 about 10k triangles, 1 about 100k), ray set (0 random, 1 eye height, 2 long).
void BM_WorldLines(benchmark::State& state) {
    Level* level = LevelFor(static_cast<int>(state.range(0)));
    if (level == nullptr) {
        state.SkipWithError("the level did not build");
        return;
    }
    const std::vector<OvLine>& rays = level->rays[static_cast<std::size_t>(state.range(1))];
    std::size_t i = 0;
    std::int64_t hits = 0;
    for (auto _ : state) {
        OvIntersection q{};
        q.type = ovINTERSECTLINE;
        q.t.line = rays[i];
        Nearest n{1, false};
        OvCollisionWorldForAllIntersections(level->world, &q, KeepNearest, &n);
        hits += n.hit ? 1 : 0;
        benchmark::DoNotOptimize(n);
        i = (i + 1) % rays.size();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["triangles"] = static_cast<double>(level->triangles);
    state.counters["hits"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WorldLines)->ArgsProduct({{0, 1}, {0, 1, 2}})->ArgNames({"level", "rays"});

#if defined(DUN_HAVE_BULLET)

struct BulletLevel {
    std::unique_ptr<btTriangleIndexVertexArray> mesh;
    std::unique_ptr<btBvhTriangleMeshShape> shape;
    std::unique_ptr<btCollisionObject> object;
    std::unique_ptr<btDefaultCollisionConfiguration> config;
    std::unique_ptr<btCollisionDispatcher> dispatcher;
    std::unique_ptr<btDbvtBroadphase> broadphase;
    std::unique_ptr<btCollisionWorld> world;
};

BulletLevel* BulletFor(int size, Level* level) {
    static std::map<int, std::unique_ptr<BulletLevel>> levels;
    if (auto it = levels.find(size); it != levels.end()) {
        return it->second.get();
    }
    auto b = std::make_unique<BulletLevel>();
    btIndexedMesh part;
    part.m_numTriangles = static_cast<int>(level->indices.size() / 3);
    part.m_triangleIndexBase = reinterpret_cast<const unsigned char*>(level->indices.data());
    part.m_triangleIndexStride = 3 * sizeof(int);
    part.m_numVertices = static_cast<int>(level->positions.size() / 3);
    part.m_vertexBase = reinterpret_cast<const unsigned char*>(level->positions.data());
    part.m_vertexStride = 3 * sizeof(float);
    part.m_vertexType = PHY_FLOAT;
    b->mesh = std::make_unique<btTriangleIndexVertexArray>();
    b->mesh->addIndexedMesh(part, PHY_INTEGER);
    b->shape = std::make_unique<btBvhTriangleMeshShape>(b->mesh.get(), true);
    b->object = std::make_unique<btCollisionObject>();
    b->object->setCollisionShape(b->shape.get());
    b->config = std::make_unique<btDefaultCollisionConfiguration>();
    b->dispatcher = std::make_unique<btCollisionDispatcher>(b->config.get());
    b->broadphase = std::make_unique<btDbvtBroadphase>();
    b->world = std::make_unique<btCollisionWorld>(b->dispatcher.get(), b->broadphase.get(), b->config.get());
    b->world->addCollisionObject(b->object.get());
    b->world->updateAabbs();
    BulletLevel* result = b.get();
    levels[size] = std::move(b);
    return result;
}

void BM_BulletLines(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    Level* level = LevelFor(size);
    if (level == nullptr) {
        state.SkipWithError("the level did not build");
        return;
    }
    BulletLevel* b = BulletFor(size, level);
    const std::vector<OvLine>& rays = level->rays[static_cast<std::size_t>(state.range(1))];
    std::size_t i = 0;
    std::int64_t hits = 0;
    for (auto _ : state) {
        const OvLine& l = rays[i];
        const btVector3 from(l.start.x, l.start.y, l.start.z);
        const btVector3 to(l.end.x, l.end.y, l.end.z);
        btCollisionWorld::ClosestRayResultCallback result(from, to);
        result.m_flags |= btTriangleRaycastCallback::kF_FilterBackfaces;
        b->world->rayTest(from, to, result);
        hits += result.hasHit() ? 1 : 0;
        benchmark::DoNotOptimize(result.m_closestHitFraction);
        i = (i + 1) % rays.size();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["triangles"] = static_cast<double>(level->triangles);
    state.counters["hits"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_BulletLines)->ArgsProduct({{0, 1}, {0, 1, 2}})->ArgNames({"level", "rays"});

#endif

} // namespace
