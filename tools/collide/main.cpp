// collide: line queries against a world or a clump read through the engine, walked through the
// collision plugin's sector and collision trees, or with --brute by testing every triangle.
//   collide FILE [--ray x0,y0,z0,x1,y1,z1]... [--rays N [--seed S]] [--brute]
// Per --ray "hit fraction=F tri=I normal=X,Y,Z" (the nearest hit) or "miss"; with --rays
// "rays=N hits=H checksum=C" over N random segments through the file's box.

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/error.h"
#include "graphics/core/frame.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/plugins/collision.h"
#include "graphics/world/clump.h"
#include "graphics/world/world.h"
#include "graphics/world/world_plugin.h"
#include "tools/engine_error/asset_chunk.h"
#include "tools/engine_error/engine_error.h"
#include "tools/engine_error/file_words.h"

namespace {

constexpr long kMaxRays = 100000000;

void Usage(std::FILE* out) {
    std::fprintf(out, "usage: collide FILE [--ray x0,y0,z0,x1,y1,z1]... [--rays N [--seed S]] [--brute]\n"
                      "  Reads a world (level file) or a clump (model file) through the engine and runs line\n"
                      "  queries from x0,y0,z0 to x1,y1,z1 through the collision plugin: the world's sector\n"
                      "  tree and each sector's collision tree, or each atomic of the clump. A line finds the\n"
                      "  triangles it crosses from their front. Per --ray, in the order given:\n"
                      "    hit fraction=F tri=I normal=X,Y,Z     the nearest hit (the lower triangle on a tie)\n"
                      "    miss\n"
                      "  F is the fraction along the line, I the triangle's index counted over the world's\n"
                      "  atomic sectors depth first (or the clump's atomics in file order), the normal that\n"
                      "  of the triangle. --rays N casts N random segments (1 to 100000000) between two\n"
                      "  points of the file's box drawn from the seed S (default 1) and prints\n"
                      "    rays=N hits=H checksum=C\n"
                      "  with H the segments that hit and C a checksum of every nearest hit. --brute\n"
                      "  answers by testing every triangle without the trees: both must print the same.\n"
                      "  Exit status 0 on success, 1 when the file does not read, 2 on bad usage.\n");
}

int BadUsage(const std::string& message) {
    std::fprintf(stderr, "collide: %s\n", message.c_str());
    return 2;
}

bool ParseRay(const char* text, OvLine* line) {
    float v[6];
    const char* p = text;
    for (int i = 0; i < 6; ++i) {
        char* end = nullptr;
        v[i] = std::strtof(p, &end);
        if (end == p || !std::isfinite(v[i]) || *end != (i < 5 ? ',' : '\0')) {
            return false;
        }
        p = end + 1;
    }
    *line = {{v[0], v[1], v[2]}, {v[3], v[4], v[5]}};
    return true;
}

bool ParseCount(const char* text, long lo, long hi, long* value) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    *value = v;
    return true;
}

// The nearest hit of a line: the smallest fraction, the lowest triangle on a tie.
struct Nearest {
    bool hit = false;
    float fraction = 0;
    std::int64_t tri = 0;
    OvV3d normal{0, 0, 0};
    void Offer(float f, std::int64_t t, const OvV3d& n) {
        if (!hit || f < fraction || (f == fraction && t < tri)) {
            hit = true;
            fraction = f;
            tri = t;
            normal = n;
        }
    }
};

// What the queries run over: a world's atomic sectors or a clump's atomics, each with the index
// of its first triangle in the file's count.
struct Target {
    OvWorld* world = nullptr;
    std::vector<OvWorldSector*> sectors;
    std::vector<OvAtomic*> atomics;
    std::vector<std::int64_t> firstTriangle; // per sector or atomic
    OvBBox box{{0, 0, 0}, {0, 0, 0}};
};

// The normal exactly as the plugin gives it to its callbacks.
OvV3d TriangleNormal(const OvV3d& a, const OvV3d& b, const OvV3d& c) {
    const OvV3d e1{b.x - a.x, b.y - a.y, b.z - a.z};
    const OvV3d e2{c.x - a.x, c.y - a.y, c.z - a.z};
    const OvV3d n{e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z, e1.x * e2.y - e1.y * e2.x};
    const float len2 = n.x * n.x + n.y * n.y + n.z * n.z;
    if (!(len2 > 0)) {
        return {0, 0, 0};
    }
    const float s = OvInvSqrt(len2);
    return {n.x * s, n.y * s, n.z * s};
}

struct WorldHits {
    const Target* target;
    Nearest* nearest;
};

OvCollisionTriangle* WorldHit(OvIntersection*, OvWorldSector* sector, OvCollisionTriangle* tri, float distance,
                              void* data) {
    auto* w = static_cast<WorldHits*>(data);
    std::int64_t first = 0;
    for (std::size_t i = 0; i < w->target->sectors.size(); ++i) {
        if (w->target->sectors[i] == sector) {
            first = w->target->firstTriangle[i];
            break;
        }
    }
    w->nearest->Offer(distance, first + tri->index, tri->normal);
    return tri;
}

struct AtomicHits {
    std::int64_t first;
    Nearest* nearest;
};

OvCollisionTriangle* AtomicHit(OvIntersection*, OvCollisionTriangle* tri, float distance, void* data) {
    auto* a = static_cast<AtomicHits*>(data);
    a->nearest->Offer(distance, a->first + tri->index, tri->normal);
    return tri;
}

Nearest Walk(const Target& target, const OvLine& line) {
    Nearest nearest;
    OvIntersection q{};
    q.type = ovINTERSECTLINE;
    q.t.line = line;
    if (target.world != nullptr) {
        WorldHits w{&target, &nearest};
        OvCollisionWorldForAllIntersections(target.world, &q, WorldHit, &w);
        return nearest;
    }
    for (std::size_t i = 0; i < target.atomics.size(); ++i) {
        AtomicHits a{target.firstTriangle[i], &nearest};
        OvCollisionAtomicForAllIntersections(target.atomics[i], &q, AtomicHit, &a);
    }
    return nearest;
}

void BruteOver(const OvTriangle* tris, OvInt32 count, const OvV3d* verts, OvInt32 numVerts, std::int64_t first,
               const OvLine& line, Nearest* nearest) {
    for (OvInt32 i = 0; i < count; ++i) {
        const OvUInt16* v = tris[i].vertIndex;
        if (v[0] >= numVerts || v[1] >= numVerts || v[2] >= numVerts) {
            continue;
        }
        float t = 0;
        if (OvCollisionTestLineTriangle(&line, &verts[v[0]], &verts[v[1]], &verts[v[2]], &t)) {
            nearest->Offer(t, first + i, TriangleNormal(verts[v[0]], verts[v[1]], verts[v[2]]));
        }
    }
}

// Every triangle tested, the line taken into each atomic's space as the plugin takes it.
Nearest Brute(const Target& target, const OvLine& line) {
    Nearest nearest;
    for (std::size_t i = 0; i < target.sectors.size(); ++i) {
        const OvWorldSector* s = target.sectors[i];
        if (s->triangles != nullptr && s->vertices != nullptr) {
            BruteOver(s->triangles, s->numTriangles, s->vertices, s->numVertices, target.firstTriangle[i], line,
                      &nearest);
        }
    }
    for (std::size_t i = 0; i < target.atomics.size(); ++i) {
        OvAtomic* atomic = target.atomics[i];
        const OvGeometry* g = OvAtomicGetGeometry(atomic);
        if (g == nullptr || g->triangles == nullptr || g->numMorphTargets < 1 || g->morphTarget[0].verts == nullptr) {
            continue;
        }
        OvMatrix inverse;
        OvMatrixSetIdentity(&inverse);
        if (OvFrame* frame = OvAtomicGetFrame(atomic); frame != nullptr) {
            OvMatrixInvert(&inverse, OvFrameGetWorldMatrix(frame));
        }
        OvLine local;
        OvV3dTransformPoint(&local.start, &line.start, &inverse);
        OvV3dTransformPoint(&local.end, &line.end, &inverse);
        // A morphed geometry blends its targets; the plugin tests those blends, and so does this.
        const OvInterpolator& ip = atomic->interpolator;
        if (g->numMorphTargets >= 2 && ip.startMorphTarget >= 0 && ip.endMorphTarget >= 0 &&
            ip.startMorphTarget < g->numMorphTargets && ip.endMorphTarget < g->numMorphTargets &&
            ip.startMorphTarget != ip.endMorphTarget) {
            const OvV3d* from = g->morphTarget[ip.startMorphTarget].verts;
            const OvV3d* to = g->morphTarget[ip.endMorphTarget].verts;
            const float f = ip.position * ip.recipTime;
            std::vector<OvV3d> blended(static_cast<std::size_t>(g->numVertices));
            for (OvInt32 v = 0; v < g->numVertices; ++v) {
                blended[v] = {from[v].x + (to[v].x - from[v].x) * f, from[v].y + (to[v].y - from[v].y) * f,
                              from[v].z + (to[v].z - from[v].z) * f};
            }
            BruteOver(g->triangles, g->numTriangles, blended.data(), g->numVertices, target.firstTriangle[i], local,
                      &nearest);
            continue;
        }
        const OvInt32 t = g->numMorphTargets >= 2 ? ip.startMorphTarget : 0;
        if (t < 0 || t >= g->numMorphTargets || (g->numMorphTargets >= 2 && ip.endMorphTarget != t)) {
            continue; // a morph the plugin does not test either
        }
        BruteOver(g->triangles, g->numTriangles, g->morphTarget[t].verts, g->numVertices, target.firstTriangle[i],
                  local, &nearest);
    }
    return nearest;
}

void PrintHit(const Nearest& n) {
    if (!n.hit) {
        std::printf("miss\n");
        return;
    }
    std::printf("hit fraction=%.9g tri=%" PRId64 " normal=%.6g,%.6g,%.6g\n", static_cast<double>(n.fraction), n.tri,
                static_cast<double>(n.normal.x), static_cast<double>(n.normal.y), static_cast<double>(n.normal.z));
}

// Deterministic numbers from the seed, the same on every platform.
struct Random {
    std::uint64_t state;
    std::uint64_t Next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // In [lo, hi].
    float Between(float lo, float hi) {
        const float u = static_cast<float>(Next() >> 40) / static_cast<float>(1u << 24);
        return lo + (hi - lo) * u;
    }
};

std::uint64_t Mix(std::uint64_t hash, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        hash ^= (value >> (8 * i)) & 0xFF;
        hash *= 0x100000001B3ull;
    }
    return hash;
}

std::uint64_t FloatBits(float v) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

void Grow(OvBBox* box, const OvV3d& p, bool* first) {
    if (*first) {
        box->sup = box->inf = p;
        *first = false;
        return;
    }
    box->inf = {std::fmin(box->inf.x, p.x), std::fmin(box->inf.y, p.y), std::fmin(box->inf.z, p.z)};
    box->sup = {std::fmax(box->sup.x, p.x), std::fmax(box->sup.y, p.y), std::fmax(box->sup.z, p.z)};
}

void Register() {
    OvWorldPluginAttach();
    OvCollisionPluginAttach();
}

OvWorldSector* AddSector(OvWorldSector* sector, void* data) {
    static_cast<Target*>(data)->sectors.push_back(sector);
    return sector;
}

OvAtomic* AddAtomic(OvAtomic* atomic, void* data) {
    static_cast<Target*>(data)->atomics.push_back(atomic);
    return atomic;
}

} // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    std::vector<OvLine> rays;
    long randomRays = 0;
    long seed = 1;
    bool haveSeed = false;
    bool brute = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        }
        if (arg == "--brute") {
            brute = true;
        } else if (arg == "--ray" || arg == "--rays" || arg == "--seed") {
            if (i + 1 >= argc) {
                return BadUsage("missing value after " + arg);
            }
            const char* value = argv[++i];
            OvLine line;
            if (arg == "--ray") {
                if (!ParseRay(value, &line)) {
                    return BadUsage("bad --ray '" + std::string(value) + "' (x0,y0,z0,x1,y1,z1)");
                }
                rays.push_back(line);
            } else if (arg == "--rays") {
                if (!ParseCount(value, 1, kMaxRays, &randomRays)) {
                    return BadUsage("bad --rays '" + std::string(value) + "' (a whole number from 1 to 100000000)");
                }
            } else if (!ParseCount(value, 0, 0x7FFFFFFF, &seed)) {
                return BadUsage("bad --seed '" + std::string(value) + "' (a whole number from 0 to 2147483647)");
            } else {
                haveSeed = true;
            }
        } else if (arg[0] == '-' || path != nullptr) {
            Usage(stderr);
            return BadUsage("unknown argument " + arg);
        } else {
            path = argv[i];
        }
    }
    if (path == nullptr) {
        Usage(stderr);
        return BadUsage("FILE is required");
    }
    if (rays.empty() && randomRays == 0) {
        return BadUsage(haveSeed ? "--seed needs --rays" : "give --ray or --rays");
    }
    if (haveSeed && randomRays == 0) {
        return BadUsage("--seed needs --rays");
    }
    if (const std::string problem = FileReadProblem(path); !problem.empty()) {
        std::fprintf(stderr, "collide: %s: %s\n", path, problem.c_str());
        return 1;
    }
    if (!OvTestEngineUp(0, Register)) {
        std::fprintf(stderr, "collide: %s: the engine did not start\n", path);
        return 1;
    }
    std::string failure;
    Target target;
    OvClump* clump = nullptr;
    OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path);
    if (stream == nullptr) {
        failure = "cannot open: " + HeldEngineErrorWords({path, false, "world or clump"});
    } else {
        const OvUInt32 type = FindClumpOrWorld(stream);
        if (type == 0) {
            failure = "no clump or world: " + HeldEngineErrorWords({path, false, "world or clump"});
        } else if (type == ovCHUNKIDWORLD) {
            target.world = OvWorldStreamRead(stream);
            if (target.world == nullptr) {
                failure = "the world does not read: " + HeldEngineErrorWords({path, false, "world"});
            }
        } else if ((clump = OvClumpStreamRead(stream)) == nullptr) {
            failure = "the clump does not read: " + HeldEngineErrorWords({path, false, "clump"});
        }
        OvStreamClose(stream, nullptr);
    }
    if (failure.empty()) {
        std::int64_t triangles = 0;
        bool firstPoint = true;
        if (target.world != nullptr) {
            OvWorldForAllWorldSectors(target.world, AddSector, &target);
            for (const OvWorldSector* s : target.sectors) {
                target.firstTriangle.push_back(triangles);
                triangles += s->numTriangles;
            }
            target.box = target.world->boundingBox;
        } else {
            OvClumpForAllAtomics(clump, AddAtomic, &target);
            // The clump's list holds the atomics in the reverse of their file order.
            std::vector<OvAtomic*> inOrder(target.atomics.rbegin(), target.atomics.rend());
            target.atomics = inOrder;
            OvFrameSyncDirty();
            for (OvAtomic* a : target.atomics) {
                target.firstTriangle.push_back(triangles);
                const OvGeometry* g = OvAtomicGetGeometry(a);
                triangles += g != nullptr ? g->numTriangles : 0;
                const OvSphere* s = OvAtomicGetWorldBoundingSphere(a);
                const float r = s->radius;
                Grow(&target.box, {s->center.x - r, s->center.y - r, s->center.z - r}, &firstPoint);
                Grow(&target.box, {s->center.x + r, s->center.y + r, s->center.z + r}, &firstPoint);
            }
        }
        for (const OvLine& line : rays) {
            PrintHit(brute ? Brute(target, line) : Walk(target, line));
        }
        if (randomRays > 0) {
            Random random{0xC011D3ull ^ static_cast<std::uint64_t>(seed)};
            const OvBBox& b = target.box;
            long hits = 0;
            std::uint64_t checksum = 0xCBF29CE484222325ull;
            for (long i = 0; i < randomRays; ++i) {
                OvLine line;
                line.start = {random.Between(b.inf.x, b.sup.x), random.Between(b.inf.y, b.sup.y),
                              random.Between(b.inf.z, b.sup.z)};
                line.end = {random.Between(b.inf.x, b.sup.x), random.Between(b.inf.y, b.sup.y),
                            random.Between(b.inf.z, b.sup.z)};
                const Nearest n = brute ? Brute(target, line) : Walk(target, line);
                hits += n.hit ? 1 : 0;
                checksum =
                    Mix(checksum, n.hit ? (FloatBits(n.fraction) << 32 | static_cast<std::uint64_t>(n.tri)) : ~0ull);
            }
            std::printf("rays=%ld hits=%ld checksum=%016" PRIx64 "\n", randomRays, hits, checksum);
        }
    }
    if (target.world != nullptr) {
        OvWorldDestroy(target.world);
    }
    if (clump != nullptr) {
        OvClumpDestroy(clump);
    }
    OvTestEngineDown();
    if (!failure.empty()) {
        std::fprintf(stderr, "collide: %s: %s\n", path, failure.c_str());
        return 1;
    }
    return 0;
}
