// Guns, impact bursts and thrown rocks on a generated level: the shot period, the aim cone, who
// is hit and where the level is hit, the shared emitter banks, the bursts' random draws and
// lifetime, a body pushed by a shot, and rocks that land and make a noise.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "framework/character.h"
#include "framework/clump_object.h"
#include "framework/framework.h"
#include "framework/physics_glue.h"
#include "framework/projectiles.h"
#include "framework/rigid_bodies.h"
#include "framework/tests/level_fixture.h"
#include "graphics/core/frame.h"
#include "graphics/core/testkit/memory_raster_driver.h"
#include "graphics/plugins/particles.h"
#include "graphics/world/clump.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/graphics/body_atomic.h"
#include "platform/crt.h"
#include "tools/mkasset/skeleton.h"

namespace {

float Distance(const OvV3d& a, const OvV3d& b) {
    return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z));
}

class ProjectileTest : public LevelTest {
protected:
    // Textures need rasters.
    const OvDriver* Driver() const override { return OvTestMemoryRasterDriver(); }
    void SetUp() override {
        LevelTest::SetUp();
        WriteGunAssets();
        std::filesystem::create_directories(dir + "/Models");
        WriteBytes("Models/World.dff", mkasset::ClumpFile(BoxClumpAt(0, 0, 0)));
        WriteBytes("soldier.dff", mkasset::ClumpFile(mkasset::CharacterClump(mkasset::kMaxBones)));
        auto* profile = new CCharacterProfile("Soldier", 1.0f);
        profile->clump = "soldier.dff";
        ASSERT_TRUE(CCharacterProfile::Add(profile));
        LoadOpenLevel(64);
        ASSERT_NE(g_worldManager->GetPhysicsContext(), nullptr);
    }
    void TearDown() override {
        for (auto& c : characters) {
            c->Release();
        }
        characters.clear();
        ReleaseRocks();
        CCharacterProfile::DestroyAll();
        CAnimationCache::Clear();
        DestroyAnimationCommandPool();
        LevelTest::TearDown();
    }
    CCharacter* Spawn(const OvV3d& at) {
        characters.push_back(std::make_unique<CCharacter>());
        CCharacter* c = characters.back().get();
        c->SetInputControlled(false);
        EXPECT_TRUE(c->InitFromProfile("Soldier", at));
        c->SetPosition(at); // the clump too, without waiting for the motion body's update
        return c;
    }
    // A gun that shoots from the owner's eye (1.4 above its position) at the point.
    static CProjectileTable* EyeGun(CCharacter* c, const OvV3d& aim) {
        CProjectileTable* gun = c->GetProjectileTable();
        gun->SetUseMuzzle(false);
        gun->SetAim(true, &aim);
        gun->SetFiring(true);
        return gun;
    }
    // Puts the hand bone at the point with the character's axes (x right, y up, z at).
    static void PlaceHand(CCharacter* c, const OvV3d& at) {
        auto* hand = const_cast<OvMatrix*>(c->GetBoneMatrix(kHandBone));
        ASSERT_NE(hand, nullptr);
        hand->right = {1, 0, 0};
        hand->up = {0, 1, 0};
        hand->at = {0, 0, 1};
        hand->pos = at;
    }

    std::vector<std::unique_ptr<CCharacter>> characters;
};

TEST_F(ProjectileTest, OneShotAPeriodAndFewTracersInFlight) {
    CCharacter* shooter = Spawn({0, 0, 0});
    // Aim at the sky: every shot misses and its tracer flies the whole 30 units (0.75 s).
    CProjectileTable* gun = EyeGun(shooter, {0, 100, 0.5f});
    std::mt19937 random(11);
    std::uniform_real_distribution<float> step(0.001f, 0.2f);
    float time = 0;
    int maxActive = 0;
    for (int frame = 0; frame < 2000; ++frame) {
        const float dt = step(random);
        const int before = gun->ShotsFired();
        gun->Update(dt);
        time += dt;
        EXPECT_LE(gun->ShotsFired() - before, 1);
        maxActive = std::max(maxActive, gun->ActiveCount());
    }
    // A shot each time the timer passes 0.15 s; the timer restarts at each shot, so no more than
    // one shot per period, and at least one per period and frame.
    EXPECT_LE(gun->ShotsFired(), static_cast<int>(time / CProjectileTable::kShotPeriod));
    EXPECT_GE(gun->ShotsFired(), static_cast<int>(time / (CProjectileTable::kShotPeriod + 0.2f)));
    EXPECT_EQ(gun->LastShotKind(), kShotMiss);
    // A tracer lives 0.75 s, so no more than six are ever in flight of the 32 slots.
    EXPECT_LE(maxActive, 6);
    EXPECT_GE(maxActive, 4);

    // Exactly: steps of 0.1 s fire at every second step; the tracers go at 40 units a second.
    CProjectileTable fresh;
    fresh.Attach(shooter);
    fresh.SetUseMuzzle(false);
    const OvV3d sky = {0, 100, 0.5f};
    fresh.SetAim(true, &sky);
    fresh.SetFiring(true);
    for (int k = 0; k < 10; ++k) {
        fresh.Update(0.1f);
    }
    // Shots at 0.2, 0.4, 0.6, 0.8 and 1.0 s, each moving 4 units in its own step: the first is
    // gone at 0.9 s (32 units), so the fifth takes its slot.
    EXPECT_EQ(fresh.ShotsFired(), 5);
    EXPECT_EQ(fresh.ActiveCount(), 4);
    EXPECT_NEAR(fresh.Slot(0).travelled, 4.0f, 1e-5f);
    EXPECT_NEAR(fresh.Slot(1).travelled, 28.0f, 1e-4f);
    EXPECT_FALSE(fresh.Slot(4).active);
    fresh.SetFiring(false);
    for (int k = 0; k < 10; ++k) {
        fresh.Update(0.1f);
    }
    EXPECT_EQ(fresh.ShotsFired(), 5);
    EXPECT_EQ(fresh.ActiveCount(), 0);
    fresh.Detach();
}

TEST_F(ProjectileTest, MuzzleConeDecidesWhetherAShotLeaves) {
    CCharacter* shooter = Spawn({0, 0, 0});
    CProjectileTable* gun = shooter->GetProjectileTable();
    PlaceHand(shooter, {0, 1.2f, 0});
    const OvV3d muzzle = {0.05f, 1.31f, 0.6f};
    gun->SetFiring(true);
    struct Case {
        OvV3d aim;
        bool fired;
    } cases[] = {
        {{muzzle.x, muzzle.y, muzzle.z - 5}, false},                                                 // behind
        {{muzzle.x + std::sqrt(1 - 0.899f * 0.899f) * 10, muzzle.y, muzzle.z + 0.899f * 10}, false}, // cos 0.899
        {{muzzle.x + std::sqrt(1 - 0.901f * 0.901f) * 10, muzzle.y, muzzle.z + 0.901f * 10}, true},  // cos 0.901
        {{muzzle.x, muzzle.y + 1, muzzle.z + 20}, true},
    };
    for (const Case& c : cases) {
        const int before = gun->ShotsFired();
        gun->SetAim(true, &c.aim);
        gun->Update(0.2f);
        EXPECT_EQ(gun->ShotsFired() - before, c.fired ? 1 : 0) << c.aim.x << " " << c.aim.z;
        EXPECT_EQ(gun->ShotAllowed(), c.fired);
        if (c.fired) {
            const CProjectileTable::Projectile& p = gun->Slot(before);
            const OvV3d start = {p.position.x - p.direction.x * p.travelled, p.position.y - p.direction.y * p.travelled,
                                 p.position.z - p.direction.z * p.travelled};
            EXPECT_NEAR(Distance(start, muzzle), 0.0f, 1e-4f);
            const float d = Distance(c.aim, muzzle);
            EXPECT_NEAR(p.direction.x, (c.aim.x - muzzle.x) / d, 1e-5f);
            EXPECT_NEAR(p.direction.z, (c.aim.z - muzzle.z) / d, 1e-5f);
        }
    }
    // Without aiming the shot follows the muzzle's axis.
    gun->SetAim(false, nullptr);
    const int before = gun->ShotsFired();
    gun->Update(0.2f);
    ASSERT_EQ(gun->ShotsFired(), before + 1);
    EXPECT_NEAR(gun->Slot(before).direction.z, 1.0f, 1e-6f);
    // From the eye the cone does not apply: a point behind is shot at.
    gun->SetUseMuzzle(false);
    const OvV3d behind = {0, 1.4f, -10};
    gun->SetAim(true, &behind);
    gun->Update(0.2f);
    EXPECT_EQ(gun->ShotsFired(), before + 2);
    const CProjectileTable::Projectile& back = gun->Slot(before + 1);
    EXPECT_NEAR(back.direction.z, -1.0f, 1e-6f);
    EXPECT_NEAR(Distance(back.position, {0, 1.4f, -back.travelled}), 0.0f, 1e-5f);
}

TEST_F(ProjectileTest, CharactersFireOnlyWhenAlertOrAiming) {
    CCharacter* c = Spawn({0, 0, 0});
    const CProjectileTable* gun = c->GetProjectileTable();
    const std::int32_t states[] = {kMoveWalk, kMoveRun, kMoveAlert, kMoveCrouchAim, kMoveStandAim};
    for (const std::int32_t state : states) {
        const int before = gun->ShotsFired();
        for (int frame = 0; frame < 4; ++frame) {
            c->movementState = state;
            c->SetFiring();
            c->Update(0.1f);
        }
        const bool fires = state == kMoveAlert || state == kMoveCrouchAim || state == kMoveStandAim;
        EXPECT_EQ(gun->ShotsFired() - before, fires ? 2 : 0) << state;
        EXPECT_FALSE(c->IsFiring()); // the request lasts one update
    }
}

TEST_F(ProjectileTest, FlashFlickersAtTheHandWhileFiring) {
    CCharacter* shooter = Spawn({0, 0, 0});
    CProjectileTable* gun = shooter->GetProjectileTable();
    PlaceHand(shooter, {0.5f, 1.2f, 0.25f});
    CClumpObject* flash = gun->Flash();
    ASSERT_NE(flash, nullptr);
    // Kept in the world (drawn) but parked far below until the gun fires.
    EXPECT_TRUE(flash->IsVisible());
    EXPECT_TRUE(flash->IsInWorld());
    auto at = [&] { return OvFrameGetMatrix(flash->GetFrame())->pos; };
    EXPECT_EQ(at().y, -1000.0f);
    gun->SetFiring(true);
    // Ten flickers a second: the flash shows in the first quarter of each (steps of an eighth of
    // a flicker, exact in binary).
    std::string seen;
    for (int k = 0; k < 16; ++k) {
        gun->Update(0.0125f);
        seen += at().y == 1.2f ? 'H' : at().y == -1000.0f ? '_' : '?';
    }
    EXPECT_EQ(seen, "HH______HH______");
    // From the eye there is no flash.
    gun->SetUseMuzzle(false);
    gun->Update(0.01f);
    EXPECT_EQ(at().y, -1000.0f);
}

TEST_F(ProjectileTest, NearestCharacterWithinReachIsHit) {
    CCharacter* shooter = Spawn({0, 0, 0});
    // The line of fire runs along z at height 1.4; a target's point is 1.0 above its feet, so a
    // target at lateral offset x is sqrt(x^2 + 0.16) from the line.
    const float inside = std::sqrt(0.849f * 0.849f - 0.16f), outside = std::sqrt(0.851f * 0.851f - 0.16f);
    CCharacter* far = Spawn({0, 0, 12});
    CCharacter* near = Spawn({inside, 0, 6});
    CCharacter* wide = Spawn({outside, 0, 3});
    CCharacter* behind = Spawn({0, 0, -4});
    CProjectileTable* gun = EyeGun(shooter, {0, 1.4f, 30});
    gun->Update(0.2f);
    ASSERT_EQ(gun->ShotsFired(), 1);
    EXPECT_EQ(gun->LastShotKind(), kShotCharacter);
    EXPECT_EQ(gun->LastTarget(), near);
    EXPECT_NEAR(gun->Slot(0).range, 6.0f, 1e-4f);
    EXPECT_FLOAT_EQ(near->GetHealth(), 95.0f);
    EXPECT_FLOAT_EQ(far->GetHealth(), 100.0f);
    EXPECT_FLOAT_EQ(wide->GetHealth(), 100.0f);
    EXPECT_FLOAT_EQ(behind->GetHealth(), 100.0f);
    // A red burst at the impact, from the first emitter of the first bank.
    EXPECT_EQ(CProjectileTable::Bank(0).next, 1);
    EXPECT_EQ(CProjectileTable::Bank(1).next, 0);
    const CParticleEmitter* burst = CProjectileTable::Bank(0).emitters[0];
    ASSERT_NE(burst, nullptr);
    EXPECT_TRUE(burst->Alive());
    EXPECT_NEAR(Distance(burst->Position(0), {0, 1.4f, 6}), 0.0f, 1e-4f);
    EXPECT_EQ(burst->Colour().red, 224);

    // A dying character is no target: the shot goes on to the far one.
    near->SetHealth(0);
    EXPECT_FALSE(near->IsDying()); // dying starts at its next update
    near->Update(0.01f);
    ASSERT_TRUE(near->IsDying());
    gun->Update(0.2f);
    EXPECT_EQ(gun->LastTarget(), far);
    EXPECT_NEAR(gun->LastImpact().z, 12.0f, 1e-4f);
    // The character hit goes: the last shot names no one.
    characters.erase(std::find_if(characters.begin(), characters.end(), [&](auto& c) { return c.get() == far; }));
    EXPECT_EQ(gun->LastTarget(), nullptr);

    // The oracle: for random targets, the hit is the one of smallest projection among those
    // strictly within reach (brute force over every character).
    std::mt19937 random(5);
    std::uniform_real_distribution<float> lateral(-1.2f, 1.2f), along(-3.0f, 33.0f);
    for (int round = 0; round < 20; ++round) {
        for (auto& c : characters) {
            if (c.get() != shooter && c.get() != near) {
                c->SetPosition({lateral(random), 0, along(random)});
            }
        }
        const OvV3d start = {0, 1.4f, 0}, end = {0, 1.4f, 30};
        CCharacter* expected = nullptr;
        float best = 2;
        for (int i = 0; i < CCharacter::Count(); ++i) {
            CCharacter* c = CCharacter::Get(i);
            if (c == shooter || c->IsDying()) {
                continue;
            }
            const OvV3d p = c->GetPosition();
            const float t = std::clamp(p.z / 30.0f, 0.0f, 1.0f);
            const float d = Distance({0, 1.4f, 30 * t}, {p.x, p.y + 1, p.z});
            if (d < 0.85f && t < best) {
                best = t;
                expected = c;
            }
        }
        float t = -1;
        EXPECT_EQ(CProjectileTable::FindTarget(start, end, shooter, &t), expected) << round;
        if (expected != nullptr) {
            EXPECT_NEAR(t, best, 1e-5f);
        }
    }
}

TEST_F(ProjectileTest, LevelHitsAtTheirFractionAndBurstsWrapRoundTheBank) {
    CCharacter* shooter = Spawn({0, 0, 0});
    // The floor is y = 0: a shot at a floor point stops there.
    CProjectileTable* gun = EyeGun(shooter, {0, 0, 10});
    gun->Update(0.2f);
    ASSERT_EQ(gun->LastShotKind(), kShotWorld);
    const float expected = std::sqrt(10.0f * 10.0f + 1.4f * 1.4f);
    EXPECT_NEAR(gun->Slot(0).range, expected, 1e-3f);
    EXPECT_NEAR(Distance(gun->LastImpact(), {0, 0, 10}), 0.0f, 1e-3f);
    // Its tracer went 8 units in the step that fired it and stops at the impact.
    EXPECT_NEAR(gun->Slot(0).travelled, 8.0f, 1e-5f);
    int steps = 0;
    while (gun->Slot(0).active && steps < 100) {
        gun->SetFiring(false);
        gun->Update(0.01f);
        ++steps;
    }
    EXPECT_EQ(steps, static_cast<int>(std::ceil((expected - 8.0f) / 0.4f)));
    // Beyond 30 units nothing is hit.
    const OvV3d far = {0, -0.5f, 200};
    gun->SetAim(true, &far);
    gun->SetFiring(true);
    gun->Update(0.2f);
    EXPECT_EQ(gun->LastShotKind(), kShotMiss);
    EXPECT_FLOAT_EQ(gun->Slot(0).range, 30.0f);
    EXPECT_EQ(CProjectileTable::Bank(1).next, 1);
    // Nine more level hits: the grey bank's index goes round to 2, restarting its first emitter.
    const OvV3d floor = {0, 0, 10};
    gun->SetAim(true, &floor);
    for (int k = 0; k < 9; ++k) {
        gun->Update(0.2f);
    }
    EXPECT_EQ(CProjectileTable::Bank(1).next, 2);
    EXPECT_NEAR(CProjectileTable::Bank(1).emitters[1]->Age(), 0.001f, 1e-6f);
    EXPECT_EQ(CProjectileTable::Bank(0).next, 0);
}

TEST_F(ProjectileTest, ShotPushesABodyAlongTheLine) {
    CCharacter* shooter = Spawn({0, 0, 0});
    OvpBodyDef* def = CRigidBodyManager::CreateBoxModel(0.5f, 0.5f, 0.5f, 10, 1, 0);
    ASSERT_NE(def, nullptr);
    OvpObj* body = OvpBodyObjCreate(def);
    OvpBodyDefRelease(def);
    auto* crate = new CClumpObject;
    ASSERT_TRUE(crate->LoadClump("MODELS/FIRE.DFF"));
    crate->SetPickable(true);
    ASSERT_NE(OvpAtomicSetBodyObj(crate->GetFirstAtomic(), body), nullptr);
    ASSERT_TRUE(g_worldManager->AddObject(crate));
    OvpMgr* manager = OvpContextGetMgr(g_worldManager->GetPhysicsContext());
    ASSERT_NE(OvpMgrAddObject(manager, body, -1, ovpADD_DYNAMIC), nullptr);
    PhysicsSetBodyPosition(body, 0, 1.4f, 8);
    OvFrameSyncDirty();
    CProjectileTable* gun = EyeGun(shooter, {0, 1.4f, 20});
    gun->Update(0.2f);
    ASSERT_EQ(gun->LastShotKind(), kShotWorld);
    EXPECT_NEAR(gun->LastImpact().z, 7.5f, 1e-2f); // the box's near face
    ASSERT_NE(body->parts[0].dyn, nullptr);
    const float* v = manager->bodies->velocities[body->parts[0].dyn->body];
    EXPECT_NEAR(v[0], 0.0f, 1e-6f);
    EXPECT_NEAR(v[1], 0.0f, 1e-6f);
    EXPECT_NEAR(v[2], 2.0f, 1e-6f);
    OvpAtomicSetBodyObj(crate->GetFirstAtomic(), nullptr);
    OvpBodyObjDestroy(body);
    crate->Destroy();
    delete crate;
}

TEST_F(ProjectileTest, BanksLiveWhileAnyTableIsAttached) {
    CCharacter* a = Spawn({0, 0, 0});
    CCharacter* b = Spawn({5, 0, 0});
    EXPECT_EQ(CProjectileTable::AttachedTables(), 2);
    for (int i = 0; i < 2; ++i) {
        for (const CParticleEmitter* e : CProjectileTable::Bank(i).emitters) {
            ASSERT_NE(e, nullptr);
            EXPECT_FLOAT_EQ(e->Scale(), 0.01f);
            EXPECT_EQ(e->Colour().red, i == 0 ? 224 : 144);
            EXPECT_EQ(e->Colour().green, i == 0 ? 16 : 144);
        }
    }
    // The first character goes: the other still shoots and its bursts still play.
    a->Release();
    EXPECT_EQ(CProjectileTable::AttachedTables(), 1);
    CProjectileTable* gun = EyeGun(b, {5, 0, 10});
    gun->Update(0.2f);
    ASSERT_EQ(gun->LastShotKind(), kShotWorld);
    const CParticleEmitter* burst = CProjectileTable::Bank(1).emitters[0];
    ASSERT_NE(burst, nullptr);
    EXPECT_TRUE(burst->Alive());
    CProjectileTable::UpdateParticles(0.5f);
    EXPECT_EQ(burst->Emitted(), 8);
    // The last one goes: so do the banks.
    b->Release();
    EXPECT_EQ(CProjectileTable::AttachedTables(), 0);
    for (int i = 0; i < 2; ++i) {
        for (const CParticleEmitter* e : CProjectileTable::Bank(i).emitters) {
            EXPECT_EQ(e, nullptr);
        }
    }
    CProjectileTable::UpdateParticles(0.1f);
    EXPECT_EQ(Messages(), "");
}

TEST_F(ProjectileTest, BurstsDrawTheirVelocitiesAndLiveTwoSeconds) {
    // Without the image: the message, and no emitter.
    std::filesystem::rename(dir + "/MODELS/TEXTURES/PARTICLE.PNG", dir + "/MODELS/TEXTURES/OTHER.PNG");
    CParticleEmitter missing;
    EXPECT_FALSE(missing.Init(0.01f, 1, 1, 1));
    EXPECT_EQ(Messages(), "Texture file 'PARTICLE.PNG' not found\nPlease check your data\n"
                          "The file 'MODELS/TEXTURES/PARTICLE.PNG' is not there.\n");
    std::filesystem::rename(dir + "/MODELS/TEXTURES/OTHER.PNG", dir + "/MODELS/TEXTURES/PARTICLE.PNG");
    CParticleEmitter e;
    ASSERT_TRUE(e.Init(0.01f, 1, 2, 3));
    crt_srand(77);
    const OvV3d at = {1, 2, 3};
    e.Start(at);
    crt_srand(77);
    for (int i = 0; i < CParticleEmitter::kParticles; ++i) {
        const int x = crt_rand() % 200 - 100, y = crt_rand() % 200 - 100, z = crt_rand() % 200 - 100;
        EXPECT_FLOAT_EQ(e.Velocity(i).x, x * 0.01f * 80 * 0.01f) << i;
        EXPECT_FLOAT_EQ(e.Velocity(i).y, (y * 0.01f * 150 + 20) * 0.01f) << i;
        EXPECT_FLOAT_EQ(e.Velocity(i).z, z * 0.01f * 80 * 0.01f) << i;
        EXPECT_EQ(e.Position(i).x, at.x);
    }
    EXPECT_FLOAT_EQ(e.Age(), 0.001f);
    EXPECT_EQ(e.Emitted(), 0);
    // The eight appear within the first 1/120 s: half of them after 1/240 s.
    e.Update(1.0f / 240);
    EXPECT_EQ(e.Emitted(), 4);
    EXPECT_EQ(OvParticleBatchGet(e.Batch())->numActive, 0);
    e.Update(1.0f / 240);
    EXPECT_EQ(e.Emitted(), 8);
    EXPECT_EQ(OvParticleBatchGet(e.Batch())->numActive, 4);
    // Emitted particles fall: the vertical speed drops by 2.94 a second at scale 0.01.
    const float vy = e.Velocity(0).y;
    e.Update(0.1f);
    EXPECT_NEAR(e.Velocity(0).y, vy - 0.294f, 1e-5f);
    // It lives until its age reaches 2 s, then stands still and is not drawn.
    float age = e.Age();
    while (age + 0.1f < CParticleEmitter::kLifetime) {
        e.Update(0.1f);
        age = e.Age();
        EXPECT_TRUE(e.Alive());
    }
    e.Update(0.1f);
    EXPECT_FALSE(e.Alive());
    const OvV3d frozen = e.Position(3);
    e.Update(0.1f);
    EXPECT_EQ(e.Position(3).y, frozen.y);
    e.Destroy();
}

TEST_F(ProjectileTest, RocksLandAndMakeANoise) {
    CCharacter* thrower = Spawn({0, 0, 0});
    EXPECT_EQ(g_noiseTimer, 0.0f);
    ASSERT_TRUE(ThrowRock(thrower, {0, 0, 1}));
    ASSERT_EQ(RockCount(), 1);
    // It leaves 1.0 above the thrower at 12 units a second.
    const OvpObj* body = GetRock(0).body;
    ASSERT_NE(body->parts[0].dyn, nullptr);
    const float* v = body->manager->bodies->velocities[body->parts[0].dyn->body];
    EXPECT_NEAR(v[2], 12.0f, 1e-5f);
    // The world manager's update steps the physics and then looks for the rocks' ground.
    bool heard = false;
    for (int frame = 0; frame < 300 && !heard; ++frame) {
        g_worldManager->Update(1.0f / 60);
        heard = g_noiseTimer > 0.0f;
    }
    ASSERT_TRUE(heard);
    EXPECT_NEAR(g_noisePoint.y, 0.05f, 0.06f);
    EXPECT_GT(g_noisePoint.z, 1.0f);
    EXPECT_FLOAT_EQ(g_noiseTimer, 0.001f);
    UpdateRocks(0.5f);
    EXPECT_FLOAT_EQ(g_noiseTimer, 0.501f);
    // No more than 32 rocks.
    for (int k = 1; k < kMaxRocks; ++k) {
        ASSERT_TRUE(ThrowRock(thrower, {1, 0, 0}));
    }
    EXPECT_FALSE(ThrowRock(thrower, {1, 0, 0}));
    EXPECT_EQ(RockCount(), kMaxRocks);
    ReleaseRocks();
    EXPECT_EQ(RockCount(), 0);
    EXPECT_EQ(g_noiseTimer, 0.0f);
}

} // namespace
