#pragma once
// Shared pieces of the plugins' tests: an engine with the animation and skinning plugins
// attached, random rigid matrices and random unit quaternions.

#include <cmath>
#include <random>

#include "graphics/core/tests/started_engine.h"
#include "graphics/plugins/material_effects.h"
#include "graphics/plugins/skin.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/world_plugin.h"

class SkinnedEngine : public StartedEngine {
protected:
    void RegisterPlugins() override {
        ASSERT_TRUE(OvWorldPluginAttach());
        ASSERT_TRUE(OvAnimPluginAttach());
        ASSERT_TRUE(OvAnimHierarchyPluginAttach());
        ASSERT_TRUE(OvSkinPluginAttach());
    }
};

// A rotation about a random axis, then a move of up to `reach` along each axis.
inline OvMatrix RandomRigid(std::mt19937& rng, float reach = 1.0f) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    OvMatrix m;
    OvMatrixSetIdentity(&m);
    const OvV3d axis = {u(rng), u(rng), u(rng) + 1.5f};
    OvMatrixRotate(&m, &axis, 180.0f * u(rng), ovCOMBINEREPLACE);
    const OvV3d move = {reach * u(rng), reach * u(rng), reach * u(rng)};
    OvMatrixTranslate(&m, &move, ovCOMBINEPOSTCONCAT);
    return m;
}

inline OvQuat RandomUnitQuat(std::mt19937& rng) {
    std::normal_distribution<float> g(0.0f, 1.0f);
    const OvQuat q = {g(rng), g(rng), g(rng), g(rng)};
    const float n = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    return {q.x / n, q.y / n, q.z / n, q.w / n};
}

// Unlocks `g` and hands it to a new atomic with material effects enabled (the atomic keeps the
// geometry); `firstMaterial` gets the geometry's first material.
inline OvAtomic* EffectsAtomicOf(OvGeometry* g, OvMaterial** firstMaterial) {
    g = OvGeometryUnlock(g);
    OvAtomic* a = OvAtomicCreate();
    OvAtomicSetGeometry(a, g, 0);
    OvGeometryDestroy(g);
    *firstMaterial = g->matList.materials[0];
    return OvMaterialEffectsAtomicEnable(a);
}
