#include "framework/rigid_bodies.h"

#include "framework/config_checks.h"

#include <cmath>
#include <cstring>

#include "framework/camera_manager.h"
#include "framework/clump_object.h"
#include "framework/framework.h"
#include "framework/input_manager.h"
#include "framework/physics_glue.h"
#include "framework/world_manager.h"
#include "graphics/core/frame.h"
#include "graphics/core/im3d.h"
#include "graphics/core/matrix.h"
#include "graphics/toolkits/pixel_ray.h"
#include "graphics/world/clump.h"
#include "physics/core/context/dynamics.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/core/volume/primitives.h"
#include "physics/core/volume/volume.h"
#include "physics/graphics/body_atomic.h"
#include "platform/crt.h"

namespace {

CRigidBodyManager* gInstance = nullptr;

constexpr float kRadiansPerDegree = 3.14159265f / 180.0f;
constexpr OvUInt32 kDragLineColour = 0xFFFFFF00; // opaque yellow

bool Is(const char* a, const char* b) { return _stricmp(a, b) == 0; }

OvV3d Sub(const OvV3d& a, const OvV3d& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
float Length(const OvV3d& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

// Slide, bounce and mass of a model's definition, once its volume has its shape.
OvpBodyDef* FinishModel(OvpBodyDef* def, float mass, float slide, float bounce) {
    OvpVolumeSetRestitution(def->volume, bounce);
    OvpVolumeSetFriction(def->volume, slide);
    OvpDynDefSetMassFromVolume(&def->dynDef, mass, 1);
    return def;
}

} // namespace

CRigidBodyManager* CRigidBodyManager::GetInstance() {
    if (gInstance == nullptr) {
        gInstance = new CRigidBodyManager;
    }
    return gInstance;
}

CRigidBodyManager* CRigidBodyManager::Existing() { return gInstance; }

void CRigidBodyManager::Destroy() {
    delete gInstance;
    gInstance = nullptr;
}

CRigidBodyManager::~CRigidBodyManager() {
    ReleaseInstances();
    ReleaseModels();
}

OvpBodyDef* CRigidBodyManager::CreateSphereModel(float radius, float mass, float slide, float bounce) {
    OvpBodyDef* def = OvpBodyDefCreate();
    if (def == nullptr) {
        return nullptr;
    }
    OvpSphereInit(def->volume, radius);
    return FinishModel(def, mass, slide, bounce);
}

OvpBodyDef* CRigidBodyManager::CreateBoxModel(float dx, float dy, float dz, float mass, float slide, float bounce) {
    OvpBodyDef* def = OvpBodyDefCreate();
    if (def == nullptr) {
        return nullptr;
    }
    const float half[3] = {dx, dy, dz};
    OvpBoxInit(def->volume, half);
    OvpVolumeSetFatness(def->volume, kBoxFatness);
    return FinishModel(def, mass, slide, bounce);
}

int CRigidBodyManager::FindModel(const char* name) const {
    for (int i = 0; i < modelCount_; ++i) {
        if (Is(models_[i].name.c_str(), name)) {
            return i;
        }
    }
    return -1;
}

bool CRigidBodyManager::StartElement(const char* name, const char** attributes) {
    if (Is(name, "Models")) {
        insideModels_ = true;
        return true;
    }
    if (Is(name, "Instances")) {
        insideInstances_ = true;
        return true;
    }
    if (insideModels_ && (Is(name, "Sphere") || Is(name, "Box"))) {
        return ReadModel(name, attributes);
    }
    if (insideInstances_ && Is(name, "Instance")) {
        return ReadInstance(attributes);
    }
    return true;
}

bool CRigidBodyManager::EndElement(const char* name) {
    if (Is(name, "Models")) {
        insideModels_ = false;
    } else if (Is(name, "Instances")) {
        insideInstances_ = false;
        // The instances hold their own references; the models are done with.
        ReleaseModels();
    }
    return true;
}

bool CRigidBodyManager::ReadModel(const char* element, const char** attributes) {
    const char* name = ReadTextAttribute("name", attributes, 0);
    const char* file = ReadTextAttribute("clumpFilename", attributes, 1);
    if (name == nullptr || file == nullptr) {
        ConfigWarning("a '" + std::string(element) + "' without its " +
                      (name == nullptr ? "'name'" : "'clumpFilename'") +
                      " at its place is left out, and so are its instances");
        return false;
    }
    const bool sphere = Is(element, "Sphere");
    float v[6] = {};
    if (!sphere) {
        static const char* const kNames[6] = {"dx", "dy", "dz", "mass", "slide", "bounce"};
        for (int i = 0; i < 6; ++i) {
            if (!ReadFloatAttribute(kNames[i], attributes, 2 + i, &v[i])) {
                ConfigWarning("the '" + std::string(element) + "' \"" + name + "\" has no '" + kNames[i] +
                              "' at its place; it is left out, and so are its instances");
                return false;
            }
        }
        // A box of no size or a body of no mass cannot move as one. A mass below 0 is a density: the
        // body weighs that much for each unit of its volume.
        for (int i = 0; i < 4; ++i) {
            if (i < 3 ? !(v[i] > 0.0f) : v[i] == 0.0f) {
                ConfigWarning("the '" + std::string(element) + "' \"" + name + "\" has '" + kNames[i] + "' " +
                              std::to_string(v[i]) + (i < 3 ? ", not above 0" : ", no mass") +
                              "; it is left out, and so are its instances");
                return false;
            }
        }
    }
    if (modelCount_ == kMaxModels) {
        ::ErrorBox("Too much rigid body models.\nPlease increase MAX_RIGID_BODY_MODELS value");
        return false;
    }
    OvpBodyDef* def = sphere ? CreateSphereModel(kSphereRadius, kSphereMass, kSphereSlide, kSphereBounce)
                             : CreateBoxModel(v[0], v[1], v[2], v[3], v[4], v[5]);
    if (def == nullptr) {
        return false;
    }
    Model& model = models_[modelCount_++];
    model.name = name;
    model.clumpFile = file;
    NoteConfigFile(file, "clumpFilename");
    model.def = def;
    return true;
}

bool CRigidBodyManager::ReadInstance(const char** attributes) {
    const char* modelName = ReadTextAttribute("model", attributes, 0);
    if (modelName == nullptr) {
        ConfigWarning("an 'Instance' without its 'model' at its place is left out");
        return false;
    }
    static const char* const kNames[7] = {"px", "py", "pz", "ox", "oy", "oz", "angle"};
    float v[7] = {};
    for (int i = 0; i < 7; ++i) {
        if (!ReadFloatAttribute(kNames[i], attributes, 1 + i, &v[i])) {
            ConfigWarning("an 'Instance' of \"" + std::string(modelName) + "\" without its '" + kNames[i] +
                          "' at its place is left out");
            return false;
        }
    }
    // An unknown model is skipped, and so is one whose definition went at the end of an earlier
    // "Instances".
    const int index = FindModel(modelName);
    if (index < 0 || models_[index].def == nullptr) {
        ConfigWarning("an 'Instance' of \"" + std::string(modelName) + "\", a model not read before it, is left out");
        return false;
    }
    if (g_worldManager == nullptr || g_worldManager->GetPhysicsContext() == nullptr) {
        return false;
    }
    const Model& model = models_[index];
    ++instancesAsked_;
    OvpObj* body = OvpBodyObjCreate(model.def);
    if (body == nullptr) {
        return false;
    }
    auto* object = new CClumpObject;
    object->SetName(model.name.c_str());
    OvAtomic* atomic = nullptr;
    if (object->LoadClump(model.clumpFile.c_str())) {
        object->SetScale(1.0f);
        // Dragging and its hint find the body through the line query, which tests only pickable
        // objects.
        object->SetPickable(true);
        atomic = object->GetFirstAtomic();
    }
    OvpMgr* manager = OvpContextGetMgr(g_worldManager->GetPhysicsContext());
    if (atomic == nullptr || OvpAtomicSetBodyObj(atomic, body) == nullptr || !g_worldManager->AddObject(object) ||
        OvpMgrAddObject(manager, body, -1, ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE) == nullptr) {
        // The atomic lets the body go before the body goes.
        if (atomic != nullptr) {
            OvpAtomicSetBodyObj(atomic, nullptr);
        }
        OvpBodyObjDestroy(body);
        object->Destroy();
        delete object;
        return false;
    }
    // The configured angle is in degrees. A zero axis means no turn.
    const bool axis = v[3] != 0.0f || v[4] != 0.0f || v[5] != 0.0f;
    PhysicsSetBodyPosition(body, v[0], v[1], v[2]);
    PhysicsSetBodyTransform(body, axis ? v[3] : 0.0f, axis ? v[4] : 1.0f, axis ? v[5] : 0.0f,
                            axis ? v[6] * kRadiansPerDegree : 0.0f);
    instances_.push_back({object, body});
    return true;
}

void CRigidBodyManager::ReleaseModels() {
    for (int i = 0; i < modelCount_; ++i) {
        if (models_[i].def != nullptr) {
            OvpBodyDefRelease(models_[i].def);
            models_[i].def = nullptr;
        }
    }
}

void CRigidBodyManager::ReleaseInstances() {
    dragging_ = false;
    dragBody_ = nullptr;
    dragObject_ = nullptr;
    for (Instance& instance : instances_) {
        // The atomic lets the body go before the body goes.
        OvpAtomicSetBodyObj(instance.object->GetFirstAtomic(), nullptr);
        OvpBodyObjDestroy(instance.body);
        instance.object->Destroy();
        delete instance.object;
    }
    instances_.clear();
    instancesAsked_ = 0;
}

void CRigidBodyManager::LetGo(const CClumpObject* object) {
    if (object != nullptr && object == dragObject_) {
        dragging_ = false;
        dragBody_ = nullptr;
        dragObject_ = nullptr;
    }
}

OvV3d CRigidBodyManager::DragImpulse(const OvV3d& grab, const OvV3d& target) {
    OvV3d impulse = Sub(target, grab);
    impulse = {impulse.x * kDragGain, impulse.y * kDragGain, impulse.z * kDragGain};
    const float length = Length(impulse);
    if (length > kDragMaxImpulse) {
        const float k = kDragMaxImpulse / length;
        impulse = {impulse.x * k, impulse.y * k, impulse.z * k};
    }
    return impulse;
}

bool CRigidBodyManager::PointerRay(OvV3d* from, OvV3d* to) {
    if (g_cameraManager == nullptr || g_cameraManager->Camera() == nullptr) {
        return false;
    }
    const CInputManager* input = CInputManager::GetInstance();
    const OvV2d pixel = {input->PointerX(), input->PointerY()};
    OvLine line;
    if (OvCameraCalcPixelRay(g_cameraManager->Camera(), &line, &pixel) == nullptr) {
        return false;
    }
    *from = line.start;
    *to = line.end;
    return true;
}

void CRigidBodyManager::Update(float /*dt*/) {
    if (!CInputManager::GetInstance()->RightControl()) {
        dragging_ = false;
        dragBody_ = nullptr;
        dragObject_ = nullptr;
        return;
    }
    if (!dragging_) {
        StartDrag();
    } else {
        StepDrag();
    }
}

bool CRigidBodyManager::PickDraggable(CClumpObject** object, OvpObj** body, OvV3d* point, OvV3d* rayStart) {
    OvV3d from, to;
    if (g_worldManager == nullptr || !PointerRay(&from, &to)) {
        return false;
    }
    float distance = 0.0f;
    OvV3d normal;
    CClumpObject* hit = nullptr;
    if (g_worldManager->LineIntersect(from, to, false, &distance, &normal, &hit) == 0 || hit == nullptr ||
        hit->GetFrame() == nullptr) {
        return false;
    }
    OvAtomic* atomic = hit->GetFirstAtomic();
    OvpObj* found = atomic != nullptr ? OvpAtomicGetBodyObj(atomic) : nullptr;
    if (found == nullptr) {
        return false;
    }
    if (object != nullptr) {
        *object = hit;
    }
    if (body != nullptr) {
        *body = found;
    }
    if (point != nullptr) {
        *point = {from.x + (to.x - from.x) * distance, from.y + (to.y - from.y) * distance,
                  from.z + (to.z - from.z) * distance};
    }
    if (rayStart != nullptr) {
        *rayStart = from;
    }
    return true;
}

void CRigidBodyManager::StartDrag() {
    CClumpObject* hit = nullptr;
    OvpObj* body = nullptr;
    OvV3d grab, from;
    if (!PickDraggable(&hit, &body, &grab, &from)) {
        return;
    }
    OvMatrix inverse;
    OvMatrixInvert(&inverse, OvFrameGetWorldMatrix(hit->GetFrame()));
    OvV3dTransformPoint(&grabLocal_, &grab, &inverse);
    grabPoint_ = grab;
    target_ = grab;
    grabDepth_ = Length(Sub(grab, from));
    const CInputManager* input = CInputManager::GetInstance();
    dragMouse_ = {input->PointerX(), input->PointerY()};
    dragBody_ = body;
    dragObject_ = hit;
    lastImpulse_ = {0.0f, 0.0f, 0.0f};
    dragging_ = true;
}

void CRigidBodyManager::StepDrag() {
    OvpObj* body = dragBody_;
    if (OvpMgr* manager = body->manager) {
        if (body->parts[0].dyn == nullptr) {
            OvpMgrActivateObject(manager, body);
        }
        OvpMgrSetObjectAwake(manager, body, 1);
    }
    OvpDyn* dyn = body->parts[0].dyn;
    if (dyn == nullptr) {
        PhysicsReportNotAllocated(body->manager);
        dragging_ = false;
        dragBody_ = nullptr;
        dragObject_ = nullptr;
        return;
    }
    // The target stays at the depth of the first grab along the ray through the pointer.
    OvV3d target = target_;
    OvV3d from, to;
    if (PointerRay(&from, &to)) {
        const OvV3d ray = Sub(to, from);
        const float length = Length(ray);
        if (length > 0.0f) {
            const float k = grabDepth_ / length;
            target = {from.x + ray.x * k, from.y + ray.y * k, from.z + ray.z * k};
        }
    }
    OvFrame* frame = dragObject_->GetFrame();
    if (frame != nullptr) {
        OvV3dTransformPoint(&grabPoint_, &grabLocal_, OvFrameGetWorldMatrix(frame));
    }
    lastImpulse_ = DragImpulse(grabPoint_, target);
    OvpDynApplyImpulse(dyn, &lastImpulse_, &grabPoint_);
    target_ = target;
}

void CRigidBodyManager::Render() {
    if (!dragging_) {
        return;
    }
    OvIm3DVertex line[2] = {};
    line[0].objVertex = grabPoint_;
    line[1].objVertex = target_;
    line[0].color = line[1].color = kDragLineColour;
    if (OvIm3DTransform(line, 2, nullptr, 0) != nullptr) {
        OvIm3DRenderPrimitive(ovPRIMTYPELINELIST);
        OvIm3DEnd();
    }
}
