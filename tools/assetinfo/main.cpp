// assetinfo: reads a file through the engine and prints what it holds as key=value lines.
//   assetinfo FILE
// For a clump: "clump atomics=A lights=L cameras=C frames=F", then per geometry in file order
// "geometry I verts=V tris=T morphs=M materials=K meshes=N flags=0xF" and per atomic in file
// order "atomic I frame=F geometry=G flags=0xF".

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/error.h"
#include "graphics/core/frame.h"
#include "graphics/core/stream.h"
#include "graphics/core/testkit/engine_fixture.h"
#include "graphics/world/clump.h"
#include "graphics/world/mesh.h"
#include "graphics/world/world_plugin.h"

namespace {

constexpr OvUInt32 kInspectorId = 0xFFF0; // extension ids of this tool (not in any file)

void Usage(std::FILE* out) {
    std::fprintf(out, "usage: assetinfo FILE\n"
                      "  Reads FILE through the engine and prints what it holds as key=value lines. For a\n"
                      "  clump (model file):\n"
                      "    clump atomics=A lights=L cameras=C frames=F\n"
                      "    geometry I verts=V tris=T morphs=M materials=K meshes=N flags=0xFLAGS   (file order)\n"
                      "    atomic I frame=F geometry=G flags=0xFLAGS                                (file order)\n"
                      "  K counts the entries of the geometry's material list; F of an atomic is its frame's\n"
                      "  index in the clump's frame list.\n"
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

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        Usage(stdout);
        return 0;
    }
    if (argc != 2 || argv[1][0] == '-') {
        if (argc >= 2 && argv[1][0] == '-') {
            std::fprintf(stderr, "assetinfo: unknown option %s\n", argv[1]);
        }
        Usage(stderr);
        return 2;
    }
    const char* path = argv[1];
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
        if (!OvStreamFindChunk(stream, ovCHUNKIDCLUMP, nullptr, nullptr)) {
            failure = "no clump: " + HeldError();
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
    if (!failure.empty()) {
        std::fprintf(stderr, "assetinfo: %s: %s\n", path, failure.c_str());
        status = 1;
    }
    OvTestEngineDown();
    return status;
}
