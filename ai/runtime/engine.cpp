#include "ai/runtime/engine.h"

#include "ai/runtime/ais_reader.h"
#include "ai/runtime/world.h"

#include <cstring>

namespace {

// Engine-wide state.
CHostServices s_host;                         // the engine's copy of the host table
constinit CEngineSettings s_settings(100, 1); // settings in force
CWorld** s_worldTable = nullptr;              // one pointer per world slot
std::uint32_t s_worldSlotCount = 0;           // entries of s_worldTable
std::uint32_t s_usedWorldSlots = 0;           // slots ever used
CList<CEntity*>* s_entityPool = nullptr;      // every entity the engine created
bool s_initialised = false;
std::uint32_t s_nameCounter = 0; // next generated entity name number
CWorld* s_currentWorld = nullptr;
CPoolAllocator* s_worldPool = nullptr; // world memory pool, once installed

void ToFloats(const CVector3& v, float* out) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

void RayToHost(const CVector3& from, const CVector3& to, void* user, CRayHit* hit, std::uint32_t mode) {
    CVector3 delta = CVector3::Subtract(to, from);
    float length = delta.Length();
    hit->fraction = 1.0f;
    hit->point = to;
    hit->normal[0] = hit->normal[1] = hit->normal[2] = 0.0f;
    // A segment of length 0 has nothing to hit; asking would make the fraction 0/0.
    if (s_host.rayQuery == nullptr || length == 0.0f) {
        return;
    }
    float a[3];
    float b[3];
    float normal[3] = {0.0f, 0.0f, 0.0f};
    ToFloats(from, a);
    ToFloats(to, b);
    float distance = s_host.rayQuery(a, b, user, mode, length, normal);
    if (distance == length) {
        return;
    }
    hit->fraction = distance / length;
    hit->point = CVector3::Add(from, CVector3::Scale(hit->fraction, delta));
    std::memcpy(hit->normal, normal, sizeof(normal));
}

bool LineOfSightToHost(const CVector3& from, const CVector3& to, void* user, std::uint32_t mode) {
    if (s_host.lineOfSight == nullptr) {
        return true;
    }
    float a[3];
    float b[3];
    ToFloats(from, a);
    ToFloats(to, b);
    return s_host.lineOfSight(a, b, user, mode);
}

bool SweepToHost(const CVector3& from, const CVector3& to, float radius, void* user, std::uint32_t mode) {
    if (s_host.sweep == nullptr) {
        return true;
    }
    float a[3];
    float b[3];
    ToFloats(from, a);
    ToFloats(to, b);
    return s_host.sweep(a, b, radius, user, mode);
}

void DrawLineToHost(const CVector3& from, const CVector3& to, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    if (s_host.drawLine == nullptr) {
        return;
    }
    float a[3];
    float c[3];
    ToFloats(from, a);
    ToFloats(to, c);
    s_host.drawLine(a, c, r, g, b);
}

void DrawPointToHost(const CVector3& point, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    if (s_host.drawPoint == nullptr) {
        return;
    }
    float p[3];
    ToFloats(point, p);
    s_host.drawPoint(p, r, g, b);
}

// Releases the containers InitEngine creates.
void ReleaseContainers() {
    Vusk::EngineFree(s_worldTable);
    s_worldTable = nullptr;
    s_worldSlotCount = 0;
    delete s_entityPool;
    s_entityPool = nullptr;
}

} // namespace

namespace Vusk {

bool Initialise(const CHostServices* services) {
    if (services == nullptr) {
        return false;
    }
    s_host = *services;
    SetAllocationHooks(s_host.allocationHook, s_host.releaseHook);

    CEngineSettings settings(s_host.entityPoolSize, 1);
    settings.clock = s_host.clock;
    settings.clockUser = s_host.clockUser;
    settings.alloc = s_host.alloc;
    settings.realloc = s_host.realloc;
    settings.free = s_host.free;
    settings.ray = RayToHost;
    settings.lineOfSight = LineOfSightToHost;
    settings.sweep = SweepToHost;
    settings.drawLine = DrawLineToHost;
    settings.drawPoint = DrawPointToHost;
    settings.open = s_host.open;
    settings.close = s_host.close;
    settings.eof = s_host.eof;
    settings.gets = s_host.gets;
    settings.write = s_host.write;
    settings.read = s_host.read;
    settings.seek = s_host.seek;

    // The callback allocator's child list is allocated through the current allocator, which
    // must be the callback allocator itself at this point.
    CCallbackAllocator* callback = GetCallbackAllocator();
    SetCurrentAllocator(callback);
    if (!callback->Setup(s_host.allocatorChildCapacity, s_host.alloc, s_host.free)) {
        return false;
    }
    return InitEngine(settings);
}

bool InitEngine(const CEngineSettings& settings) {
    s_initialised = false;
    s_settings.CopyFrom(settings);
    if (GetRootAllocator() == nullptr) {
        SetRootAllocator(GetCurrentAllocator());
    }
    s_usedWorldSlots = 0;
    ReleaseContainers();
    if (settings.worldSlotCount != 0) {
        s_worldTable = static_cast<CWorld**>(EngineAllocate(settings.worldSlotCount * sizeof(CWorld*)));
        if (s_worldTable == nullptr) {
            return false;
        }
        s_worldSlotCount = settings.worldSlotCount;
        for (std::uint32_t i = 0; i < s_worldSlotCount; ++i) {
            s_worldTable[i] = nullptr;
        }
    }
    if (settings.entityPoolSize != 0) {
        s_entityPool = new CList<CEntity*>(settings.entityPoolSize);
        if (s_entityPool == nullptr || s_entityPool->GetCapacity() != settings.entityPoolSize) {
            ReleaseContainers();
            return false;
        }
    }
    s_initialised = true;
    return true;
}

bool IsEngineInitialised() { return s_initialised; }

namespace {
// Constant-initialised, so registrations from other files' static initialisers are safe in
// any order.
constexpr int kMaxReleaseHooks = 16;
EngineReleaseHook s_releaseHooks[kMaxReleaseHooks] = {};
int s_releaseHookCount = 0;
} // namespace

bool AddEngineReleaseHook(EngineReleaseHook hook) {
    if (hook == nullptr || s_releaseHookCount == kMaxReleaseHooks) {
        return false;
    }
    s_releaseHooks[s_releaseHookCount++] = hook;
    return true;
}

void ReleaseEngine() {
    for (int i = s_releaseHookCount - 1; i >= 0; --i) {
        s_releaseHooks[i]();
    }
    // The world file reader's records, the scheduler and the callback tables may live in the
    // world pool, which goes below.
    ReleaseAisReader();
    ReleaseWorldSharedState();
    ReleaseContainers();
    delete s_worldPool; // hands the current allocator back to its parent
    s_worldPool = nullptr;
    SetCurrentAllocator(nullptr);
    // Drops the child list through the host's free function, then forgets the host.
    GetCallbackAllocator()->Setup(0, nullptr, nullptr);
    SetRootAllocator(nullptr);
    SetAllocationHooks(nullptr, nullptr);
    s_host = CHostServices();
    s_settings = CEngineSettings(100, 1);
    s_usedWorldSlots = 0;
    s_initialised = false;
    s_nameCounter = 0;
    s_currentWorld = nullptr;
}

const CHostServices* GetHostServices() { return &s_host; }

const CEngineSettings& GetEngineSettings() { return s_settings; }

bool InstallPoolAllocator(std::size_t size, std::uint32_t childCapacity) {
    if (size == 0 || s_worldPool != nullptr) {
        return false;
    }
    auto* pool = new CPoolAllocator(size, GetCurrentAllocator(), childCapacity);
    if (pool == nullptr) {
        return false;
    }
    if (!pool->IsValid()) {
        delete pool;
        return false;
    }
    s_worldPool = pool;
    SetCurrentAllocator(pool);
    return true;
}

CPoolAllocator* GetWorldPool() { return s_worldPool; }

float RayCast(const CVector3& from, const CVector3& direction, void* user, std::uint32_t mode, float length) {
    CVector3 end = CVector3::Add(from, CVector3::Scale(length, direction));
    CRayHit hit;
    if (s_settings.ray != nullptr) {
        s_settings.ray(from, end, user, &hit, mode);
    }
    return hit.fraction * length;
}

bool HasLineOfSight(const CVector3& from, const CVector3& to, void* user, std::uint32_t mode) {
    return s_settings.lineOfSight == nullptr || s_settings.lineOfSight(from, to, user, mode);
}

bool SweepTest(const CVector3& from, const CVector3& to, void* user, std::uint32_t mode, float width) {
    return s_settings.sweep == nullptr || s_settings.sweep(from, to, width * 0.5f, user, mode);
}

bool FixPathSeparators(const char* source, char* destination, std::size_t destinationSize) {
    if (source == nullptr || destination == nullptr) {
        return false;
    }
    std::size_t length = std::strlen(source);
    if (length >= destinationSize) {
        return false;
    }
    for (std::size_t i = 0; i <= length; ++i) {
        destination[i] = source[i] == '/' ? '\\' : source[i];
    }
    return true;
}

void NotifyGeneratedPosition(const CEntity*) {}

void NotifyGeneratedVectors(const CEntity*) {}

bool AcceptGeneratedPoint(const CVector3&) { return true; }

void DeleteTree(CConfigNode* tree) { delete tree; }

void ReleaseTree(CConfigNode* tree) { delete tree; }

bool ReturnFalse(const CConfigNode*) { return false; }

CList<CEntity*>* GetEngineEntityPool() { return s_entityPool; }

CWorld** GetWorldSlots() { return s_worldTable; }

std::uint32_t GetWorldSlotCount() { return s_worldSlotCount; }

std::uint32_t GetUsedWorldSlotCount() { return s_usedWorldSlots; }

void SetUsedWorldSlotCount(std::uint32_t count) { s_usedWorldSlots = count; }

CWorld* GetCurrentWorld() { return s_currentWorld; }

void SetCurrentWorld(CWorld* world) { s_currentWorld = world; }

std::uint32_t TakeEntityNameNumber() { return s_nameCounter++; }

} // namespace Vusk
