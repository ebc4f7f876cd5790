#include "framework/level_objects.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "framework/character.h"
#include "framework/config_checks.h"
#include "framework/framework.h"
#include "framework/physics_glue.h"
#include "framework/rigid_bodies.h"
#include "framework/vector_ops.h"
#include "framework/world_manager.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/engine.h"
#include "graphics/core/frame.h"
#include "graphics/core/im3d.h"
#include "graphics/core/image.h"
#include "graphics/core/texture.h"
#include "graphics/plugins/particles.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/toolkits/quaternion.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"
#include "physics/core/context/context.h"
#include "physics/core/context/joint.h"
#include "physics/core/context/manager.h"
#include "physics/core/context/objtypes.h"
#include "physics/graphics/body_atomic.h"
#include "platform/crt.h"

namespace {

// The framework's character table as the furniture sees it: a throw is a velocity given to the
// character's motion sphere, which it puts in the air.
class CharacterTableView : public CLevelCharacters {
public:
    int Count() override { return CCharacter::Count(); }
    CClumpObject* Get(int i) override { return CCharacter::Get(i); }
    void Throw(int i, const OvV3d& velocity) override {
        if (CCharacter* character = CCharacter::Get(i)) {
            character->Throw(velocity);
        }
    }
};

CharacterTableView g_characterTableView;

} // namespace

CLevelCharacters* g_levelCharacters = &g_characterTableView;

namespace {

bool Is(const char* a, const char* b) { return _stricmp(a, b) == 0; }

using namespace framework_vector;

// Reads an element's attributes in order. The first one missing shows its error box, naming the
// element; nothing after it is read.
class Attributes {
public:
    Attributes(const char** attributes, const char* element) : attributes_(attributes), element_(element) {}

    Attributes& Float(const char* name, float* out) {
        if (ok_ && !ReadFloatAttribute(name, attributes_, position_, out)) {
            Missing(name);
        }
        ++position_;
        return *this;
    }
    Attributes& Vector(const char* x, const char* y, const char* z, OvV3d* out) {
        return Float(x, &out->x).Float(y, &out->y).Float(z, &out->z);
    }
    Attributes& Int(const char* name, int* out) {
        if (ok_ && !ReadIntAttribute(name, attributes_, position_, out)) {
            Missing(name);
        }
        ++position_;
        return *this;
    }
    // Copies the text, cut to the field.
    template <std::size_t N> Attributes& Text(const char* name, char (&out)[N]) {
        if (ok_) {
            if (const char* value = ReadTextAttribute(name, attributes_, position_)) {
                std::snprintf(out, N, "%s", value);
            } else {
                Missing(name);
            }
        }
        ++position_;
        return *this;
    }
    bool Ok() const { return ok_; }

private:
    void Missing(const char* name) {
        ErrorBox(MissingAttributeMessage(name, element_).c_str());
        ok_ = false;
    }

    const char** attributes_;
    const char* element_;
    int position_ = 0;
    bool ok_ = true;
};

// Draws immediate-mode vertices as one untextured primitive.
void Draw(OvIm3DVertex* vertices, OvUInt32 count, OvInt32 primitive, const OvMatrix* matrix = nullptr) {
    // Untextured: a texture left set by an earlier draw (the teleporter's particles) would hide them.
    OvEngineInstancePtr->dOpenDevice.setRenderState(ovRENDERSTATETEXTURERASTER, nullptr);
    if (OvIm3DTransform(vertices, count, const_cast<OvMatrix*>(matrix), 0) != nullptr) {
        OvIm3DRenderPrimitive(primitive);
        OvIm3DEnd();
    }
}

OvIm3DVertex Vertex(const OvV3d& p, OvUInt32 colour) {
    OvIm3DVertex v = {};
    v.objVertex = p;
    v.color = colour;
    return v;
}

// A geometry of the points and triangles in world coordinates (no frame) with one material: the
// atomic the line and sphere queries test. Null when the engine refuses it.
OvAtomic* BuildAtomic(const OvV3d* points, int pointCount, const int (*triangles)[3], int triangleCount) {
    OvGeometry* geometry = OvGeometryCreate(pointCount, triangleCount, ovGEOMETRYPOSITIONS | ovGEOMETRYNORMALS);
    OvMaterial* material = geometry != nullptr ? OvMaterialCreate() : nullptr;
    if (material == nullptr) {
        if (geometry != nullptr) {
            OvGeometryDestroy(geometry);
        }
        return nullptr;
    }
    OvMorphTarget* target = OvGeometryGetMorphTarget(geometry, 0);
    const OvV3d face = Normalised(Cross(Sub(points[triangles[0][1]], points[triangles[0][0]]),
                                        Sub(points[triangles[0][2]], points[triangles[0][0]])));
    for (int i = 0; i < pointCount; ++i) {
        target->verts[i] = points[i];
        if (target->normals != nullptr) {
            target->normals[i] = face;
        }
    }
    for (int t = 0; t < triangleCount; ++t) {
        OvTriangle* triangle = &geometry->triangles[t];
        OvGeometryTriangleSetVertexIndices(geometry, triangle, static_cast<OvUInt16>(triangles[t][0]),
                                           static_cast<OvUInt16>(triangles[t][1]),
                                           static_cast<OvUInt16>(triangles[t][2]));
        OvGeometryTriangleSetMaterial(geometry, triangle, material);
    }
    OvMaterialDestroy(material); // the geometry holds it
    OvMorphTargetCalcBoundingSphere(target, &target->boundingSphere);
    OvAtomic* atomic = OvGeometryUnlock(geometry) != nullptr ? OvAtomicCreate() : nullptr;
    if (atomic == nullptr) {
        OvGeometryDestroy(geometry);
        return nullptr;
    }
    OvAtomicSetGeometry(atomic, geometry, 0);
    OvGeometryDestroy(geometry); // the atomic holds it
    return atomic;
}

void DestroyAtomic(OvAtomic*& atomic) {
    if (atomic != nullptr) {
        OvAtomicDestroy(atomic);
        atomic = nullptr;
    }
}

// The outline of a closed polygon as a line list.
void Outline(const OvV3d* corners, int count, OvUInt32 colour) {
    OvIm3DVertex lines[8];
    for (int i = 0; i < count && i < 4; ++i) {
        lines[2 * i] = Vertex(corners[i], colour);
        lines[2 * i + 1] = Vertex(corners[(i + 1) % count], colour);
    }
    Draw(lines, static_cast<OvUInt32>(2 * count), ovPRIMTYPELINELIST);
}

constexpr OvUInt32 kOutlineColour = 0xFF00FFFFu;

OvpMgr* PhysicsManager() {
    if (g_worldManager == nullptr || g_worldManager->GetPhysicsContext() == nullptr) {
        return nullptr;
    }
    return OvpContextGetMgr(g_worldManager->GetPhysicsContext());
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Collision triangles and planes

CCollisionPiece::~CCollisionPiece() { Destroy(); }

void CCollisionPiece::Update(float) {
    OvV3d corners[4];
    const int count = Shape(corners);
    bool same = built_ && count == builtCount_;
    for (int i = 0; same && i < count; ++i) {
        same = Same(corners[i], builtFrom_[i]);
    }
    if (same) {
        return;
    }
    DestroyAtomic(atomic);
    static const int kTriangles[2][3] = {{0, 1, 2}, {0, 2, 3}};
    if (count >= 3) {
        atomic = BuildAtomic(corners, count, kTriangles, count - 2);
    }
    for (int i = 0; i < count; ++i) {
        builtFrom_[i] = corners[i];
    }
    builtCount_ = count;
    built_ = true;
    ++builds_;
}

void CCollisionPiece::Render() {
    OvV3d corners[4];
    if (g_debugLevel <= 2) {
        return;
    }
    if (const int count = Shape(corners); count >= 3) {
        Outline(corners, count, kOutlineColour);
    }
}

void CCollisionPiece::Destroy() {
    DestroyAtomic(atomic);
    built_ = false;
}

bool CCollisionTriangle::StartElement(const char* name, const char** attributes) {
    if (Is(name, "flags")) {
        int flags = 0;
        const bool ok = Attributes(attributes, "flags").Int("value", &flags).Ok();
        if (ok) {
            passable = flags != 0;
        }
        return ok;
    }
    for (int i = 0; i < 3; ++i) {
        const char* element[3] = {"v1", "v2", "v3"};
        if (Is(name, element[i])) {
            return Attributes(attributes, element[i]).Vector("x", "y", "z", &vertices[i]).Ok();
        }
    }
    return true;
}

int CCollisionTriangle::Shape(OvV3d corners[4]) const {
    for (int i = 0; i < 3; ++i) {
        corners[i] = vertices[i];
    }
    return 3;
}

CCollisionTriangle* CCollisionTriangle::CloneReversed() const {
    auto* copy = new CCollisionTriangle;
    copy->vertices[0] = vertices[2];
    copy->vertices[1] = vertices[1];
    copy->vertices[2] = vertices[0];
    copy->passable = passable;
    return copy;
}

bool CCollisionPlane::StartElement(const char* name, const char** attributes) {
    if (Is(name, "Position")) {
        return Attributes(attributes, "Position").Vector("x", "y", "z", &position).Ok();
    }
    if (Is(name, "Normal")) {
        return Attributes(attributes, "Normal").Vector("x", "y", "z", &normal).Ok();
    }
    if (Is(name, "Right")) {
        return Attributes(attributes, "Right").Vector("x", "y", "z", &right).Ok();
    }
    if (Is(name, "Length")) {
        return Attributes(attributes, "Length").Float("value", &length).Ok();
    }
    if (Is(name, "Width")) {
        return Attributes(attributes, "Width").Float("value", &width).Ok();
    }
    return true;
}

bool CCollisionPlane::Corners(OvV3d corners[4]) const {
    const OvV3d across = Cross(normal, right);
    if (!(Length(across) > 1e-6f) || !(Length(right) > 0.0f)) {
        return false;
    }
    const OvV3d r = Scale(Normalised(right), length * 0.5f);
    const OvV3d w = Scale(Normalised(across), width * 0.5f);
    corners[0] = Sub(Sub(position, r), w);
    corners[1] = Sub(Add(position, r), w);
    corners[2] = Add(Add(position, r), w);
    corners[3] = Add(Sub(position, r), w);
    // Wound so that the quad faces along the normal.
    if (Dot(Cross(Sub(corners[1], corners[0]), Sub(corners[2], corners[0])), normal) < 0.0f) {
        const OvV3d swap = corners[1];
        corners[1] = corners[3];
        corners[3] = swap;
    }
    return true;
}

int CCollisionPlane::Shape(OvV3d corners[4]) const { return Corners(corners) ? 4 : 0; }

CCollisionPlane* CCollisionPlane::Clone() const {
    auto* copy = new CCollisionPlane;
    copy->position = position;
    copy->normal = normal;
    copy->right = right;
    copy->length = length;
    copy->width = width;
    copy->twoSided = twoSided;
    return copy;
}

// ---------------------------------------------------------------------------------------------
// Laser beams, teleporters, bumpers, jump helpers

bool CLaserBeam::StartElement(const char*, const char** attributes) {
    Attributes a(attributes, "LaserBeam");
    a.Vector("p1x", "p1y", "p1z", &p1)
        .Vector("p2x", "p2y", "p2z", &p2)
        .Vector("pw1x", "pw1y", "pw1z", &pw1)
        .Vector("pw2x", "pw2y", "pw2z", &pw2)
        .Float("timeOn", &timeOn)
        .Float("timeOff", &timeOff)
        .Float("startTime", &timer_);
    return a.Ok();
}

void CLaserBeam::Update(float dt) {
    timer_ += dt;
    if (on_ && timer_ > timeOn) {
        on_ = false;
        timer_ = 0.0f;
    }
    if (!on_ && timer_ > timeOff) {
        on_ = true;
        timer_ = 0.0f;
    }
}

void CLaserBeam::Render() {
    if (!on_) {
        return;
    }
    // Two thin quads crossed along the beam, as 12 triangle-list vertices.
    constexpr float kRadius = 0.04f;
    constexpr OvUInt32 kBeamColour = 0xFFFF2020u;
    const OvV3d d = Normalised(Sub(p2, p1));
    OvV3d side = Cross(d, {0.0f, 1.0f, 0.0f});
    if (!(Length(side) > 1e-6f)) {
        side = {1.0f, 0.0f, 0.0f};
    }
    const OvV3d u = Scale(Normalised(side), kRadius);
    const OvV3d w = Scale(Normalised(Cross(u, d)), kRadius);
    OvIm3DVertex v[12];
    int n = 0;
    for (const OvV3d& o : {u, w}) {
        const OvV3d a = Sub(p1, o), b = Add(p1, o), c = Add(p2, o), e = Sub(p2, o);
        for (const OvV3d& p : {a, b, c, a, c, e}) {
            v[n++] = Vertex(p, kBeamColour);
        }
    }
    Draw(v, 12, ovPRIMTYPETRILIST);
}

CTeleporter::~CTeleporter() { Destroy(); }

bool CTeleporter::StartElement(const char*, const char** attributes) {
    Attributes a(attributes, "Teleporter");
    a.Vector("p1x", "p1y", "p1z", &p1).Vector("p2x", "p2y", "p2z", &p2);
    return a.Ok();
}

bool CTeleporter::SetUpEffect() {
    texture_ = OvTextureRead("particle.png", nullptr);
    if (texture_ == nullptr) {
        return false;
    }
    effect_ = OvParticleBatchCreate(kParticles, ovPARTICLEPOSITION | ovPARTICLECOLOR, 0);
    frame_ = effect_ != nullptr ? OvFrameCreate() : nullptr;
    if (frame_ == nullptr) {
        Destroy();
        return false;
    }
    OvAtomicSetFrame(effect_, frame_);
    OvParticleBatchSetTexture(effect_, texture_);
    OvParticleBatchSetSize(effect_, 0.05f, 0.05f);
    OvParticleBatchSetNumActive(effect_, kParticles);
    return true;
}

void CTeleporter::Update(float dt) {
    if (!triedEffect_) {
        triedEffect_ = true;
        SetUpEffect();
    }
    // The spiral: each particle rises 0.4 a second, turning with its height; odd ones on the
    // opposite side; above 2.0 it starts again at the entry.
    if (firstFrame_) {
        firstFrame_ = false;
        for (int i = 0; i < kParticles; ++i) {
            heights_[i] = 0.04f * static_cast<float>(i);
        }
    }
    for (int i = 0; i < kParticles; ++i) {
        heights_[i] += 0.4f * dt;
        if (heights_[i] > 2.0f) {
            heights_[i] = 0.0f;
        }
        const float angle = 5.0f * heights_[i];
        const float side = (i % 2 != 0) ? -1.0f : 1.0f;
        positions_[i] = {p1.x + side * std::cos(angle), p1.y + heights_[i], p1.z + side * std::sin(angle)};
    }
    if (effect_ != nullptr) {
        OvParticleStream positions, colours;
        OvParticleBatchLock(effect_, &positions, ovPARTICLEPOSITION, ovPARTICLELOCKCHANGED);
        OvParticleBatchLock(effect_, &colours, ovPARTICLECOLOR, ovPARTICLELOCKCHANGED);
        for (int i = 0; i < kParticles; ++i) {
            std::memcpy(static_cast<OvUInt8*>(positions.data) + static_cast<std::size_t>(i) * positions.stride,
                        &positions_[i], sizeof(OvV3d));
            std::memcpy(static_cast<OvUInt8*>(colours.data) + static_cast<std::size_t>(i) * colours.stride, &colour, 4);
        }
        OvParticleBatchUnlock(effect_);
    }
    if (g_levelCharacters == nullptr) {
        return;
    }
    for (int i = 0; i < g_levelCharacters->Count(); ++i) {
        CClumpObject* character = g_levelCharacters->Get(i);
        OvFrame* frame = character != nullptr ? character->GetFrame() : nullptr;
        if (frame != nullptr && Length(Sub(OvFrameGetMatrix(frame)->pos, p1)) < 1.0f) {
            character->SetPosition(p2);
        }
    }
}

void CTeleporter::Render() {
    if (effect_ != nullptr) {
        effect_->renderCallBack(effect_);
    }
}

void CTeleporter::Destroy() {
    if (effect_ != nullptr) {
        OvAtomicSetFrame(effect_, nullptr);
        OvParticleBatchDestroy(effect_);
        effect_ = nullptr;
    }
    if (frame_ != nullptr) {
        OvFrameDestroy(frame_);
        frame_ = nullptr;
    }
    if (texture_ != nullptr) {
        OvTextureDestroy(texture_);
        texture_ = nullptr;
    }
}

bool CBumper::StartElement(const char*, const char** attributes) {
    Attributes a(attributes, "Bumper");
    a.Vector("p1x", "p1y", "p1z", &p1).Vector("p2x", "p2y", "p2z", &p2);
    return a.Ok();
}

void CBumper::Update(float) {
    if (g_levelCharacters == nullptr) {
        return;
    }
    for (int i = 0; i < g_levelCharacters->Count(); ++i) {
        CClumpObject* character = g_levelCharacters->Get(i);
        OvFrame* frame = character != nullptr ? character->GetFrame() : nullptr;
        if (frame != nullptr && Length(Sub(OvFrameGetMatrix(frame)->pos, p1)) < 2.0f) {
            g_levelCharacters->Throw(i, {-6.0f, 12.0f, 0.0f});
        }
    }
}

bool CJumpHelper::StartElement(const char*, const char** attributes) {
    Attributes a(attributes, "JumpHelper");
    a.Vector("p1x", "p1y", "p1z", &p1).Vector("p2x", "p2y", "p2z", &p2);
    return a.Ok();
}

// ---------------------------------------------------------------------------------------------
// Switches

const char* const CSwitch::kModelFiles[CSwitch::kModels] = {"models\\BoutonVert.dff", "models\\BoutonRouge.dff",
                                                            "models\\BoutonVertOn.dff", "models\\BoutonRougeOn.dff"};

CSwitch::~CSwitch() { Destroy(); }

bool CSwitch::StartElement(const char*, const char** attributes) {
    Attributes a(attributes, "Switch");
    a.Text("name", name)
        .Vector("px", "py", "pz", &p)
        .Vector("nx", "ny", "nz", &n)
        .Text("stringOn", stringOn)
        .Text("stringOff", stringOff);
    for (int i = 0; i < kModels; ++i) {
        if (!models_[i].LoadClump(kModelFiles[i])) {
            continue;
        }
        models_[i].SetPosition(i < 2 ? p : OvV3d{p.x, p.y - 0.5f, p.z});
    }
    on_ = true;
    ShowState();
    if (g_worldManager != nullptr) {
        for (CClumpObject& model : models_) {
            if (model.GetClump() != nullptr) {
                g_worldManager->AddObject(&model);
            }
        }
    }
    return a.Ok();
}

void CSwitch::ShowState() {
    models_[0].SetVisible(!on_);
    models_[1].SetVisible(on_);
    models_[2].SetVisible(on_);
    models_[3].SetVisible(!on_);
}

void CSwitch::Update(float dt) { timer_ += dt; }

bool CSwitch::IsAimedAt(const OvV3d& point) const { return Length(Sub(point, p)) < kReach; }

bool CSwitch::Toggle() {
    if (!(timer_ > kDebounce)) {
        return false;
    }
    on_ = !on_;
    timer_ = 0.0f;
    ShowState();
    return true;
}

void CSwitch::Destroy() {
    for (CClumpObject& model : models_) {
        model.Destroy();
    }
}

// ---------------------------------------------------------------------------------------------
// Lifts

void JointedBody::JoinToWorld(OvpMgr* manager) {
    const OvpRef world = {nullptr, ovpREFNONE, 0};
    const OvpRef held = {body, 0, 0};
    joint = OvpJointCreate(manager, jointDef, &world, &held);
    if (joint != nullptr && OvpMgrAddJoint(manager, joint, -1) == nullptr) {
        OvpJointDestroy(joint);
        joint = nullptr;
    }
}

void JointedBody::Release(OvAtomic* boundAtomic) {
    if (joint != nullptr) {
        OvpJointDestroy(joint);
        joint = nullptr;
    }
    if (jointDef != nullptr) {
        OvpJointDefRelease(jointDef);
        jointDef = nullptr;
    }
    if (body != nullptr) {
        if (boundAtomic != nullptr) {
            OvpAtomicSetBodyObj(boundAtomic, nullptr);
        }
        OvpBodyObjDestroy(body);
        body = nullptr;
    }
    if (def != nullptr) {
        OvpBodyDefRelease(def);
        def = nullptr;
    }
}

CLift::~CLift() { Destroy(); }

bool CLift::StartElement(const char*, const char** attributes) {
    Attributes a(attributes, "Lift");
    a.Vector("p1x", "p1y", "p1z", &p1)
        .Vector("p2x", "p2y", "p2z", &p2)
        .Vector("pw1x", "pw1y", "pw1z", &pw1)
        .Vector("pw2x", "pw2y", "pw2z", &pw2)
        .Text("switch", switchName);
    // A name that matches no switch leaves the lift moving all the time (said).
    linked_ = g_worldManager != nullptr && switchName[0] != '\0' ? g_worldManager->FindSwitch(switchName) : nullptr;
    if (a.Ok() && switchName[0] != '\0' && linked_ == nullptr) {
        ConfigWarning("a 'Lift' names the switch '" + std::string(switchName) +
                      "', which no 'Switch' before it is named: it rides up and down without one");
    }
    position = p1;
    const OvV3d way = Sub(p2, p1);
    length = Length(way);
    direction = length > 0.0f ? Scale(way, 1.0f / length) : OvV3d{0.0f, 0.0f, 0.0f};
    travelled = 0.0f;
    timer = 0.0f;
    state = kMovingToP2;
    Build();
    return a.Ok();
}

void CLift::Build() {
    if (!object_.LoadClump(kModelFile)) {
        return;
    }
    object_.SetPickable(true);
    if (g_worldManager != nullptr) {
        g_worldManager->AddObject(&object_);
    }
    OvpMgr* manager = PhysicsManager();
    if (manager == nullptr) {
        object_.SetPosition(position); // no physics: the model alone
        return;
    }
    physics_.def = CRigidBodyManager::CreateBoxModel(1.0f, 0.1f, 1.0f, 20.0f, 1.0f, 0.0f);
    if (physics_.def == nullptr) {
        return;
    }
    physics_.body = OvpBodyObjCreate(physics_.def);
    if (physics_.body == nullptr || OvpAtomicSetBodyObj(object_.GetFirstAtomic(), physics_.body) == nullptr ||
        OvpMgrAddObject(manager, physics_.body, -1, ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE) == nullptr) {
        Destroy();
        object_.SetPosition(position);
        return;
    }
    PhysicsSetBodyPosition(physics_.body, position.x, position.y, position.z);
    // Every axis locked to a world anchor that rides with the lift.
    physics_.jointDef = OvpJointDefCreate();
    if (physics_.jointDef == nullptr) {
        return;
    }
    OvpJointDefSetFlags(physics_.jointDef, kLiftJointFlags);
    OvpJointFrameSetPosition(OvpJointDefGetFrame(physics_.jointDef, 1), &position);
    physics_.JoinToWorld(manager);
}

bool CLift::Moves() const { return linked_ == nullptr || linked_->IsOn(); }

OvV3d CLift::Velocity() const {
    if (!Moves() || length <= 0.0f) {
        return {0.0f, 0.0f, 0.0f};
    }
    if (state == kMovingToP2) {
        return Scale(direction, kSpeed);
    }
    if (state == kMovingToP1) {
        return Scale(direction, -kSpeed);
    }
    return {0.0f, 0.0f, 0.0f};
}

bool CLift::CarryVelocity(const CClumpObject* standingOn, OvV3d* velocity) const {
    if (standingOn == nullptr || standingOn != &object_) {
        return false;
    }
    *velocity = Velocity();
    return true;
}

void CLift::Update(float dt) {
    if (!Moves()) {
        return;
    }
    switch (state) {
    case kWaitingAtP1:
        timer += dt;
        if (timer > waitAtP1) {
            state = kMovingToP2;
        }
        break;
    case kWaitingAtP2:
        timer += dt;
        if (timer > waitAtP2) {
            state = kMovingToP1;
        }
        break;
    case kMovingToP2:
        travelled += kSpeed * dt;
        if (travelled >= length) {
            travelled = length;
            state = kWaitingAtP2;
            timer = 0.0f;
        }
        position = Add(p1, Scale(direction, travelled));
        Follow();
        break;
    case kMovingToP1:
        travelled -= kSpeed * dt;
        if (travelled <= 0.0f) {
            travelled = 0.0f;
            state = kWaitingAtP1;
            timer = 0.0f;
        }
        position = Add(p1, Scale(direction, travelled));
        Follow();
        break;
    default:
        break;
    }
}

void CLift::Follow() {
    if (physics_.jointDef != nullptr) {
        OvpJointFrameSetPosition(OvpJointDefGetFrame(physics_.jointDef, 1), &position);
        if (physics_.body != nullptr && physics_.body->manager != nullptr) {
            OvpMgrSetObjectAwake(physics_.body->manager, physics_.body, 1);
        }
    } else if (physics_.body == nullptr && object_.GetClump() != nullptr) {
        object_.SetPosition(position);
    }
}

void CLift::Destroy() {
    physics_.Release(object_.GetFirstAtomic());
    object_.Destroy();
}

// ---------------------------------------------------------------------------------------------
// Doors

CDoor::~CDoor() { Destroy(); }

bool CDoor::StartElement(const char*, const char** attributes) {
    Attributes a(attributes, "Door");
    a.Vector("px", "py", "pz", &position)
        .Float("width", &width)
        .Float("height", &height)
        .Float("depth", &depth)
        .Int("axis", &axis)
        .Vector("pw1x", "pw1y", "pw1z", &pw1)
        .Vector("pw2x", "pw2y", "pw2z", &pw2);
    if (a.Ok() && !SpansSomething()) {
        ConfigWarning("a 'Door' whose width, height or depth is not above 0 spans nothing: it gets no body and "
                      "does not swing");
    }
    return a.Ok();
}

OvV3d CDoor::HalfExtents() const {
    return axis == 0 ? OvV3d{depth * 0.5f, height * 0.5f, width * 0.5f}
                     : OvV3d{width * 0.5f, height * 0.5f, depth * 0.5f};
}

OvV3d CDoor::HingeOnDoor() const {
    return axis == 0 ? OvV3d{0.0f, 0.0f, -width * 0.5f} : OvV3d{-width * 0.5f, 0.0f, 0.0f};
}

OvV3d CDoor::HingePoint() const { return Add(position, HingeOnDoor()); }

void CDoor::Update(float) {
    if (buildPhysics_) {
        buildPhysics_ = false;
        Build();
    }
    // Afterwards the body, swinging on its hinge, moves the door's matrix.
}

void CDoor::Build() {
    OvpMgr* manager = PhysicsManager();
    const OvV3d half = HalfExtents();
    if (manager == nullptr) {
        return;
    }
    // A door that spans nothing (said as it was read) has no body to hinge.
    if (!SpansSomething() || !std::isfinite(half.x + half.y + half.z)) {
        return;
    }
    physics_.def = PhysicsCreateStaticBox(half.x, half.y, half.z, 0.0f);
    physics_.body = physics_.def != nullptr ? OvpBodyObjCreate(physics_.def) : nullptr;
    if (physics_.body == nullptr) {
        Destroy();
        return;
    }
    OvMatrixSetIdentity(&matrix_);
    matrix_.pos = position;
    physics_.body->parts[0].matrix = &matrix_;
    OvpObjSetPartFromMatrix(physics_.body, 0);
    if (OvpMgrAddObject(manager, physics_.body, -1, ovpADD_AWAKE | ovpADD_DYNAMIC | ovpADD_ACTIVATE) == nullptr) {
        Destroy();
        return;
    }
    PhysicsSetBodyPosition(physics_.body, position.x, position.y, position.z);
    // The hinge: free only about the frames' x axis, which a quarter turn about z makes vertical.
    physics_.jointDef = OvpJointDefCreate();
    if (physics_.jointDef == nullptr) {
        return;
    }
    OvpJointDefSetFlags(physics_.jointDef, ovpJOINTHINGE);
    OvpJointLimit* open = OvpJointDefGetFirstLimit(physics_.jointDef);
    OvpJointLimitSetEnabled(open, 1);
    OvpJointLimitSetAngle(open, kDoorOpenAngle);
    OvpJointLimit* shut = OvpJointDefGetSecondLimit(physics_.jointDef);
    OvpJointLimitSetEnabled(shut, 1);
    OvpJointLimitSetAngle(shut, 0.0f);
    OvpJointSpring* spring = OvpJointLimitGetSpring(shut);
    OvpJointSpringSetStiffness(spring, kDoorSpringStiffness);
    OvpJointSpringSetDamping(spring, kDoorSpringDamping);
    OvMatrix turn;
    const OvV3d zAxis = {0.0f, 0.0f, 1.0f};
    OvMatrixRotate(&turn, &zAxis, 90.0f, ovCOMBINEREPLACE);
    OvQuat q;
    OvQuatFromMatrix(&q, &turn);
    const OvV3d onDoor = HingeOnDoor();
    const OvV3d inWorld = HingePoint();
    OvpJointFrameSetOrientation(OvpJointDefGetFrame(physics_.jointDef, 0), &q);
    OvpJointFrameSetOrientation(OvpJointDefGetFrame(physics_.jointDef, 1), &q);
    OvpJointFrameSetPosition(OvpJointDefGetFrame(physics_.jointDef, 0), &onDoor);
    OvpJointFrameSetPosition(OvpJointDefGetFrame(physics_.jointDef, 1), &inWorld);
    physics_.JoinToWorld(manager);
}

void CDoor::Render() {
    if (physics_.body == nullptr) {
        return;
    }
    // The corners where the body holds the box, in the world.
    const OvV3d h = HalfExtents();
    const OvMatrix& m = matrix_;
    OvV3d c[8];
    for (int i = 0; i < 8; ++i) {
        const float x = (i & 1) != 0 ? h.x : -h.x, y = (i & 2) != 0 ? h.y : -h.y, z = (i & 4) != 0 ? h.z : -h.z;
        c[i] = Add(Add(Add(Scale(m.right, x), Scale(m.up, y)), Scale(m.at, z)), m.pos);
    }
    // Its six faces as triangles, the sides facing x, y and z a shade apart.
    static const int kFaces[6][4] = {{0, 2, 6, 4}, {1, 5, 7, 3}, {0, 4, 5, 1},
                                     {2, 3, 7, 6}, {0, 1, 3, 2}, {4, 6, 7, 5}};
    static const OvUInt32 kShades[3] = {0xFF8A6440u, 0xFFA07A50u, 0xFF70502Cu};
    OvIm3DVertex faces[36];
    int n = 0;
    for (int f = 0; f < 6; ++f) {
        const int* q = kFaces[f];
        for (int k : {0, 1, 2, 0, 2, 3}) {
            faces[n++] = Vertex(c[q[k]], kShades[f / 2]);
        }
    }
    Draw(faces, 36, ovPRIMTYPETRILIST);
}

void CDoor::Destroy() { physics_.Release(nullptr); }

// ---------------------------------------------------------------------------------------------

bool ConfigureLevelObject(const char* name, const char** attributes) {
    struct Kind {
        const char* name;
        CLevelObject* (*create)();
        int (CWorldManager::*add)(CLevelObject*);
    };
    static const Kind kKinds[] = {
        {"JumpHelper", [] { return static_cast<CLevelObject*>(new CJumpHelper); }, &CWorldManager::AddJumpHelper},
        {"Switch", [] { return static_cast<CLevelObject*>(new CSwitch); }, &CWorldManager::AddSwitch},
        {"LaserBeam", [] { return static_cast<CLevelObject*>(new CLaserBeam); }, &CWorldManager::AddLaserBeam},
        {"Teleporter", [] { return static_cast<CLevelObject*>(new CTeleporter); }, &CWorldManager::AddTeleporter},
        {"Lift", [] { return static_cast<CLevelObject*>(new CLift); }, &CWorldManager::AddLift},
        {"Bumper", [] { return static_cast<CLevelObject*>(new CBumper); }, &CWorldManager::AddBumper},
        {"Door", [] { return static_cast<CLevelObject*>(new CDoor); }, &CWorldManager::AddDoor},
    };
    for (const Kind& kind : kKinds) {
        if (!Is(name, kind.name)) {
            continue;
        }
        if (g_worldManager == nullptr) {
            LeaveOutBeforeLevel(kind.name, false);
            return true;
        }
        CLevelObject* object = kind.create();
        object->StartElement(name, attributes);
        if ((g_worldManager->*kind.add)(object) == 0) {
            object->Destroy(); // a full table: the object and what it gave the world go
            delete object;
        }
        return true;
    }
    return false;
}
