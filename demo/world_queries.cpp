#include "demo/world_queries.h"

#include "ai/runtime/engine.h"
#include "framework/world_manager.h"

namespace {

CWorldManager* gManager = nullptr;

CWorldManager* Manager() { return gManager != nullptr ? gManager : g_worldManager; }

OvV3d V(const float* p) { return {p[0], p[1], p[2]}; }

} // namespace

namespace DemoWorldQueries {

bool SkipDynamic(std::uint32_t mode) {
    if (mode == 1)
        return true;
    if (mode == 2)
        return false;
    return mode != 0;
}

void SetWorldManager(CWorldManager* manager) { gManager = manager; }

float RayHitDistance(const float* from, const float* to, void*, std::uint32_t mode, float length, float* normal) {
    CWorldManager* manager = Manager();
    float fraction = 0.0f;
    OvV3d hitNormal = {0.0f, 0.0f, 0.0f};
    if (manager == nullptr || manager->LineIntersect(V(from), V(to), SkipDynamic(mode), &fraction, &hitNormal) == 0) {
        if (normal != nullptr)
            normal[0] = normal[1] = normal[2] = 0.0f;
        return length;
    }
    if (normal != nullptr) {
        normal[0] = hitNormal.x;
        normal[1] = hitNormal.y;
        normal[2] = hitNormal.z;
    }
    return fraction * length;
}

bool IsLineClear(const float* from, const float* to, void*, std::uint32_t mode) {
    CWorldManager* manager = Manager();
    return manager == nullptr || manager->LineIntersect(V(from), V(to), SkipDynamic(mode)) == 0;
}

bool SweptQuery(const float* from, const float* to, float radius, void*, std::uint32_t mode) {
    CWorldManager* manager = Manager();
    return manager == nullptr || manager->CylinderIntersect(V(from), V(to), radius, SkipDynamic(mode)) == 0;
}

void Install(CHostServices* table) {
    table->rayQuery = RayHitDistance;
    table->lineOfSight = IsLineClear;
    table->sweep = SweptQuery;
}

} // namespace DemoWorldQueries
