#include "framework/motion_body.h"

#include <cmath>

#include "framework/clump_object.h"
#include "framework/framework.h"
#include "framework/physics_glue.h"
#include "framework/world_manager.h"
#include "graphics/core/frame.h"
#include "graphics/world/clump.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/volume/primitives.h"
#include "physics/graphics/body_atomic.h"

namespace {

float Length(const OvV3d& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

OvV3d Normalised(const OvV3d& v) {
    const float n = Length(v);
    return n > 0.0f ? OvV3d{v.x / n, v.y / n, v.z / n} : OvV3d{0.0f, 0.0f, 0.0f};
}

void SetLinear(OvpObj* body, const OvV3d& v) { PhysicsSetBodyVelocity(body, v.x, v.y, v.z); }

void ClearAngular(OvpObj* body) {
    if (body->manager == nullptr || body->parts[0].dyn == nullptr) {
        return;
    }
    float* v = body->manager->bodies->velocities[body->parts[0].dyn->body];
    v[4] = v[5] = v[6] = 0.0f;
}

} // namespace

CharacterMotionBody::~CharacterMotionBody() { ReleaseBody(); }

bool CharacterMotionBody::Setup(CClumpObject* owner, const OvV3d& position) {
    owner_ = owner;
    if (g_worldManager == nullptr || g_worldManager->GetPhysicsContext() == nullptr) {
        return false;
    }
    ReleaseBody();
    unit_ = g_worldManager->GetScale();
    footOffset_ = unit_ * 0.4f;
    const PhysicsSettings& settings = g_worldManager->Settings();
    bodyDef_ = OvpBodyDefCreate();
    if (bodyDef_ == nullptr) {
        return false;
    }
    OvpSphereInit(bodyDef_->volume, unit_ * 0.4f);
    OvpVolumeSetFriction(bodyDef_->volume, settings.mobileSlide);
    OvpVolumeSetRestitution(bodyDef_->volume, settings.mobileBounce);
    OvpDynDefSetMassFromVolume(&bodyDef_->dynDef, 1.0f, 1);
    body_ = OvpBodyObjCreate(bodyDef_);
    sphere_ = new CClumpObject;
    OvAtomic* atomic = nullptr;
    if (body_ == nullptr || !sphere_->LoadClump(kMotionSphereModel) ||
        (atomic = sphere_->GetFirstAtomic()) == nullptr) {
        ReleaseBody();
        return false;
    }
    sphere_->SetScale(1.0f);
    // The sphere's atomic hangs on a frame of its own, which the body moves.
    bodyFrame_ = OvFrameCreate();
    if (bodyFrame_ == nullptr) {
        ReleaseBody();
        return false;
    }
    OvAtomicSetFrame(atomic, bodyFrame_);
    OvpAtomicSetBodyObj(atomic, body_);
    sphere_->SetVisible(false);
    g_worldManager->AddObject(sphere_);
    OvpMgr* manager = OvpContextGetMgr(g_worldManager->GetPhysicsContext());
    if (OvpMgrAddObject(manager, body_, -1, ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE) == nullptr) {
        PhysicsReportNotAllocated(manager);
        ReleaseBody();
        return false;
    }
    PhysicsSetBodyPosition(body_, position.x, position.y, position.z);
    return true;
}

void CharacterMotionBody::ReleaseBody() {
    if (sphere_ != nullptr && body_ != nullptr) {
        if (OvAtomic* atomic = sphere_->GetFirstAtomic()) {
            OvpAtomicSetBodyObj(atomic, nullptr);
        }
    }
    if (body_ != nullptr) {
        OvpBodyObjDestroy(body_); // leaves its manager first
        body_ = nullptr;
    }
    if (sphere_ != nullptr) {
        sphere_->Destroy();
        delete sphere_;
        sphere_ = nullptr;
    }
    if (bodyFrame_ != nullptr) {
        OvFrameDestroy(bodyFrame_);
        bodyFrame_ = nullptr;
    }
    if (bodyDef_ != nullptr) {
        OvpBodyDefRelease(bodyDef_);
        bodyDef_ = nullptr;
    }
}

void CharacterMotionBody::SetPosition(const OvV3d& point) {
    if (sphere_ != nullptr && body_ != nullptr) {
        PhysicsSetBodyPosition(body_, point.x, point.y, point.z);
    }
}

void CharacterMotionBody::SetJumpVector(const OvV3d& vector) {
    jumpWithVector_ = 1;
    jumpVector_ = vector;
}

void CharacterMotionBody::Update(float dt) {
    if (jumpRequest_ && jumpState_ == kOnGround) {
        jumpState_ = kTakingOff;
        jumpTimer_ = 0.0f;
    }
    jumpRequest_ = 0;
    OvFrame* frame = owner_ != nullptr ? owner_->GetFrame() : nullptr;
    if (frame == nullptr || body_ == nullptr || body_->manager == nullptr || g_worldManager == nullptr) {
        return;
    }
    OvMatrix* m = OvFrameGetMatrix(frame);
    const OvV3d at = Normalised(m->at), right = Normalised(m->right);
    OvV3d v = {at.x * forwardMotion_ + right.x * sidewaysMotion_, at.y * forwardMotion_ + right.y * sidewaysMotion_,
               at.z * forwardMotion_ + right.z * sidewaysMotion_};

    OvpMgr* manager = body_->manager;
    if (body_->parts[0].dyn == nullptr) {
        OvpMgrActivateObject(manager, body_);
        OvpMgrSetObjectAwake(manager, body_, 1);
    }

    // Ground under the feet; stick forces hold the body down in the air and on steep ground.
    const OvV3d p = m->pos;
    SphereQueryResult ground;
    onGround_ = g_worldManager->SphereQuery(p.x, p.y - unit_ * 0.25f, p.z, unit_ * 0.35f, &ground) != 0;
    const PhysicsSettings& settings = g_worldManager->Settings();
    if (!onGround_) {
        v.y -= settings.stickInAir * unit_;
    } else {
        const float still = unit_ * 0.01f;
        const bool moving = v.x < -still || v.x > still || v.z < -still || v.z > still;
        if (moving && ground.normal.y < 0.5f) {
            v.y -= settings.stickOnGround * unit_;
        }
    }
    // A lift under the feet carries the body.
    if (onGround_ && g_worldManager->LiftCount() > 0) {
        CClumpObject* hit = nullptr;
        float fraction = kLineFar;
        const OvV3d below = {p.x, p.y - unit_, p.z};
        OvV3d carry = {0.0f, 0.0f, 0.0f};
        if (g_worldManager->LineIntersect(p, below, false, &fraction, nullptr, &hit) && hit != nullptr &&
            g_worldManager->LiftVelocity(hit, &carry)) {
            v.x += carry.x;
            v.y += carry.y;
            v.z += carry.z;
        }
    }

    switch (jumpState_) {
    case kOnGround:
        if (Length(v) == 0.0f) {
            if (speed_ != 0.0f) {
                SetLinear(body_, v);
            }
            ClearAngular(body_);
        } else {
            SetLinear(body_, v);
        }
        break;
    case kTakingOff:
        if (jumpTimer_ == 0.0f) {
            SetLinear(body_, {0.0f, 0.0f, 0.0f});
            ClearAngular(body_);
        }
        SetLinear(body_,
                  jumpWithVector_ ? jumpVector_ : OvV3d{v.x * kTakeOffCarry, kTakeOffSpeed, v.z * kTakeOffCarry});
        jumpTimer_ += dt;
        if (jumpTimer_ > kTakeOffTime) {
            // The time in the air counts from the end of the push.
            jumpState_ = kInAir;
            jumpTimer_ = 0.0f;
        }
        break;
    default:
        jumpTimer_ += dt;
        if (jumpTimer_ > kLandingTime && onGround_) {
            jumpState_ = kOnGround;
        }
        jumpWithVector_ = 0;
        break;
    }

    // The clump stands on the body and turns with the turning motion.
    if (bodyFrame_ != nullptr) {
        const OvV3d b = OvFrameGetMatrix(bodyFrame_)->pos;
        const OvV3d up = {0.0f, 1.0f, 0.0f};
        OvFrameRotate(frame, &up, dt * turnMotion_, ovCOMBINEPRECONCAT);
        m->pos = {b.x, b.y - footOffset_, b.z};
        OvMatrixUpdate(m);
        OvFrameMarkDirty(frame);
    }
    speed_ = Length(v);
}
