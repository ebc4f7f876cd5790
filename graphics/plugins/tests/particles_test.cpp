// Particle batches on the stand-in device: flag normalisation, interleaved and separate stream
// layouts, lock marks reaching the update callback, the corner, texture-coordinate, colour and
// normal writers against their formulas, the split of a large batch into draws of 65,532 vertices
// with their base vertices, point sprites by caps, and a seeded sweep over flag combinations.

#include "graphics/plugins/particles.h"

#include "graphics/core/d3d9/device.h"
#include "graphics/core/d3d9/render_state.h"
#include "graphics/core/d3d9/tests/d3d9_fixture.h"
#include "graphics/core/engine.h"
#include "graphics/core/camera.h"
#include "graphics/core/raster.h"
#include "graphics/world/clump.h"
#include "graphics/world/testkit/world_camera.h"
#include "graphics/world/world_plugin.h"
#include "platform/d3d9_control.h"
#include "platform/d3d9_device.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

class ParticleTest : public D3d9DriverTest {
protected:
    void SetUp() override {
        D3d9DriverTest::SetUp();
        ASSERT_TRUE(OvWorldPluginAttach());
        ASSERT_TRUE(OvParticleBatchPluginAttach());
    }
    // The stand-in's caps with or without point sprites (and per-vertex sizes).
    static void PointSpriteCaps(float maxSize, bool psize) {
        D3d9Adapter a = D3d9DefaultAdapter();
        a.caps.MaxPointSize = maxSize;
        if (psize) {
            a.caps.FVFCaps |= D3DFVFCAPS_PSIZE;
        }
        D3d9SetAdapters({a});
    }
};

struct Batch {
    OvAtomic* atomic;
    explicit Batch(OvInt32 n, OvUInt32 flags, OvUInt32 mode = 0) : atomic(OvParticleBatchCreate(n, flags, mode)) {}
    ~Batch() {
        if (atomic != nullptr) {
            OvParticleBatchDestroy(atomic);
        }
    }
    OvParticleBatch* operator->() const { return OvParticleBatchGet(atomic); }
    // Element i of a stream through a lock.
    float* At(OvUInt32 flag, OvInt32 i) const {
        OvParticleStream s;
        EXPECT_EQ(OvParticleBatchLock(atomic, &s, flag, 0), 1) << flag;
        return reinterpret_cast<float*>(static_cast<OvUInt8*>(s.data) + static_cast<std::size_t>(i) * s.stride);
    }
};

struct Vertex {
    float x, y, z;
};

bool Near(const OvV3d& a, const Vertex& b) {
    return std::fabs(a.x - b.x) < 1e-4f && std::fabs(a.y - b.y) < 1e-4f && std::fabs(a.z - b.z) < 1e-4f;
}

OvV3d Add(OvV3d p, const OvV3d& a, float s) { return {p.x + a.x * s, p.y + a.y * s, p.z + a.z * s}; }

// The four corners of a quad by their definition: p -+ R w/2 -+ U h/2 in the order
// (-,-), (+,-), (+,+), (-,+).
void Reference(OvV3d p, OvV3d r, OvV3d u, float w, float h, OvV3d out[4]) {
    const float sr[4] = {-1, 1, 1, -1}, su[4] = {-1, -1, 1, 1};
    for (int k = 0; k < 4; ++k) {
        out[k] = Add(Add(p, r, sr[k] * w / 2), u, su[k] * h / 2);
    }
}

std::vector<OvUInt8> ExpandAll(const Batch& b, const OvParticleAxes& axes, OvUInt32* stride) {
    OvUInt32 fvf = 0;
    OvParticleBatchGetVertexFormat(b.atomic, &fvf, stride);
    const OvInt32 n = b->maxParticles;
    const std::size_t per = b->pointSprites ? 1 : 4;
    std::vector<OvUInt8> out(n * per * *stride + 64, 0xCD);
    EXPECT_EQ(OvParticleBatchExpand(b.atomic, &axes, 0, n, out.data()), static_cast<OvInt32>(n * per));
    for (std::size_t k = n * per * *stride; k < out.size(); ++k) {
        EXPECT_EQ(out[k], 0xCD) << "written past the vertices";
    }
    return out;
}

// How often the log holds the line.
int Logged(const std::string& line) {
    return static_cast<int>(std::count(D3d9Log().begin(), D3d9Log().end(), line));
}

// The draw calls logged so far.
std::vector<std::string> Draws() {
    std::vector<std::string> draws;
    for (const std::string& line : D3d9Log()) {
        if (line.rfind("Draw", 0) == 0) {
            draws.push_back(line);
        }
    }
    return draws;
}

Vertex VertexAt(const std::vector<OvUInt8>& v, OvUInt32 stride, std::size_t i, OvUInt32 offset = 0) {
    Vertex out;
    std::memcpy(&out, v.data() + i * stride + offset, sizeof out);
    return out;
}

} // namespace

TEST_F(ParticleTest, FlagsAreNormalisedAndStreamsLaidOutInSlotOrder) {
    ASSERT_TRUE(Up());
    {
        Batch b(10, 0);
        ASSERT_NE(b.atomic, nullptr);
        EXPECT_EQ(b->flags, ovPARTICLEPOSITION | ovPARTICLESEPARATE);
        EXPECT_EQ(b->numActive, 0);
    }
    {
        // The matrix carries position, size and rotation; per-particle streams drop their twins.
        Batch b(10, ovPARTICLEPOSITION | ovPARTICLESIZE | ovPARTICLEROTATION | ovPARTICLEMATRIX |
                        ovPARTICLECONSTMATRIX | ovPARTICLETEXRECT | ovPARTICLECONSTTEXRECT | ovPARTICLECONSTTEXCORNERS);
        EXPECT_EQ(b->flags, ovPARTICLEMATRIX | ovPARTICLETEXRECT | ovPARTICLECONSTTEXCORNERS | ovPARTICLESEPARATE);
        OvParticleStream s{reinterpret_cast<void*>(1), 7};
        EXPECT_EQ(OvParticleBatchLock(b.atomic, &s, ovPARTICLEPOSITION, 0), 0);
        EXPECT_EQ(s.data, nullptr);
        EXPECT_EQ(s.stride, 0u);
    }
    // Every stream present: interleaved offsets follow the slot order with one stride; separate
    // arrays follow each other in that order, each with its element size.
    const OvUInt32 all = ovPARTICLEPOSITION | ovPARTICLECOLOR | ovPARTICLESIZE | ovPARTICLENORMAL | ovPARTICLEROTATION |
                         ovPARTICLECORNERCOLORS | ovPARTICLETEXRECT | ovPARTICLETEXCORNERS;
    const OvUInt32 order[] = {0x1, 0x10, 0x4, 0x2, 0x40, 0x20, 0x80, 0x100};
    const OvUInt32 sizes[] = {12, 12, 8, 4, 16, 4, 16, 32};
    for (const OvUInt32 layout : {ovPARTICLEINTERLEAVED, ovPARTICLESEPARATE}) {
        const OvInt32 n = 7;
        Batch b(n, all | layout);
        ASSERT_NE(b.atomic, nullptr);
        EXPECT_EQ(b->numStreams, 8);
        OvParticleStream first;
        ASSERT_EQ(OvParticleBatchLock(b.atomic, &first, 0x1, 0), 1);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first.data) % 16, 0u);
        std::size_t offset = 0;
        for (int k = 0; k < 8; ++k) {
            OvParticleStream s;
            ASSERT_EQ(OvParticleBatchLock(b.atomic, &s, order[k], 0), 1);
            EXPECT_EQ(static_cast<OvUInt8*>(s.data) - static_cast<OvUInt8*>(first.data),
                      static_cast<std::ptrdiff_t>(offset))
                << order[k];
            EXPECT_EQ(s.stride, layout == ovPARTICLEINTERLEAVED ? 104u : sizes[k]);
            offset += layout == ovPARTICLEINTERLEAVED ? sizes[k] : sizes[k] * n;
        }
        // The last particle's last element ends inside the block: write all of them.
        for (int k = 0; k < 8; ++k) {
            std::memset(b.At(order[k], n - 1), 0x7F, sizes[k]);
        }
    }
    EXPECT_EQ(OvParticleBatchCreate(0, 0, 0), nullptr);
    EXPECT_EQ(OvParticleBatchCreate(ovPARTICLEMAXPARTICLES + 1, 0, 0), nullptr);
}

namespace {
OvUInt32 gPending = 0;
int gUpdates = 0;
void CountUpdate(OvParticleBatch*, OvParticleStream*, OvInt32, OvUInt32 pending) {
    gPending = pending;
    ++gUpdates;
}
OvBool Veto(OvAtomic*, OvParticleBatch*) { return FALSE; }
} // namespace

// Lock marks reach the update callback; an empty batch draws nothing; a batch with vertex alpha
// draws with its own blend functions and gives the engine's back.
TEST_F(ParticleTest, LockMarksReachTheUpdateAndBlendsAreRestored) {
    ASSERT_TRUE(Up());
    OvD3D9RenderStateVertexAlphaEnable(FALSE);
    OvD3D9RenderStateSrcBlend(D3DBLEND_SRCALPHA);
    OvD3D9RenderStateDestBlend(D3DBLEND_INVSRCALPHA);
    Batch b(4, ovPARTICLECOLOR);
    EXPECT_EQ(b->srcBlend, static_cast<OvUInt32>(D3DBLEND_SRCALPHA));
    EXPECT_FALSE(b->vertexAlpha);
    OvParticleBatchSetUpdateCallBack(b.atomic, CountUpdate);
    OvParticleStream s;
    OvParticleBatchLock(b.atomic, &s, ovPARTICLECOLOR, ovPARTICLELOCKCHANGED);
    OvParticleBatchLock(b.atomic, &s, ovPARTICLEPOSITION, 0);
    EXPECT_EQ(b->pendingFlags, 0u);
    OvParticleBatchUnlock(b.atomic);
    EXPECT_EQ(b->pendingFlags, ovPARTICLECOLOR | ovPARTICLELOCKCHANGED);
    EXPECT_EQ(b->changedFlags, 0u);
    OvParticleBatchSetBlend(b.atomic, D3DBLEND_ONE, D3DBLEND_ONE, TRUE);

    D3d9LogEnable(true);
    IDirect3DDevice9* device = OvD3D9GetDevice();
    device->BeginScene();
    gUpdates = 0;
    b.atomic->renderCallBack(b.atomic); // no active particles: no callback, no draw
    EXPECT_EQ(gUpdates, 0);
    EXPECT_EQ(D3d9LogCount("DrawIndexedPrimitive"), 0);
    OvParticleBatchSetNumActive(b.atomic, 99);
    EXPECT_EQ(b->numActive, 4);
    ASSERT_EQ(b.atomic->renderCallBack(b.atomic), b.atomic);
    EXPECT_EQ(gUpdates, 1);
    EXPECT_EQ(gPending, ovPARTICLECOLOR | ovPARTICLELOCKCHANGED);
    EXPECT_EQ(b->pendingFlags, 0u);
    EXPECT_EQ(D3d9LogCount("DrawIndexedPrimitive"), 1);
    EXPECT_EQ(Logged("SetRenderState(" + std::to_string(D3DRS_DESTBLEND) + ", " + std::to_string(D3DBLEND_ONE) + ")"),
              1);
    OvParticleBatchSetCustomCallBack(b.atomic, Veto);
    b.atomic->renderCallBack(b.atomic);
    EXPECT_EQ(gUpdates, 2);
    EXPECT_EQ(gPending, 0u);
    EXPECT_EQ(D3d9LogCount("DrawIndexedPrimitive"), 1);
    device->EndScene();
    // Afterwards the engine's states are as they were.
    EXPECT_FALSE(OvD3D9RenderStateIsVertexAlphaEnable());
    OvUInt32 src = 0, dest = 0;
    OvD3D9RenderStateGet(ovRENDERSTATESRCBLEND, &src);
    OvD3D9RenderStateGet(ovRENDERSTATEDESTBLEND, &dest);
    EXPECT_EQ(src, static_cast<OvUInt32>(D3DBLEND_SRCALPHA));
    EXPECT_EQ(dest, static_cast<OvUInt32>(D3DBLEND_INVSRCALPHA));
}

TEST_F(ParticleTest, CornerWritersFollowTheirFormulas) {
    ASSERT_TRUE(Up());
    std::mt19937 rng(38);
    std::uniform_real_distribution<float> d(-2.0f, 2.0f);
    const OvParticleAxes axes = {{0.6f, 0.0f, -0.8f}, {0.0f, 1.0f, 0.0f}};
    auto turn = [](const OvParticleAxes& a, float angle, OvV3d* r, OvV3d* u) {
        const float c = std::cos(angle), s = std::sin(angle);
        *r = Add(Add({0, 0, 0}, a.right, c), a.up, -s);
        *u = Add(Add({0, 0, 0}, a.up, c), a.right, s);
    };
    const OvUInt32 variants[] = {0,
                                 ovPARTICLESIZE,
                                 ovPARTICLEROTATION,
                                 ovPARTICLEROTATION | ovPARTICLESIZE,
                                 ovPARTICLEMATRIX,
                                 ovPARTICLECONSTMATRIX,
                                 ovPARTICLECONSTROTATION,
                                 ovPARTICLECONSTMATRIX | ovPARTICLECONSTROTATION | ovPARTICLESIZE};
    for (const OvUInt32 layout : {ovPARTICLEINTERLEAVED, ovPARTICLESEPARATE}) {
        for (const OvUInt32 pivot : {0u, static_cast<OvUInt32>(ovPARTICLEPIVOT)}) {
            for (const OvUInt32 v : variants) {
                const OvInt32 n = 5;
                Batch b(n, v | pivot | layout);
                ASSERT_NE(b.atomic, nullptr);
                OvParticleBatchSetSize(b.atomic, 0.75f, 0.25f);
                OvParticleBatchSetPivot(b.atomic, 0.3f, -0.2f);
                OvParticleBatchSetRotation(b.atomic, 0.4f);
                OvMatrix constant{};
                constant.right = {0, 0, 2};
                constant.up = {0, 1.5f, 0};
                OvParticleBatchSetMatrix(b.atomic, &constant);
                std::vector<OvMatrix> matrices(n);
                for (OvInt32 i = 0; i < n; ++i) {
                    if ((v & ovPARTICLEMATRIX) != 0) {
                        OvMatrix& m = matrices[i];
                        m = {};
                        m.right = {d(rng), d(rng), d(rng)};
                        m.up = {d(rng), d(rng), d(rng)};
                        m.pos = {d(rng), d(rng), d(rng)};
                        std::memcpy(b.At(ovPARTICLEMATRIX, i), &m, sizeof m);
                        continue;
                    }
                    float* p = b.At(ovPARTICLEPOSITION, i);
                    p[0] = d(rng), p[1] = d(rng), p[2] = d(rng);
                    if ((v & ovPARTICLESIZE) != 0) {
                        float* s = b.At(ovPARTICLESIZE, i);
                        s[0] = d(rng) + 3.0f, s[1] = d(rng) + 3.0f;
                    }
                    if ((v & ovPARTICLEROTATION) != 0) {
                        *b.At(ovPARTICLEROTATION, i) = d(rng);
                    }
                }
                OvUInt32 stride = 0;
                const std::vector<OvUInt8> out = ExpandAll(b, axes, &stride);
                for (OvInt32 i = 0; i < n; ++i) {
                    OvParticleAxes a = axes;
                    if ((v & ovPARTICLECONSTMATRIX) != 0) {
                        a = {constant.right, constant.up};
                    }
                    if ((v & ovPARTICLECONSTROTATION) != 0) {
                        OvParticleAxes t;
                        turn(a, 0.4f, &t.right, &t.up);
                        a = t;
                    }
                    OvV3d p, r = a.right, u = a.up;
                    float w = 0.75f, h = pivot != 0 ? 0.75f : 0.25f;
                    if ((v & ovPARTICLEMATRIX) != 0) {
                        p = matrices[i].pos, r = matrices[i].right, u = matrices[i].up, h = 0.25f;
                    } else {
                        const float* q = b.At(ovPARTICLEPOSITION, i);
                        p = {q[0], q[1], q[2]};
                    }
                    if ((v & ovPARTICLEROTATION) != 0) {
                        turn(a, *b.At(ovPARTICLEROTATION, i), &r, &u);
                        h = 0.25f;
                    }
                    if ((v & ovPARTICLESIZE) != 0) {
                        w = b.At(ovPARTICLESIZE, i)[0], h = b.At(ovPARTICLESIZE, i)[1];
                    }
                    if (pivot != 0) {
                        p = Add(Add(p, r, 0.3f), u, -0.2f);
                    }
                    OvV3d expected[4];
                    Reference(p, r, u, w, h, expected);
                    for (int k = 0; k < 4; ++k) {
                        EXPECT_TRUE(Near(expected[k], VertexAt(out, stride, 4 * i + k)))
                            << "flags " << std::hex << (v | pivot | layout) << " particle " << i << " corner " << k;
                    }
                }
            }
        }
    }
}

TEST_F(ParticleTest, TextureColourAndNormalWritersFollowTheirFormulas) {
    ASSERT_TRUE(Up());
    const OvParticleAxes axes = {{1, 0, 0}, {0, 1, 0}};
    auto uvOf = [](const std::vector<OvUInt8>& v, OvUInt32 stride, std::size_t i) {
        OvV2d uv;
        std::memcpy(&uv, v.data() + i * stride + stride - 8, 8);
        return uv;
    };
    auto argbOf = [](const std::vector<OvUInt8>& v, OvUInt32 stride, std::size_t i, OvUInt32 offset) {
        OvUInt32 c;
        std::memcpy(&c, v.data() + i * stride + offset, 4);
        return c;
    };
    // Rectangles give (u0, v1), (u1, v1), (u1, v0), (u0, v0); no coordinates give the whole texture.
    {
        Batch b(2, ovPARTICLETEXRECT | ovPARTICLECOLOR | ovPARTICLENORMAL | ovPARTICLEINTERLEAVED);
        const float rect[4] = {0.1f, 0.2f, 0.6f, 0.9f};
        std::memcpy(b.At(ovPARTICLETEXRECT, 1), rect, sizeof rect);
        const OvUInt8 rgba[4] = {0x11, 0x22, 0x33, 0x44};
        std::memcpy(b.At(ovPARTICLECOLOR, 1), rgba, 4);
        const float normal[3] = {0.0f, 0.6f, 0.8f};
        std::memcpy(b.At(ovPARTICLENORMAL, 1), normal, sizeof normal);
        OvUInt32 fvf = 0, stride = 0;
        OvParticleBatchGetVertexFormat(b.atomic, &fvf, &stride);
        EXPECT_EQ(fvf, D3DFVF_XYZ | D3DFVF_NORMAL | D3DFVF_DIFFUSE | D3DFVF_TEX1);
        ASSERT_EQ(stride, 36u);
        const std::vector<OvUInt8> out = ExpandAll(b, axes, &stride);
        const float expect[4][2] = {{0.1f, 0.9f}, {0.6f, 0.9f}, {0.6f, 0.2f}, {0.1f, 0.2f}};
        for (int k = 0; k < 4; ++k) {
            const OvV2d uv = uvOf(out, stride, 4 + k);
            EXPECT_EQ(uv.x, expect[k][0]);
            EXPECT_EQ(uv.y, expect[k][1]);
            EXPECT_EQ(argbOf(out, stride, 4 + k, 24), 0x44112233u);
            const Vertex n = VertexAt(out, stride, 4 + k, 12);
            EXPECT_EQ(n.y, 0.6f);
            EXPECT_EQ(n.z, 0.8f);
        }
    }
    {
        Batch b(1, ovPARTICLECORNERCOLORS);
        OvUInt32 stride = 0;
        const OvUInt8 rgba[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        std::memcpy(b.At(ovPARTICLECORNERCOLORS, 0), rgba, 16);
        const std::vector<OvUInt8> out = ExpandAll(b, axes, &stride);
        ASSERT_EQ(stride, 24u);
        const OvV2d full[4] = {{0, 1}, {1, 1}, {1, 0}, {0, 0}};
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(argbOf(out, stride, k, 12), 0x04010203u + 0x04040404u * k);
            EXPECT_EQ(uvOf(out, stride, k).x, full[k].x);
            EXPECT_EQ(uvOf(out, stride, k).y, full[k].y);
        }
    }
    {
        Batch b(1, ovPARTICLECONSTCORNERCOLORS | ovPARTICLECONSTTEXCORNERS);
        const OvRGBA colors[4] = {{255, 0, 0, 255}, {0, 255, 0, 128}, {0, 0, 255, 0}, {1, 2, 3, 4}};
        const OvV2d corners[4] = {{0.5f, 0.25f}, {0.75f, 0.5f}, {1.0f, 0.125f}, {0.0f, 0.0f}};
        OvParticleBatchSetCornerColors(b.atomic, colors);
        OvParticleBatchSetTexCorners(b.atomic, corners);
        OvUInt32 stride = 0;
        const std::vector<OvUInt8> out = ExpandAll(b, axes, &stride);
        const OvUInt32 argb[4] = {0xFFFF0000u, 0x8000FF00u, 0x000000FFu, 0x04010203u};
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(argbOf(out, stride, k, 12), argb[k]);
            EXPECT_EQ(uvOf(out, stride, k).x, corners[k].x);
            EXPECT_EQ(uvOf(out, stride, k).y, corners[k].y);
        }
    }
}

TEST_F(ParticleTest, LargeBatchesDrawInRunsOf65532VerticesFromTheirBaseVertex) {
    ASSERT_TRUE(Up());
    const OvInt32 n = 20000;
    Batch b(n, ovPARTICLECOLOR);
    ASSERT_NE(b.atomic, nullptr);
    EXPECT_EQ(OvParticleIndexBufferQuads(), 16383);
    for (OvInt32 i = 0; i < n; ++i) {
        float* p = b.At(ovPARTICLEPOSITION, i);
        p[0] = static_cast<float>(i), p[1] = 0.0f, p[2] = 5.0f;
    }
    OvParticleBatchSetNumActive(b.atomic, n);
    IDirect3DDevice9* device = OvD3D9GetDevice();
    D3d9LogEnable(true);
    device->BeginScene();
    ASSERT_EQ(b.atomic->renderCallBack(b.atomic), b.atomic);
    device->EndScene();
    const std::vector<std::string> draws = Draws();
    ASSERT_EQ(draws.size(), 2u);
    // The shared dynamic buffer starts the batch at some base; the second run starts 65,532 later.
    unsigned base = 0, minIndex = 0, count = 0, start = 0, prims = 0, type = 0;
    ASSERT_EQ(std::sscanf(draws[0].c_str(), "DrawIndexedPrimitive(%u, %u, %u, %u, %u, %u)", &type, &base, &minIndex,
                          &count, &start, &prims),
              6);
    EXPECT_EQ(count, 65532u);
    EXPECT_EQ(prims, 32766u);
    EXPECT_EQ(draws[1], "DrawIndexedPrimitive(4, " + std::to_string(base + 65532) + ", 0, 14468, 0, 7234)");
    // The index buffer's last quad addresses vertices 65,528 to 65,531; vertex base + 65,532 is
    // corner 0 of particle 16,383.
    const d3d9::State& state = dynamic_cast<d3d9::Device*>(device)->state;
    ASSERT_NE(state.indices, nullptr);
    const OvUInt16 last[6] = {65528, 65529, 65530, 65528, 65530, 65531};
    ASSERT_GE(state.indices->store.bytes.size(), 6u * 16383 * 2);
    EXPECT_EQ(std::memcmp(state.indices->store.bytes.data() + 12 * 16382, last, sizeof last), 0);
    const d3d9::Stream& stream = state.streams[0];
    ASSERT_NE(stream.buffer, nullptr);
    ASSERT_EQ(stream.stride, 24u); // position, colour, texture coordinates
    const std::size_t at = stream.offset + static_cast<std::size_t>(base + 65532) * stream.stride;
    ASSERT_LE(at + 12, stream.buffer->store.bytes.size());
    Vertex v;
    std::memcpy(&v, stream.buffer->store.bytes.data() + at, sizeof v);
    EXPECT_NEAR(v.x, 16383.0f - 0.5f, 1e-3f); // the camera-less axes: R = +x, w = 1
    EXPECT_NEAR(v.y, -0.5f, 1e-6f);
}

TEST_F(ParticleTest, PointSpritesOnlyWhereTheDeviceAndTheFlagsAllowThem) {
    EXPECT_FALSE(OvParticleBatchCanUsePointSprites(ovPARTICLECOLOR, ovPARTICLEMODEPOINTSPRITES));
    PointSpriteCaps(64.0f, false);
    ASSERT_TRUE(Up());
    EXPECT_TRUE(OvParticleBatchCanUsePointSprites(ovPARTICLECOLOR | ovPARTICLECONSTTEXRECT | ovPARTICLENORMAL,
                                                  ovPARTICLEMODEPOINTSPRITES));
    EXPECT_FALSE(OvParticleBatchCanUsePointSprites(ovPARTICLECOLOR, 0));
    EXPECT_FALSE(OvParticleBatchCanUsePointSprites(ovPARTICLESIZE, ovPARTICLEMODEPOINTSPRITES)); // no PSIZE cap
    EXPECT_FALSE(OvParticleBatchCanUsePointSprites(ovPARTICLEROTATION, ovPARTICLEMODEPOINTSPRITES));
    EXPECT_FALSE(OvParticleBatchCanUsePointSprites(ovPARTICLETEXRECT, ovPARTICLEMODEPOINTSPRITES));

    const OvInt32 n = 70000;
    Batch b(n, ovPARTICLECOLOR, ovPARTICLEMODEPOINTSPRITES);
    ASSERT_NE(b.atomic, nullptr);
    ASSERT_TRUE(b->pointSprites);
    EXPECT_EQ(b.atomic->geometry->flags & ovGEOMETRYTEXTURED, 0u);
    OvUInt32 fvf = 0, stride = 0;
    OvParticleBatchGetVertexFormat(b.atomic, &fvf, &stride);
    EXPECT_EQ(fvf, D3DFVF_XYZ | D3DFVF_DIFFUSE);
    OvParticleBatchSetSize(b.atomic, 0.001f, 0.001f); // the draws matter here, not the pixels
    OvParticleBatchSetNumActive(b.atomic, n);
    D3d9LogEnable(true);
    OvD3D9GetDevice()->BeginScene();
    b.atomic->renderCallBack(b.atomic);
    OvD3D9GetDevice()->EndScene();
    const std::vector<std::string> draws = Draws();
    ASSERT_EQ(draws.size(), 2u);
    unsigned type = 0, base = 0, count = 0;
    ASSERT_EQ(std::sscanf(draws[0].c_str(), "DrawPrimitive(%u, %u, %u)", &type, &base, &count), 3);
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(count, 65535u);
    EXPECT_EQ(draws[1], "DrawPrimitive(1, " + std::to_string(base + 65535) + ", 4465)");
    EXPECT_EQ(Logged("SetRenderState(156, 1)"), 1);
}

TEST_F(ParticleTest, EveryFlagCombinationInstancesAndDrawsWithinItsBuffers) {
    PointSpriteCaps(32.0f, true);
    ASSERT_TRUE(Up());
    const OvUInt32 bits[] = {0x1,    0x2,     0x4,     0x8,     0x10,     0x20,      0x40,       0x80,      0x100,
                             0x8000, 0x20000, 0x40000, 0x80000, 0x100000, 0x1000000, 0x10000000, 0x20000000};
    std::mt19937 rng(0x12F);
    IDirect3DDevice9* device = OvD3D9GetDevice();
    device->BeginScene();
    const OvParticleAxes axes = {{0.8f, 0.0f, 0.6f}, {0.0f, 1.0f, 0.0f}};
    for (int round = 0; round < 300; ++round) {
        OvUInt32 flags = 0;
        for (const OvUInt32 bit : bits) {
            flags |= (rng() & 3) == 0 ? bit : 0;
        }
        const OvUInt32 mode = (rng() & 1) != 0 ? ovPARTICLEMODEPOINTSPRITES : 0;
        const OvInt32 n = 1 + static_cast<OvInt32>(rng() % 300);
        Batch b(n, flags, mode);
        ASSERT_NE(b.atomic, nullptr) << std::hex << flags;
        // Random bytes in every stream, finite floats: fill each element through its lock.
        for (const OvUInt32 flag : ovPARTICLESLOTFLAGS) {
            OvParticleStream s;
            if (OvParticleBatchLock(b.atomic, &s, flag, ovPARTICLELOCKCHANGED) == 0) {
                continue;
            }
            OvUInt32 size = 0;
            for (int k = 0; k < ovPARTICLENUMSTREAMS; ++k) {
                size = ovPARTICLESLOTFLAGS[k] == flag ? ovPARTICLESLOTSIZES[k] : size;
            }
            for (OvInt32 i = 0; i < n; ++i) {
                auto* e =
                    reinterpret_cast<float*>(static_cast<OvUInt8*>(s.data) + static_cast<std::size_t>(i) * s.stride);
                for (OvUInt32 w = 0; w < size / 4; ++w) {
                    e[w] = static_cast<float>(rng() % 2001) / 1000.0f - 1.0f;
                }
            }
        }
        OvParticleBatchUnlock(b.atomic);
        OvUInt32 stride = 0;
        ExpandAll(b, axes, &stride);
        OvParticleBatchSetNumActive(b.atomic, static_cast<OvInt32>(rng() % (n + 1)));
        D3d9LogClear();
        D3d9LogEnable(true);
        ASSERT_EQ(b.atomic->renderCallBack(b.atomic), b.atomic);
        D3d9LogEnable(false);
        const int draws = D3d9LogCount("DrawIndexedPrimitive") + D3d9LogCount("DrawPrimitive");
        EXPECT_EQ(draws, b->numActive > 0 ? 1 : 0) << std::hex << flags;
    }
    device->EndScene();
}

// One white particle half a metre wide, four metres in front of a camera with a 60-degree view on
// a 128 x 128 frame: as a quad it covers about 13.9 pixels each way (it faces the camera and is
// not culled); as a point sprite (128 x 0.5 x sqrt(1 / (0.5 x 4^2)) pixels) about 22.6.
TEST_F(ParticleTest, QuadsAndPointSpritesReachTheFrame) {
    PointSpriteCaps(64.0f, false);
    ASSERT_TRUE(Up());
    OvCamera* camera = OvWorldTestCameraCreate(0, 0, 0, 0, 0, 60.0f, 100.0f);
    OvRaster* frame = OvRasterCreate(128, 128, 0, ovRASTERTYPECAMERA);
    OvRaster* depth = OvRasterCreate(128, 128, 0, ovRASTERTYPEZBUFFER);
    ASSERT_NE(camera, nullptr);
    ASSERT_NE(frame, nullptr);
    ASSERT_NE(depth, nullptr);
    camera->frameBuffer = frame;
    camera->zBuffer = depth;
    auto litPixels = [&](OvUInt32 mode) {
        Batch b(1, ovPARTICLECOLOR, mode);
        EXPECT_EQ(b->pointSprites, mode != 0 ? TRUE : FALSE);
        const float p[3] = {0.0f, 0.0f, 4.0f};
        std::memcpy(b.At(ovPARTICLEPOSITION, 0), p, sizeof p);
        const OvUInt8 white[4] = {255, 255, 255, 255};
        std::memcpy(b.At(ovPARTICLECOLOR, 0), white, 4);
        OvParticleBatchSetSize(b.atomic, 0.5f, 0.5f);
        OvParticleBatchSetNumActive(b.atomic, 1);
        OvRGBA black = {0, 0, 0, 255};
        OvCameraClear(camera, &black, ovCAMERACLEARIMAGE | ovCAMERACLEARZ);
        EXPECT_NE(OvCameraBeginUpdate(camera), nullptr);
        EXPECT_EQ(b.atomic->renderCallBack(b.atomic), b.atomic);
        OvCameraEndUpdate(camera);
        int lit = 0;
        for (const OvUInt32 v : LevelPixels(frame)) {
            lit += (v & 0xFFFFFF) == 0xFFFFFF;
        }
        return lit;
    };
    const int quad = litPixels(0);
    EXPECT_GE(quad, 13 * 13);
    EXPECT_LE(quad, 15 * 15);
    const int sprite = litPixels(ovPARTICLEMODEPOINTSPRITES);
    EXPECT_GE(sprite, 22 * 22);
    EXPECT_LE(sprite, 24 * 24);
    camera->frameBuffer = nullptr;
    camera->zBuffer = nullptr;
    OvWorldTestCameraDestroy(camera);
    OvRasterDestroy(frame);
    OvRasterDestroy(depth);
}
