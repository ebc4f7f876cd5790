#include "framework/physics_glue.h"

#include <cmath>
#include <string>
#include <vector>

#include "framework/framework.h"
#include "framework/world_manager.h"
#include "graphics/core/frame.h"
#include "graphics/core/matrix.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"
#include "graphics/world/world_membership.h"
#include "physics/core/volume/aggregate.h"
#include "physics/qhull/convex_hull.h"
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

namespace {

struct HullDirections {
    OvV3d directions[kHullDirectionLimit];
    int count = 0;
    HullDirections() {
        const double s = 1.78 / std::sqrt(60.0);
        const double pi = 3.14159265358979323846;
        bool shifted = false;
        for (double t = s; t < pi && count < kHullDirectionLimit; t += 2.0 * s) {
            const double sine = std::abs(std::sin(t));
            const double step = 2.0 * s / sine;
            for (double p = shifted ? s : 0.0; p < 2.0 * pi - s / sine && count < kHullDirectionLimit; p += step) {
                directions[count++] = {static_cast<float>(std::cos(p) * std::sin(t)),
                                       static_cast<float>(std::sin(p) * std::sin(t)), static_cast<float>(std::cos(t))};
            }
            shifted = !shifted;
        }
    }
};

constexpr float kTriangleThickness = 0.005f;
constexpr OvUInt32 kHullGeometryFormat =
    ovGEOMETRYPOSITIONS | ovGEOMETRYNORMALS | ovGEOMETRYLIGHT | ovGEOMETRYMODULATEMATERIALCOLOR;

// Adds the atomics of the volume to the clump, on the frame given (children on frames of their
// own under it). False when any part failed.
bool AddVolume(OvClump* clump, OvFrame* frame, const OvpVolume* volume, const OvRGBA& colour, int depth) {
    if (volume->type->id == ovpVOLUME_AGGREGATE) {
        const OvpAggChildren* children = OvpAggregateGetChildren(volume);
        if (children == nullptr || depth > 16) {
            return false;
        }
        bool ok = true;
        for (OvInt32 i = 0; i < children->count; ++i) {
            const OvpVolume* child = &children->children[i];
            OvFrame* childFrame = OvFrameCreate();
            if (childFrame == nullptr) {
                return false;
            }
            if ((child->matrix.flags & ovMATRIXINTERNALIDENTITY) == 0) {
                *OvFrameGetMatrix(childFrame) = child->matrix;
            }
            OvFrameAddChild(frame, childFrame);
            ok = AddVolume(clump, childFrame, child, colour, depth + 1) && ok;
        }
        return ok;
    }
    OvpConvexHull* hull = nullptr;
    if (volume->type->id == ovpVOLUME_CONVEX && volume->fat <= 0.0f && volume->data.ref[0] != nullptr) {
        hull = static_cast<OvpConvexHull*>(const_cast<void*>(volume->data.ref[0]));
        ++hull->refCount;
    } else {
        hull = PhysicsHullOfVolume(volume);
    }
    if (hull == nullptr) {
        return false;
    }
    OvGeometry* geometry = PhysicsGeometryFromHull(hull, colour);
    OvpConvexHullRelease(hull);
    OvAtomic* atomic = geometry != nullptr ? OvAtomicCreate() : nullptr;
    if (atomic == nullptr) {
        if (geometry != nullptr) {
            OvGeometryDestroy(geometry);
        }
        return false;
    }
    OvAtomicSetGeometry(atomic, geometry, 0);
    OvGeometryDestroy(geometry); // the atomic holds it
    OvAtomicSetFrame(atomic, frame);
    OvClumpAddAtomic(clump, atomic);
    return true;
}

OvAtomic* KeepFirstAtomic(OvAtomic* atomic, void* data) {
    auto** first = static_cast<OvAtomic**>(data);
    if (*first == nullptr) {
        *first = atomic;
    }
    return atomic;
}

} // namespace

int PhysicsHullDirections(const OvV3d** directions) {
    static const HullDirections table;
    *directions = table.directions;
    return table.count;
}

OvpConvexHull* PhysicsHullOfVolume(const OvpVolume* volume) {
    if (volume == nullptr || volume->type == nullptr || volume->type->supportPoint == nullptr) {
        return nullptr;
    }
    const OvV3d* directions = nullptr;
    const int count = PhysicsHullDirections(&directions);
    float fat = volume->fat;
    if (volume->type->id == ovpVOLUME_TRIANGLE && fat < kTriangleThickness) {
        fat = kTriangleThickness;
    }
    std::vector<float> points;
    points.reserve(static_cast<std::size_t>(count) * 3);
    for (int i = 0; i < count; ++i) {
        OvV3d p = {0.0f, 0.0f, 0.0f};
        volume->type->supportPoint(volume, &directions[i], &p);
        points.push_back(p.x + directions[i].x * fat);
        points.push_back(p.y + directions[i].y * fat);
        points.push_back(p.z + directions[i].z * fat);
    }
    return OvpConvexHullCreateFromPoints(count, points.data(), nullptr, nullptr);
}

OvGeometry* PhysicsGeometryFromHull(const OvpConvexHull* hull, const OvRGBA& colour) {
    if (hull == nullptr || hull->vertexCount < 3) {
        return nullptr;
    }
    OvInt32 triangles = 0;
    for (OvUInt16 f = 0; f < hull->faceCount; ++f) {
        triangles += std::max(0, hull->faceFirst[f + 1] - hull->faceFirst[f] - 2);
    }
    OvGeometry* geometry = OvGeometryCreate(hull->vertexCount, triangles, kHullGeometryFormat);
    OvMaterial* material = geometry != nullptr ? OvMaterialCreate() : nullptr;
    if (material == nullptr) {
        if (geometry != nullptr) {
            OvGeometryDestroy(geometry);
        }
        return nullptr;
    }
    OvMorphTarget* target = OvGeometryGetMorphTarget(geometry, 0);
    OvV3d centre = {0.0f, 0.0f, 0.0f};
    for (OvUInt16 v = 0; v < hull->vertexCount; ++v) {
        centre = {centre.x + hull->vertices[v].x, centre.y + hull->vertices[v].y, centre.z + hull->vertices[v].z};
    }
    const float share = 1.0f / static_cast<float>(hull->vertexCount);
    centre = {centre.x * share, centre.y * share, centre.z * share};
    for (OvUInt16 v = 0; v < hull->vertexCount; ++v) {
        const OvV3d& p = hull->vertices[v];
        target->verts[v] = p;
        if (target->normals != nullptr) {
            const OvV3d d = {p.x - centre.x, p.y - centre.y, p.z - centre.z};
            const float length = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
            target->normals[v] = length > 0.0f ? OvV3d{d.x / length, d.y / length, d.z / length} : OvV3d{0, 1, 0};
        }
    }
    OvInt32 t = 0;
    for (OvUInt16 f = 0; f < hull->faceCount; ++f) {
        const int first = hull->faceFirst[f], end = hull->faceFirst[f + 1];
        for (int k = first + 1; k + 1 < end; ++k) {
            OvTriangle* triangle = &geometry->triangles[t++];
            OvGeometryTriangleSetVertexIndices(geometry, triangle, hull->edges[first].start, hull->edges[k].start,
                                               hull->edges[k + 1].start);
            OvGeometryTriangleSetMaterial(geometry, triangle, material);
        }
    }
    OvMaterialDestroy(material); // the geometry's list holds it
    OvMorphTargetCalcBoundingSphere(target, &target->boundingSphere);
    PhysicsSetGeometryColour(geometry, colour);
    if (OvGeometryUnlock(geometry) == nullptr) {
        OvGeometryDestroy(geometry);
        return nullptr;
    }
    return geometry;
}

OvClump* PhysicsClumpFromVolume(const OvpVolume* volume, OvWorld* world, const OvRGBA& colour) {
    if (volume == nullptr || volume->type == nullptr) {
        return nullptr;
    }
    OvClump* clump = OvClumpCreate();
    OvFrame* frame = clump != nullptr ? OvFrameCreate() : nullptr;
    if (frame == nullptr) {
        if (clump != nullptr) {
            OvClumpDestroy(clump);
        }
        return nullptr;
    }
    OvClumpSetFrame(clump, frame);
    if (!AddVolume(clump, frame, volume, colour, 0) || OvClumpGetNumAtomics(clump) == 0) {
        OvClumpDestroy(clump);
        return nullptr;
    }
    if (world != nullptr) {
        OvWorldAddClump(world, clump);
    }
    return clump;
}

OvClump* PhysicsClumpFromBody(OvpObj* body, OvWorld* world) {
    if (body == nullptr || body->partCount < 1 || body->parts[0].volume == nullptr) {
        return nullptr;
    }
    OvClump* clump = PhysicsClumpFromVolume(body->parts[0].volume, world, {255, 255, 255, 255});
    if (clump == nullptr) {
        return nullptr;
    }
    OvAtomic* first = nullptr;
    OvClumpForAllAtomics(clump, KeepFirstAtomic, &first);
    OvpAtomicSetBodyObj(first, body);
    return clump;
}

void PhysicsReportNotAllocated(const OvpMgr* manager) {
    static const OvpMgr* reported = nullptr;
    if (manager == nullptr || manager != reported) {
        reported = manager;
        std::string text = "Dynamics not allocated\nThe physics has no room for another moving body: ";
        if (g_worldManager != nullptr) {
            text += g_worldManager->BodiesRoomText() + "; ";
        }
        text += "raise 'maxRegistered' or 'maxActive' of 'Bodies' in config.xml.";
        if (g_worldManager != nullptr) {
            text += g_worldManager->BodiesPlaceText();
        }
        ErrorBox(text.c_str());
    }
}
