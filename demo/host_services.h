#pragma once
// The demo's side of the AI engine's host services: the table of values and callbacks the engine
// is initialised with, and the functions behind it. Memory comes from the graphics engine's
// memory functions; the clock is the demo's timer (timer.h); the line queries test the level's
// collision worlds (at most five) through the collision plugin; debug drawing fills the debug
// line buffer (debug_lines.h); files go through the graphics core's file-system manager.
//
// The game replaces the three line queries with ones against its world manager
// (world_queries.h), which also see dynamic objects.

#include <cstddef>
#include <cstdint>

#include "ai/runtime/engine.h"

struct OvWorld;

namespace DemoServices {

inline constexpr std::uint32_t kEntityPoolSize = 200;
inline constexpr std::uint32_t kAllocatorPoolCount = 10;
inline constexpr int kMaxCollisionWorlds = 5;

// Writes every slot of the table.
void Fill(CHostServices* table);

void* Alloc(std::size_t size);
void* Realloc(void* block, std::size_t size);
void Free(void* block);

// Keeps the first count worlds for the queries; false (nothing kept) when count is negative or
// above kMaxCollisionWorlds, or the list is null while count is not 0.
bool SetCollisionWorlds(OvWorld* const* worlds, int count);
int GetCollisionWorldCount();

// Distance from `from` to the nearest hit on the way to `to`, as a share of length: the hit's
// fraction times length, and length itself when nothing is hit or there are no worlds. normal
// receives the hit triangle's normal (zero without a hit). Both ends equal: 0 and a zero normal.
// user and mode are not used.
float LineOfSight(const float* from, const float* to, void* user, std::uint32_t mode, float length, float* normal);
// true when no world has a triangle on the segment (also without worlds or for a point).
bool IsLineClear(const float* from, const float* to, void* user, std::uint32_t mode);
// true when spheres of the radius centred every radius along the segment (the start excluded)
// touch nothing; radius 0 is a line test, a segment shorter than the radius is clear.
bool LineQueryRadius(const float* from, const float* to, float radius, void* user, std::uint32_t mode);

void DrawLine(const float* from, const float* to, std::uint8_t r, std::uint8_t g, std::uint8_t b);
void DrawCross(const float* point, std::uint8_t r, std::uint8_t g, std::uint8_t b);

// The graphics file-system manager's calls with the engine's signatures.
void* FileOpen(const char* name, const char* mode);
int FileClose(void* file);
int FileEof(void* file);
char* FileGets(char* buffer, int size, void* file);
std::size_t FileWrite(const void* buffer, std::size_t size, std::size_t count, void* file);
std::size_t FileRead(void* buffer, std::size_t size, std::size_t count, void* file);
int FileSeek(void* file, long offset, int whence);

} // namespace DemoServices

namespace Demo {
// true when every AI class group (agents, actions and attributes, point mapper, navigation,
// sound manager, path finder, entity manager) got its registry slots.
bool CheckAiClasses();
} // namespace Demo
