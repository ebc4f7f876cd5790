#pragma once
// Loose physics bodies in the level: named body models (a sphere or a box with mass, slide and
// bounce) read from the configuration's "Physics" section, and instances of them placed in the
// world, each drawn as a clump object whose frame follows its body. Every frame the player may
// drag a body with the mouse while RIGHT CTRL is held.

#include <string>
#include <vector>

#include "framework/config_reader.h"
#include "graphics/core/types.h"
#include "graphics/core/vector.h"

class CClumpObject;
struct OvpBodyDef;
struct OvpObj;

class CRigidBodyManager : public CConfigSectionHandler {
public:
    static constexpr int kMaxModels = 32;
    // The fixed shape of a "Sphere" model.
    static constexpr float kSphereRadius = 0.5f;
    static constexpr float kSphereMass = 30.0f;
    static constexpr float kSphereSlide = 1.0f;
    static constexpr float kSphereBounce = 0.5f;
    // A box model's fatness.
    static constexpr float kBoxFatness = 0.001f;
    // The drag pulls with this many times the distance from the grab point to the target, at most
    // kDragMaxImpulse a frame.
    static constexpr float kDragGain = 200.0f;
    static constexpr float kDragMaxImpulse = 1000.0f;

    // The hint the world manager prints while the pointer is on a body that can be dragged: its
    // place (screen fractions) and size.
    // The line sits 0.15 down the screen less 0.015: the camera's name and the frame rate below
    // it reach 0.14 down (0.04 high from 0.18 down), and the hint's foot would cover their tops.
    // It starts at the left edge, as the camera's name below it, clear of the picture's middle
    // (where the followed player's head is).
    static constexpr const char* kDragHint = "RIGHT CTRL + Mouse to move object";
    static constexpr float kDragHintX = 0.025f;
    static constexpr float kDragHintY = 0.865f;
    static constexpr float kDragHintSize = 0.03f;

    struct Model {
        std::string name; // whole, however long, as its instances name it
        std::string clumpFile;
        OvpBodyDef* def = nullptr; // null once released at the end of "Instances"
    };
    struct Instance {
        CClumpObject* object = nullptr;
        OvpObj* body = nullptr;
    };

    // Created on first use.
    static CRigidBodyManager* GetInstance();
    // The manager when it was made, else null.
    static CRigidBodyManager* Existing();
    // The instances leave the level and the manager is freed.
    static void Destroy();

    // Body definitions (one reference each, for the caller). A sphere of the radius; a box of the
    // half extents with fatness 0.001. Restitution = bounce, friction = slide, the mass with full
    // inertia from the volume. Null when memory runs out.
    static OvpBodyDef* CreateSphereModel(float radius, float mass, float slide, float bounce);
    static OvpBodyDef* CreateBoxModel(float dx, float dy, float dz, float mass, float slide, float bounce);

    // The "Physics" section: "Models" with "Sphere" and "Box", "Instances" with "Instance".
    bool StartElement(const char* name, const char** attributes) override;
    bool EndElement(const char* name) override;

    // The drag: while the input manager's RIGHT CTRL is held, the body under the pointer is pulled
    // towards the point under the pointer; letting go ends it.
    void Update(float dt);
    // While dragging, a thin line from the grab point to the target.
    void Render();

    // Destroys every instance's body and clump object (they leave the world manager first). Runs
    // before the world manager unloads the physics context the bodies live in.
    void ReleaseInstances();
    // Ends a drag of the object, which is being destroyed with its body (a lift's platform, any
    // pickable object that carries a body).
    void LetGo(const CClumpObject* object);

    int ModelCount() const { return modelCount_; }
    const Model& GetModel(int i) const { return models_[i]; }
    int InstanceCount() const { return static_cast<int>(instances_.size()); }
    // The instances that asked the physics for a moving body, made or refused for want of room.
    int InstancesAsked() const { return instancesAsked_; }
    const Instance& GetInstanceRecord(int i) const { return instances_[static_cast<std::size_t>(i)]; }
    bool Dragging() const { return dragging_; }
    OvpObj* DraggedBody() const { return dragBody_; }
    CClumpObject* DraggedObject() const { return dragObject_; }
    const OvV3d& GrabPoint() const { return grabPoint_; }
    const OvV3d& DragTarget() const { return target_; }
    // The impulse applied by the last drag step.
    const OvV3d& LastImpulse() const { return lastImpulse_; }

    // The object with a physics body nearest under the pointer (through the camera manager's
    // camera and the world manager's line query), with its body, the world point hit and the
    // ray's start; false when the pointer is on nothing that carries a body.
    static bool PickDraggable(CClumpObject** object, OvpObj** body, OvV3d* point, OvV3d* rayStart);

    // The drag's pull for a grab point and target: (target - grab) x 200, cut to length 1000.
    static OvV3d DragImpulse(const OvV3d& grab, const OvV3d& target);

private:
    CRigidBodyManager() = default;
    ~CRigidBodyManager() override;

    int FindModel(const char* name) const;
    bool ReadModel(const char* element, const char** attributes);
    bool ReadInstance(const char** attributes);
    void ReleaseModels();
    void StartDrag();
    void StepDrag();
    // The segment from the camera through the pointer; false without a camera.
    static bool PointerRay(OvV3d* from, OvV3d* to);

    Model models_[kMaxModels];
    int modelCount_ = 0;
    bool insideModels_ = false;
    bool insideInstances_ = false;
    bool dragging_ = false;
    OvpObj* dragBody_ = nullptr;
    CClumpObject* dragObject_ = nullptr;
    OvV3d grabPoint_ = {};   // world space
    OvV3d target_ = {};      // world space
    OvV3d grabLocal_ = {};   // in the dragged object's frame
    float grabDepth_ = 0.0f; // distance from the ray's start to the grab point when the drag began
    OvV2d dragMouse_ = {};   // pointer when the drag began
    OvV3d lastImpulse_ = {};
    std::vector<Instance> instances_;
    int instancesAsked_ = 0;
};
