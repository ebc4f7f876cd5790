// world_render: draws a level and models on it with the world plugin's Direct3D 9 pipelines,
// headless, and writes the frame as a PNG. See usage below.

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/core/camera.h"
#include "graphics/core/chunk.h"
#include "graphics/core/d3d9/device.h"
#include "graphics/core/engine.h"
#include "graphics/core/file_system.h"
#include "graphics/core/frame.h"
#include "graphics/core/image.h"
#include "graphics/core/matrix.h"
#include "graphics/core/raster.h"
#include "graphics/core/stream.h"
#include "graphics/plugins/material_effects.h"
#include "graphics/plugins/particles.h"
#include "graphics/toolkits/bmp_reader.h"
#include "graphics/toolkits/png_reader.h"
#include "graphics/core/pipeline.h"
#include "graphics/plugins/anim.h"
#include "graphics/plugins/anim_hierarchy.h"
#include "graphics/plugins/skin.h"
#include "graphics/plugins/skin_d3d9.h"
#include "graphics/world/clump.h"
#include "graphics/world/d3d9_pipeline.h"
#include "graphics/world/d3d9_vertex_shader.h"
#include "graphics/world/light.h"
#include "graphics/world/testkit/world_camera.h"
#include "graphics/world/world.h"
#include "graphics/world/world_membership.h"
#include "graphics/world/world_plugin.h"
#include "platform/controls.h"
#include "platform/d3d9_control.h"
#include "platform/win32.h"
#include "tools/engine_error/engine_error.h"
#include "tools/engine_error/frame_args.h"
#include "tools/engine_error/hierarchy_frame.h"
#include "tools/engine_error/tool_engine.h"

namespace {

const char kUsage[] =
    "usage: world_render FILE.bsp [--clump FILE.dff --at X,Y,Z]...\n"
    "                    [--character FILE.dff [--anim FILE.anm [--t SECONDS]] --at X,Y,Z]...\n"
    "                    [--turn DEGREES] [--scale S] --camera X,Y,Z,YAW,PITCH [--light SPEC]...\n"
    "                    [--shaders] --size WxH --out FILE.png\n"
    "Reads the level FILE.bsp and the models, puts each model's root frame at its --at position, looks\n"
    "from the camera (at yaw 0 and pitch 0 it looks along +z; yaw turns it towards +x, pitch up, in\n"
    "degrees; 60 degrees across, 0.05 to 200 metres) and draws one frame with the world plugin's\n"
    "Direct3D 9 pipelines on the software device without a window. The frame is cleared to (40, 48, 64).\n"
    "Textures are looked for beside FILE.bsp (NAME.png or NAME.bmp); missing ones leave a material\n"
    "untextured.\n"
    "  --clump FILE.dff       a model; each needs the --at that follows it\n"
    "  --at X,Y,Z             where the last --clump's (or --character's) root frame goes\n"
    "  --character FILE.dff   a skinned model with an animation hierarchy; its --anim is played\n"
    "                         from the start for --t seconds (0 when not given; past the end it\n"
    "                         wraps round); its skinned atomics are drawn by the skinned-atomic\n"
    "                         pipeline, posed by the hierarchy, on the processor or (with --shaders)\n"
    "                         by the generated vertex shaders; without --anim in its bind pose (the\n"
    "                         bones' frames as the file holds them)\n"
    "  --anim FILE.anm        the last --character's animation\n"
    "  --t SECONDS            how far the last --character's animation has played (0 or more)\n"
    "  --turn DEGREES         the last model turned about its y axis (towards +x), before --at\n"
    "  --scale S              the last model scaled by S (above 0), before --turn and --at\n"
    "  --camera X,Y,Z,YAW,PITCH\n"
    "  --light ambient,R,G,B  | directional,R,G,B,YAW,PITCH | point,R,G,B,X,Y,Z,RADIUS\n"
    "                         lights of the world (colours 0 to 1 and more; a directional light shines\n"
    "                         along YAW,PITCH). Without any: ambient 0.2 and a directional 0.4 along\n"
    "                         yaw 30, pitch -50.\n"
    "  --shaders              draw every atomic and sector through the generated vertex shaders (the\n"
    "                         same lights gathered into their constants) instead of the fixed-function\n"
    "                         path\n"
    "  --size WxH             frame size in pixels, 1 to 4096 each way\n"
    "  --out FILE.png         the picture to write\n"
    "  --particles N          also a batch of N particles (1 to 262144) at seeded places 2 to 8 metres\n"
    "                         in front of the camera, each a 0.12 metre square in a colour of its own\n"
    "Prints the driver's counters of the frame (draw calls, states sent, vertices) and a checksum of\n"
    "the frame (FNV-1a over the red, green and blue bytes of every pixel, rows top down); with\n"
    "characters also how many skinned atomics the vertex shaders and the processor skinned.\n"
    "Exit status 0 on success, 1 when the engine, a file or the output fails, 2 on bad usage.\n";

struct Model {
    std::string file;
    bool character = false;
    std::string anim;  // characters: the animation
    float seconds = 0; // and how far it has played
    float at[3] = {0, 0, 0};
    float turn = 0;  // degrees about y
    float scale = 1; // uniform
    bool placed = false;
};

struct LightSpec {
    OvLightType type = ovLIGHTAMBIENT;
    float rgb[3] = {0, 0, 0};
    float values[4] = {0, 0, 0, 0}; // yaw, pitch, or x, y, z, radius
};

struct Options {
    std::string level;
    std::vector<Model> models;
    std::vector<LightSpec> lights;
    float camera[5] = {0, 0, 0, 0, 0};
    bool haveCamera = false;
    bool shaders = false;
    int width = 0;
    int height = 0;
    std::string out;
    int particles = 0;
};

int BadUsage(const std::string& message, const char* argument) {
    std::fprintf(stderr, "world_render: %s: %s\n%s", message.c_str(), argument, kUsage);
    return 2;
}

// Exactly n comma-separated finite numbers.
bool ParseNumbers(const char* text, float* out, int n) {
    const char* p = text;
    for (int i = 0; i < n; ++i) {
        char* end = nullptr;
        errno = 0;
        const float v = std::strtof(p, &end);
        if (end == p || errno != 0 || !std::isfinite(v)) {
            return false;
        }
        out[i] = v;
        p = end;
        if (i + 1 < n) {
            if (*p != ',') {
                return false;
            }
            ++p;
        }
    }
    return *p == '\0';
}

bool ParseLight(const char* text, LightSpec* light) {
    const std::string s = text;
    const std::size_t comma = s.find(',');
    const std::string kind = s.substr(0, comma);
    if (comma == std::string::npos) {
        return false;
    }
    const char* rest = text + comma + 1;
    float v[7];
    if (kind == "ambient" && ParseNumbers(rest, v, 3)) {
        light->type = ovLIGHTAMBIENT;
    } else if (kind == "directional" && ParseNumbers(rest, v, 5)) {
        light->type = ovLIGHTDIRECTIONAL;
        light->values[0] = v[3];
        light->values[1] = v[4];
    } else if (kind == "point" && ParseNumbers(rest, v, 7) && v[6] > 0.0f) {
        light->type = ovLIGHTPOINT;
        for (int i = 0; i < 4; ++i) {
            light->values[i] = v[3 + i];
        }
    } else {
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        light->rgb[i] = v[i];
    }
    return true;
}

bool ParseParticleCount(const char* text, int* out) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || n < 1 || n > ovPARTICLEMAXPARTICLES) {
        return false;
    }
    *out = static_cast<int>(n);
    return true;
}

// A clump holding a batch of n particles at seeded places 2 to 8 metres in front of the camera
// (whose position, yaw and pitch are given), each with its own colour; null on failure.
OvClump* MakeParticleClump(int n, const float camera[5]) {
    OvAtomic* atomic = OvParticleBatchCreate(n, ovPARTICLEPOSITION | ovPARTICLECOLOR, 0);
    if (atomic == nullptr) {
        return nullptr;
    }
    const double d = 3.14159265358979323846 / 180.0;
    const auto cy = static_cast<float>(std::cos(camera[3] * d)), sy = static_cast<float>(std::sin(camera[3] * d));
    const auto cp = static_cast<float>(std::cos(camera[4] * d)), sp = static_cast<float>(std::sin(camera[4] * d));
    const OvV3d at = {sy * cp, sp, cy * cp}, right = {cy, 0.0f, -sy}, up = {-sy * sp, cp, -cy * sp};
    std::uint32_t seed = 38;
    auto next = [&seed] { // 0 to 1
        seed = seed * 1664525u + 1013904223u;
        return static_cast<float>(seed >> 8) / 16777216.0f;
    };
    OvParticleStream positions, colors;
    OvParticleBatchLock(atomic, &positions, ovPARTICLEPOSITION, ovPARTICLELOCKCHANGED);
    OvParticleBatchLock(atomic, &colors, ovPARTICLECOLOR, ovPARTICLELOCKCHANGED);
    OvV3d low = {1e30f, 1e30f, 1e30f}, high = {-1e30f, -1e30f, -1e30f};
    for (int i = 0; i < n; ++i) {
        const float depth = 2.0f + 6.0f * next();
        const float across = (2.0f * next() - 1.0f) * 0.45f * depth, rise = (2.0f * next() - 1.0f) * 0.3f * depth;
        const OvV3d p = {camera[0] + at.x * depth + right.x * across + up.x * rise,
                         camera[1] + at.y * depth + right.y * across + up.y * rise,
                         camera[2] + at.z * depth + right.z * across + up.z * rise};
        std::memcpy(static_cast<OvUInt8*>(positions.data) + static_cast<std::size_t>(i) * positions.stride, &p, 12);
        const OvUInt8 rgba[4] = {static_cast<OvUInt8>(96 + 159 * next()), static_cast<OvUInt8>(96 + 159 * next()),
                                 static_cast<OvUInt8>(96 + 159 * next()), 255};
        std::memcpy(static_cast<OvUInt8*>(colors.data) + static_cast<std::size_t>(i) * colors.stride, rgba, 4);
        low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
        high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
    }
    OvParticleBatchUnlock(atomic);
    OvParticleBatchSetSize(atomic, 0.12f, 0.12f);
    OvParticleBatchSetNumActive(atomic, n);
    // The particles are drawn in world space; the frame and the sphere only place the batch in
    // the world's sectors and the camera's view.
    const OvV3d centre = {(low.x + high.x) / 2, (low.y + high.y) / 2, (low.z + high.z) / 2};
    const OvV3d half = {(high.x - low.x) / 2, (high.y - low.y) / 2, (high.z - low.z) / 2};
    const OvSphere sphere = {{0, 0, 0}, std::sqrt(half.x * half.x + half.y * half.y + half.z * half.z) + 0.1f};
    atomic->geometry->morphTarget[0].boundingSphere = sphere;
    atomic->boundingSphere = sphere;
    atomic->interpolator.flags &= ~ovINTERPOLATORDIRTYSPHERE;
    atomic->object.object.flags |= ovATOMICRENDER;
    OvFrame* frame = OvFrameCreate();
    OvClump* clump = frame != nullptr ? OvClumpCreate() : nullptr;
    if (clump == nullptr) {
        if (frame != nullptr) {
            OvFrameDestroy(frame);
        }
        OvParticleBatchDestroy(atomic);
        return nullptr;
    }
    OvFrameTranslate(frame, &centre, ovCOMBINEREPLACE);
    OvClumpSetFrame(clump, frame);
    OvAtomicSetFrame(atomic, frame);
    OvClumpAddAtomic(clump, atomic);
    return clump;
}

// -1 when the options are fine, else the exit status.
int Parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--shaders") {
            o->shaders = true;
            continue;
        }
        if (a.rfind("--", 0) != 0) {
            if (!o->level.empty()) {
                return BadUsage("a second level", argv[i]);
            }
            o->level = a;
            continue;
        }
        if (a != "--clump" && a != "--character" && a != "--anim" && a != "--t" && a != "--at" && a != "--camera" &&
            a != "--light" && a != "--size" && a != "--out" && a != "--particles" && a != "--turn" && a != "--scale") {
            return BadUsage("unknown argument", argv[i]);
        }
        if (i + 1 >= argc) {
            return BadUsage("missing value after", argv[i]);
        }
        const char* value = argv[++i];
        if (a == "--clump" || a == "--character") {
            if (!o->models.empty() && !o->models.back().placed) {
                return BadUsage(o->models.back().character ? "--character without --at" : "--clump without --at",
                                o->models.back().file.c_str());
            }
            Model m;
            m.file = value;
            m.character = a == "--character";
            o->models.push_back(m);
        } else if (a == "--anim" || a == "--t") {
            if (o->models.empty() || !o->models.back().character || o->models.back().placed) {
                return BadUsage(a + " without a --character before it", value);
            }
            if (a == "--anim") {
                o->models.back().anim = value;
            } else {
                char* end = nullptr;
                const float t = std::strtof(value, &end);
                if (*value == '\0' || *end != '\0' || !(t >= 0.0f) || !std::isfinite(t)) {
                    return BadUsage("--t wants seconds, 0 or more, not", value);
                }
                o->models.back().seconds = t;
            }
        } else if (a == "--turn" || a == "--scale") {
            if (o->models.empty() || o->models.back().placed) {
                return BadUsage(a + " without a --clump or --character before it", value);
            }
            char* end = nullptr;
            const float v = std::strtof(value, &end);
            if (*value == '\0' || *end != '\0' || !std::isfinite(v) || (a == "--scale" && !(v > 0.0f))) {
                return BadUsage(a == "--turn" ? "--turn wants degrees, not" : "--scale wants a number above 0, not",
                                value);
            }
            (a == "--turn" ? o->models.back().turn : o->models.back().scale) = v;
        } else if (a == "--at") {
            if (o->models.empty() || o->models.back().placed) {
                return BadUsage("--at without a --clump before it", value);
            }
            if (o->models.back().character && o->models.back().anim.empty() && o->models.back().seconds != 0) {
                return BadUsage("--t without --anim", o->models.back().file.c_str());
            }
            if (!ParseNumbers(value, o->models.back().at, 3)) {
                return BadUsage("--at wants X,Y,Z, not", value);
            }
            o->models.back().placed = true;
        } else if (a == "--camera") {
            if (!ParseNumbers(value, o->camera, 5)) {
                return BadUsage("--camera wants X,Y,Z,YAW,PITCH, not", value);
            }
            o->haveCamera = true;
        } else if (a == "--light") {
            LightSpec light;
            if (!ParseLight(value, &light)) {
                return BadUsage("--light wants ambient,R,G,B or directional,R,G,B,YAW,PITCH or "
                                "point,R,G,B,X,Y,Z,RADIUS (radius above 0), not",
                                value);
            }
            o->lights.push_back(light);
        } else if (a == "--size") {
            if (!ParseFrameSize(value, &o->width, &o->height)) {
                return BadUsage("--size wants WxH with sides of 1 to 4096, not", value);
            }
        } else if (a == "--particles") {
            if (!ParseParticleCount(value, &o->particles)) {
                return BadUsage("--particles wants a count of 1 to 262144, not", value);
            }
        } else {
            o->out = value;
        }
    }
    if (!o->models.empty() && !o->models.back().placed) {
        return BadUsage(o->models.back().character ? "--character without --at" : "--clump without --at",
                        o->models.back().file.c_str());
    }
    for (const auto& [missing, name] : {std::pair{o->level.empty(), "FILE.bsp"},
                                        {!o->haveCamera, "--camera"},
                                        {o->width == 0, "--size"},
                                        {o->out.empty(), "--out"}}) {
        if (missing) {
            return BadUsage("missing", name);
        }
    }
    if (o->lights.empty()) {
        LightSpec ambient;
        ambient.type = ovLIGHTAMBIENT;
        ambient.rgb[0] = ambient.rgb[1] = ambient.rgb[2] = 0.2f;
        LightSpec sun;
        sun.type = ovLIGHTDIRECTIONAL;
        sun.rgb[0] = sun.rgb[1] = sun.rgb[2] = 0.4f;
        sun.values[0] = 30.0f;
        sun.values[1] = -50.0f;
        o->lights = {ambient, sun};
    }
    return -1;
}

std::string Folder(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The engine, the world, the models, the lights and the camera, taken down in reverse.
class Renderer {
public:
    ~Renderer() { Close(); }

    bool Open(int width, int height, bool shaders, std::string* error) {
        const auto attach = [shaders](std::string* why) {
            if (!OvWorldPluginAttach() || !OvParticleBatchPluginAttach() || !OvAnimPluginAttach() ||
                !OvAnimHierarchyPluginAttach() || !OvSkinPluginAttach() || !OvMaterialEffectsPluginAttach()) {
                *why = "the world, particle-batch, animation, skin or material-effects plugin could not be attached";
                return false;
            }
            if (shaders) {
                // The software device's shader-model-2 adapter runs the generated vertex shaders
                // (with the pixel shaders the skin's shader path asks for).
                D3d9SetAdapters({D3d9DefaultAdapter(D3d9Preset::ShaderModel2Vertex)});
            }
            return true;
        };
        return engine_.Open("world_render", width, height, 0x800000, attach, error) && (!shaders || UseShaders(error));
    }

    // The default pipelines' nodes draw through the generated vertex shaders.
    static bool UseShaders(std::string* error) {
        if (OvD3D9VertexShaderGetProfile() == ovVSPROFILENONE) {
            *error = "--shaders: the device runs no vertex shaders";
            return false;
        }
        for (const auto& [pipeline, name] :
             {std::pair{OvWorldGetDefaultAtomicPipeline(), OvNodeD3D9AtomicAllInOneGetDefinition()->name},
              {OvWorldGetDefaultWorldSectorPipeline(), OvNodeD3D9WorldSectorAllInOneGetDefinition()->name}}) {
            OvPipelineNode* node = pipeline != nullptr ? OvPipelineFindNode(pipeline, name, nullptr, nullptr) : nullptr;
            if (node == nullptr) {
                *error = std::string("--shaders: no node ") + name + " in the default pipelines";
                return false;
            }
            OvD3D9AllInOneNodeSetRenderCallback(node, OvD3D9VertexShaderRenderCallback);
        }
        return true;
    }

    // Reads the first chunk of the type in the file; the object or null with *error set.
    template <typename T, typename Read>
    T* ReadAsset(const std::string& path, OvUInt32 chunk, const char* what, Read read, std::string* error) {
        OvImageSetPath(Folder(path).c_str());
        const EngineErrorContext context = {path, false, what};
        OvStream* stream = OvStreamOpen(ovSTREAMFILENAME, ovSTREAMREAD, path.c_str());
        if (stream == nullptr) {
            *error = path + ": cannot open (" + HeldEngineErrorWords(context) + ")";
            return nullptr;
        }
        T* object = nullptr;
        if (!OvStreamFindChunk(stream, chunk, nullptr, nullptr)) {
            *error = path + ": no " + what + " in it (" + HeldEngineErrorWords(context) + ")";
        } else if ((object = read(stream)) == nullptr) {
            *error = path + ": the " + what + " does not read (" + HeldEngineErrorWords(context) + ")";
        }
        OvStreamClose(stream, nullptr);
        return object;
    }

    bool Load(const Options& o, std::string* error) {
        world_ = ReadAsset<OvWorld>(o.level, ovCHUNKIDWORLD, "world", OvWorldStreamRead, error);
        if (world_ == nullptr) {
            return false;
        }
        for (const Model& m : o.models) {
            OvClump* clump = ReadAsset<OvClump>(m.file, ovCHUNKIDCLUMP, "clump", OvClumpStreamRead, error);
            if (clump == nullptr) {
                return false;
            }
            clumps_.push_back(clump);
            const OvV3d at = {m.at[0], m.at[1], m.at[2]};
            const OvV3d scale = {m.scale, m.scale, m.scale};
            const OvV3d yAxis = {0, 1, 0};
            OvFrameScale(OvClumpGetFrame(clump), &scale, ovCOMBINEPOSTCONCAT);
            OvFrameRotate(OvClumpGetFrame(clump), &yAxis, m.turn, ovCOMBINEPOSTCONCAT);
            OvFrameTranslate(OvClumpGetFrame(clump), &at, ovCOMBINEPOSTCONCAT);
            OvWorldAddClump(world_, clump);
            if (m.character && !Pose(clump, m, error)) {
                return false;
            }
        }
        for (const LightSpec& s : o.lights) {
            OvLight* light = OvLightCreate(s.type);
            OvFrame* frame = light != nullptr ? OvFrameCreate() : nullptr;
            if (frame == nullptr) {
                if (light != nullptr) {
                    OvLightDestroy(light);
                }
                *error = "cannot make a light (" + HeldEngineErrorWords() + ")";
                return false;
            }
            const OvRGBAReal color = {s.rgb[0], s.rgb[1], s.rgb[2], 1.0f};
            OvLightSetColor(light, &color);
            OvMatrix m{};
            if (s.type == ovLIGHTDIRECTIONAL) {
                // The frame's "at" is the direction the light shines along.
                const double d = 3.14159265358979323846 / 180.0;
                const double cy = std::cos(s.values[0] * d), sy = std::sin(s.values[0] * d);
                const double cp = std::cos(s.values[1] * d), sp = std::sin(s.values[1] * d);
                m.at = {static_cast<float>(sy * cp), static_cast<float>(sp), static_cast<float>(cy * cp)};
                m.right = {static_cast<float>(cy), 0.0f, static_cast<float>(-sy)};
                m.up = {static_cast<float>(-sy * sp), static_cast<float>(cp), static_cast<float>(-cy * sp)};
            } else {
                m.right = {1, 0, 0};
                m.up = {0, 1, 0};
                m.at = {0, 0, 1};
                m.pos = {s.values[0], s.values[1], s.values[2]};
                light->radius = s.values[3];
            }
            OvMatrixUpdate(&m);
            OvFrameTransform(frame, &m, ovCOMBINEREPLACE);
            OvLightSetFrame(light, frame);
            lights_.push_back(light);
            OvWorldAddLight(world_, light);
        }
        const float* c = o.camera;
        camera_ = OvWorldTestCameraCreate(c[0], c[1], c[2], c[3], c[4], 60.0f, 200.0f);
        if (camera_ == nullptr) {
            *error = "cannot make the camera (" + HeldEngineErrorWords() + ")";
            return false;
        }
        const float half = std::tan(30.0f * 3.14159265358979f / 180.0f);
        const OvV2d window = {half, half * static_cast<float>(o.height) / static_cast<float>(o.width)};
        OvCameraSetViewWindow(camera_, &window);
        camera_->frameBuffer = engine_.FrameBuffer();
        camera_->zBuffer = engine_.ZBuffer();
        OvWorldAddCamera(world_, camera_);
        if (o.particles > 0) {
            OvClump* particles = MakeParticleClump(o.particles, o.camera);
            if (particles == nullptr) {
                *error = "cannot make the particle batch (" + HeldEngineErrorWords() + ")";
                return false;
            }
            clumps_.push_back(particles);
            OvWorldAddClump(world_, particles);
        }
        return true;
    }

    // Plays the character's animation on its hierarchy for its time and hands the posed hierarchy
    // to every skinned atomic of it: the skinned-atomic pipeline skins them when they are drawn.
    bool Pose(OvClump* clump, const Model& m, std::string* error) {
        OvFrame* holder = FindHierarchyFrame(OvClumpGetFrame(clump));
        if (holder == nullptr) {
            *error = m.file + ": no animation hierarchy in it";
            return false;
        }
        OvAnimHierarchy* h = OvFrameGetAnimHierarchy(holder);
        OvAnimHierarchyAttach(h);
        if (m.anim.empty()) {
            // The bind pose: each node's matrix is its frame's world matrix as the file places it.
            OvFrameSyncDirty();
            for (OvInt32 i = 0; i < h->numNodes; ++i) {
                if (h->pMatrixArray == nullptr || h->pNodeInfo[i].pFrame == nullptr) {
                    *error = m.file + ": a hierarchy node without a frame or matrix";
                    return false;
                }
                h->pMatrixArray[i] = *OvFrameGetWorldMatrix(h->pNodeInfo[i].pFrame);
            }
            return Skin(clump, h, m, error);
        }
        OvAnimation* animation = OvAnimationLoad(m.anim.c_str());
        if (animation == nullptr) {
            *error = m.anim + ": cannot read an animation (" + HeldEngineErrorWords() + ")";
            return false;
        }
        animations_.push_back(animation);
        if (!OvAnimHierarchySetCurrentAnim(h, animation)) {
            *error = m.anim + ": the animation does not fit the " + std::to_string(h->numNodes) + " nodes of " + m.file;
            return false;
        }
        OvAnimInterpolatorAddAnimTime(h->currentAnim, m.seconds);
        OvFrameSyncDirty(); // the hierarchy's matrices start from its frame's world matrix
        if (!OvAnimHierarchyUpdateMatrices(h)) {
            *error = m.file + ": the hierarchy's node flags do not nest";
            return false;
        }
        OvFrameSyncDirty();
        return Skin(clump, h, m, error);
    }

    // Hands the posed hierarchy to every skinned atomic of the character.
    static bool Skin(OvClump* clump, OvAnimHierarchy* h, const Model& m, std::string* error) {
        SkinContext context = {h, 0};
        OvClumpForAllAtomics(clump, SkinAtomic, &context);
        if (context.skinned == 0) {
            *error = m.file + ": no skinned geometry in it";
            return false;
        }
        return true;
    }

    struct SkinContext {
        OvAnimHierarchy* hierarchy;
        int skinned;
    };

    static OvAtomic* SkinAtomic(OvAtomic* atomic, void* data) {
        auto* context = static_cast<SkinContext*>(data);
        OvGeometry* g = atomic->geometry;
        if (g == nullptr || OvSkinGeometryGetSkin(g) == nullptr || OvAtomicGetFrame(atomic) == nullptr) {
            return atomic;
        }
        OvSkinAtomicSetHierarchy(atomic, context->hierarchy);
        atomic->pipeline = OvSkinGetAtomicPipeline();
        ++context->skinned;
        return atomic;
    }

    // Skinned atomics drawn by the generated shaders and on the processor.
    static OvAtomic* CountSkinned(OvAtomic* atomic, void* data) {
        auto* counts = static_cast<int*>(data);
        OvGeometry* g = atomic->geometry;
        if (g == nullptr || OvSkinGeometryGetSkin(g) == nullptr || OvSkinAtomicGetHierarchy(atomic) == nullptr) {
            return atomic;
        }
        const OvResourceEntry* entry = g->numMorphTargets == 1 ? g->repEntry : atomic->repEntry;
        if (entry != nullptr) {
            ++counts[OvSkinD3D9DataUsesVertexShader(OvD3D9InstancedDataFromEntry(const_cast<OvResourceEntry*>(entry)))
                         ? 0
                         : 1];
        }
        return atomic;
    }

    // One camera update; the driver's counters of it.
    OvD3D9FrameCounters Draw() {
        OvRGBA background = {40, 48, 64, 255};
        OvCameraClear(camera_, &background, ovCAMERACLEARIMAGE | ovCAMERACLEARZ);
        OvD3D9EndFrameCounters(); // the clear is not the frame's drawing
        OvD3D9FrameCounters counters{};
        if (OvCameraBeginUpdate(camera_) != nullptr) {
            OvWorldRender(world_);
            counters = OvD3D9FrameCount;
            OvCameraEndUpdate(camera_);
        }
        return counters;
    }

    bool Read(std::vector<std::uint32_t>* pixels) const { return engine_.ReadFrame(pixels); }

    // After a frame: posed skinned atomics drawn by the shaders ([0]) and on the processor ([1]).
    void SkinnedCounts(int counts[2]) const {
        counts[0] = counts[1] = 0;
        for (OvClump* clump : clumps_) {
            OvClumpForAllAtomics(clump, CountSkinned, counts);
        }
    }

    void Close() {
        if (camera_ != nullptr) {
            if (world_ != nullptr) {
                OvWorldRemoveCamera(world_, camera_);
            }
            camera_->frameBuffer = nullptr;
            camera_->zBuffer = nullptr;
            OvWorldTestCameraDestroy(camera_);
            camera_ = nullptr;
        }
        for (OvLight* light : lights_) {
            OvFrame* frame = OvLightGetFrame(light);
            if (world_ != nullptr) {
                OvWorldRemoveLight(world_, light);
            }
            OvLightDestroy(light);
            if (frame != nullptr) {
                OvFrameDestroy(frame);
            }
        }
        lights_.clear();
        for (OvAnimation* animation : animations_) {
            OvAnimationDestroy(animation);
        }
        animations_.clear();
        for (OvClump* clump : clumps_) {
            if (world_ != nullptr) {
                OvWorldRemoveClump(world_, clump);
            }
            OvClumpDestroy(clump);
        }
        clumps_.clear();
        if (world_ != nullptr) {
            OvWorldDestroy(world_);
            world_ = nullptr;
        }
        engine_.Close();
    }

private:
    ToolEngine engine_;
    OvWorld* world_ = nullptr;
    std::vector<OvClump*> clumps_;
    std::vector<OvLight*> lights_;
    std::vector<OvAnimation*> animations_;
    OvCamera* camera_ = nullptr;
};

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int status = Parse(argc, argv, &o); status >= 0) {
        return status;
    }
    setenv("PLATFORM_HEADLESS", "1", 1);
    Renderer renderer;
    std::string error;
    if (!renderer.Open(o.width, o.height, o.shaders, &error) || !renderer.Load(o, &error)) {
        std::fprintf(stderr, "world_render: %s\n", error.c_str());
        return 1;
    }
    const OvD3D9FrameCounters counters = renderer.Draw();
    std::vector<std::uint32_t> frame;
    if (!renderer.Read(&frame)) {
        std::fprintf(stderr, "world_render: cannot read the frame back\n");
        return 1;
    }
    if (!PlatformWritePng(o.out.c_str(), frame.data(), static_cast<UINT>(o.width), static_cast<UINT>(o.height),
                          static_cast<UINT>(o.width) * 4, &error)) {
        std::fprintf(stderr, "world_render: %s: %s\n", o.out.c_str(), error.c_str());
        return 1;
    }
    std::printf("%dx%d, draw calls %u, states sent %u, vertices %u, checksum %016" PRIx64 "\n", o.width, o.height,
                counters.drawCalls, counters.statesSent, counters.vertices, FrameChecksum(frame));
    int skinned[2];
    renderer.SkinnedCounts(skinned);
    if (skinned[0] + skinned[1] > 0) {
        std::printf("skinned atomics: %d by vertex shaders, %d on the processor\n", skinned[0], skinned[1]);
    }
    return 0;
}
