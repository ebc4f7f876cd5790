#include "tools/framework_probe/probe_app.h"

#include <cstdio>

#include "framework/camera_manager.h"
#include "framework/character.h"
#include "framework/clump_object.h"
#include "framework/framework.h"
#include "framework/lights_font.h"
#include "framework/projectiles.h"
#include "framework/physics_glue.h"
#include "framework/rigid_bodies.h"
#include "framework/world_manager.h"
#include "graphics/core/raster.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/world/world_membership.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/graphics/body_atomic.h"

namespace {

// Where the camera looks at a level from.
constexpr OvV3d kEye = {0.0f, 9.0f, -13.0f};
constexpr OvV3d kTarget = {0.0f, 0.5f, 0.0f};

// Drop spots: five places round the level's clear middle; later boxes land on earlier ones.
constexpr float kSpots[5][2] = {{0.0f, 0.0f}, {1.4f, 0.0f}, {-1.4f, 0.0f}, {0.0f, 1.4f}, {0.0f, -1.4f}};
constexpr float kFirstDropHeight = 2.0f;
constexpr float kLayerStep = 1.5f;

} // namespace

bool ProbeApplication::Init() {
    SetWindowHandle(SkelGetWindowHandle());
    // Without a camera manager the probe looks at the level through a camera of its own.
    if (g_cameraManager == nullptr) {
        const SkelState* shell = SkelGetState();
        camera_ = SkelCameraCreate(shell->width, shell->height, true);
        if (camera_ == nullptr) {
            return false;
        }
        if (g_worldManager == nullptr || g_worldManager->WorldCount() == 0) {
            return true;
        }
        OvCameraSetNearClipPlane(camera_, 0.1f);
        OvCameraSetFarClipPlane(camera_, 300.0f);
        FrameLookAt(OvCameraGetFrame(camera_), kEye, kTarget);
        OvWorldAddCamera(g_worldManager->GetWorld(0), camera_);
        g_font = new CFont;
        if (!g_font->Load(camera_)) {
            return false;
        }
    }
    if (g_worldManager == nullptr || g_worldManager->WorldCount() == 0) {
        return true;
    }
    std::printf("%s\n", g_worldManager->StatisticsText().c_str());
    return DropBoxes() && SpawnPlayer();
}

bool ProbeApplication::SpawnPlayer() {
    if (!wantPlayer_) {
        return true;
    }
    const CCharacterProfile* profile = CCharacterProfile::Get(0);
    if (profile == nullptr) {
        ErrorBox("No character profile in config.xml for the player");
        return false;
    }
    player_ = new CCharacter;
    if (!player_->InitFromProfile(profile->name, kProbePlayerStart)) {
        return false;
    }
    g_worldManager->AddObject(player_);
    return true;
}

bool ProbeApplication::DropBoxes() {
    if (dropCount_ == 0) {
        return true;
    }
    OvpContext* context = g_worldManager->GetPhysicsContext();
    if (context == nullptr) {
        return false;
    }
    boxDef_ = PhysicsCreateStaticBox(0.5f, 0.5f, 0.5f, 0.0f);
    if (boxDef_ == nullptr) {
        return false;
    }
    OvpMgr* manager = OvpContextGetMgr(context);
    for (int i = 0; i < dropCount_; ++i) {
        auto* box = new CClumpObject;
        boxes_.push_back(box);
        if (!box->LoadClump(kProbeBoxModel)) {
            return false;
        }
        const float* spot = kSpots[i % 5];
        const float height = kFirstDropHeight + kLayerStep * static_cast<float>(i / 5);
        box->SetPosition({spot[0], height, spot[1]});
        OvpObj* body = OvpBodyObjCreate(boxDef_);
        if (body == nullptr) {
            return false;
        }
        bodies_.push_back(body);
        OvpAtomicSetBodyObj(box->GetFirstAtomic(), body);
        if (OvpMgrAddObject(manager, body, -1, ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE) == nullptr) {
            ErrorBox("Dynamics not allocated");
            return false;
        }
        g_worldManager->AddObject(box);
    }
    LogBoxes();
    return true;
}

void ProbeApplication::LogBoxes() const {
    for (std::size_t i = 0; i < boxes_.size(); ++i) {
        const OvFrame* frame = boxes_[i]->GetFrame();
        if (frame != nullptr) {
            const OvV3d& p = frame->modelling.pos;
            std::printf("frame %d box %zu: %.4f %.4f %.4f\n", frame_, i, p.x, p.y, p.z);
        }
    }
    std::fflush(stdout);
}

void ProbeApplication::LogBodies() const {
    const CRigidBodyManager* bodies = CRigidBodyManager::Existing();
    for (int i = 0; bodies != nullptr && i < bodies->InstanceCount(); ++i) {
        const CClumpObject* object = bodies->GetInstanceRecord(i).object;
        if (const OvFrame* frame = object->GetFrame()) {
            const OvV3d& p = frame->modelling.pos;
            std::fprintf(bodyLog_, "frame %d body %d %s: %.4f %.4f %.4f%s\n", frame_, i, object->GetName(),
                         static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z),
                         bodies->Dragging() && bodies->DraggedObject() == object ? " (dragged)" : "");
        }
    }
    std::fflush(bodyLog_);
}

void ProbeApplication::Update(float dt) {
    ++frames_;
    if (player_ != nullptr) {
        player_->Update(dt);
        if (playerLog_ != nullptr && playerLogEvery_ > 0 && frames_ % playerLogEvery_ == 0) {
            const OvV3d p = player_->GetPosition();
            std::fprintf(playerLog_, "frame %ld: player at %.3f %.3f %.3f animation %s\n", frames_,
                         static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z),
                         player_->CurrentAnimationName());
            std::fflush(playerLog_);
        }
        // Each shot of his gun, with what it hit.
        const CProjectileTable* gun = player_->GetProjectileTable();
        if (playerLog_ != nullptr && gun != nullptr && gun->ShotsFired() != shotsLogged_) {
            shotsLogged_ = gun->ShotsFired();
            const OvV3d& p = gun->LastImpact();
            const ShotKind kind = gun->LastShotKind();
            std::fprintf(playerLog_, "frame %ld: player shot %d hit %s at %.3f %.3f %.3f\n", frames_, shotsLogged_,
                         kind == kShotCharacter ? "character" : (kind == kShotWorld ? "level" : "nothing"),
                         static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z));
            std::fflush(playerLog_);
        }
    }
    if (liftLogEvery_ > 0 && liftLog_ != nullptr && frames_ % liftLogEvery_ == 0 && g_worldManager != nullptr) {
        for (int i = 0; i < g_worldManager->LiftCount(); ++i) {
            const CLift* lift = g_worldManager->GetLift(i);
            const OvFrame* frame = lift != nullptr ? lift->Object()->GetFrame() : nullptr;
            if (frame != nullptr) {
                const OvV3d& p = frame->modelling.pos;
                std::fprintf(liftLog_, "frame %ld lift %d: %.3f %.3f %.3f anchor %.3f %.3f %.3f\n", frames_, i,
                             static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z),
                             static_cast<double>(lift->position.x), static_cast<double>(lift->position.y),
                             static_cast<double>(lift->position.z));
            }
        }
        std::fflush(liftLog_);
    }
    if (logEvery_ > 0 && log_ != nullptr && frames_ % logEvery_ == 0) {
        if (g_cameraManager != nullptr) {
            const OvV3d p = g_cameraManager->Position();
            const OvV3d at = g_cameraManager->ViewDirection();
            std::fprintf(log_, "frame %ld: %s camera at %.2f %.2f %.2f looking %.2f %.2f %.2f\n", frames_,
                         CameraModeName(g_cameraManager->Mode()), static_cast<double>(p.x), static_cast<double>(p.y),
                         static_cast<double>(p.z), static_cast<double>(at.x), static_cast<double>(at.y),
                         static_cast<double>(at.z));
        } else {
            std::fprintf(log_, "frame %ld: no camera manager\n", frames_);
        }
        std::fflush(log_);
    }
}

void ProbeApplication::RenderScene() {
    ++frame_;
    // The frame at which the dropped boxes are all asleep, each time they come to rest.
    bool asleep = !bodies_.empty();
    for (const OvpObj* body : bodies_) {
        asleep = asleep && body->manager != nullptr && !OvpBitTest(body->manager->awake, body->slot);
    }
    if (asleep && !boxesAsleep_) {
        std::printf("frame %d: every box asleep\n", frame_);
        std::fflush(stdout);
    }
    boxesAsleep_ = asleep;
    if (bodyLogEvery_ > 0 && bodyLog_ != nullptr && frame_ % bodyLogEvery_ == 0) {
        LogBodies();
    }
    if (camera_ == nullptr) {
        // The framework drew the worlds through the camera manager's world cameras, and prints
        // the debug texts of its debug level.
        if (!boxes_.empty() && frame_ % kProbeLogInterval == 0) {
            LogBoxes();
        }
        return;
    }
    OvRGBA background = kProbeClearColour;
    OvCameraClear(camera_, &background, ovCAMERACLEARIMAGE | ovCAMERACLEARZ);
    if (OvCameraBeginUpdate(camera_) != nullptr) {
        if (g_worldManager != nullptr) {
            g_worldManager->Render();
            g_worldManager->PrintStatistics(g_font);
        }
        OvCameraEndUpdate(camera_);
    }
    SkelCameraShowRaster(camera_);
    if (!boxes_.empty() && frame_ % kProbeLogInterval == 0) {
        LogBoxes();
    }
}

void ProbeApplication::Terminate() {
    if (player_ != nullptr) {
        player_->Release();
        delete player_;
        player_ = nullptr;
    }
    for (OvpObj* body : bodies_) {
        // The atomic lets the body go before the body goes.
        if (auto* atomic = static_cast<OvAtomic*>(body->user)) {
            OvpAtomicSetBodyObj(atomic, nullptr);
        }
        OvpBodyObjDestroy(body);
    }
    bodies_.clear();
    for (CClumpObject* box : boxes_) {
        delete box;
    }
    boxes_.clear();
    if (boxDef_ != nullptr) {
        OvpBodyDefRelease(boxDef_);
        boxDef_ = nullptr;
    }
    // The font's toolkit holds the camera: it goes first.
    delete g_font;
    g_font = nullptr;
    if (camera_ != nullptr && g_worldManager != nullptr && g_worldManager->WorldCount() > 0) {
        OvWorldRemoveCamera(g_worldManager->GetWorld(0), camera_);
    }
    SkelCameraDestroy(camera_);
    camera_ = nullptr;
}

const char* ProbeApplication::GetTitle() { return "Framework Probe"; }

std::int32_t ProbeApplication::HandleEvent(std::int32_t event, void* parameter) {
    // The camera follows the client size.
    if (event == SKEL_EVENT_CAMERA_SIZE && camera_ != nullptr) {
        const auto* size = static_cast<const SkelSizeRect*>(parameter);
        if (size->width != camera_->frameBuffer->width || size->height != camera_->frameBuffer->height) {
            if (OvCamera* resized = SkelCameraCreate(size->width, size->height, true)) {
                SkelCameraDestroy(camera_);
                camera_ = resized;
            }
        }
    }
    return CStandardApplication::HandleEvent(event, parameter);
}
