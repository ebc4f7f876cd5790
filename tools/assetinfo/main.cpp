// assetinfo: reads a file through the engine and prints what it holds as key=value lines.
//   assetinfo FILE [--camera x,y,z,yaw,pitch] [--time]
// For a clump: "clump atomics=A lights=L cameras=C frames=F", then per geometry in file order
// "geometry I verts=V tris=T morphs=M materials=K meshes=N flags=0xF" and per atomic in file
// order "atomic I frame=F geometry=G flags=0xF". For a world: "world sectors=S planes=P tris=T
// verts=V materials=K", then per atomic sector in depth-first order "sector I tris=T verts=V",
// and with --camera "visible sectors=N". With --time, "time load_ms=L read_ms=R ratio=L/R": the load's
// time beside a plain read of the same bytes (every chunk walked, no object built), each the median
// of several runs.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "graphics/core/chunk.h"
#include "graphics/core/error.h"
#include "graphics/core/frame.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/core/testkit/plain_read.h"
#include "graphics/plugins/collision.h"
#include "graphics/world/clump.h"
#include "graphics/world/mesh.h"
#include "graphics/world/testkit/world_camera.h"
#include "graphics/world/world.h"
#include "graphics/world/world_membership.h"
#include "graphics/world/world_plugin.h"
#include "tools/engine_error/asset_chunk.h"

namespace {

constexpr OvUInt32 kInspectorId = 0xFFF0; // extension ids of this tool (not in any file)

void Usage(std::FILE* out) {
    std::fprintf(out, "usage: assetinfo FILE [--camera x,y,z,yaw,pitch] [--time]\n"
                      "  Reads FILE through the engine and prints what it holds as key=value lines. For a\n"
                      "  clump (model file):\n"
                      "    clump atomics=A lights=L cameras=C frames=F\n"
                      "    geometry I verts=V tris=T morphs=M materials=K meshes=N flags=0xFLAGS   (file order)\n"
                      "    atomic I frame=F geometry=G flags=0xFLAGS                                (file order)\n"
                      "  K counts the entries of the geometry's material list; F of an atomic is its frame's\n"
                      "  index in the clump's frame list. For a world (level file):\n"
                      "    world sectors=S planes=P tris=T verts=V materials=K\n"
                      "    sector I tris=T verts=V          (atomic sectors, depth first, left before right)\n"
                      "    visible sectors=N                (with --camera)\n"
                      "  --camera places a camera with a 90-degree view and a far plane of 1000 metres at\n"
                      "  x,y,z looking along +z turned by yaw towards +x and by pitch up (degrees), and\n"
                      "  counts the atomic sectors it sees.\n"
                      "  --time then loads the file again several times and reads its bytes plainly as often,\n"
                      "    time load_ms=L read_ms=R ratio=L/R\n"
                      "  L is the median time of opening the file and reading its clump or world through the\n"
                      "  engine (with the collision plugin, as the game reads it; the objects' destruction not\n"
                      "  counted), R of opening it and walking all its chunks, the body of each struct, string\n"
                      "  and extension read into memory (milliseconds). Both are timed with the memory they\n"
                      "  use taken by an untimed first run and kept by the process between runs.\n"
                      "  Exit status 0 on success, 1 when the file does not read (one line naming the file\n"
                      "  and the engine's error), 2 on bad usage.\n");
}

// Creation order of frames and geometries during the read, kept in an extension of each. The
// geometries made are also held by one reference of the tool, so that every geometry of the file
// can be listed, even one no atomic uses.
OvInt32 gFrameOffset = -1;
OvInt32 gGeometryOffset = -1;
OvInt32 gFramesMade = 0;
std::vector<OvGeometry*> gGeometries;

void* FrameConstruct(void* object, OvInt32 offset, OvInt32) {
    *reinterpret_cast<OvInt32*>(static_cast<char*>(object) + offset) = gFramesMade++;
    return object;
}

void* GeometryConstruct(void* object, OvInt32 offset, OvInt32) {
    auto* geometry = static_cast<OvGeometry*>(object);
    *reinterpret_cast<OvInt32*>(static_cast<char*>(object) + offset) = static_cast<OvInt32>(gGeometries.size());
    gGeometries.push_back(OvGeometryAddRef(geometry));
    return object;
}

void Register() {
    OvWorldPluginAttach();
    OvCollisionPluginAttach();
    gFrameOffset = OvFrameRegisterPlugin(sizeof(OvInt32), kInspectorId, FrameConstruct, nullptr, nullptr);
    gGeometryOffset = OvGeometryRegisterPlugin(sizeof(OvInt32), kInspectorId, GeometryConstruct, nullptr, nullptr);
}

OvInt32 Serial(const void* object, OvInt32 offset) {
    return *reinterpret_cast<const OvInt32*>(static_cast<const char*>(object) + offset);
}

std::string HeldError() {
    OvError e;
    OvErrorGet(&e);
    if (e.errorCode == ovERRNOERROR) {
        return "no error code recorded";
    }
    char text[64];
    std::snprintf(text, sizeof(text), "error 0x%08X, plugin 0x%X", static_cast<unsigned>(e.errorCode),
                  static_cast<unsigned>(e.pluginID));
    return text;
}

OvInt32 CountFrames(const OvFrame* frame) {
    OvInt32 n = 0;
    for (const OvFrame* f = frame; f != nullptr; f = f->next) {
        n += 1 + CountFrames(f->child);
    }
    return n;
}

void PrintClump(OvClump* clump) {
    const OvFrame* root = OvClumpGetFrame(clump);
    std::printf("clump atomics=%d lights=%d cameras=%d frames=%d\n", OvClumpGetNumAtomics(clump),
                OvClumpGetNumLights(clump), OvClumpGetNumCameras(clump),
                root != nullptr ? 1 + CountFrames(root->child) : 0);
    for (std::size_t i = 0; i < gGeometries.size(); ++i) {
        const OvGeometry* g = gGeometries[i];
        std::printf("geometry %zu verts=%d tris=%d morphs=%d materials=%d meshes=%u flags=0x%08X\n", i, g->numVertices,
                    g->numTriangles, g->numMorphTargets, g->matList.numMaterials,
                    g->mesh != nullptr ? static_cast<unsigned>(g->mesh->numMeshes) : 0u,
                    static_cast<unsigned>(g->flags));
    }
    // The clump's list holds the atomics in the reverse of their file order.
    OvInt32 index = 0;
    for (OvLLLink* l = clump->atomicList.prev; l != &clump->atomicList; l = l->prev, ++index) {
        const auto* atomic =
            reinterpret_cast<const OvAtomic*>(reinterpret_cast<const char*>(l) - offsetof(OvAtomic, inClumpLink));
        const OvFrame* frame = OvAtomicGetFrame(atomic);
        const OvGeometry* geometry = OvAtomicGetGeometry(atomic);
        std::printf("atomic %d frame=%d geometry=%d flags=0x%02X\n", index,
                    frame != nullptr ? Serial(frame, gFrameOffset) : -1,
                    geometry != nullptr ? Serial(geometry, gGeometryOffset) : -1,
                    static_cast<unsigned>(atomic->object.object.flags));
    }
}

constexpr float kCameraFieldOfView = 90.0f;
constexpr float kCameraFarPlane = 1000.0f;

// Parses "x,y,z,yaw,pitch".
bool ParseCamera(const char* text, float out[5]) {
    const char* p = text;
    for (int i = 0; i < 5; ++i) {
        char* end = nullptr;
        out[i] = std::strtof(p, &end);
        if (end == p || !std::isfinite(out[i]) || *end != (i < 4 ? ',' : '\0')) {
            return false;
        }
        p = end + 1;
    }
    return true;
}

std::string PrintWorld(OvWorld* world, const float* camera) {
    struct Totals {
        OvInt32 sectors, tris, verts;
    } totals{0, 0, 0};
    OvWorldForAllWorldSectors(
        world,
        [](OvWorldSector* s, void* data) {
            auto* t = static_cast<Totals*>(data);
            t->sectors++;
            t->tris += s->numTriangles;
            t->verts += s->numVertices;
            return s;
        },
        &totals);
    std::printf("world sectors=%d planes=%d tris=%d verts=%d materials=%d\n", totals.sectors,
                OvWorldGetNumPlaneSectors(world), totals.tris, totals.verts, world->matList.numMaterials);
    OvInt32 index = 0;
    OvWorldForAllWorldSectors(
        world,
        [](OvWorldSector* s, void* data) {
            std::printf("sector %d tris=%d verts=%d\n", (*static_cast<OvInt32*>(data))++, s->numTriangles,
                        s->numVertices);
            return s;
        },
        &index);
    if (camera == nullptr) {
        return "";
    }
    OvCamera* view = OvWorldTestCameraCreate(camera[0], camera[1], camera[2], camera[3], camera[4], kCameraFieldOfView,
                                             kCameraFarPlane);
    if (view == nullptr) {
        return "cannot create the camera: " + HeldError();
    }
    OvWorldAddCamera(world, view);
    OvFrameSyncDirty();
    OvInt32 visible = 0;
    OvCameraGetVisibleSectors(view, &visible);
    std::printf("visible sectors=%d\n", visible);
    OvWorldRemoveCamera(world, view);
    OvWorldTestCameraDestroy(view);
    return "";
}

// Runs that each of the timed steps gets; their median is printed.
constexpr int kTimedRuns = 15;
// Blocks up to this size come from (and return to) the process's heap while timing.
constexpr int kKeptBytes = 32 * 1024 * 1024;

double Milliseconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One load of the file's clump or world as the first pass read it, the objects destroyed
// afterwards (outside the time); false when it no longer reads.
bool TimedLoad(const char* path, double* ms) {
    const auto start = std::chrono::steady_clock::now();
    OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path);
    if (stream == nullptr) {
        return false;
    }
    OvClump* clump = nullptr;
    OvWorld* world = nullptr;
    const OvUInt32 type = FindClumpOrWorld(stream);
    if (type == ovCHUNKIDWORLD) {
        world = OvWorldStreamRead(stream);
    } else if (type != 0) {
        clump = OvClumpStreamRead(stream);
    }
    OvStreamClose(stream, nullptr);
    *ms = Milliseconds(start);
    if (world != nullptr) {
        OvWorldDestroy(world);
    }
    if (clump != nullptr) {
        OvClumpDestroy(clump);
    }
    for (OvGeometry* g : gGeometries) {
        OvGeometryDestroy(g);
    }
    gGeometries.clear();
    return world != nullptr || clump != nullptr;
}

// One plain read of the file through the engine's file stream: every chunk walked.
bool TimedRead(const char* path, OvUInt32 size, std::vector<OvUInt8>& buffer, double* ms) {
    const auto start = std::chrono::steady_clock::now();
    OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path);
    if (stream == nullptr) {
        return false;
    }
    const bool read = OvTestReadEveryChunk(stream, size, buffer);
    OvStreamClose(stream, nullptr);
    *ms = Milliseconds(start);
    return read;
}

// The load's time beside the plain read's, runs interleaved so that both see the same machine.
std::string PrintTimes(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) {
        return "cannot open for the plain read";
    }
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    if (size < 0 || size > 0x7FFFFFFF) {
        return "cannot tell its size for the plain read";
    }
#if defined(__GLIBC__)
    // Memory freed after a load stays with the process, so that the next load finds it in use as
    // the plain read finds its buffer: neither is timed handing pages back and touching fresh ones.
    mallopt(M_TRIM_THRESHOLD, kKeptBytes);
    mallopt(M_MMAP_THRESHOLD, kKeptBytes);
#endif
    std::vector<OvUInt8> buffer;
    std::vector<double> loads, reads;
    for (int run = -1; run < kTimedRuns; ++run) { // run -1 takes the memory both use
        double load = 0, read = 0;
        if (!TimedLoad(path, &load)) {
            return "does not read when timed: " + HeldError();
        }
        if (!TimedRead(path, static_cast<OvUInt32>(size), buffer, &read)) {
            return "plain read failed: its chunks overrun the file or nest too deep";
        }
        if (run >= 0) {
            loads.push_back(load);
            reads.push_back(read);
        }
    }
    const double load = Median(loads), read = Median(reads);
    std::printf("time load_ms=%.4f read_ms=%.4f ratio=%.2f\n", load, read, read > 0 ? load / read : 0.0);
    return "";
}

} // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    float camera[5];
    bool haveCamera = false;
    bool timed = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--camera") == 0) {
            if (i + 1 >= argc || !ParseCamera(argv[i + 1], camera)) {
                std::fprintf(stderr, "assetinfo: bad --camera '%s' (x,y,z,yaw,pitch)\n",
                             i + 1 < argc ? argv[i + 1] : "");
                return 2;
            }
            haveCamera = true;
            ++i;
        } else if (std::strcmp(argv[i], "--time") == 0) {
            timed = true;
        } else if (argv[i][0] == '-' || path != nullptr) {
            std::fprintf(stderr, "assetinfo: unknown argument %s\n", argv[i]);
            Usage(stderr);
            return 2;
        } else {
            path = argv[i];
        }
    }
    if (path == nullptr) {
        Usage(stderr);
        return 2;
    }
    if (!OvTestEngineUp(0, Register)) {
        std::fprintf(stderr, "assetinfo: %s: the engine did not start\n", path);
        return 1;
    }
    int status = 0;
    std::string failure;
    OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path);
    if (stream == nullptr) {
        failure = "cannot open: " + HeldError();
    } else {
        OvClump* clump = nullptr;
        OvWorld* world = nullptr;
        const OvUInt32 type = FindClumpOrWorld(stream);
        if (type == 0) {
            failure = "no clump or world: " + HeldError();
        } else if (type == ovCHUNKIDWORLD) {
            if ((world = OvWorldStreamRead(stream)) == nullptr) {
                failure = "does not read: " + HeldError();
            } else {
                failure = PrintWorld(world, haveCamera ? camera : nullptr);
                OvWorldDestroy(world);
            }
        } else if ((clump = OvClumpStreamRead(stream)) == nullptr) {
            failure = "does not read: " + HeldError();
        } else {
            PrintClump(clump);
            OvClumpDestroy(clump);
        }
        OvStreamClose(stream, nullptr);
    }
    for (OvGeometry* g : gGeometries) {
        OvGeometryDestroy(g);
    }
    gGeometries.clear();
    if (failure.empty() && stream != nullptr && timed) {
        failure = PrintTimes(path);
    }
    if (!failure.empty()) {
        std::fprintf(stderr, "assetinfo: %s: %s\n", path, failure.c_str());
        status = 1;
    }
    OvTestEngineDown();
    return status;
}
