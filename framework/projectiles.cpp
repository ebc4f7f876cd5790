#include "framework/projectiles.h"

#include <cmath>
#include <cstring>

#include "framework/character.h"
#include "framework/clump_object.h"
#include "framework/framework.h"
#include "framework/physics_glue.h"
#include "framework/read_faults.h"
#include "framework/rigid_bodies.h"
#include "framework/world_manager.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/core/im3d.h"
#include "graphics/core/image.h"
#include "graphics/core/matrix.h"
#include "graphics/core/texture.h"
#include "graphics/plugins/particles.h"
#include "graphics/world/clump.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/graphics/body_atomic.h"
#include "platform/crt.h"
#include "graphics/shared/skel/win/skeleton.h"

OvV3d g_noisePoint = {0.0f, 0.0f, 0.0f};
float g_noiseTimer = 0.0f;

namespace {

constexpr const char* kParticleImage = "PARTICLE.PNG";
constexpr const char* kParticleMissing = "Texture file 'PARTICLE.PNG' not found\nPlease check your data";
constexpr const char* kRockModel = "MODELS/REVOLUTION/ROCK.DFF";

// The particle image, read by the first emitter and shared by the emitters that live.
OvTexture* gParticleTexture = nullptr;
int gTextureUsers = 0;
ParticleBank gBanks[2];
int gAttachedTables = 0;
int gTableCounter = 0;

ThrownRock gRocks[kMaxRocks];
int gRockCount = 0;

void SetState(OvInt32 state, std::uintptr_t value) {
    OvEngineInstancePtr->dOpenDevice.setRenderState(state, reinterpret_cast<void*>(value));
}

OvV3d Add(const OvV3d& a, const OvV3d& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
OvV3d Sub(const OvV3d& a, const OvV3d& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
OvV3d Mul(const OvV3d& a, float s) { return {a.x * s, a.y * s, a.z * s}; }
float Dot(const OvV3d& a, const OvV3d& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
float Length(const OvV3d& a) { return std::sqrt(Dot(a, a)); }

// One velocity component of a burst particle: a draw of -100..99 hundredths times the spread.
float Spread(float spread) { return static_cast<float>(crt_rand() % 200 - 100) * 0.01f * spread; }

void DestroyBanks() {
    for (ParticleBank& bank : gBanks) {
        for (CParticleEmitter*& emitter : bank.emitters) {
            if (emitter != nullptr) {
                emitter->Destroy();
                delete emitter;
                emitter = nullptr;
            }
        }
        bank.next = 0;
    }
}

} // namespace

// ---- Particle emitters ----

bool CParticleEmitter::Init(float scale, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    scale_ = scale;
    colour_ = {r, g, b, 255};
    if (gParticleTexture == nullptr) {
        if (char* path = SkelPathCreate("MODELS/TEXTURES/")) {
            OvImageSetPath(path);
            SkelPathDestroy(path);
        }
        TakeGraphicsReadCause(); // what an earlier read left
        gParticleTexture = OvTextureRead(kParticleImage, nullptr);
        if (gParticleTexture == nullptr) {
            // Whether the image is there, and what is wrong with it; said once for every emitter.
            const std::string image = std::string("MODELS/TEXTURES/") + kParticleImage;
            if (FirstFaultOf(image)) {
                FileErrorBox(image, std::string(kParticleMissing) + "\n" + FileReadFault(image));
            }
            return false;
        }
    }
    ++gTextureUsers;
    holdsTexture_ = true;
    batch_ = OvParticleBatchCreate(kParticles, ovPARTICLEPOSITION | ovPARTICLECOLOR, 0);
    frame_ = OvFrameCreate();
    if (batch_ == nullptr || frame_ == nullptr) {
        Destroy();
        return false;
    }
    OvAtomicSetFrame(batch_, frame_);
    OvParticleBatchSetTexture(batch_, gParticleTexture);
    OvParticleBatchSetSize(batch_, kParticleSize * scale, kParticleSize * scale);
    OvParticleBatchSetNumActive(batch_, 0);
    return true;
}

void CParticleEmitter::Start(const OvV3d& point) {
    for (int i = 0; i < kParticles; ++i) {
        position_[i] = point;
        // Three draws in this order: x, y, z.
        const float x = Spread(80.0f) * scale_;
        const float y = (Spread(150.0f) + 20.0f) * scale_;
        const float z = Spread(80.0f) * scale_;
        velocity_[i] = {x, y, z};
    }
    emitted_ = 0;
    progress_ = 0.0f;
    age_ = 0.001f;
}

void CParticleEmitter::Update(float dt) {
    if (!Alive()) {
        return;
    }
    OvParticleStream positions = {}, colours = {};
    const bool locked = batch_ != nullptr &&
                        OvParticleBatchLock(batch_, &positions, ovPARTICLEPOSITION, ovPARTICLELOCKCHANGED) != 0 &&
                        OvParticleBatchLock(batch_, &colours, ovPARTICLECOLOR, ovPARTICLELOCKCHANGED) != 0;
    for (int i = 0; i < emitted_; ++i) {
        velocity_[i].y += scale_ * kGravity * dt;
        position_[i] = Add(position_[i], Mul(velocity_[i], dt));
        if (locked) {
            std::memcpy(static_cast<std::uint8_t*>(positions.data) + static_cast<std::size_t>(i) * positions.stride,
                        &position_[i], sizeof(OvV3d));
            std::memcpy(static_cast<std::uint8_t*>(colours.data) + static_cast<std::size_t>(i) * colours.stride,
                        &colour_, 4);
        }
    }
    if (batch_ != nullptr) {
        OvParticleBatchUnlock(batch_);
        OvParticleBatchSetNumActive(batch_, emitted_);
    }
    progress_ += dt * kEmissionRate;
    emitted_ = progress_ >= static_cast<float>(kParticles) ? kParticles : static_cast<int>(progress_);
    age_ += dt;
}

void CParticleEmitter::Render() {
    if (!Alive() || batch_ == nullptr || batch_->renderCallBack == nullptr) {
        return;
    }
    SetState(ovRENDERSTATEZTESTENABLE, 1);
    SetState(ovRENDERSTATEZWRITEENABLE, 0);
    batch_->renderCallBack(batch_);
    SetState(ovRENDERSTATEZWRITEENABLE, 1);
}

void CParticleEmitter::Destroy() {
    if (batch_ != nullptr) {
        OvAtomicSetFrame(batch_, nullptr);
        OvParticleBatchDestroy(batch_);
        batch_ = nullptr;
    }
    if (frame_ != nullptr) {
        OvFrameDestroy(frame_);
        frame_ = nullptr;
    }
    if (holdsTexture_) {
        holdsTexture_ = false;
        if (--gTextureUsers == 0 && gParticleTexture != nullptr) {
            OvTextureDestroy(gParticleTexture);
            gParticleTexture = nullptr;
        }
    }
    emitted_ = 0;
    age_ = 0.0f;
}

// ---- The shared banks ----

ParticleBank& CProjectileTable::Bank(int i) { return gBanks[i]; }

int CProjectileTable::AttachedTables() { return gAttachedTables; }

void CProjectileTable::UpdateParticles(float dt) {
    for (ParticleBank& bank : gBanks) {
        for (CParticleEmitter* emitter : bank.emitters) {
            if (emitter != nullptr) {
                emitter->Update(dt);
            }
        }
    }
}

void CProjectileTable::RenderParticles() {
    for (ParticleBank& bank : gBanks) {
        for (CParticleEmitter* emitter : bank.emitters) {
            if (emitter != nullptr) {
                emitter->Render();
            }
        }
    }
}

// ---- Thrown rocks ----

namespace {

void DestroyRock(ThrownRock& rock) {
    if (rock.object != nullptr) {
        if (OvAtomic* atomic = rock.object->GetFirstAtomic()) {
            OvpAtomicSetBodyObj(atomic, nullptr);
        }
    }
    if (rock.body != nullptr) {
        OvpBodyObjDestroy(rock.body); // leaves its manager first
    }
    if (rock.object != nullptr) {
        if (OvAtomic* atomic = rock.object->GetFirstAtomic()) {
            OvAtomicSetFrame(atomic, nullptr);
        }
        rock.object->Destroy();
        delete rock.object;
    }
    if (rock.frame != nullptr) {
        OvFrameDestroy(rock.frame);
    }
    rock = ThrownRock{};
}

} // namespace

bool ThrowRock(const CClumpObject* thrower, const OvV3d& direction) {
    if (gRockCount >= kMaxRocks || thrower == nullptr || g_worldManager == nullptr ||
        g_worldManager->GetPhysicsContext() == nullptr) {
        return false;
    }
    const OvFrame* throwerFrame = thrower->GetFrame();
    const float length = Length(direction);
    if (throwerFrame == nullptr || length <= 0.0f) {
        return false;
    }
    OvpBodyDef* def = CRigidBodyManager::CreateSphereModel(kRockRadius, kRockMass, kRockSlide, kRockBounce);
    if (def == nullptr) {
        return false;
    }
    ThrownRock rock;
    rock.body = OvpBodyObjCreate(def);
    OvpBodyDefRelease(def); // the body keeps its own reference
    if (rock.body == nullptr) {
        return false;
    }
    rock.object = new CClumpObject;
    OvAtomic* atomic = nullptr;
    if (rock.object->LoadClump(kRockModel)) {
        rock.object->SetScale(1.0f);
        atomic = rock.object->GetFirstAtomic();
    }
    if (atomic != nullptr) {
        rock.frame = OvFrameCreate();
    }
    OvpMgr* manager = OvpContextGetMgr(g_worldManager->GetPhysicsContext());
    if (rock.frame == nullptr || OvAtomicSetFrame(atomic, rock.frame) == nullptr ||
        OvpAtomicSetBodyObj(atomic, rock.body) == nullptr || !g_worldManager->AddObject(rock.object) ||
        OvpMgrAddObject(manager, rock.body, -1, ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE) == nullptr) {
        DestroyRock(rock);
        return false;
    }
    const OvV3d from = OvFrameGetWorldMatrix(const_cast<OvFrame*>(throwerFrame))->pos;
    PhysicsSetBodyPosition(rock.body, from.x, from.y + kRockLift, from.z);
    const OvV3d v = Mul(direction, kRockSpeed / length);
    PhysicsSetBodyVelocity(rock.body, v.x, v.y, v.z);
    gRocks[gRockCount++] = rock;
    return true;
}

void UpdateRocks(float dt) {
    // A started timer grows; a landing in this update starts it again.
    if (g_noiseTimer > 0.0f) {
        g_noiseTimer += dt;
    }
    for (int i = 0; i < gRockCount && g_worldManager != nullptr; ++i) {
        ThrownRock& rock = gRocks[i];
        OvFrame* frame = rock.frame;
        if (frame == nullptr) {
            continue;
        }
        const OvV3d at = OvFrameGetWorldMatrix(frame)->pos;
        const OvV3d below = {at.x, at.y - kRockGroundRay, at.z};
        const bool touching = g_worldManager->LineIntersect(at, below, false) != 0;
        if (touching && !rock.touching) {
            g_noisePoint = at;
            g_noiseTimer = 0.001f;
        }
        rock.touching = touching;
    }
}

void ReleaseRocks() {
    for (int i = 0; i < gRockCount; ++i) {
        DestroyRock(gRocks[i]);
    }
    gRockCount = 0;
    g_noiseTimer = 0.0f;
    g_noisePoint = {0.0f, 0.0f, 0.0f};
}

int RockCount() { return gRockCount; }

const ThrownRock& GetRock(int i) { return gRocks[i]; }

// ---- Projectile tables ----

namespace {

constexpr const char* kFlashModel = "MODELS/FIRE.DFF";
const OvV3d kParked = {0.0f, -1000.0f, 0.0f};

struct BankColour {
    std::uint8_t r, g, b;
};
constexpr BankColour kBankColours[2] = {{224, 16, 16}, {144, 144, 144}};

void ParkFlash(CClumpObject* flash) { flash->SetPosition(kParked); }

} // namespace

CProjectileTable::CProjectileTable() : number_(gTableCounter++) {}

CProjectileTable::~CProjectileTable() { Detach(); }

bool CProjectileTable::Attach(CCharacter* owner) {
    if (attached_) {
        Detach();
    }
    owner_ = owner;
    attached_ = true;
    ++gAttachedTables;
    // The flash stays in the world, parked far below the level between flickers: a flash taken
    // out of the world would never be drawn.
    flash_ = new CClumpObject;
    if (flash_->LoadClump(kFlashModel)) {
        flash_->SetScale(1.0f);
        ParkFlash(flash_);
        if (g_worldManager != nullptr) {
            g_worldManager->AddObject(flash_);
        }
    } else {
        delete flash_;
        flash_ = nullptr;
    }
    for (int i = 0; i < 2; ++i) {
        for (CParticleEmitter*& emitter : gBanks[i].emitters) {
            if (emitter == nullptr) {
                emitter = new CParticleEmitter;
                if (!emitter->Init(kBurstScale, kBankColours[i].r, kBankColours[i].g, kBankColours[i].b)) {
                    emitter->Destroy();
                    delete emitter;
                    emitter = nullptr;
                }
            }
        }
    }
    return flash_ != nullptr;
}

void CProjectileTable::Detach() {
    if (!attached_) {
        return;
    }
    attached_ = false;
    if (flash_ != nullptr) {
        flash_->Destroy();
        delete flash_;
        flash_ = nullptr;
    }
    // The banks are shared: only the last table detached takes them down.
    if (--gAttachedTables == 0) {
        DestroyBanks();
    }
    owner_ = nullptr;
    for (Projectile& p : slots_) {
        p.active = false;
    }
}

void CProjectileTable::SetAim(bool enabled, const OvV3d* point) {
    aimEnabled_ = enabled;
    if (point != nullptr) {
        aimPoint_ = *point;
    }
}

int CProjectileTable::ActiveCount() const {
    int n = 0;
    for (const Projectile& p : slots_) {
        n += p.active ? 1 : 0;
    }
    return n;
}

CCharacter* CProjectileTable::FindTarget(const OvV3d& start, const OvV3d& end, const CCharacter* owner, float* t) {
    const OvV3d segment = Sub(end, start);
    const float lengthSquared = Dot(segment, segment);
    CCharacter* best = nullptr;
    float bestT = 0.0f;
    for (int i = 0; i < CCharacter::Count(); ++i) {
        CCharacter* c = CCharacter::Get(i);
        if (c == nullptr || c == owner || c->IsDying()) {
            continue;
        }
        const OvV3d point = Add(c->GetPosition(), OvV3d{0.0f, kTargetHeight, 0.0f});
        float u = lengthSquared > 0.0f ? Dot(Sub(point, start), segment) / lengthSquared : 0.0f;
        u = u < 0.0f ? 0.0f : u > 1.0f ? 1.0f : u;
        const float distance = Length(Sub(Add(start, Mul(segment, u)), point));
        if (distance < kHitRadius && (best == nullptr || u < bestT)) {
            best = c;
            bestT = u;
        }
    }
    if (best != nullptr && t != nullptr) {
        *t = bestT;
    }
    return best;
}

void CProjectileTable::Fire() {
    Projectile* slot = nullptr;
    for (Projectile& p : slots_) {
        if (!p.active) {
            slot = &p;
            break;
        }
    }
    if (slot == nullptr || owner_ == nullptr) {
        return;
    }
    OvV3d start, right, up, at;
    if (!owner_->GetMuzzle(&start, &right, &up, &at)) {
        // Without a skeleton the muzzle is taken at the eye, along the character's own axes.
        const OvFrame* frame = owner_->GetFrame();
        if (frame == nullptr) {
            return;
        }
        const OvMatrix* m = OvFrameGetWorldMatrix(const_cast<OvFrame*>(frame));
        const float r = Length(m->right), u = Length(m->up), a = Length(m->at);
        if (r <= 0.0f || u <= 0.0f || a <= 0.0f) {
            return;
        }
        right = Mul(m->right, 1.0f / r);
        up = Mul(m->up, 1.0f / u);
        at = Mul(m->at, 1.0f / a);
        start = Add(owner_->GetPosition(), OvV3d{0.0f, kEyeHeight, 0.0f});
    }
    if (!useMuzzle_) {
        start = Add(owner_->GetPosition(), OvV3d{0.0f, kEyeHeight, 0.0f});
    }
    OvV3d direction = at;
    if (aimEnabled_) {
        const OvV3d d = Sub(aimPoint_, start);
        const float length = Length(d);
        if (length > 0.0f) {
            const OvV3d n = Mul(d, 1.0f / length);
            if (Dot(n, at) > kAimCone || !useMuzzle_) {
                direction = n;
                shotAllowed_ = true;
            } else {
                shotAllowed_ = false;
                return;
            }
        }
    } else {
        shotAllowed_ = true;
    }
    const OvV3d end = Add(start, Mul(direction, kRange));
    float t = 0.0f;
    ShotKind kind = kShotMiss;
    float range = kRange;
    CClumpObject* object = nullptr;
    CCharacter* target = FindTarget(start, end, owner_, &t);
    if (target != nullptr) {
        target->Hit();
        range = t * kRange;
        kind = kShotCharacter;
    } else if (g_worldManager != nullptr) {
        float fraction = kLineFar;
        if (g_worldManager->LineIntersect(start, end, true, &fraction, nullptr, &object) != 0) {
            range = fraction * kRange;
            kind = kShotWorld;
        }
    }
    slot->position = start;
    slot->right = right;
    slot->up = up;
    slot->direction = direction;
    slot->at = at;
    slot->range = range;
    slot->travelled = 0.0f;
    slot->active = true;
    ++shots_;
    lastKind_ = kind;
    lastTarget_ = target;
    lastImpact_ = Add(start, Mul(direction, range));
    if (kind != kShotMiss) {
        ParticleBank& bank = gBanks[kind == kShotCharacter ? 0 : 1];
        if (CParticleEmitter* emitter = bank.emitters[bank.next]) {
            emitter->Start(lastImpact_);
        }
        bank.next = (bank.next + 1) % ParticleBank::kEmitters;
    }
    // A body hit by the shot is pushed along it.
    if (kind == kShotWorld && object != nullptr) {
        OvAtomic* atomic = object->GetFirstAtomic();
        OvpObj* body = atomic != nullptr ? OvpAtomicGetBodyObj(atomic) : nullptr;
        if (body != nullptr && body->manager != nullptr) {
            if (body->partCount > 0 && body->parts[0].dyn == nullptr) {
                OvpMgrActivateObject(body->manager, body);
            }
            OvpMgrSetObjectAwake(body->manager, body, 1);
            PhysicsSetBodyVelocity(body, direction.x * kPush, direction.y * kPush, direction.z * kPush);
        }
    }
}

void CProjectileTable::UpdateFlash(float dt) {
    const OvMatrix* hand =
        useMuzzle_ && firing_ && shotAllowed_ && owner_ != nullptr ? owner_->GetBoneMatrix(kHandBone) : nullptr;
    OvFrame* frame = flash_->GetFrame();
    if (hand != nullptr && frame != nullptr) {
        flashPhase_ += dt * kFlashRate;
        if (std::ceil(flashPhase_) - flashPhase_ >= 0.75f) {
            *OvFrameGetMatrix(frame) = *hand;
            OvMatrixUpdate(OvFrameGetMatrix(frame));
            OvFrameMarkDirty(frame);
            return;
        }
    }
    ParkFlash(flash_);
}

void CProjectileTable::Update(float dt) {
    if (flash_ == nullptr) {
        return;
    }
    if (firing_) {
        shotTimer_ += dt;
        if (shotTimer_ > kShotPeriod) {
            shotTimer_ = 0.0f;
            Fire();
        }
    }
    UpdateFlash(dt);
    const float step = dt * kSpeed;
    for (Projectile& p : slots_) {
        if (!p.active) {
            continue;
        }
        p.travelled += step;
        p.position = Add(p.position, Mul(p.direction, step));
        if (p.travelled >= p.range) {
            p.active = false;
        }
    }
}

void CProjectileTable::Render() {
    OvIm3DVertex vertices[12] = {};
    std::uint32_t cull = 0;
    bool haveCull = false;
    for (const Projectile& p : slots_) {
        if (!p.active) {
            continue;
        }
        if (!haveCull) {
            haveCull = OvEngineInstancePtr->dOpenDevice.getRenderState(ovRENDERSTATECULLMODE, &cull) != 0;
            SetState(ovRENDERSTATECULLMODE, 1); // none
            SetState(ovRENDERSTATETEXTURERASTER, 0);
        }
        // Two crossed ribbons from the head back along the flight, as wide as the muzzle's right
        // and up axes say.
        const float length = p.travelled < kTracerLength ? p.travelled : kTracerLength;
        const OvV3d tail = Sub(p.position, Mul(p.direction, length));
        const OvV3d sides[2] = {Mul(p.right, kTracerWidth), Mul(p.up, kTracerWidth)};
        int n = 0;
        for (const OvV3d& side : sides) {
            const OvV3d a = Sub(tail, side), b = Add(tail, side), c = Add(p.position, side), d = Sub(p.position, side);
            for (const OvV3d& v : {a, b, c, a, c, d}) {
                vertices[n].objVertex = v;
                vertices[n].color = kTracerColour;
                ++n;
            }
        }
        if (OvIm3DTransform(vertices, 12, nullptr, 0) != nullptr) {
            OvIm3DRenderPrimitive(ovPRIMTYPETRILIST);
            OvIm3DEnd();
        }
    }
    if (haveCull) {
        SetState(ovRENDERSTATECULLMODE, cull);
    }
}
