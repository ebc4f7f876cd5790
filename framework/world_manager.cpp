#include "framework/world_manager.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "framework/clump_object.h"
#include "framework/config_checks.h"
#include "framework/config_reader.h"
#include "framework/framework.h"
#include "framework/input_manager.h"
#include "framework/lights_font.h"
#include "framework/projectiles.h"
#include "framework/read_faults.h"
#include "framework/rigid_bodies.h"
#include "framework/vector_ops.h"
#include "graphics/core/chunk.h"
#include "graphics/core/frame.h"
#include "graphics/core/im3d.h"
#include "graphics/core/image.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture.h"
#include "graphics/core/texture_read_fault.h"
#include "graphics/core/texture_stream.h"
#include "graphics/plugins/collision.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "graphics/world/clump.h"
#include "graphics/world/light.h"
#include "graphics/world/world.h"
#include "graphics/world/world_membership.h"
#include "graphics/world/world_plugin.h"
#include "physics/core/collision/trilist.h"
#include "physics/core/context/pipeline.h"
#include "physics/core/utils/memory.h"
#include "physics/core/volume/volume.h"
#include "platform/crt.h"

CWorldManager* g_worldManager = nullptr;

namespace {

// The most physics bodies ("Bodies" "maxRegistered" and "maxActive") and joints ("Joints" "max") a
// configuration may ask for: the physics context's tables are made for them at once.
constexpr int kMaxBodies = 4096;
constexpr int kMaxJoints = 4096;

constexpr OvUInt32 kTextureDictionaryChunk = 35;

constexpr float kMinPhysicsStep = 0.01f;
constexpr float kDynamicTriangleFriction = 10.0f;
constexpr OvUInt32 kDynamicTriangleClass = 14;

bool Is(const char* a, const char* b) { return _stricmp(a, b) == 0; }

OvTexture* CollectTexture(OvTexture* texture, void* data) {
    static_cast<std::vector<OvTexture*>*>(data)->push_back(texture);
    return texture;
}

using namespace framework_vector;

// A direction of an object's model space in world space.
OvV3d RotateOut(const OvMatrix& m, const OvV3d& v) {
    return Normalised(Add(Add(Scale(m.right, v.x), Scale(m.up, v.y)), Scale(m.at, v.z)));
}
OvV3d TransformOut(const OvMatrix& m, const OvV3d& v) {
    return Add(Add(Add(Scale(m.right, v.x), Scale(m.up, v.y)), Scale(m.at, v.z)), m.pos);
}

// The point of triangle abc nearest to p.
OvV3d NearestOnTriangle(const OvV3d& p, const OvV3d& a, const OvV3d& b, const OvV3d& c) {
    const OvV3d ab = Sub(b, a), ac = Sub(c, a), ap = Sub(p, a);
    const float d1 = Dot(ab, ap), d2 = Dot(ac, ap);
    if (d1 <= 0.0f && d2 <= 0.0f) {
        return a;
    }
    const OvV3d bp = Sub(p, b);
    const float d3 = Dot(ab, bp), d4 = Dot(ac, bp);
    if (d3 >= 0.0f && d4 <= d3) {
        return b;
    }
    const float vc = d1 * d4 - d3 * d2;
    if (vc <= 0.0f && d1 >= 0.0f && d3 <= 0.0f) {
        return Add(a, Scale(ab, d1 / (d1 - d3)));
    }
    const OvV3d cp = Sub(p, c);
    const float d5 = Dot(ab, cp), d6 = Dot(ac, cp);
    if (d6 >= 0.0f && d5 <= d6) {
        return c;
    }
    const float vb = d5 * d2 - d1 * d6;
    if (vb <= 0.0f && d2 >= 0.0f && d6 <= 0.0f) {
        return Add(a, Scale(ac, d2 / (d2 - d6)));
    }
    const float va = d3 * d6 - d5 * d4;
    if (va <= 0.0f && (d4 - d3) >= 0.0f && (d5 - d6) >= 0.0f) {
        return Add(b, Scale(Sub(c, b), (d4 - d3) / ((d4 - d3) + (d5 - d6))));
    }
    const float denominator = 1.0f / (va + vb + vc);
    return Add(a, Add(Scale(ab, vb * denominator), Scale(ac, vc * denominator)));
}

} // namespace

// The line query's state, shared by the world, dynamic and object passes.
struct LineState {
    OvIntersection line;
    float* distance;                   // nearest fraction so far, or null
    OvV3d* normal;                     // its normal, or null
    bool any = false;                  // something was hit
    bool nearer = false;               // the current atomic set a nearer hit
    bool stopAtFirst;                  // no output wants the nearest: the first hit ends the query
    const OvMatrix* toWorld = nullptr; // the current atomic's frame (its normals are local)
};

namespace {

bool SegmentMeetsSphere(const OvLine& line, const OvSphere& sphere) {
    const OvV3d d = Sub(line.end, line.start);
    const OvV3d toCentre = Sub(sphere.center, line.start);
    const float length2 = Dot(d, d);
    float t = length2 > 0.0f ? Dot(toCentre, d) / length2 : 0.0f;
    t = t < 0.0f ? 0.0f : t > 1.0f ? 1.0f : t;
    const OvV3d apart = Sub(toCentre, Scale(d, t));
    // A little slack for the rounding of the sphere and of the atomic query's own transform.
    const float reach = sphere.radius * 1.001f + 1e-4f;
    return Dot(apart, apart) <= reach * reach;
}

void RecordHit(LineState& s, const OvV3d& normal, float t) {
    s.any = true;
    if (s.distance == nullptr) {
        s.nearer = true;
        return;
    }
    if (t < *s.distance) {
        *s.distance = t;
        if (s.normal != nullptr) {
            *s.normal = s.toWorld != nullptr ? RotateOut(*s.toWorld, normal) : normal;
        }
        s.nearer = true;
    }
}

OvCollisionTriangle* LineHit(OvIntersection*, OvCollisionTriangle* triangle, float t, void* data) {
    auto& s = *static_cast<LineState*>(data);
    RecordHit(s, triangle->normal, t);
    return s.stopAtFirst ? nullptr : triangle;
}

OvCollisionTriangle* WorldLineHit(OvIntersection* line, OvWorldSector*, OvCollisionTriangle* triangle, float t,
                                  void* data) {
    return LineHit(line, triangle, t, data);
}

// The sphere query's state.
struct SphereState {
    OvV3d centre;
    int mode;
    OvV3d direction;
    SphereQueryResult* result;
    const OvMatrix* toWorld = nullptr; // the current atomic's frame (its triangles are local)
};

void SphereTriangle(SphereState& s, OvV3d n, const OvV3d& a, const OvV3d& b, const OvV3d& c) {
    SphereQueryResult& r = *s.result;
    const OvV3d q = NearestOnTriangle(s.centre, a, b, c);
    const OvV3d dq = Sub(q, s.centre);
    const float d = std::sqrt(Dot(dq, dq));
    if (s.mode == kSphereWall) {
        if (!(n.y > -0.8f && n.y < 0.8f)) {
            return;
        }
    } else if (r.found && !(d < r.distance || (d == r.distance && n.y > r.normal.y))) {
        return;
    }
    switch (s.mode) {
    case kSphereAny:
        break;
    case kSphereFloor:
        if (!(n.y > 0.01f)) {
            return;
        }
        break;
    case kSphereSteep:
        if (!(n.y > -0.9f && n.y < 0.9f)) {
            return;
        }
        break;
    case kSphereWall: {
        n = Normalised(n);
        const float f = Dot(s.direction, n);
        if (!(f < 0.0f && f < r.bestFacing)) {
            return;
        }
        r.bestFacing = f;
        break;
    }
    default:
        return;
    }
    r.distance = d;
    r.found = true;
    r.normal = n;
    r.point = q;
    r.vertices[0] = a;
    r.vertices[1] = b;
    r.vertices[2] = c;
    if (s.mode == kSphereWall) {
        r.contact[0] = a;
        r.contact[1] = b;
        r.contact[2] = c;
        r.contactCount = 1;
    }
}

OvCollisionTriangle* WorldSphereHit(OvIntersection*, OvWorldSector*, OvCollisionTriangle* triangle, float, void* data) {
    auto& s = *static_cast<SphereState*>(data);
    SphereTriangle(s, triangle->normal, *triangle->vertices[0], *triangle->vertices[1], *triangle->vertices[2]);
    return triangle;
}

// Collects a world's triangles as line-list vertices (three edges each), lifted a centimetre.
OvCollisionTriangle* WireTriangle(OvIntersection*, OvWorldSector*, OvCollisionTriangle* triangle, float, void* data) {
    auto& lines = *static_cast<std::vector<OvIm3DVertex>*>(data);
    for (int e = 0; e < 3; ++e) {
        for (const OvV3d* p : {triangle->vertices[e], triangle->vertices[(e + 1) % 3]}) {
            OvIm3DVertex v = {};
            v.objVertex = {p->x, p->y + 0.01f, p->z};
            v.color = 0x40404040u;
            lines.push_back(v);
        }
    }
    return triangle;
}

OvCollisionTriangle* SphereHit(OvIntersection*, OvCollisionTriangle* triangle, float, void* data) {
    auto& s = *static_cast<SphereState*>(data);
    if (s.toWorld == nullptr) {
        SphereTriangle(s, triangle->normal, *triangle->vertices[0], *triangle->vertices[1], *triangle->vertices[2]);
    } else {
        // An object's triangles come in its own space; the test runs in the world's.
        const OvMatrix& m = *s.toWorld;
        SphereTriangle(s, RotateOut(m, triangle->normal), TransformOut(m, *triangle->vertices[0]),
                       TransformOut(m, *triangle->vertices[1]), TransformOut(m, *triangle->vertices[2]));
    }
    return triangle;
}

} // namespace

std::uint32_t FilterCharacterPairs(OvpRefPair* pairs, std::uint32_t count, CharacterBodyTest isCharacter) {
    if (isCharacter == nullptr) {
        return count;
    }
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const OvpRef& a = pairs[i].ref[0];
        const OvpRef& b = pairs[i].ref[1];
        const bool drop = a.part != ovpREFNONE && b.part != ovpREFNONE && a.object != nullptr && b.object != nullptr &&
                          isCharacter(a.object) && isCharacter(b.object);
        if (!drop) {
            if (kept != i) {
                pairs[kept] = pairs[i];
            }
            ++kept;
        }
    }
    return kept;
}

CWorldManager::CWorldManager(float scale) : scale_(scale) {
    for (int& flags : worldFlags_) {
        flags = 2;
    }
}

CWorldManager::~CWorldManager() {
    Unload();
    if (g_worldManager == this) {
        g_worldManager = nullptr;
    }
}

bool CWorldManager::ReadSettingsElement(const char* name, const char** a) {
    PhysicsSettings& s = settings_;
    auto need = [&](bool ok, const char* attribute, const char* element) {
        if (!ok) {
            ErrorBox(MissingAttributeMessage(attribute, element).c_str());
        }
        return ok;
    };
    // The physics tables are sized by these counts before anything else of the level is known:
    // each is held to its stated range.
    if (Is(name, "Bodies")) {
        bodiesPlace_ = ConfigPlace();
        return ReadCheckedIntAttribute("maxRegistered", a, 0, "MaxRegistered", "Bodies", 1, kMaxBodies,
                                       &s.maxRegistered) &&
               ReadCheckedIntAttribute("maxActive", a, 1, "MaxActive", "Bodies", 1, kMaxBodies, &s.maxActive);
    }
    if (Is(name, "Joints")) {
        return ReadCheckedIntAttribute("max", a, 0, "Max", "Joints", 0, kMaxJoints, &s.maxJoints);
    }
    if (Is(name, "Stick")) {
        return need(ReadFloatAttribute("inAir", a, 0, &s.stickInAir), "InAir", "Stick") &&
               need(ReadFloatAttribute("onGround", a, 1, &s.stickOnGround), "OnGround", "Stick");
    }
    if (Is(name, "BBox")) {
        if (!(need(ReadFloatAttribute("x1", a, 0, &s.boxCorner1.x), "x1", "BBox") &&
              need(ReadFloatAttribute("y1", a, 1, &s.boxCorner1.y), "y1", "BBox") &&
              need(ReadFloatAttribute("z1", a, 2, &s.boxCorner1.z), "z1", "BBox") &&
              need(ReadFloatAttribute("x2", a, 3, &s.boxCorner2.x), "x2", "BBox") &&
              need(ReadFloatAttribute("y2", a, 4, &s.boxCorner2.y), "y2", "BBox") &&
              need(ReadFloatAttribute("z2", a, 5, &s.boxCorner2.z), "z2", "BBox"))) {
            return false;
        }
        // The first corner is the box's largest, the second its smallest: a pair given the other way
        // round would make a box that holds nothing, so it is swapped, said.
        SwapIfReversed("BBox", "x2", &s.boxCorner2.x, "x1", &s.boxCorner1.x);
        SwapIfReversed("BBox", "y2", &s.boxCorner2.y, "y1", &s.boxCorner1.y);
        SwapIfReversed("BBox", "z2", &s.boxCorner2.z, "z1", &s.boxCorner1.z);
        return true;
    }
    if (Is(name, "Gravity")) {
        return need(ReadFloatAttribute("x", a, 0, &s.gravity.x), "x", "Gravity") &&
               need(ReadFloatAttribute("y", a, 1, &s.gravity.y), "y", "Gravity") &&
               need(ReadFloatAttribute("z", a, 2, &s.gravity.z), "z", "Gravity");
    }
    if (Is(name, "MobileBounce")) {
        return need(ReadFloatAttribute("value", a, 0, &s.mobileBounce), "value", "MobileBounce");
    }
    if (Is(name, "MobileSlide")) {
        return need(ReadFloatAttribute("value", a, 0, &s.mobileSlide), "value", "MobileSlide");
    }
    if (Is(name, "SolidSlide")) {
        return need(ReadFloatAttribute("value", a, 0, &s.solidSlide), "value", "SolidSlide");
    }
    return true;
}

bool CWorldManager::StartElement(const char* name, const char** attributes) {
    if (subHandler_ != nullptr) {
        return subHandler_->StartElement(name, attributes);
    }
    if (Is(name, "Worlds")) {
        if (sectionPlace_.empty()) {
            sectionPlace_ = ConfigPlace();
        }
        return true;
    }
    if (Is(name, "PhysicsGlobalSettings")) {
        insidePhysicsSettings_ = true;
        return true;
    }
    if (insidePhysicsSettings_) {
        return ReadSettingsElement(name, attributes);
    }
    if (Is(name, "World")) {
        const char* file = ReadTextAttribute("filename", attributes, 0);
        if (file == nullptr) {
            ConfigWarning("a 'World' without its 'filename' first is left out");
            return false;
        }
        int flags = 2;
        if (!ReadIntAttribute("flags", attributes, 2, &flags)) {
            // "flags" as the second attribute: the world's name before it is missing.
            const char* second = attributes[2] != nullptr ? attributes[2] : "";
            ErrorBox(_stricmp(second, "flags") == 0
                         ? AttributeFaultMessage("Flags", "World",
                                                 "The World has no name: 'flags' is its second attribute, where it "
                                                 "must be the third, after 'filename' and the name.")
                               .c_str()
                         : MissingAttributeMessage("Flags", "World").c_str());
            return false;
        }
        // 0, 1 and 2 are the ways a world is drawn (1 and 2 add its triangles' lines); any other
        // value draws nothing of it.
        if (flags < 0 || flags > 2) {
            ConfigWarning("'flags' of 'World' is " + std::to_string(flags) +
                          ", none of 0, 1 and 2 (the ways a level is drawn): the level is not drawn");
        }
        NoteConfigFile(file, "filename");
        LoadWorld(file, flags);
        return true;
    }
    // A plane or triangle reads the elements inside its section and is added at its end.
    if (Is(name, "CollisionPlane")) {
        subHandler_ = new CCollisionPlane;
    } else if (Is(name, "CollisionTriangle")) {
        subHandler_ = new CCollisionTriangle;
    }
    return true;
}

bool CWorldManager::EndElement(const char* name) {
    if (Is(name, "PhysicsGlobalSettings")) {
        insidePhysicsSettings_ = false;
    }
    if (subHandler_ != nullptr && (Is(name, "CollisionPlane") || Is(name, "CollisionTriangle"))) {
        CLevelObject* piece = subHandler_;
        subHandler_ = nullptr;
        int taken = 0;
        if (auto* plane = dynamic_cast<CCollisionPlane*>(piece)) {
            taken = AddCollisionPlane(plane);
        } else if (auto* triangle = dynamic_cast<CCollisionTriangle*>(piece)) {
            taken = AddCollisionTriangle(triangle);
        }
        if (taken == 0) {
            delete piece; // a full table refused it
        }
    }
    return true;
}

namespace {

// Whether a point lies in a box widened by slack; a coordinate that is not a number is outside.
bool InBox(const OvV3d& v, const OvBBox& box, float slack) {
    return v.x >= box.inf.x - slack && v.x <= box.sup.x + slack && v.y >= box.inf.y - slack &&
           v.y <= box.sup.y + slack && v.z >= box.inf.z - slack && v.z <= box.sup.z + slack;
}

// Whether the world's box holds every atomic sector's box, and each of those its vertices (to a
// thousandth of the world's size, for rounding): a damaged box draws the level and its objects wrong.
bool WorldBoxesHold(OvWorld* world) {
    struct Walk {
        OvBBox world;
        float slack;
        bool holds;
    };
    const OvBBox& b = world->boundingBox;
    Walk walk{b, 1.0e-3f * std::max({1.0f, b.sup.x - b.inf.x, b.sup.y - b.inf.y, b.sup.z - b.inf.z}), true};
    OvWorldForAllWorldSectors(
        world,
        [](OvWorldSector* sector, void* data) -> OvWorldSector* {
            auto* w = static_cast<Walk*>(data);
            const OvBBox& tight = sector->tightBoundingBox;
            bool ok = sector->numVertices == 0 ||
                      (InBox(tight.inf, w->world, w->slack) && InBox(tight.sup, w->world, w->slack));
            if (sector->vertices != nullptr) {
                for (OvUInt16 i = 0; ok && i < sector->numVertices; ++i) {
                    ok = InBox(sector->vertices[i], tight, w->slack);
                }
            }
            w->holds = w->holds && ok;
            return ok ? sector : nullptr;
        },
        &walk);
    return walk.holds;
}

// Whether every texture coordinate of the world's sectors is a number (one that is not draws its
// triangle's texture wrong).
bool WorldTexCoordsFinite(OvWorld* world) {
    bool finite = true;
    OvWorldForAllWorldSectors(
        world,
        [](OvWorldSector* sector, void* data) -> OvWorldSector* {
            auto* ok = static_cast<bool*>(data);
            for (const OvTexCoords* set : sector->texCoords) {
                if (set != nullptr && !AllFinite(set, sector->numVertices)) {
                    *ok = false;
                    return nullptr;
                }
            }
            return sector;
        },
        &finite);
    return finite;
}

// What makes a world that read unfit to play on, as the refusal's cause; empty when nothing does.
std::string WorldDataFault(OvWorld* world) {
    // Bounds that are not finite, or beyond a million, are no level's.
    if (!AllWithinReach(&world->boundingBox.inf, 1) || !AllWithinReach(&world->boundingBox.sup, 1)) {
        return "Its world's bounds are not finite or beyond a million: the file is damaged.";
    }
    // A box that does not hold what it bounds: the world's box not its sectors' (objects outside it
    // are in no sector and not drawn), a sector's not its vertices (the sector is culled in sight).
    if (!WorldBoxesHold(world)) {
        return "Its world's bounds do not hold its sectors and their vertices: the file is damaged.";
    }
    if (!WorldTexCoordsFinite(world)) {
        return "Texture coordinates of its world are not numbers: the file is damaged.";
    }
    const int unlit = FirstMaterialNotFinite(world->matList);
    if (unlit >= 0) {
        return "Its material " + std::to_string(unlit) +
               " has lighting values (ambient, specular, diffuse) that are not numbers: the file is damaged.";
    }
    return "";
}

} // namespace

std::string CWorldManager::BodiesRoomText() const {
    const int room = std::min(settings_.maxRegistered, settings_.maxActive);
    return "'Bodies' makes room for " + std::to_string(room) + " ('maxRegistered' " +
           std::to_string(settings_.maxRegistered) + ", 'maxActive' " + std::to_string(settings_.maxActive) + ")";
}

std::string CWorldManager::BodiesPlaceText() const { return bodiesPlace_.empty() ? "" : "\nIn " + bodiesPlace_ + "."; }

bool CWorldManager::RoomForMovingBodies(int characters) {
    // Each asks for a slot and for dynamics at once: the characters, lifts and doors are always
    // moving, and the rigid bodies start awake.
    const CRigidBodyManager* rigid = CRigidBodyManager::Existing();
    const int rigidBodies = rigid != nullptr ? rigid->InstancesAsked() : 0;
    int doors = 0;
    for (int i = 0; i < DoorCount(); ++i) {
        const CDoor* door = GetDoor(i);
        doors += door != nullptr && door->SpansSomething() ? 1 : 0;
    }
    const int lifts = LiftCount();
    characters = std::max(characters, 0);
    const int asked = rigidBodies + lifts + doors + characters;
    if (context_ == nullptr || asked <= std::min(settings_.maxRegistered, settings_.maxActive)) {
        return true;
    }
    ErrorBox(("Dynamics not allocated\nThe level asks for " + std::to_string(asked) + " moving bodies (" +
              std::to_string(rigidBodies) + " of 'Physics', " + std::to_string(lifts) + " 'Lift', " +
              std::to_string(doors) + " 'Door', " + std::to_string(characters) + " characters) and " +
              BodiesRoomText() + ": raise them to " + std::to_string(asked) + " at least." + BodiesPlaceText())
                 .c_str());
    return false;
}

bool CWorldManager::CreatePhysics() {
    OvpContextParams params;
    OvpContextParamsSetDefaults(&params);
    OvpBodyTypeReserve(&params, static_cast<OvUInt32>(std::max(settings_.maxRegistered, 0)),
                       static_cast<OvUInt32>(std::max(settings_.maxActive, 0)));
    OvpContextParamsSetMaxJoints(&params, static_cast<OvUInt32>(std::max(settings_.maxJoints, 0)));
    OvpBBox box = {};
    box.sup = settings_.boxCorner1;
    box.inf = settings_.boxCorner2;
    context_ = OvpContextCreate(&params, 1.0f, &box);
    if (context_ == nullptr) {
        return false;
    }
    OvpPipeline* pipeline = OvpContextGetPipeline(context_);
    OvpPipelineSetGravity(pipeline, &settings_.gravity);
    // Updates enough for stacked crates and bodies to stand and come to rest.
    pipeline->iterations[0] = ovpSTACKUPDATES[0];
    pipeline->iterations[1] = ovpSTACKUPDATES[1];
    return true;
}

void CWorldManager::LoadWorld(const char* fileName, int flags) {
    const std::string file = fileName != nullptr ? fileName : "";
    const std::string message = "Can not load world in file " + file + "\n please check your data";
    // The message with what went wrong after it. A level named twice is said once.
    auto refuse = [&message, &file](const std::string& cause) {
        if (FirstFaultOf(file)) {
            FileErrorBox(file, message + "\n" + cause);
        }
    };
    if (worldCount_ >= kMaxWorlds) {
        ErrorBox("Too much worlds.\nPlease increase MAX_WORLDS value");
        return;
    }
    char* path = SkelPathCreate(file.c_str());
    if (path == nullptr) {
        refuse("The file name is not a path.");
        return;
    }
    SkelSetTextureSearchPath(path);
    OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path);
    if (stream == nullptr) {
        SkelPathDestroy(path);
        refuse(FileReadFault(file));
        return;
    }
    OvUInt32 length = 0, version = 0;
    if (OvStreamFindChunk(stream, kTextureDictionaryChunk, &length, &version)) {
        if (OvTexDictionary* dictionary = OvTexDictionaryStreamReadImages(stream)) {
            dictionaries_.push_back(dictionary);
            OvTexDictionaryForAllTextures(dictionary, CollectTexture, &dictionaryTextures_);
            OvTexDictionarySetCurrent(dictionary);
        }
    }
    OvStreamClose(stream, nullptr);
    stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path);
    SkelPathDestroy(path);
    if (stream == nullptr) {
        refuse(FileReadFault(file));
        return;
    }
    // A file with no world (a model, or a level cut before its world) is passed over, said.
    if (!OvStreamFindChunk(stream, ovCHUNKIDWORLD, &length, &version)) {
        OvStreamClose(stream, nullptr);
        DataFileWarning(file, "the world file '" + file +
                                  "' holds no world (it is not a level, or it is cut short); it is left out");
        return;
    }
    OvTextureClearReadFailure();
    TakeGraphicsReadCause(); // what an earlier read left
    OvWorld* world = OvWorldStreamRead(stream);
    if (world == nullptr) {
        OvStreamClose(stream, nullptr);
        refuse("Its world does not read: the file is damaged or cut short.");
        return;
    }
    const std::string dataFault = WorldDataFault(world);
    if (!dataFault.empty()) {
        OvStreamClose(stream, nullptr);
        OvWorldDestroy(world);
        refuse(dataFault.c_str());
        return;
    }
    // A texture of the level whose image is there but does not read would leave its surfaces blank:
    // the level loads, and the box says which image (a level whose images are not there at all
    // draws plain surfaces, as before).
    if (const char* texture = OvTextureGetReadFailure()) {
        const std::string image = FindTextureImage(texture);
        if (!image.empty()) {
            refuse("Its texture '" + std::string(texture) + "': " + FileReadFault(image));
        } else {
            TextureWarning(file, texture, image);
        }
    }
    const int slot = worldCount_++;
    worlds_[slot] = world;
    worldFlags_[slot] = flags;
    if (cameraManager_ != nullptr) {
        MakeWorldCamera(slot);
    }
    if (slot == 0) {
        CreatePhysics();
    }
    if (context_ != nullptr) {
        if (OvpVolume* volume = OvpTrilistCreate(world, ovpTRILIST_WORLD)) {
            OvpVolumeSetFriction(volume, settings_.solidSlide);
            if (OvpContextAddFixedVolume(context_, volume, 0) != nullptr) {
                worldVolumes_.push_back(volume);
            } else {
                OvpVolumeDeinit(volume);
                OvpAlignedFree(volume);
            }
        }
    }
    // The clumps that follow the world come with it as pickable objects.
    while (OvStreamFindChunk(stream, ovCHUNKIDCLUMP, &length, &version)) {
        auto* object = new CClumpObject;
        if (!object->ReadClump(stream)) {
            delete object;
            // A clump that does not read leaves the stream where nothing more can be found.
            DataFileWarning(fileName, std::string(fileName) + ": a model after its world does not read (" +
                                          TakeGraphicsReadCause() + "); it and the models after it are left out");
            break;
        }
        object->SetPickable(true);
        ownedObjects_.push_back(object);
        AddObject(object);
    }
    OvStreamClose(stream, nullptr);
    // A texture record that does not read leaves its material plain: said, the level is kept
    // (its world or a model after it).
    if (OvTextureGetChunkFailure()) {
        TextureRecordWarning(file);
    }
}

int CWorldManager::AddObject(CClumpObject* object) {
    if (object == nullptr || worldCount_ == 0) {
        return 0;
    }
    std::size_t slot = 0;
    while (slot < static_cast<std::size_t>(objectCount_) && objects_[slot] != nullptr) {
        ++slot;
    }
    if (slot == static_cast<std::size_t>(objectCount_)) {
        if (slot == objects_.size()) {
            objects_.resize(objects_.size() + kClumpObjectGrowth, nullptr);
        }
        ++objectCount_;
    }
    objects_[slot] = object;
    object->SetInWorld(false);
    UpdateObjectInWorld(object);
    return 1;
}

int CWorldManager::RemoveObject(CClumpObject* object) {
    if (object == nullptr) {
        return 0;
    }
    for (int i = 0; i < objectCount_; ++i) {
        if (objects_[static_cast<std::size_t>(i)] == object) {
            if (object->IsInWorld() && object->GetClump() != nullptr && worldCount_ > 0) {
                OvWorldRemoveClump(worlds_[0], object->GetClump());
            }
            object->SetInWorld(false);
            objects_[static_cast<std::size_t>(i)] = nullptr;
        }
    }
    return 1;
}

int CWorldManager::UpdateObjectInWorld(CClumpObject* object) {
    if (object == nullptr ||
        std::find(objects_.begin(), objects_.begin() + objectCount_, object) == objects_.begin() + objectCount_) {
        return 0;
    }
    OvClump* clump = object->GetClump();
    if (clump == nullptr || worldCount_ == 0) {
        object->SetInWorld(false);
        return 1;
    }
    if (object->IsInWorld()) {
        OvWorldRemoveClump(worlds_[0], clump);
        object->SetInWorld(false);
    }
    if (object->IsVisible()) {
        OvWorldAddClump(worlds_[0], clump);
        object->SetInWorld(true);
    }
    return 1;
}

bool CWorldManager::LiftVelocity(const CClumpObject* standingOn, OvV3d* velocity) const {
    for (int i = 0; i < lifts_.count; ++i) {
        if (lifts_.slots[i] != nullptr && lifts_.slots[i]->CarryVelocity(standingOn, velocity)) {
            return true;
        }
    }
    return false;
}

int CWorldManager::AddLevelObject(LevelTable& table, CLevelObject* object, const char* message) {
    if (object == nullptr) {
        return 0;
    }
    if (table.count >= kMaxLevelObjects) {
        ErrorBox(message);
        return 0;
    }
    table.slots[table.count++] = object;
    return 1;
}

int CWorldManager::AddJumpHelper(CLevelObject* o) {
    return AddLevelObject(jumpHelpers_, o, "Too much jump helpers.\nPlease increase MAX_JUMP_HELPERS value");
}
int CWorldManager::AddDoor(CLevelObject* o) {
    return AddLevelObject(doors_, o, "Too much doors.\nPlease increase MAX_DOORS value");
}
int CWorldManager::AddBumper(CLevelObject* o) {
    return AddLevelObject(bumpers_, o, "Too much bumpers.\nPlease increase MAX_BUMPERS value");
}
int CWorldManager::AddLift(CLevelObject* o) {
    return AddLevelObject(lifts_, o, "Too much lifts.\nPlease increase MAX_LIFTS value");
}
int CWorldManager::AddSwitch(CLevelObject* o) {
    return AddLevelObject(switches_, o, "Too much switches.\nPlease increase MAX_SWITCHES value");
}
int CWorldManager::AddLaserBeam(CLevelObject* o) {
    return AddLevelObject(laserBeams_, o, "Too much laser beams.\nPlease increase MAX_LASER_BEAMS value");
}
int CWorldManager::AddTeleporter(CLevelObject* o) {
    return AddLevelObject(teleporters_, o, "Too much teleporters.\nPlease increase MAX_TELEPORTERS value");
}

CLift* CWorldManager::FindLift(const CClumpObject* object) const {
    for (int i = 0; i < lifts_.count && object != nullptr; ++i) {
        CLift* lift = GetLift(i);
        if (lift != nullptr && lift->Object() == object) {
            return lift;
        }
    }
    return nullptr;
}

CSwitch* CWorldManager::FindSwitch(const char* name) const {
    CSwitch* found = nullptr;
    for (int i = 0; i < switches_.count && name != nullptr; ++i) {
        CSwitch* s = GetSwitch(i);
        if (s != nullptr && Is(s->name, name)) {
            found = s;
        }
    }
    return found;
}

CSwitch* CWorldManager::AimedSwitch(const OvV3d& point) const {
    CSwitch* found = nullptr;
    for (int i = 0; i < switches_.count; ++i) {
        CSwitch* s = GetSwitch(i);
        if (s != nullptr && s->IsAimedAt(point)) {
            found = s;
        }
    }
    return found;
}

void CWorldManager::RenderSwitchHint() {
    if (g_font == nullptr || g_cameraManager == nullptr || CInputManager::GetInstance()->LeftButton()) {
        return;
    }
    if (const CSwitch* s = AimedSwitch(g_cameraManager->Position())) {
        char text[300];
        std::snprintf(text, sizeof text, "Click here to %s", s->HintText());
        g_font->Print(text, {0.025f, 0.1f}, 0.03f);
    }
}

int CWorldManager::AddCollisionTriangle(CCollisionTriangle* triangle) {
    if (triangle == nullptr) {
        return 0;
    }
    if (triangleCount_ >= kMaxCollisionTriangles) {
        ErrorBox("Too much dynamic collision triangles.\nPlease increase MAX_COLLISION_TRIANGLES value");
        return 0;
    }
    triangles_[triangleCount_++] = triangle;
    if (triangleCount_ < kMaxCollisionTriangles) {
        triangles_[triangleCount_++] = triangle->CloneReversed();
    }
    return 1;
}

int CWorldManager::AddCollisionPlane(CCollisionPlane* plane) {
    if (plane == nullptr) {
        return 0;
    }
    if (planeCount_ >= kMaxCollisionPlanes) {
        ErrorBox("Too much dynamic collision planes.\nPlease increase MAX_COLLISION_PLANES value");
        return 0;
    }
    planes_[planeCount_++] = plane;
    if (plane->twoSided && planeCount_ < kMaxCollisionPlanes) {
        planes_[planeCount_++] = plane->Clone();
        plane->normal = Scale(plane->normal, -1.0f);
    }
    return 1;
}

int CWorldManager::AddLight(CLight* light) {
    if (light == nullptr || worldCount_ == 0) {
        return 0;
    }
    LightRecord record;
    record.light = light;
    if (OvLight* own = light->GetLight()) {
        for (int w = 0; w < worldCount_; ++w) {
            OvLight* graphics = own;
            // A graphics light stands in one world: the others get a copy on the same frame.
            if (w > 0) {
                graphics = OvLightCreate(OvLightGetType(own));
                if (graphics == nullptr) {
                    continue;
                }
                OvLightSetColor(graphics, &own->color);
                if (OvFrame* frame = OvLightGetFrame(own)) {
                    OvLightSetFrame(graphics, frame);
                }
            }
            OvWorldAddLight(worlds_[w], graphics);
            record.perWorld[w] = graphics;
        }
    }
    lights_.push_back(record);
    return 1;
}

void CWorldManager::RemoveLight(CLight* light) {
    for (auto it = lights_.begin(); it != lights_.end(); ++it) {
        if (it->light != light) {
            continue;
        }
        for (int w = 0; w < kMaxWorlds; ++w) {
            if (OvLight* graphics = it->perWorld[w]) {
                if (w < worldCount_) {
                    OvWorldRemoveLight(worlds_[w], graphics);
                }
                if (graphics != light->GetLight()) {
                    OvLightSetFrame(graphics, nullptr);
                    OvLightDestroy(graphics);
                }
            }
        }
        lights_.erase(it);
        return;
    }
}

void CWorldManager::CreateDynamicTriangleVolume() {
    if (context_ == nullptr || dynamicVolume_ != nullptr) {
        return;
    }
    OvpVolume* volume = OvpTrilistCreate(nullptr, ovpTRILIST_USER);
    if (volume == nullptr) {
        return;
    }
    OvpVolumeSetTriangleCallback(volume, reinterpret_cast<OvpVolumeCallback>(&GatherDynamicTriangles));
    OvpVolumeSetFriction(volume, kDynamicTriangleFriction);
    if (OvpContextAddFixedVolume(context_, volume, reinterpret_cast<std::uintptr_t>(this)) == nullptr) {
        OvpVolumeDeinit(volume);
        OvpAlignedFree(volume);
        return;
    }
    dynamicVolume_ = volume;
}

void CWorldManager::GatherDynamicTriangles(const OvpVolume*, const OvMatrix*, const OvpBBox*, void*,
                                           OvpTriangleBuffer* buffer) {
    buffer->count = 0;
    buffer->flags = ovpTRIANGLES_WORLDSPACE;
    const CWorldManager* self = g_worldManager;
    if (self == nullptr) {
        return;
    }
    for (int i = 0; i < self->triangleCount_ && buffer->count < buffer->capacity; ++i) {
        const CCollisionTriangle* t = self->triangles_[i];
        if (t->passable) {
            continue;
        }
        OvpTriangleRecord& r = buffer->triangles[buffer->count++];
        r = {};
        r.v0 = t->vertices[0];
        r.v1 = t->vertices[1];
        r.v2 = t->vertices[2];
        r.normal = Normalised(Cross(Sub(r.v1, r.v0), Sub(r.v2, r.v0)));
        r.source = nullptr;
        r.index = 0;
        r.klass = kDynamicTriangleClass;
    }
}

void CWorldManager::UpdateBodyFrames() {
    const OvpPipeline* pipeline = OvpContextGetPipeline(context_);
    for (OvUInt32 i = 0; i < pipeline->movedCount; ++i) {
        OvpObj* object = pipeline->moved[i];
        if (object != nullptr && object->manager != nullptr && object->type != nullptr &&
            object->type->updateFrames != nullptr) {
            object->type->updateFrames(object);
        }
    }
}

void CWorldManager::StepPhysics(float dt) {
    OvpPipeline* pipeline = OvpContextGetPipeline(context_);
    if (!customStep_) {
        OvpPipelineStep(pipeline, dt);
    } else {
        OvpPipelineSetTimeStep(pipeline, dt);
        OvpPipelineUpdateBroadPhase(pipeline);
        pipeline->pairCount = FilterCharacterPairs(pipeline->pairs, pipeline->pairCount, isCharacter_);
        OvpPipelineCollidePairs(pipeline);
        OvpPipelineBuildIslands(pipeline);
        OvpPipelineCollideFixedVolumes(pipeline);
        OvpPipelineSolveAndIntegrate(pipeline, dt);
    }
    UpdateBodyFrames();
}

void CWorldManager::Update(float dt) {
    if (firstUpdate_) {
        firstUpdate_ = false;
        CreateDynamicTriangleVolume();
    }
    for (LevelTable* table : {&jumpHelpers_, &switches_}) {
        for (int i = 0; i < table->count; ++i) {
            table->slots[i]->Update(dt);
        }
    }
    // A click of the use button toggles every switch aimed at from the view.
    const bool use = CInputManager::GetInstance()->LeftButton();
    if (use && !useButton_ && g_cameraManager != nullptr) {
        const OvV3d eye = g_cameraManager->Position();
        for (int i = 0; i < switches_.count; ++i) {
            auto* s = dynamic_cast<CSwitch*>(switches_.slots[i]);
            if (s != nullptr && s->IsAimedAt(eye)) {
                s->Toggle();
            }
        }
    }
    useButton_ = use;
    for (int i = 0; i < planeCount_; ++i) {
        planes_[i]->Update(dt);
    }
    for (int i = 0; i < triangleCount_; ++i) {
        triangles_[i]->Update(dt);
    }
    for (LevelTable* table : {&laserBeams_, &teleporters_, &lifts_, &bumpers_, &doors_}) {
        for (int i = 0; i < table->count; ++i) {
            table->slots[i]->Update(dt);
        }
    }
    if (context_ != nullptr) {
        StepPhysics(std::max(dt, kMinPhysicsStep));
    }
    // The thrown rocks look for the ground they may have reached in this step, also while the
    // game is paused (the physics goes on then too).
    UpdateRocks(dt);
}

bool CWorldManager::DragHintShown() {
    // While the pointer is on something other than a lift that carries a body and the mouse button
    // is up. Not while the start screen holds the game: no pointer is drawn then, and the hint
    // would be written over the screen's title.
    CClumpObject* pointed = nullptr;
    return !g_paused && !CInputManager::GetInstance()->LeftButton() &&
           CRigidBodyManager::PickDraggable(&pointed, nullptr, nullptr, nullptr) && FindLift(pointed) == nullptr;
}

void CWorldManager::RenderLevelObjects() {
    for (LevelTable* table : {&laserBeams_, &teleporters_, &doors_}) {
        for (int i = 0; i < table->count; ++i) {
            table->slots[i]->Render();
        }
    }
    RenderSwitchHint();
    if (g_font != nullptr && DragHintShown()) {
        g_font->Print(CRigidBodyManager::kDragHint, {CRigidBodyManager::kDragHintX, CRigidBodyManager::kDragHintY},
                      CRigidBodyManager::kDragHintSize);
    }
}

void CWorldManager::Render() {
    // The level objects and hints go over the worlds once, within the last world's camera update.
    int last = -1;
    for (int w = 0; w < worldCount_; ++w) {
        if (worldFlags_[w] == 0 || worldFlags_[w] == 2) {
            last = w;
        }
    }
    for (int w = 0; w < worldCount_; ++w) {
        const int flags = worldFlags_[w];
        if (flags < 0 || flags > 2) {
            continue;
        }
        // Each world through its own camera, placed as the camera manager's.
        OvCamera* camera = nullptr;
        if (cameraManager_ != nullptr && worldCameras_[w] != nullptr && worldCameras_[w]->Camera() != nullptr) {
            worldCameras_[w]->CopyCamera(*cameraManager_);
            camera = OvCameraBeginUpdate(worldCameras_[w]->Camera());
            if (camera == nullptr) {
                continue;
            }
        }
        if (flags == 0 || flags == 2) {
            OvWorldRender(worlds_[w]);
        }
        if (flags == 1 || flags == 2) {
            // Every sector triangle as grey lines lifted a centimetre, then the world once more.
            std::vector<OvIm3DVertex> lines;
            OvIntersection everything = {};
            everything.type = ovINTERSECTBOX;
            everything.t.box = worlds_[w]->boundingBox;
            OvCollisionWorldForAllIntersections(worlds_[w], &everything, WireTriangle, &lines);
            constexpr std::size_t kBatch = 6000;
            for (std::size_t first = 0; first < lines.size(); first += kBatch) {
                const auto n = static_cast<OvUInt32>(std::min(kBatch, lines.size() - first));
                if (OvIm3DTransform(lines.data() + first, n, nullptr, 0) != nullptr) {
                    OvIm3DRenderPrimitive(ovPRIMTYPELINELIST);
                    OvIm3DEnd();
                }
            }
            OvWorldRender(worlds_[w]);
        }
        if (w == last) {
            RenderLevelObjects();
        }
        if (camera != nullptr) {
            OvCameraEndUpdate(camera);
        }
    }
}

int CWorldManager::AddCameras(CCameraManager* cameras) {
    if (cameras == nullptr || cameraManager_ != nullptr) {
        return 0;
    }
    cameraManager_ = cameras;
    for (int w = 0; w < worldCount_; ++w) {
        MakeWorldCamera(w);
    }
    return 1;
}

void CWorldManager::MakeWorldCamera(int w) {
    auto* camera = new CCameraManager(*cameraManager_);
    if (camera->Camera() != nullptr) {
        OvWorldAddCamera(worlds_[w], camera->Camera());
    }
    worldCameras_[w] = camera;
}

void CWorldManager::RemoveCameras(CCameraManager* cameras) {
    if (cameras == nullptr || cameras != cameraManager_) {
        return;
    }
    for (int w = 0; w < kMaxWorlds; ++w) {
        if (CCameraManager* camera = worldCameras_[w]) {
            if (camera->Camera() != nullptr && OvCameraGetWorld(camera->Camera()) != nullptr) {
                OvWorldRemoveCamera(OvCameraGetWorld(camera->Camera()), camera->Camera());
            }
            delete camera;
            worldCameras_[w] = nullptr;
        }
    }
    cameraManager_ = nullptr;
}

std::string CWorldManager::StatisticsText() const {
    char text[160];
    std::snprintf(text, sizeof text, "%d worlds with %d clumps (%d active clumps, %d geometries)", worldCount_,
                  clumpsTested_, clumpsInRange_, atomicsTested_);
    return text;
}

void CWorldManager::PrintStatistics(CFont* font) {
    if (font != nullptr) {
        font->Print(StatisticsText().c_str(), {0.025f, 0.78f}, 0.04f);
    }
    if (g_debugLevel > 2) {
        for (int i = 0; i < objectCount_; ++i) {
            if (CClumpObject* object = objects_[static_cast<std::size_t>(i)]) {
                object->Render();
            }
        }
        for (int i = 0; i < planeCount_; ++i) {
            planes_[i]->Render();
        }
        for (int i = 0; i < triangleCount_; ++i) {
            triangles_[i]->Render();
        }
    }
}

int CWorldManager::LineIntersect(const OvV3d& from, const OvV3d& to, bool skipDynamic, float* distance, OvV3d* normal,
                                 CClumpObject** hit) {
    if (from.x == to.x && from.y == to.y && from.z == to.z) {
        return 0;
    }
    ++linesCast_;
    if (distance != nullptr) {
        *distance = kLineFar;
        if (normal != nullptr) {
            *normal = {0.0f, 0.0f, 0.0f};
        }
    }
    LineState s;
    s.line.type = ovINTERSECTLINE;
    s.line.t.line = {from, to};
    s.distance = distance;
    s.normal = distance != nullptr ? normal : nullptr;
    s.stopAtFirst = distance == nullptr && hit == nullptr;
    for (int w = 0; w < worldCount_; ++w) {
        OvCollisionWorldForAllIntersections(worlds_[w], &s.line, WorldLineHit, &s);
        if (s.any && s.stopAtFirst) {
            return 1;
        }
    }
    auto testAtomic = [&](OvAtomic* atomic) {
        OvFrame* frame = OvAtomicGetFrame(atomic);
        s.toWorld = frame != nullptr ? OvFrameGetWorldMatrix(frame) : nullptr;
        OvCollisionAtomicForAllIntersections(atomic, &s.line, LineHit, &s);
        s.toWorld = nullptr;
    };
    if (!skipDynamic) {
        for (int i = 0; i < planeCount_ && !(s.any && s.stopAtFirst); ++i) {
            if (planes_[i]->atomic != nullptr) {
                testAtomic(planes_[i]->atomic);
            }
        }
        for (int i = 0; i < triangleCount_ && !(s.any && s.stopAtFirst); ++i) {
            if (triangles_[i]->atomic != nullptr) {
                testAtomic(triangles_[i]->atomic);
            }
        }
    }
    CClumpObject* nearest = nullptr;
    for (int i = 0; i < objectCount_ && !(s.any && s.stopAtFirst); ++i) {
        CClumpObject* object = objects_[static_cast<std::size_t>(i)];
        if (object == nullptr || !object->IsPickable() || object->GetClump() == nullptr) {
            continue;
        }
        s.nearer = false;
        // The atomic query takes the world's line into the atomic's space itself.
        OvClumpForAllAtomics(
            object->GetClump(),
            [](OvAtomic* atomic, void* data) -> OvAtomic* {
                auto& st = *static_cast<LineState*>(data);
                // A segment that passes the atomic's bounding sphere meets none of its triangles.
                if (!SegmentMeetsSphere(st.line.t.line, *OvAtomicGetWorldBoundingSphere(atomic))) {
                    return atomic;
                }
                OvFrame* frame = OvAtomicGetFrame(atomic);
                st.toWorld = frame != nullptr ? OvFrameGetWorldMatrix(frame) : nullptr;
                OvCollisionAtomicForAllIntersections(atomic, &st.line, LineHit, &st);
                st.toWorld = nullptr;
                return atomic;
            },
            &s);
        if (s.nearer) {
            nearest = object;
        }
    }
    if (hit != nullptr) {
        *hit = nearest;
    }
    return s.any ? 1 : 0;
}

int CWorldManager::CylinderIntersect(const OvV3d& from, const OvV3d& to, float radius, bool skipDynamic) {
    const OvV3d axis = Sub(to, from);
    if (axis.x == 0.0f && axis.y == 0.0f && axis.z == 0.0f) {
        return 0;
    }
    const OvV3d d = Normalised(axis);
    // Along a vertical axis (d.z, 0, -d.x) vanishes: any level direction serves.
    OvV3d u = d.x * d.x + d.z * d.z > 1e-12f ? Normalised({d.z, 0.0f, -d.x}) : OvV3d{1.0f, 0.0f, 0.0f};
    OvV3d w = Normalised(Cross(u, d));
    u = Scale(u, radius);
    w = Scale(w, radius);
    const int rings = static_cast<int>(cylinderRings_);
    const int spokes = static_cast<int>(cylinderSpokes_);
    for (int r = 1; r <= rings; ++r) {
        const float fraction = static_cast<float>(r) / cylinderRings_;
        for (int sp = 0; sp < spokes; ++sp) {
            const float angle = static_cast<float>(sp) * 6.283184f / cylinderSpokes_;
            const OvV3d offset = Scale(Add(Scale(u, std::cos(angle)), Scale(w, std::sin(angle))), fraction);
            if (LineIntersect(Add(from, offset), Add(to, offset), skipDynamic)) {
                return 1;
            }
        }
    }
    return 0;
}

int CWorldManager::SphereQuery(float x, float y, float z, float radius, SphereQueryResult* result) {
    *result = SphereQueryResult{};
    SphereState s;
    s.centre = {x, y, z};
    s.mode = sphereMode_;
    s.direction = queryDirection_;
    s.result = result;
    OvIntersection sphere = {};
    sphere.type = ovINTERSECTSPHERE;
    sphere.t.sphere.center = s.centre;
    sphere.t.sphere.radius = radius;
    for (int w = 0; w < worldCount_; ++w) {
        OvCollisionWorldForAllIntersections(worlds_[w], &sphere, WorldSphereHit, &s);
    }
    auto testAtomic = [&](OvAtomic* atomic) {
        OvFrame* frame = OvAtomicGetFrame(atomic);
        s.toWorld = frame != nullptr ? OvFrameGetWorldMatrix(frame) : nullptr;
        OvCollisionAtomicForAllIntersections(atomic, &sphere, SphereHit, &s);
        s.toWorld = nullptr;
    };
    for (int i = 0; i < planeCount_; ++i) {
        if (planes_[i]->atomic != nullptr) {
            testAtomic(planes_[i]->atomic);
        }
    }
    for (int i = 0; i < triangleCount_; ++i) {
        if (triangles_[i]->atomic != nullptr && !triangles_[i]->passable) {
            testAtomic(triangles_[i]->atomic);
        }
    }
    atomicsTested_ = clumpsTested_ = clumpsInRange_ = 0;
    const float reach = 4.0f * scale_ * radius;
    for (int i = 0; i < objectCount_; ++i) {
        CClumpObject* object = objects_[static_cast<std::size_t>(i)];
        if (object == nullptr || !object->IsPickable()) {
            continue;
        }
        ++clumpsTested_;
        const OvSphere* bound = object->GetBoundingSphere();
        if (bound == nullptr) {
            continue; // nothing to test without an atomic
        }
        const OvV3d apart = Sub(bound->center, s.centre);
        if (Dot(apart, apart) > reach * reach) {
            continue;
        }
        ++clumpsInRange_;
        struct Pass {
            CWorldManager* self;
            decltype(testAtomic)* test;
        } pass = {this, &testAtomic};
        OvClumpForAllAtomics(
            object->GetClump(),
            [](OvAtomic* atomic, void* data) -> OvAtomic* {
                auto* p = static_cast<Pass*>(data);
                ++p->self->atomicsTested_;
                (*p->test)(atomic);
                return atomic;
            },
            &pass);
    }
    return result->found ? 1 : 0;
}

void CWorldManager::Unload() {
    delete subHandler_;
    subHandler_ = nullptr;
    for (LevelTable* table : {&jumpHelpers_, &switches_, &laserBeams_, &teleporters_, &lifts_, &bumpers_, &doors_}) {
        for (int i = 0; i < table->count; ++i) {
            table->slots[i]->Destroy();
            delete table->slots[i];
            table->slots[i] = nullptr;
        }
        table->count = 0;
    }
    for (int i = 0; i < planeCount_; ++i) {
        planes_[i]->Destroy();
        delete planes_[i];
        planes_[i] = nullptr;
    }
    planeCount_ = 0;
    for (int i = 0; i < triangleCount_; ++i) {
        triangles_[i]->Destroy();
        delete triangles_[i];
        triangles_[i] = nullptr;
    }
    triangleCount_ = 0;
    for (int i = 0; i < objectCount_; ++i) {
        if (CClumpObject* object = objects_[static_cast<std::size_t>(i)]) {
            RemoveObject(object);
        }
    }
    for (CClumpObject* object : ownedObjects_) {
        delete object;
    }
    ownedObjects_.clear();
    while (!lights_.empty()) {
        CLight* light = lights_.back().light;
        RemoveLight(light);
        delete light;
    }
    if (context_ != nullptr) {
        // Bodies that others still hold (characters' spheres, loose bodies, thrown rocks) leave the
        // manager as the context goes; their holders destroy them later, out of any manager.
        for (OvpVolume* volume : worldVolumes_) {
            OvpContextRemoveFixedVolume(context_, volume);
            OvpVolumeDeinit(volume);
            OvpAlignedFree(volume);
        }
        if (dynamicVolume_ != nullptr) {
            OvpContextRemoveFixedVolume(context_, dynamicVolume_);
            OvpVolumeDeinit(dynamicVolume_);
            OvpAlignedFree(dynamicVolume_);
        }
        OvpContextDestroy(context_);
        context_ = nullptr;
    }
    worldVolumes_.clear();
    dynamicVolume_ = nullptr;
    RemoveCameras(cameraManager_);
    for (int w = 0; w < worldCount_; ++w) {
        OvWorldDestroy(worlds_[w]);
        worlds_[w] = nullptr;
    }
    worldCount_ = 0;
    for (OvTexDictionary* dictionary : dictionaries_) {
        if (OvTexDictionaryGetCurrent() == dictionary) {
            OvTexDictionarySetCurrent(nullptr);
        }
        // A texture read while the level's dictionary was the current one (the camera's crosshair,
        // the start screen's images, the pointer) belongs to its reader, who destroys it later: it
        // leaves the dictionary rather than go with it.
        std::vector<OvTexture*> others;
        OvTexDictionaryForAllTextures(dictionary, CollectTexture, &others);
        for (OvTexture* texture : others) {
            if (std::find(dictionaryTextures_.begin(), dictionaryTextures_.end(), texture) ==
                dictionaryTextures_.end()) {
                OvTexDictionaryRemoveTexture(texture);
            }
        }
        OvTexDictionaryDestroy(dictionary);
    }
    dictionaries_.clear();
    dictionaryTextures_.clear();
    firstUpdate_ = true;
}

bool CWorldPick::LineHit(const OvV3d& from, const OvV3d& to, OvV3d* point) {
    float distance = 0.0f;
    if (g_worldManager == nullptr || g_worldManager->LineIntersect(from, to, false, &distance) == 0) {
        return false;
    }
    point->x = from.x + (to.x - from.x) * distance;
    point->y = from.y + (to.y - from.y) * distance;
    point->z = from.z + (to.z - from.z) * distance;
    return true;
}
