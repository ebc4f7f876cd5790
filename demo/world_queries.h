#pragma once
// The AI engine's three line queries answered by the framework's world manager (the level, its
// dynamic triangles and planes, and pickable objects), which the game puts into the host
// services table in place of the collision-world queries of host_services.h.
//
// The engine's mode word becomes the manager's skip-dynamic flag: mode 1 (line of sight) skips
// dynamic objects, mode 2 (rays and sweeps) sees them, any other value is passed on as it is.

#include <cstdint>

struct CHostServices;
class CWorldManager;

namespace DemoWorldQueries {

bool SkipDynamic(std::uint32_t mode);

// Queries go to this manager (null: the framework's current one).
void SetWorldManager(CWorldManager* manager);

// The nearest hit's fraction times length, length without a hit (or without a manager); normal
// receives the hit triangle's normal. user is not used.
float RayHitDistance(const float* from, const float* to, void* user, std::uint32_t mode, float length, float* normal);
// true when nothing is on the segment.
bool IsLineClear(const float* from, const float* to, void* user, std::uint32_t mode);
// true when the manager's cylinder of that radius round the segment touches nothing.
bool SweptQuery(const float* from, const float* to, float radius, void* user, std::uint32_t mode);

// Puts the three queries into the table's ray, line-of-sight and sweep slots.
void Install(CHostServices* table);

} // namespace DemoWorldQueries
