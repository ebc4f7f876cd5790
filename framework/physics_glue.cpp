#include "framework/physics_glue.h"

#include <cmath>
#include <vector>

#include "graphics/core/frame.h"
#include "graphics/core/matrix.h"
#include "graphics/world/geometry.h"
#include "physics/core/context/joint.h"
#include "physics/core/context/manager.h"
#include "physics/core/utils/memory.h"
#include "physics/core/volume/primitives.h"
#include "physics/core/volume/volume.h"
#include "physics/graphics/body_atomic.h"

namespace {

// After a hand move: the far field's box, the bound atomic's frame, and the body awake.
void Refresh(OvpObj* body) {
    if (body->manager == nullptr) {
        return;
    }
    OvpBodyObjUpdateBounds(body);
    if (const auto* atomic = static_cast<const OvAtomic*>(body->user)) {
        if (OvFrame* frame = OvAtomicGetFrame(atomic)) {
            OvFrameMarkDirty(frame);
        }
    }
    OvpMgrSetObjectAwake(body->manager, body, 1);
}

} // namespace

bool PhysicsSetBodyPosition(OvpObj* body, float x, float y, float z) {
    if (body == nullptr || body->partCount < 1 || body->parts[0].matrix == nullptr) {
        return false;
    }
    OvMatrix* m = body->parts[0].matrix;
    m->pos = {x, y, z};
    OvMatrixUpdate(m);
    OvpObjSetPartFromMatrix(body, 0);
    Refresh(body);
    return true;
}

bool PhysicsSetBodyTransform(OvpObj* body, float ax, float ay, float az, float angle) {
    const float length = std::sqrt(ax * ax + ay * ay + az * az);
    if (body == nullptr || body->partCount < 1 || body->parts[0].matrix == nullptr || !(length > 0.0f)) {
        return false;
    }
    OvMatrix* m = body->parts[0].matrix;
    const OvV3d position = m->pos;
    const OvV3d axis = {ax / length, ay / length, az / length};
    OvMatrixRotate(m, &axis, angle * kDegreesPerRadian, ovCOMBINEREPLACE);
    m->pos = position;
    OvMatrixUpdate(m);
    OvpObjSetPartFromMatrix(body, 0);
    Refresh(body);
    return true;
}

bool PhysicsSetBodyVelocity(OvpObj* body, float x, float y, float z) {
    if (body == nullptr || body->manager == nullptr || body->partCount < 1) {
        return false;
    }
    OvpMgr* manager = body->manager;
    if (body->parts[0].dyn == nullptr && OvpMgrActivateObject(manager, body) == nullptr) {
        return false;
    }
    const OvpDyn* dyn = body->parts[0].dyn;
    if (dyn == nullptr) {
        return false;
    }
    float* v = manager->bodies->velocities[dyn->body];
    v[0] = x;
    v[1] = y;
    v[2] = z;
    OvpMgrSetObjectAwake(manager, body, 1);
    return true;
}

OvpBodyDef* PhysicsCreateStaticBox(float halfX, float halfY, float halfZ, float fatness) {
    OvpBodyDef* def = OvpBodyDefCreate();
    if (def == nullptr) {
        return nullptr;
    }
    const float half[3] = {halfX, halfY, halfZ};
    OvpBoxInit(def->volume, half);
    OvpVolumeSetFatness(def->volume, fatness);
    OvpDynDefSetMassFromVolume(&def->dynDef, -1.0f, 1);
    return def;
}

void PhysicsClearContext(OvpContext* context) {
    if (context == nullptr) {
        return;
    }
    OvpMgr* manager = OvpContextGetMgr(context);
    std::vector<OvpJoint*> joints;
    OvpMgrForAllJoints(
        manager,
        [](OvpJoint* joint, void* data) {
            static_cast<std::vector<OvpJoint*>*>(data)->push_back(joint);
            return joint;
        },
        &joints);
    std::vector<OvpObj*> objects;
    OvpMgrForAllObjects(
        manager,
        [](OvpObj* object, void* data) {
            static_cast<std::vector<OvpObj*>*>(data)->push_back(object);
            return object;
        },
        &objects);
    // Joints that a generic or ragdoll object made for itself go with the object.
    for (OvpJoint* joint : joints) {
        bool owned = false;
        for (const OvpObj* object : objects) {
            for (OvUInt16 j = 0; j < object->jointCount && !owned; ++j) {
                owned = object->joints[j] == joint;
            }
        }
        if (!owned) {
            OvpJointDestroy(joint);
        }
    }
    for (OvpObj* object : objects) {
        OvpMgrRemoveObject(manager, object);
        if (object->type == &ovpBodyObjType) {
            OvpBodyObjDestroy(object);
        } else {
            OvpRagdollObjDestroy(reinterpret_cast<OvpMultiObj*>(object));
        }
    }
    std::vector<OvpVolume*> volumes;
    OvpContextForAllFixedVolumes(
        context,
        [](OvpVolume* volume, void* data) -> OvBool {
            static_cast<std::vector<OvpVolume*>*>(data)->push_back(volume);
            return 1;
        },
        &volumes);
    for (OvpVolume* volume : volumes) {
        OvpContextRemoveFixedVolume(context, volume);
        OvpVolumeDeinit(volume);
        OvpAlignedFree(volume);
    }
}

void PhysicsSetGeometryColour(OvGeometry* geometry, const OvRGBA& colour) {
    if (geometry == nullptr) {
        return;
    }
    for (OvInt32 i = 0; i < geometry->matList.numMaterials; ++i) {
        if (OvMaterial* material = geometry->matList.materials[i]) {
            material->color = colour;
            material->surfaceProperties = {1.0f, 1.0f, 0.5f};
        }
    }
}
