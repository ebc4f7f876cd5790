#include "demo/host_services.h"

#include <climits>
#include <cmath>

#include "ai/behaviours/entity_manager.h"
#include "ai/behaviours/follower_agents.h"
#include "ai/behaviours/sound_manager.h"
#include "ai/navigation/graph_data.h"
#include "ai/navigation/path_finder.h"
#include "ai/navigation/point_mapper.h"
#include "ai/runtime/entity_attribute.h"
#include "demo/debug_lines.h"
#include "demo/timer.h"
#include "graphics/core/engine.h"
#include "graphics/core/file_system.h"
#include "graphics/plugins/collision.h"

namespace {

struct CollisionWorlds {
    OvWorld* worlds[DemoServices::kMaxCollisionWorlds] = {};
    int count = 0;
};

CollisionWorlds gWorlds;

// The nearest hit along a line: fraction in [0, 1] and its triangle's normal.
struct NearestHit {
    float fraction = 1.0f;
    OvV3d normal = {0.0f, 0.0f, 0.0f};
};

OvCollisionTriangle* KeepNearestHit(OvIntersection*, OvWorldSector*, OvCollisionTriangle* triangle, float distance,
                                    void* data) {
    auto* nearest = static_cast<NearestHit*>(data);
    if (distance < nearest->fraction) {
        nearest->fraction = distance;
        nearest->normal = triangle->normal;
    }
    return triangle;
}

OvCollisionTriangle* StopAtFirstHit(OvIntersection*, OvWorldSector*, OvCollisionTriangle*, float, void* data) {
    *static_cast<int*>(data) = 1;
    return nullptr;
}

bool SamePoint(const float* a, const float* b) { return a[0] == b[0] && a[1] == b[1] && a[2] == b[2]; }

void ZeroNormal(float* normal) {
    if (normal != nullptr)
        normal[0] = normal[1] = normal[2] = 0.0f;
}

// true when some world has a triangle the query touches.
bool AnyWorldHit(OvIntersection* query) {
    for (int w = 0; w < gWorlds.count; ++w) {
        int hit = 0;
        OvCollisionWorldForAllIntersections(gWorlds.worlds[w], query, StopAtFirstHit, &hit);
        if (hit)
            return true;
    }
    return false;
}

} // namespace

namespace DemoServices {

void Fill(CHostServices* table) {
    *table = CHostServices{};
    table->entityPoolSize = kEntityPoolSize;
    table->alloc = Alloc;
    table->realloc = Realloc;
    table->free = Free;
    table->allocationHook = nullptr;
    table->releaseHook = nullptr;
    table->allocatorChildCapacity = kAllocatorPoolCount;
    table->clock = Demo::TimerRead;
    table->clockUser = 0;
    table->rayQuery = LineOfSight;
    table->lineOfSight = IsLineClear;
    table->sweep = LineQueryRadius;
    table->drawLine = DrawLine;
    table->drawPoint = DrawCross;
    table->open = FileOpen;
    table->close = FileClose;
    table->eof = FileEof;
    table->gets = FileGets;
    table->write = FileWrite;
    table->read = FileRead;
    table->seek = FileSeek;
}

void* Alloc(std::size_t size) { return OvMalloc(size, 0); }
void* Realloc(void* block, std::size_t size) { return OvRealloc(block, size, 0); }
void Free(void* block) { OvFree(block); }

bool SetCollisionWorlds(OvWorld* const* worlds, int count) {
    if (count < 0 || count > kMaxCollisionWorlds || (worlds == nullptr && count != 0))
        return false;
    gWorlds = CollisionWorlds{};
    for (int i = 0; i < count; ++i)
        gWorlds.worlds[i] = worlds[i];
    gWorlds.count = count;
    return true;
}

int GetCollisionWorldCount() { return gWorlds.count; }

float LineOfSight(const float* from, const float* to, void*, std::uint32_t, float length, float* normal) {
    // Without worlds nothing is in the way: the engine reads exactly length as "no hit".
    if (gWorlds.count == 0) {
        ZeroNormal(normal);
        return length;
    }
    if (SamePoint(from, to)) {
        ZeroNormal(normal);
        return 0.0f;
    }
    OvIntersection query = {};
    query.type = ovINTERSECTLINE;
    query.t.line.start = {from[0], from[1], from[2]};
    query.t.line.end = {to[0], to[1], to[2]};
    NearestHit nearest;
    for (int w = 0; w < gWorlds.count; ++w)
        OvCollisionWorldForAllIntersections(gWorlds.worlds[w], &query, KeepNearestHit, &nearest);
    if (!(nearest.fraction < 1.0f)) {
        ZeroNormal(normal);
        return length;
    }
    if (normal != nullptr) {
        normal[0] = nearest.normal.x;
        normal[1] = nearest.normal.y;
        normal[2] = nearest.normal.z;
    }
    return nearest.fraction * length;
}

bool IsLineClear(const float* from, const float* to, void*, std::uint32_t) {
    if (gWorlds.count == 0 || SamePoint(from, to))
        return true;
    OvIntersection query = {};
    query.type = ovINTERSECTLINE;
    query.t.line.start = {from[0], from[1], from[2]};
    query.t.line.end = {to[0], to[1], to[2]};
    return !AnyWorldHit(&query);
}

bool LineQueryRadius(const float* from, const float* to, float radius, void* user, std::uint32_t mode) {
    if (radius == 0.0f)
        return IsLineClear(from, to, user, mode);
    if (gWorlds.count == 0)
        return true;
    const float d[3] = {to[0] - from[0], to[1] - from[1], to[2] - from[2]};
    const float length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    const float ratio = length / radius;
    // A negative or NaN ratio tests nothing, as a segment shorter than the radius.
    if (!(ratio >= 1.0f))
        return true;
    const long n = ratio >= static_cast<float>(INT_MAX) ? INT_MAX : static_cast<long>(ratio);
    const float s = radius / length;
    const float step[3] = {d[0] * s, d[1] * s, d[2] * s};
    OvIntersection query = {};
    query.type = ovINTERSECTSPHERE;
    query.t.sphere.radius = radius;
    for (long k = 1; k <= n; ++k) {
        const float kf = static_cast<float>(k);
        query.t.sphere.center = {from[0] + kf * step[0], from[1] + kf * step[1], from[2] + kf * step[2]};
        if (AnyWorldHit(&query))
            return false;
    }
    return true;
}

void DrawLine(const float* from, const float* to, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    DemoDebugLines::AddLine(from, to, r, g, b);
}

void DrawCross(const float* point, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    DemoDebugLines::AddCross(point, r, g, b);
}

void* FileOpen(const char* name, const char* mode) { return OvFSManagerFopen(name, mode); }
int FileClose(void* file) { return OvFSManagerFclose(static_cast<OvFile*>(file)); }
int FileEof(void* file) { return OvFSManagerFeof(static_cast<OvFile*>(file)); }
char* FileGets(char* buffer, int size, void* file) {
    return OvFSManagerFgets(buffer, size, static_cast<OvFile*>(file));
}

std::size_t FileWrite(const void* buffer, std::size_t size, std::size_t count, void* file) {
    // The manager counts in 32 bits; larger requests are refused rather than cut.
    if (size > UINT32_MAX || count > UINT32_MAX)
        return 0;
    return OvFSManagerFwrite(buffer, static_cast<OvUInt32>(size), static_cast<OvUInt32>(count),
                             static_cast<OvFile*>(file));
}

std::size_t FileRead(void* buffer, std::size_t size, std::size_t count, void* file) {
    if (size > UINT32_MAX || count > UINT32_MAX)
        return 0;
    return OvFSManagerFread(buffer, static_cast<OvUInt32>(size), static_cast<OvUInt32>(count),
                            static_cast<OvFile*>(file));
}

int FileSeek(void* file, long offset, int whence) {
    if (offset < INT32_MIN || offset > INT32_MAX)
        return -1;
    return OvFSManagerFseek(static_cast<OvFile*>(file), static_cast<OvInt32>(offset), whence);
}

} // namespace DemoServices

namespace Demo {

bool CheckAiClasses() {
    return Vusk::CheckAgentClasses() && Vusk::CheckActionAndAttributeClasses() && Vusk::CheckPointMapperClasses() &&
           Vusk::CheckNavigationClasses() && Vusk::CheckSoundManagerClasses() && Vusk::CheckPathFinderClass() &&
           Vusk::CheckEntityManagerClasses();
}

} // namespace Demo
