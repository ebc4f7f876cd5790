// Context set-up, the manager's slots and pools, joints, object types, islands and rest.

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <map>
#include <queue>
#include <random>
#include <set>
#include <vector>

#include "physics/core/context/context.h"
#include "physics/core/context/joint.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/utils/memory.h"
#include "physics/core/volume/primitives.h"
#include "physics/tests/physics_test.h"
#include "platform/crt.h"

TEST(PhysicsContext, ParameterArithmeticAndFixedVolumeTable) {
    OvpContextParams p;
    OvpContextParamsSetDefaults(&p);
    OvpBodyTypeReserve(&p, 20, 12);
    EXPECT_EQ(p.word[1], 4u);
    EXPECT_EQ(p.word[2], 20u);
    EXPECT_EQ(p.word[4], 12u);
    EXPECT_EQ(p.word[5], 12u);
    EXPECT_EQ(p.word[7], 160u);
    EXPECT_EQ(p.word[8], 160u);
    EXPECT_EQ(ovpBodyObjType.maxActive, 12);
    OvpContextParamsSetMaxJoints(&p, 8);
    OvpContextParamsSetMaxJoints(&p, 5);
    EXPECT_EQ(p.word[3], 5u);
    EXPECT_EQ(p.word[6], 5u);
    // Far-field limits: at most 1023 objects, and objects + 2 pairs below 65535.
    p.word[2] = 5000;
    p.word[7] = 100000;
    EXPECT_EQ(OvpContextParamsGetObjectLimit(&p), 1023u);
    EXPECT_LE(1023u + 2 * OvpContextParamsGetPairLimit(&p), 65534u);
    EXPECT_GT(1023u + 2 * (OvpContextParamsGetPairLimit(&p) + 1), 65534u); // the most that fit

    TestWorld w(2);
    OvpVolume volumes[11];
    for (int i = 0; i < 10; ++i) {
        EXPECT_NE(OvpContextAddFixedVolume(w.context, &volumes[i], i), nullptr);
    }
    EXPECT_EQ(OvpContextAddFixedVolume(w.context, &volumes[10], 0), nullptr);
    // Only removing the last used slot shrinks the used count, one slot at a time.
    OvpContextRemoveFixedVolume(w.context, &volumes[5]);
    EXPECT_EQ(w.context->usedCount, 10u);
    for (int i = 9; i >= 2; --i) {
        OvpContextRemoveFixedVolume(w.context, &volumes[i]);
    }
    EXPECT_EQ(w.context->usedCount, 6u); // slot 5 was already empty: slots below it are not trimmed
    EXPECT_EQ(OvpContextRemoveFixedVolume(w.context, &volumes[0]), 1);
    EXPECT_EQ(w.context->usedCount, 6u);
    EXPECT_EQ(OvpContextRemoveFixedVolume(w.context, &volumes[0]), 0);
    OvpContextAddFixedVolume(w.context, &volumes[10], 0);
    EXPECT_EQ(w.context->volumes[0], &volumes[10]);
    OvpObjTypesReset();
}

TEST(PhysicsContext, FailedAllocationsLeaveNothingBehind) {
    for (int failAt = 0; failAt < 8; ++failAt) {
        CountingMemory memory(failAt);
        OvpContextParams p;
        OvpContextParamsSetDefaults(&p);
        OvpBodyTypeReserve(&p, 10, 8);
        std::fill(p.word + 16, p.word + 31, 0xAAAAAAAAu);
        OvpBBox box = {};
        box.sup = {1.0f, 1.0f, 1.0f};
        box.inf = {-1.0f, -1.0f, -1.0f};
        OvpContext* c = OvpContextCreate(&p, 1.0f, &box);
        if (c != nullptr) {
            // Words 16-30 come back: the workspace's bytes, and its pieces' adding up to them.
            OvUInt32 pieces = 0;
            for (int k = 17; k < 31; ++k) {
                EXPECT_NE(p.word[k], 0xAAAAAAAAu) << k;
                pieces += p.word[k];
            }
            EXPECT_EQ(pieces, p.word[16]);
            OvpContextDestroy(c);
        }
        EXPECT_EQ(memory.live(), 0) << "failing allocation " << failAt;
    }
    OvpObjTypesReset();
}

TEST(PhysicsManager, SlotsPoolsAndRemovalInAnyOrder) {
    TestWorld w(6, 4);
    const OvUInt32 freeDyn = OvpMgrGetFreeDynCount(w.manager);
    OvpObj* a = w.Sphere({0, 0, 0});
    OvpObj* b = w.Sphere({3, 0, 0});
    OvpObj* c = w.Sphere({6, 0, 0});
    EXPECT_EQ(a->slot, 0);
    EXPECT_EQ(c->slot, 2);
    EXPECT_EQ(OvpMgrGetFreeDynCount(w.manager), freeDyn - 3);
    // Explicit slots: out of range or in use is refused; an object cannot be added twice.
    OvpBodyDef* def = OvpBodyDefCreate();
    OvpObj* extra = OvpBodyObjCreate(def);
    OvpBodyDefRelease(def);
    EXPECT_EQ(OvpMgrAddObject(w.manager, extra, 1, 0), nullptr);
    EXPECT_EQ(OvpMgrAddObject(w.manager, extra, static_cast<OvInt32>(w.manager->maxObjects), 0), nullptr);
    ASSERT_NE(OvpMgrAddObject(w.manager, extra, static_cast<OvInt32>(w.manager->maxObjects) - 1, 0), nullptr);
    OvpMgrRemoveObject(w.manager, extra);
    OvpMgrRemoveObject(w.manager, b);
    EXPECT_NE(OvpMgrAddObject(w.manager, extra, -1, 0), nullptr);
    EXPECT_EQ(extra->slot, 1);
    EXPECT_EQ(OvpMgrAddObject(w.manager, extra, -1, 0), nullptr);
    OvpBodyObjDestroy(extra);

    // Joints: a chain a-c and c to the world; the world end takes one link node.
    OvpJointDef* jd = OvpJointDefCreate();
    const OvpRef ra = {a, 0, 0}, rc = {c, 0, 0}, world = {nullptr, ovpREFNONE, 0};
    OvpJoint* j1 = OvpJointCreate(w.manager, jd, &ra, &rc);
    OvpJoint* j2 = OvpJointCreate(w.manager, jd, &world, &rc);
    EXPECT_EQ(j1->ref[0].object, c); // the second reference is the first end
    EXPECT_EQ(jd->refCount, 3u);
    EXPECT_NE(OvpMgrAddJoint(w.manager, j1, -1), nullptr);
    EXPECT_EQ(OvpMgrAddJoint(w.manager, j2, 4), nullptr); // four slots: 0 to 3
    EXPECT_NE(OvpMgrAddJoint(w.manager, j2, 3), nullptr);
    EXPECT_EQ(OvpMgrAddJoint(w.manager, j1, 3), nullptr);
    // Removing an end first unlinks its joints from the manager.
    OvpMgrRemoveObject(w.manager, c);
    EXPECT_EQ(j1->id, ovpSLOTNONE);
    EXPECT_EQ(j2->id, ovpSLOTNONE);
    EXPECT_EQ(w.manager->jointHeads[a->slot], nullptr);
    OvpJointDestroy(j1);
    OvpJointDestroy(j2);
    OvpJointDefRelease(jd);
    EXPECT_EQ(OvpMgrGetFreeJointCount(w.manager), w.manager->jointTotal);
    for (OvpObj* o : w.bodies) {
        OvpMgrRemoveObject(w.manager, o);
    }
    EXPECT_EQ(OvpMgrGetFreeDynCount(w.manager), freeDyn);
    EXPECT_EQ(w.manager->activeCount, 0u);

    // A manager carved into a caller's block holds the same pools and takes objects.
    OvpBBox box = {};
    box.sup = {10.0f, 10.0f, 10.0f};
    box.inf = {-10.0f, -10.0f, -10.0f};
    EXPECT_EQ(OvpMgrInit(nullptr, &w.params, &box, 1.0f, 0), nullptr);
    void* block = OvpAlignedMalloc(OvpMgrGetSize(&w.params), 16, ovpMEMHINT);
    std::memset(block, 0xA5, OvpMgrGetSize(&w.params));
    OvpMgr* carved = OvpMgrInit(block, &w.params, &box, 1.0f, 0);
    ASSERT_EQ(static_cast<void*>(carved), block);
    EXPECT_EQ(OvpMgrGetFreeDynCount(carved), freeDyn);
    EXPECT_EQ(OvpMgrGetFreeJointCount(carved), w.manager->jointTotal);
    OvpBodyDef* loose = OvpBodyDefCreate();
    OvpObj* o = OvpBodyObjCreate(loose);
    OvpBodyDefRelease(loose);
    ASSERT_NE(OvpMgrAddObject(carved, o, -1, ovpADD_AWAKE), nullptr);
    EXPECT_EQ(o->slot, 0);
    OvpMgrRemoveObject(carved, o);
    OvpBodyObjDestroy(o);
    OvpAlignedFree(block);
}

TEST(PhysicsManager, NothingFreedIsReadOrPushedAgain) {
    // What still names a freed object, record or block lets it go, in whatever order a caller
    // frees them (under the sanitizers a read of freed memory fails the run).
    TestWorld w(4, 3, 2, {0.0f, -10.0f, 0.0f});
    OvpObj* a = w.Sphere({0, 0, 0});
    OvpObj* b = w.Sphere({0.9f, 0, 0});
    OvpObj* c = w.Sphere({5, 0, 0});
    b->flags |= ovpOBJ_TOUCHES;
    OvpPipelineStep(w.pipeline, 0.01f);
    ASSERT_NE(b->touchHead, nullptr);
    ASSERT_EQ(b->touchHead->other, a);
    OvpJointDef* jd = OvpJointDefCreate();
    const OvpRef world = {nullptr, ovpREFNONE, 0}, ra = {a, 0, 0}, rc = {c, 0, 0};
    OvpJoint* added = OvpJointCreate(w.manager, jd, &world, &ra);
    OvpJoint* apart = OvpJointCreate(w.manager, jd, &world, &ra);
    OvpJoint* ofRemoved = OvpJointCreate(w.manager, jd, &world, &rc);
    ASSERT_NE(OvpMgrAddJoint(w.manager, added, -1), nullptr);
    // A body destroyed in its manager, and one removed first: the touch entries naming it let it
    // go, and the joints naming it, added or not, are never added again.
    w.bodies.erase(std::remove(w.bodies.begin(), w.bodies.end(), a), w.bodies.end());
    w.bodies.erase(std::remove(w.bodies.begin(), w.bodies.end(), c), w.bodies.end());
    OvpBodyObjDestroy(a);
    OvpMgrRemoveObject(w.manager, c);
    OvpBodyObjDestroy(c);
    EXPECT_EQ(b->touchHead->other, nullptr);
    for (OvpJoint* j : {added, apart, ofRemoved}) {
        EXPECT_EQ(OvpMgrAddJoint(w.manager, j, -1), nullptr);
    }
    // Records destroyed twice go back to their pools once.
    const OvUInt32 freeDyn = OvpMgrGetFreeDynCount(w.manager);
    OvpDyn* dyn = OvpDynCreate(w.manager, nullptr, nullptr);
    EXPECT_EQ(OvpDynDestroy(dyn), 1);
    EXPECT_EQ(OvpDynDestroy(dyn), 0);
    EXPECT_EQ(OvpMgrGetFreeDynCount(w.manager), freeDyn);
    EXPECT_EQ(OvpJointDestroy(added), 1);
    EXPECT_EQ(OvpJointDestroy(added), 0);
    OvpJointDestroy(apart);
    OvpJointDestroy(ofRemoved);
    EXPECT_EQ(OvpMgrGetFreeJointCount(w.manager), w.manager->jointTotal);
    // A generic object's own joint destroyed by the caller is no longer the object's: the object
    // leaving the manager does not destroy the joint that took the record next.
    OvpMultiDef* def = OvpMultiDefCreate(2, 1, 0);
    ASSERT_NE(def, nullptr);
    def->jointDefs[0] = jd;
    ++jd->refCount;
    def->jointEnds[0][1] = 1;
    OvpMultiObj* g = OvpMultiObjCreate(&ovpGenericObjType, def, 0);
    OvpRagdollDefRelease(def);
    ASSERT_NE(OvpMgrAddObject(w.manager, &g->obj, -1, ovpADD_DYNAMIC | ovpADD_ACTIVATE), nullptr);
    ASSERT_EQ(g->obj.jointCount, 1);
    OvpJointDestroy(g->obj.joints[0]);
    OvpJoint* next = OvpJointCreate(w.manager, jd, &world, &world);
    OvpRagdollObjDestroy(g);
    EXPECT_EQ(OvpJointGetDef(next), jd);
    OvpJointDestroy(next);
    OvpJointDefRelease(jd);
    // The context destroyed before its bodies: they leave it (their type's active count back to
    // 0, no touch chain into the freed workspace) and are destroyed after it.
    OvpContextDestroy(w.context);
    w.context = nullptr;
    EXPECT_EQ(b->manager, nullptr);
    EXPECT_EQ(b->touchHead, nullptr);
    EXPECT_EQ(ovpBodyObjType.activeCount, 0);
}

TEST(PhysicsManager, NoJointSlotsAndLimits) {
    TestWorld w(3);
    OvpObj* a = w.Sphere({0, 0, 0});
    OvpJointDef* jd = OvpJointDefCreate();
    const OvpRef ra = {a, 0, 0}, world = {nullptr, ovpREFNONE, 0};
    // No joint records at all: creation fails and touches nothing.
    EXPECT_EQ(OvpJointCreate(w.manager, jd, &ra, &world), nullptr);
    EXPECT_EQ(jd->refCount, 1u);
    OvpJointDefRelease(jd);
    // The body type allows three active bodies: the fourth stays without dynamics.
    w.Sphere({2, 0, 0});
    w.Sphere({4, 0, 0});
    OvpObj* d = w.Sphere({6, 0, 0});
    EXPECT_EQ(d->parts[0].dyn, nullptr);
    EXPECT_EQ(OvpMgrActivateObject(w.manager, d), nullptr);
    OvpMgrRemoveObject(w.manager, a);
    EXPECT_EQ(OvpMgrActivateObject(w.manager, d), d);

    // The hinge's spring through the second limit block.
    OvpJointDef* def = OvpJointDefCreate();
    EXPECT_EQ(OvpJointLimitGetSpring(OvpJointDefGetSecondLimit(def)), &def->springs0[1]);
    OvpJointDefRelease(def);
}

TEST(PhysicsManager, BroadPhaseSpreadsFromAwakeObjects) {
    TestWorld w(4);
    OvpObj* a = w.Sphere({0, 0, 0});
    OvpObj* b = w.Sphere({0.9f, 0, 0}, 1.0f, ovpADD_DYNAMIC);
    OvpObj* far = w.Sphere({20, 0, 0}, 1.0f, ovpADD_DYNAMIC);
    OvpPipelineUpdateBroadPhase(w.pipeline);
    ASSERT_EQ(w.pipeline->pairCount, 1u);
    EXPECT_EQ(w.pipeline->pairs[0].ref[0].object, a);
    EXPECT_EQ(w.pipeline->pairs[0].ref[1].object, b);
    EXPECT_EQ(w.pipeline->movedCount, 2u);
    // Both asleep: nothing is listed, and b (flag 2) gives its dynamics back.
    OvpMgrSetObjectAwake(w.manager, a, 0);
    OvpPipelineUpdateBroadPhase(w.pipeline);
    EXPECT_EQ(w.pipeline->pairCount, 0u);
    EXPECT_EQ(w.pipeline->movedCount, 0u);
    EXPECT_EQ(a->parts[0].dyn, nullptr);
    EXPECT_EQ(far->parts[0].dyn, nullptr);
    // Waking one lists the other through the overlap and activates both again.
    OvpMgrSetObjectAwake(w.manager, b, 1);
    OvpPipelineUpdateBroadPhase(w.pipeline);
    EXPECT_EQ(w.pipeline->pairCount, 1u);
    EXPECT_NE(a->parts[0].dyn, nullptr);
}

namespace {

// A type whose objects take no dynamics: activation just succeeds.
OvpObj* PlainActivate(OvpObj* o) { return o; }
OvpBBox* NoBox(OvpObj*, OvpBBox*) { return nullptr; }
OvpObjType gPlainType = {9, "plain", -1, 0, PlainActivate, nullptr, NoBox, nullptr, 0, nullptr};

} // namespace

TEST(PhysicsIslands, MembershipMatchesBreadthFirstOracle) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 40; ++trial) {
        TestWorld w(40, 64);
        const int n = 30;
        std::vector<OvpObj> objects(n);
        std::vector<bool> active(n);
        std::vector<OvpObj*> listed;
        for (int i = 0; i < n; ++i) {
            OvpObjInit(&objects[i], 0, 0);
            objects[i].type = &gPlainType;
            active[i] = rng() % 4 != 0;
            OvpMgrAddObject(w.manager, &objects[i], -1, active[i] ? ovpADD_DYNAMIC | ovpADD_ACTIVATE : 0);
            if (active[i] || rng() % 2) {
                listed.push_back(&objects[i]);
            }
        }
        // Random constraints; edges join two objects only when both are active or both are not.
        std::vector<OvpContact> contacts(25);
        std::vector<std::vector<int>> adjacent(n);
        std::vector<OvpJoint> joints(15);
        std::vector<OvpJoint*> jointList;
        auto edge = [&](int a, int b, OvpRef* refs) {
            refs[0] = {&objects[a], 0, 0};
            refs[1] = {&objects[b], 0, 0};
            if (active[a] == active[b]) {
                adjacent[a].push_back(b);
                adjacent[b].push_back(a);
            }
        };
        for (OvpContact& c : contacts) {
            c = {};
            c.count = 1;
            edge(rng() % n, rng() % n, c.ref);
        }
        for (OvpJoint& j : joints) {
            j = {};
            edge(rng() % n, rng() % n, j.ref);
            jointList.push_back(&j);
        }
        std::vector<OvpIsland> islands(n + 1);
        std::vector<OvpObj*> islandObjects(n);
        std::vector<OvpJoint*> islandJoints(joints.size());
        OvpIslandTable table = {islands.data(),
                                0,
                                static_cast<OvUInt32>(islands.size()),
                                islandObjects.data(),
                                static_cast<OvUInt32>(n),
                                islandJoints.data(),
                                static_cast<OvUInt32>(joints.size())};
        std::vector<OvpUnionSet> sets(n);
        std::vector<OvpUnionNode> nodes(w.manager->maxObjects);
        OvpPartitionBuildIslands(&table, sets.data(), nodes.data(), w.manager->maxObjects, listed.data(),
                                 static_cast<OvUInt32>(listed.size()), jointList.data(),
                                 static_cast<OvUInt32>(jointList.size()), contacts.data(),
                                 static_cast<OvUInt32>(contacts.size()));
        // Oracle: components over the edges, among objects that some constraint names or that are
        // listed and active.
        std::vector<int> component(n, -1);
        int components = 0;
        std::vector<bool> named(n, false);
        for (const OvpContact& c : contacts) {
            for (const OvpRef& r : c.ref)
                named[r.object - objects.data()] = true;
        }
        for (const OvpJoint& j : joints) {
            for (const OvpRef& r : j.ref)
                named[r.object - objects.data()] = true;
        }
        for (int s = 0; s < n; ++s) {
            if (component[s] >= 0)
                continue;
            const bool listedActive = active[s] && std::find(listed.begin(), listed.end(), &objects[s]) != listed.end();
            // An inactive object in a one-sided constraint joins no island.
            bool two = false;
            for (const OvpContact& c : contacts)
                two |= (c.ref[0].object == &objects[s] || c.ref[1].object == &objects[s]) &&
                       active[c.ref[0].object - objects.data()] == active[c.ref[1].object - objects.data()];
            for (const OvpJoint& j : joints)
                two |= (j.ref[0].object == &objects[s] || j.ref[1].object == &objects[s]) &&
                       active[j.ref[0].object - objects.data()] == active[j.ref[1].object - objects.data()];
            const bool member = listedActive || (named[s] && (active[s] || two));
            if (!member)
                continue;
            std::queue<int> q;
            q.push(s);
            component[s] = components;
            while (!q.empty()) {
                const int u = q.front();
                q.pop();
                for (int v : adjacent[u]) {
                    if (component[v] < 0) {
                        component[v] = components;
                        q.push(v);
                    }
                }
            }
            ++components;
        }
        ASSERT_EQ(static_cast<int>(table.count), components) << "trial " << trial;
        std::set<int> seen;
        OvUInt32 jointsPlaced = 0;
        for (OvUInt32 k = 0; k < table.count; ++k) {
            const OvpIsland& island = table.islands[k];
            const int comp = component[island.objects[0] - objects.data()];
            EXPECT_TRUE(seen.insert(comp).second);
            int size = 0;
            for (int i = 0; i < n; ++i)
                size += component[i] == comp;
            EXPECT_EQ(static_cast<int>(island.objectCount), size);
            for (OvUInt32 o = 0; o < island.objectCount; ++o) {
                EXPECT_EQ(component[island.objects[o] - objects.data()], comp);
            }
            jointsPlaced += island.jointCount;
        }
        EXPECT_EQ(jointsPlaced, joints.size());
        for (OvpObj& o : objects) {
            OvpMgrRemoveObject(w.manager, &o);
            OvpObjDeinit(&o);
        }
    }
}

TEST(PhysicsRest, StrictThresholdsAndSleepWakeCycles) {
    TestWorld w(2);
    OvpObj* a = w.Sphere({0, 0, 0});
    OvpObj* b = w.Sphere({10, 0, 0});
    // a keeps its dynamics when it leaves the simulation (no flag 2).
    a->flags &= ~static_cast<OvUInt32>(ovpOBJ_DROPDYNAMICS);
    const OvUInt32 freeDyn = OvpMgrGetFreeDynCount(w.manager);
    const OvInt32 active = ovpBodyObjType.activeCount;
    // A speed exactly at the bound counts as rest; just above it keeps the body awake. No gravity
    // and no damping, so the velocities stay as set.
    const OvV3d zero = {0, 0, 0};
    OvpPipelineSetGravity(w.pipeline, &zero);
    a->parts[0].dyn->linearDamping = 0.0f;
    b->parts[0].dyn->linearDamping = 0.0f;
    w.V(a)[0] = 0.1f;
    w.V(b)[0] = std::nextafter(0.1f, 1.0f);
    OvpPipelineStep(w.pipeline, 0.01f);
    EXPECT_FALSE(w.Awake(a));
    EXPECT_TRUE(w.Awake(b));
    // An object that may not sleep never does.
    b->flags &= ~static_cast<OvUInt32>(ovpOBJ_MAYSLEEP);
    w.V(b)[0] = 0.0f;
    OvpPipelineStep(w.pipeline, 0.01f);
    EXPECT_TRUE(w.Awake(b));

    // Sleep and wake cycles do not take a second record each time.
    for (int cycle = 0; cycle < 100; ++cycle) {
        OvpMgrSetObjectAwake(w.manager, a, 1);
        OvpPipelineStep(w.pipeline, 0.01f);
        OvpPipelineStep(w.pipeline, 0.01f);
    }
    EXPECT_EQ(OvpMgrGetFreeDynCount(w.manager), freeDyn);
    EXPECT_EQ(ovpBodyObjType.activeCount, active);
    EXPECT_EQ(w.manager->activeCount, 2u);
}

TEST(PhysicsObjectTypes, GenericActivationNeedsEveryRecord) {
    for (OvUInt32 records : {3u, 4u}) {
        TestWorld w(0, 4, records);
        w.manager->maxActive = 4;
        OvpMultiDef* def = OvpMultiDefCreate(4, 1, 0);
        ASSERT_NE(def, nullptr);
        def->jointDefs[0] = OvpJointDefCreate();
        def->jointEnds[0][0] = 0;
        def->jointEnds[0][1] = 1;
        const float half[3] = {0.2f, 0.2f, 0.2f};
        for (int i = 0; i < 4; ++i) {
            OvpBoxInit(&def->volumes[i], half);
        }
        OvpMultiObj* g = OvpMultiObjCreate(&ovpGenericObjType, def, ovpOBJ_MAYSLEEP);
        OvpRagdollDefRelease(def);
        OvpMgrAddObject(w.manager, &g->obj, -1, ovpADD_DYNAMIC | ovpADD_ACTIVATE);
        if (records == 3) {
            // Four parts, three free records: nothing changes.
            EXPECT_FALSE(OvpBitTest(w.manager->active, g->obj.slot));
            EXPECT_EQ(OvpMgrGetFreeDynCount(w.manager), 3u);
            EXPECT_EQ(OvpMgrGetFreeJointCount(w.manager), 4u);
            EXPECT_EQ(ovpGenericObjType.activeCount, 0);
            EXPECT_TRUE(w.manager->failed);
        } else {
            // Every part gets a record and the joint joins parts 0 and 1 (frame 0 on part 1).
            EXPECT_EQ(OvpMgrGetFreeDynCount(w.manager), 0u);
            ASSERT_EQ(g->obj.jointCount, 1);
            EXPECT_EQ(g->obj.joints[0]->ref[0].part, 1);
            EXPECT_EQ(def->jointDefs[0]->refCount, 2u);
            OvpBBox box;
            EXPECT_NE(OvpMgrGetObjectBounds(w.manager, &g->obj, &box), nullptr);
            OvpMgrRemoveObject(w.manager, &g->obj);
            EXPECT_EQ(OvpMgrGetFreeDynCount(w.manager), 4u);
            EXPECT_EQ(OvpMgrGetFreeJointCount(w.manager), 4u);
            EXPECT_EQ(ovpGenericObjType.activeCount, 0);
        }
        OvpRagdollObjDestroy(g);
    }
}

TEST(PhysicsPipeline, FastBodiesBecomeSweptMoversWhileTheTableHasRoom) {
    TestWorld w(45);
    std::vector<OvpObj*> fast;
    for (int i = 0; i < 44; ++i) {
        OvpObj* b = w.Sphere({-80.0f + 3.5f * i, 0.0f, 0.0f});
        w.V(b)[1] = 100.0f; // 1 m a step: more than half its 1 m width
        fast.push_back(b);
    }
    OvpObj* slow = w.Sphere({0.0f, 50.0f, 0.0f});
    w.V(slow)[1] = 49.0f; // 0.49 m a step: not swept
    const OvV3d start = w.M(fast[0]).pos;
    OvpPipelineStep(w.pipeline, 0.01f);
    ASSERT_EQ(w.pipeline->sweptCount, 40u); // params word 15
    EXPECT_EQ(w.pipeline->swept[0].object, fast[0]);
    EXPECT_EQ(w.pipeline->swept[0].startPosition.y, start.y);
    for (OvUInt32 i = 0; i < w.pipeline->sweptCount; ++i) {
        EXPECT_NE(w.pipeline->swept[i].object, slow);
    }
    // Every body moved, swept or not, and its far-field box followed it.
    EXPECT_NEAR(w.M(fast[43]).pos.y, 0.01f * 100.0f * (1.0f - 0.01f * 0.01f), 1e-5f); // damped once
    OvpBBox box;
    ASSERT_NE(OvpMgrGetObjectBounds(w.manager, slow, &box), nullptr);
    EXPECT_NEAR(box.sup.y, w.M(slow).pos.y + 0.5f, 1e-4f);
}

TEST(PhysicsManager, CollectPairsByClassAndFrameSync) {
    TestWorld w(4);
    OvpObj* a = w.Sphere({0, 0, 0});                          // dynamic, awake
    OvpObj* b = w.Sphere({0.5f, 0, 0}, 1.0f, ovpADD_DYNAMIC); // dynamic, asleep
    OvpObj* c = w.Sphere({-0.5f, 0, 0}, 1.0f, ovpADD_AWAKE);  // not dynamic, awake
    OvpObj* list[1] = {a};
    OvpRefPair pairs[4];
    EXPECT_EQ(OvpMgrCollectPairs(w.manager, list, 1, pairs, 4, 15), 2u);
    ASSERT_EQ(OvpMgrCollectPairs(w.manager, list, 1, pairs, 4, ovpCLASS_DYNAMICASLEEP), 1u);
    EXPECT_EQ(pairs[0].ref[1].object, b);
    ASSERT_EQ(OvpMgrCollectPairs(w.manager, list, 1, pairs, 4, ovpCLASS_STATICAWAKE), 1u);
    EXPECT_EQ(pairs[0].ref[1].object, c);
    // Two given objects that overlap make their pair once.
    OvpObj* both[2] = {a, b};
    EXPECT_EQ(OvpMgrCollectPairs(w.manager, both, 2, pairs, 4, ovpCLASS_DYNAMICAWAKE | ovpCLASS_DYNAMICASLEEP), 1u);
    // Sorted partner lists come in slot order.
    OvUInt16 partners[4];
    ASSERT_EQ(OvpPairLinksGetPartners(w.manager->farfield->pairLinks, a->slot, partners, nullptr, 1), 2u);
    EXPECT_LT(partners[0], partners[1]);

    // The bound matrix follows the body, moved back to the model origin.
    w.V(a)[0] = 2.0f;
    OvpPipelineStep(w.pipeline, 0.1f);
    OvpBodyObjSyncFrame(a);
    EXPECT_EQ(a->parts[0].matrix->pos.x, w.M(a).pos.x);
    EXPECT_GT(a->parts[0].matrix->pos.x, 0.19f);
    // Unbound, the sync writes nothing.
    a->parts[0].matrix = nullptr;
    OvpBodyObjSyncFrame(a);
}

TEST(PhysicsIslands, AnAwakeContactPartnerKeepsTheIslandMoving) {
    TestWorld w(3);
    OvpObj* a = w.Sphere({0, 0, 0}, 1.0f, ovpADD_DYNAMIC | ovpADD_ACTIVATE); // asleep
    OvpObj* floor = w.Sphere({0, -1, 0}, 1.0f, ovpADD_AWAKE);                // static, awake
    OvpPipeline* p = w.pipeline;
    for (bool floorAwake : {true, false}) {
        OvpMgrSetObjectAwake(w.manager, floor, floorAwake);
        p->moved[0] = a;
        p->movedCount = 1;
        p->jointCount = 0;
        p->contacts[0].count = 1;
        p->contacts[0].ref[0] = {a, 0, 0};
        p->contacts[0].ref[1] = {floor, 0, 0};
        p->contactCount = 1;
        OvpPipelineBuildIslands(p);
        ASSERT_EQ(p->islands.count, 1u);
        EXPECT_EQ(p->islands.islands[0].objectCount, 1u); // the static floor joins no island
        EXPECT_EQ(p->islands.islands[0].contacts, &p->contacts[0]);
        EXPECT_EQ((p->islands.islands[0].flags & ovpISLAND_RESTING) != 0, !floorAwake);
    }
}
