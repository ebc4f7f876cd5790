#pragma once
// Entry surface of the AI engine and its engine-wide state.
//
// The host hands the engine a table of host services (memory, clock, scene queries, debug
// drawing, files); the engine keeps a copy, derives its settings block from it and from
// then on reaches the host only through them. Order of use: Vusk::Initialise once, then the
// world, entity and team functions (world_api.h), and Vusk::ReleaseEngine at shut-down.

#include <cstddef>
#include <cstdint>

#include "ai/runtime/allocator.h"
#include "ai/runtime/class_desc.h"
#include "ai/runtime/config_node.h"
#include "ai/runtime/list.h"
#include "ai/runtime/vector3.h"

class CWorld;
class CEntity;

namespace Vusk {
// Scene queries. Points are three floats x, y, z. user and mode are passed through from the
// engine's caller untouched (by convention user is the object the query should ignore and
// mode the host's query kind); their meaning is the host's. The engine asks them while it walks
// its entity table: they answer only, and add, remove or delete no entity.
//
// Returns the distance along from -> to of the first hit, or exactly length when nothing is
// hit; outNormal receives the hit surface's normal.
using HostRayQuery = float (*)(const float* from, const float* to, void* user, std::uint32_t mode, float length,
                               float* outNormal);
// true when the segment from -> to is clear.
using HostLineOfSightQuery = bool (*)(const float* from, const float* to, void* user, std::uint32_t mode);
// true when a sphere of that radius moves from -> to without touching anything.
using HostSweepQuery = bool (*)(const float* from, const float* to, float radius, void* user, std::uint32_t mode);
// Debug drawing; colour components 0-255.
using HostDrawLine = void (*)(const float* from, const float* to, std::uint8_t r, std::uint8_t g, std::uint8_t b);
using HostDrawPoint = void (*)(const float* point, std::uint8_t r, std::uint8_t g, std::uint8_t b);
// Time in seconds; user is the clock user word.
using HostClock = double (*)(std::uint32_t user);
using HostRealloc = void* (*)(void* block, std::size_t size);
// File access with the C library's semantics; a file handle is null on failure.
using HostFileOpen = void* (*)(const char* path, const char* mode);
using HostFileClose = int (*)(void* file);
using HostFileEof = int (*)(void* file);
using HostFileGets = char* (*)(char* buffer, int size, void* file);
using HostFileWrite = std::size_t (*)(const void* buffer, std::size_t size, std::size_t count, void* file);
using HostFileRead = std::size_t (*)(void* buffer, std::size_t size, std::size_t count, void* file);
using HostFileSeek = int (*)(void* file, long offset, int origin);
} // namespace Vusk

// Table of host values and callbacks the engine is initialised with. Numbers in brackets
// are the table's word numbers; words 12-18 are not used by the engine.
struct CHostServices {
    std::uint32_t entityPoolSize = 0;    // [0] capacity of the engine entity pool; bounds every world's MaxEntity
    Vusk::AllocFunction alloc = nullptr; // [1] memory source of the callback allocator
    Vusk::HostRealloc realloc = nullptr; // [2] copied into the settings; never called
    Vusk::FreeFunction free = nullptr;   // [3] memory release of the callback allocator
    Vusk::AllocationHook allocationHook = nullptr; // [4] after every engine allocation, may be null
    Vusk::ReleaseHook releaseHook = nullptr;       // [5] after every engine release, may be null
    std::uint32_t allocatorChildCapacity =
        0;                                 // [6] sub-allocators the callback allocator can hold (the world pool is one)
    Vusk::HostClock clock = nullptr;       // [7] the time manager's clock, seconds
    std::uint32_t clockUser = 0;           // [8] passed to every clock call
    Vusk::HostRayQuery rayQuery = nullptr; // [9] behind Vusk::RayCast
    Vusk::HostLineOfSightQuery lineOfSight = nullptr; // [10] behind Vusk::HasLineOfSight
    Vusk::HostSweepQuery sweep = nullptr;             // [11] behind Vusk::SweepTest
    Vusk::HostDrawLine drawLine = nullptr;            // [19] debug segment
    Vusk::HostDrawPoint drawPoint = nullptr;          // [20] debug point (cross)
    Vusk::HostFileOpen open = nullptr;                // [21] modes "rb" and "wb"
    Vusk::HostFileClose close = nullptr;              // [22]
    Vusk::HostFileEof eof = nullptr;                  // [23] copied into the settings; never called
    Vusk::HostFileGets gets = nullptr;                // [24] copied into the settings; never called
    Vusk::HostFileWrite write = nullptr;              // [25] returns the count written
    Vusk::HostFileRead read = nullptr;                // [26] returns the count read
    Vusk::HostFileSeek seek = nullptr;                // [27] copied into the settings; never called
};

// Result of the engine's ray adapter.
struct CRayHit {
    float fraction = 1.0f;                // hit position along the segment, 1 when nothing was hit
    CVector3 point;                       // hit point (the segment's end when nothing was hit)
    float normal[3] = {0.0f, 0.0f, 0.0f}; // the host's hit normal, zero when nothing was hit
};

namespace Vusk {
// The engine's query and drawing adapters take engine vectors and call the host words.
using RayAdapter = void (*)(const CVector3& from, const CVector3& to, void* user, CRayHit* hit, std::uint32_t mode);
using LineOfSightAdapter = bool (*)(const CVector3& from, const CVector3& to, void* user, std::uint32_t mode);
using SweepAdapter = bool (*)(const CVector3& from, const CVector3& to, float radius, void* user, std::uint32_t mode);
using DrawLineAdapter = void (*)(const CVector3& from, const CVector3& to, std::uint8_t r, std::uint8_t g,
                                 std::uint8_t b);
using DrawPointAdapter = void (*)(const CVector3& point, std::uint8_t r, std::uint8_t g, std::uint8_t b);
} // namespace Vusk

// Engine-wide settings derived from the host services. Numbers in brackets are the block's
// word numbers; words 11-17 are always zero and have no field.
struct CEngineSettings {
    // Sets the pool size and world slot count, word 7 to 1 and everything else to zero.
    constexpr CEngineSettings(std::uint32_t entityPoolSizeValue, std::uint32_t worldSlotCountValue)
        : entityPoolSize(entityPoolSizeValue), worldSlotCount(worldSlotCountValue) {}
    void CopyFrom(const CEngineSettings& other) { *this = other; }

    std::uint32_t entityPoolSize = 0;               // [0] capacity of the engine entity pool
    std::uint32_t worldSlotCount = 0;               // [1] entries of the world table
    Vusk::HostClock clock = nullptr;                // [2] host clock
    std::uint32_t clockUser = 0;                    // [3] clock user word
    Vusk::AllocFunction alloc = nullptr;            // [4] host alloc
    Vusk::HostRealloc realloc = nullptr;            // [5] host realloc, never called
    Vusk::FreeFunction free = nullptr;              // [6] host free
    std::uint32_t one = 1;                          // [7] always 1
    Vusk::RayAdapter ray = nullptr;                 // [8] ray adapter
    Vusk::LineOfSightAdapter lineOfSight = nullptr; // [9] line-of-sight adapter
    Vusk::SweepAdapter sweep = nullptr;             // [10] sweep adapter
    Vusk::DrawLineAdapter drawLine = nullptr;       // [18] draw-line adapter
    Vusk::DrawPointAdapter drawPoint = nullptr;     // [19] draw-point adapter
    Vusk::HostFileOpen open = nullptr;              // [20] host open
    Vusk::HostFileClose close = nullptr;            // [21] host close
    Vusk::HostFileEof eof = nullptr;                // [22] host word 23
    Vusk::HostFileGets gets = nullptr;              // [23] host word 24
    Vusk::HostFileWrite write = nullptr;            // [24] host write
    Vusk::HostFileRead read = nullptr;              // [25] host read
    Vusk::HostFileSeek seek = nullptr;              // [26] host seek, never called
};

namespace Vusk {

// Copies the host table, installs its allocation hooks, sets the callback allocator up with
// the host's memory functions and makes it current, and runs InitEngine with settings built
// from the table (entity pool size from word 0, one world slot). false when services is
// null or the engine's containers could not be allocated.
bool Initialise(const CHostServices* services);
// Copies settings into the engine's block, makes the current allocator the root when none
// is set, and creates the world table and the engine entity pool. false when they could not
// be allocated (the engine then stays uninitialised).
bool InitEngine(const CEngineSettings& settings);
bool IsEngineInitialised();

// Shut-down: releases the world file reader, the scheduler, the entity callback tables, the
// world table, the engine entity pool and the world memory pool and returns the engine to its state before Initialise (callback allocator without host
// functions, current and no root, no hooks, settings and counters reset, not initialised).
// Worlds, entities and trees must have been deleted before; anything still allocated in the
// world memory pool is gone.
void ReleaseEngine();

// Parts of the engine built above this layer (search buffers, callback tables) keep engine
// memory of their own. Each registers, during static initialisation, a function that gives it
// back; ReleaseEngine runs them, last registered first, before the world pool is released.
// A hook must be harmless when there is nothing to release. False when the table of 16 hooks
// is full.
using EngineReleaseHook = void (*)();
bool AddEngineReleaseHook(EngineReleaseHook hook);

const CHostServices* GetHostServices();
const CEngineSettings& GetEngineSettings();

// When size is not 0 and no world memory pool exists: creates a pool of that size under the
// current allocator, keeps it as the world memory pool and makes it current. false when
// nothing was installed (a pool that could not get its block or be adopted by its parent
// is deleted again).
bool InstallPoolAllocator(std::size_t size, std::uint32_t childCapacity);
CPoolAllocator* GetWorldPool();

// Casts a ray of that length from `from` along direction (unit length) and returns the
// free distance: the hit fraction times length, length when nothing is hit.
float RayCast(const CVector3& from, const CVector3& direction, void* user, std::uint32_t mode, float length);
// true when the segment is clear (also when the host has no line-of-sight query).
bool HasLineOfSight(const CVector3& from, const CVector3& to, void* user, std::uint32_t mode);
// Sweeps a sphere of diameter width; true when clear (also when the host has no sweep query).
bool SweepTest(const CVector3& from, const CVector3& to, void* user, std::uint32_t mode, float width);

// Copies source into destination (destinationSize bytes) with every '/' turned into '\'.
// false when either is null or the text and its terminator do not fit.
bool FixPathSeparators(const char* source, char* destination, std::size_t destinationSize);

// Notifications of the graph generator to its host; no host hook is installed, so the two
// notifications do nothing and every point is accepted.
void NotifyGeneratedPosition(const CEntity* entity);
void NotifyGeneratedVectors(const CEntity* entity);
bool AcceptGeneratedPoint(const CVector3& point);

// Delete a configuration tree; null is ignored.
void DeleteTree(CConfigNode* tree);
void ReleaseTree(CConfigNode* tree);

// Default parameter reader of classes that accept no parameter: always false.
bool ReturnFalse(const CConfigNode* node);

// Engine-wide state shared with the world, entity and team functions.
CList<CEntity*>* GetEngineEntityPool(); // every entity created by the engine; null before InitEngine
CWorld** GetWorldSlots();               // world table, GetWorldSlotCount() entries, null when free
std::uint32_t GetWorldSlotCount();
std::uint32_t GetUsedWorldSlotCount(); // slots ever used
void SetUsedWorldSlotCount(std::uint32_t count);
CWorld* GetCurrentWorld();
void SetCurrentWorld(CWorld* world);
// Number for the next generated entity name ("_%d"); each call returns the next number.
std::uint32_t TakeEntityNameNumber();

} // namespace Vusk
