#include "framework/clump_object.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "framework/config_checks.h"
#include "framework/framework.h"
#include "framework/read_faults.h"
#include "framework/rigid_bodies.h"
#include "framework/world_manager.h"
#include "graphics/core/chunk.h"
#include "graphics/core/frame.h"
#include "graphics/core/texture_read_fault.h"
#include "graphics/core/im3d.h"
#include "graphics/core/stream.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/world/clump.h"
#include "graphics/world/geometry.h"
#include "graphics/world/world_plugin.h"

namespace {

// What makes a model that read unfit to draw: lighting values of a material (counted over the
// atomics' geometries in order), or positions, normals or texture coordinates, that are not numbers
// (drawn black, or triangles drawn wrong or not at all). Empty when nothing does.
std::string ClumpDataFault(OvClump* clump) {
    struct Walk {
        int seen = 0;
        std::string fault;
    } walk;
    OvClumpForAllAtomics(
        clump,
        [](OvAtomic* atomic, void* data) -> OvAtomic* {
            auto* w = static_cast<Walk*>(data);
            const OvGeometry* g = OvAtomicGetGeometry(atomic);
            if (!w->fault.empty() || g == nullptr) {
                return atomic;
            }
            const int unlit = FirstMaterialNotFinite(g->matList);
            if (unlit >= 0) {
                w->fault = "Its material " + std::to_string(w->seen + unlit) +
                           " has lighting values (ambient, specular, diffuse) that are not numbers";
            }
            w->seen += g->matList.numMaterials;
            const auto n = static_cast<std::size_t>(g->numVertices > 0 ? g->numVertices : 0);
            bool finite = true;
            for (const OvTexCoords* set : g->texCoords) {
                finite = finite && (set == nullptr || AllFinite(set, n));
            }
            for (OvInt32 m = 0; finite && g->morphTarget != nullptr && m < g->numMorphTargets; ++m) {
                const OvMorphTarget& t = g->morphTarget[m];
                finite =
                    (t.verts == nullptr || AllFinite(t.verts, n)) && (t.normals == nullptr || AllFinite(t.normals, n));
            }
            if (w->fault.empty() && !finite) {
                w->fault = "Positions, normals or texture coordinates of its geometry are not numbers";
            }
            return atomic;
        },
        &walk);
    return walk.fault.empty() ? walk.fault : walk.fault + ": the file is damaged.";
}

OvAtomic* KeepFirst(OvAtomic* atomic, void* data) {
    auto** first = static_cast<OvAtomic**>(data);
    if (*first == nullptr) {
        *first = atomic;
    }
    return atomic;
}

// Three rings of 12 segments round the centre in the planes of the axes, as 36 line-list
// vertices (12 lines a ring).
void Rings(OvIm3DVertex* v, const OvV3d& centre, float radius) {
    constexpr int kSegments = 12;
    constexpr float kStep = 6.283184f / kSegments;
    int n = 0;
    for (int axis = 0; axis < 3; ++axis) {
        for (int s = 0; s < kSegments; s += 1) {
            for (int end = 0; end < 2 && n < 72; ++end) {
                const float a = static_cast<float>(s + end) * kStep;
                const float c = std::cos(a) * radius, d = std::sin(a) * radius;
                OvV3d p = centre;
                if (axis == 0) {
                    p.y += c, p.z += d;
                } else if (axis == 1) {
                    p.x += c, p.z += d;
                } else {
                    p.x += c, p.y += d;
                }
                v[n] = {};
                v[n].objVertex = p;
                v[n].color = 0xFFFFFF00u;
                ++n;
            }
        }
    }
}

} // namespace

CClumpObject::CClumpObject() { std::strcpy(name_, "Noname"); }

CClumpObject::~CClumpObject() {
    if (clump_ != nullptr) {
        Destroy();
    } else if (g_worldManager != nullptr) {
        g_worldManager->RemoveObject(this);
    }
}

OvFrame* CClumpObject::GetFrame() const { return clump_ != nullptr ? OvClumpGetFrame(clump_) : nullptr; }

OvAtomic* CClumpObject::GetFirstAtomic() const {
    OvAtomic* first = nullptr;
    if (clump_ != nullptr) {
        OvClumpForAllAtomics(clump_, KeepFirst, &first);
    }
    return first;
}

const OvSphere* CClumpObject::GetBoundingSphere() const {
    OvAtomic* atomic = GetFirstAtomic();
    return atomic != nullptr ? OvAtomicGetWorldBoundingSphere(atomic) : nullptr;
}

void CClumpObject::SetVisible(bool visible) {
    visible_ = visible;
    if (g_worldManager != nullptr) {
        g_worldManager->UpdateObjectInWorld(this);
    }
}

void CClumpObject::SetName(const char* name) {
    std::snprintf(name_, sizeof name_, "%s", name != nullptr ? name : "Noname");
}

bool CClumpObject::ReadClump(OvStream* stream) {
    if (clump_ != nullptr) {
        Destroy();
    }
    clump_ = OvClumpStreamRead(stream);
    return clump_ != nullptr;
}

bool CClumpObject::LoadClump(const char* fileName) {
    char* path = SkelPathCreate(fileName != nullptr ? fileName : "");
    bool loaded = false;
    std::string fault; // why a model that read is refused
    if (path != nullptr) {
        SkelSetTextureSearchPath(path);
        OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path);
        SkelPathDestroy(path);
        if (stream != nullptr) {
            OvUInt32 length = 0, version = 0;
            OvTextureClearReadFailure();
            loaded = OvStreamFindChunk(stream, ovCHUNKIDCLUMP, &length, &version) && ReadClump(stream);
            OvStreamClose(stream, nullptr);
            // Values that are not numbers draw the model black, or its triangles wrong: refused.
            if (loaded) {
                fault = ClumpDataFault(clump_);
                if (!fault.empty()) {
                    Destroy();
                    loaded = false;
                }
            }
            // A texture record that does not read leaves its surfaces plain: said, the model is kept.
            // Each said once for a model however many objects load it.
            if (loaded && OvTextureGetChunkFailure() && FirstFaultOf(std::string(fileName) + "#texture record")) {
                TextureRecordWarning(fileName);
            }
            // A texture of the model that does not read leaves its surfaces plain: said, and the
            // model is kept.
            const char* texture = loaded ? OvTextureGetReadFailure() : nullptr;
            if (texture != nullptr && FirstFaultOf(std::string(fileName) + "#texture")) {
                TextureWarning(fileName, texture, FindTextureImage(texture));
            }
            OvTextureClearReadFailure();
        }
    }
    // What went wrong: no file named, the file not there, or not read; said once for a file
    // however many objects load it.
    const bool named = fileName != nullptr && fileName[0] != '\0';
    if (!loaded && (!named || FirstFaultOf(fileName))) {
        const std::string text =
            "Can not load clump in file " + std::string(named ? fileName : "") + "\n please check your data";
        if (!named) {
            ErrorBox((text + "\nNo file is named.").c_str()); // the element being read names none
        } else {
            FileErrorBox(fileName, text + "\n" + (!fault.empty() ? fault : FileReadFault(fileName)));
        }
    }
    return loaded;
}

void CClumpObject::SetPosition(const OvV3d& position) {
    OvFrame* frame = GetFrame();
    if (frame == nullptr) {
        return;
    }
    OvFrameGetMatrix(frame)->pos = position;
    OvMatrixUpdate(OvFrameGetMatrix(frame));
    OvFrameMarkDirty(frame);
}

void CClumpObject::SetScale(float scale) {
    scale_ = scale;
    OvFrame* frame = GetFrame();
    if (frame == nullptr) {
        return;
    }
    const float s = scale * kClumpModelScale;
    const OvV3d factors = {s, s, s};
    OvFrameScale(frame, &factors, ovCOMBINEPRECONCAT);
}

void CClumpObject::SetYRotation(float degrees) {
    OvFrame* frame = GetFrame();
    if (frame == nullptr) {
        return;
    }
    const OvV3d position = OvFrameGetMatrix(frame)->pos;
    const OvV3d up = {0.0f, 1.0f, 0.0f};
    OvFrameRotate(frame, &up, degrees, ovCOMBINEREPLACE);
    const float s = scale_ * kClumpModelScale;
    const OvV3d factors = {s, s, s};
    OvFrameScale(frame, &factors, ovCOMBINEPOSTCONCAT);
    OvFrameGetMatrix(frame)->pos = position;
    OvMatrixUpdate(OvFrameGetMatrix(frame));
    OvFrameMarkDirty(frame);
}

void CClumpObject::Destroy() {
    if (g_worldManager != nullptr) {
        g_worldManager->RemoveObject(this);
    }
    // A drag of the object ends with it.
    if (CRigidBodyManager* bodies = CRigidBodyManager::Existing()) {
        bodies->LetGo(this);
    }
    if (clump_ != nullptr) {
        OvClumpDestroy(clump_);
        clump_ = nullptr;
    }
    inWorld_ = false;
}

void CClumpObject::Render() {
    OvFrame* frame = GetFrame();
    if (frame == nullptr) {
        return;
    }
    OvIm3DVertex vertices[72];
    Rings(vertices, {0.0f, 0.0f, 0.0f}, 0.5f * scale_);
    const OvMatrix* world = OvFrameGetWorldMatrix(frame);
    if (OvIm3DTransform(vertices, 72, world, 0) != nullptr) {
        OvIm3DRenderPrimitive(ovPRIMTYPELINELIST);
        OvIm3DEnd();
    }
    OvAtomic* atomic = GetFirstAtomic();
    if (atomic == nullptr) {
        return;
    }
    // The bounding sphere is kept in the atomic's own space; the frame's matrix takes it out.
    Rings(vertices, atomic->boundingSphere.center, atomic->boundingSphere.radius * scale_);
    if (OvIm3DTransform(vertices, 72, world, 0) != nullptr) {
        OvIm3DRenderPrimitive(ovPRIMTYPELINELIST);
        OvIm3DEnd();
    }
}
