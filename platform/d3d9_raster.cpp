// The rasteriser behind the Direct3D 9 stand-in's draws: vertex fetch from declarations, FVFs and
// user memory, fixed-function transform and lighting, clipping in homogeneous space, the viewport,
// culling, triangle, line and point rasterisation with pixel centres on integer coordinates and the
// top-left fill rule, perspective-correct interpolation, texture sampling, the stage combiner,
// alpha test, the depth buffer, blending and the colour write mask.
//
// Positions are snapped to 1/256 of a pixel and edges are tested in 64-bit integers, so two
// triangles that share an edge cover each pixel along it exactly once. Spans are found per row
// from the three edge functions, stepped exactly from row to row. Inside a span the general path
// runs in float through every stage, one pixel at a time; the frequent draws (one stage selecting or
// modulating the diffuse colour, its texture and the factor, into a 32-bit target with 24-bit depth)
// take a path that shades four pixels at a time on SSE2 lanes and works on packed bytes, with the
// same results as shading them one by one.
//
// This file holds the draw as a whole: clipping in homogeneous space, the viewport, culling,
// triangles, lines, points and sprites, the vertex cache, and the threads: a large draw's vertices
// and its triangles' clipping and culling in runs, then its pixels in bands. The vertex step is in d3d9_raster_vertex.cpp, spans and pixels in
// d3d9_raster_pixels.cpp, the pieces they share in d3d9_raster_internal.h.

#include "platform/d3d9_raster_internal.h"
#include "platform/controls.h"
#include "platform/d3d9_control.h"
#include "platform/d3d9_device.h"
#include "platform/d3d9_shader.h"
#include "platform/worker_pool.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <emmintrin.h>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace d3d9 {
namespace raster_detail {

namespace {

float FloatOf(DWORD bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// Clipping -------------------------------------------------------------------------------------------

struct Clipper {
    float guard; // |x|, |y| <= guard * w keeps a vertex within the integer range

    // The w > 0 plane lies a little inside w = 0: its distance is w - kWScale |w| - kWBias (one
    // value for every path that tests it).
    static constexpr float kWScale = 1e-6f, kWBias = 1e-30f;
    // Signed distances to the planes: inside when >= 0.
    static float Distance(int plane, const Vec4& c, float g) {
        switch (plane) {
        case 0:
            return c.z; // near
        case 1:
            return c.w - c.z; // far
        case 2:
            return g * c.w + c.x; // left
        case 3:
            return g * c.w - c.x; // right
        case 4:
            return g * c.w + c.y; // bottom
        case 5:
            return g * c.w - c.y; // top
        default:
            return c.w - kWScale * std::fabs(c.w) - kWBias; // w > 0
        }
    }
};

inline ClipVertex Lerp(const ClipVertex& a, const ClipVertex& b, float t, int stages) {
    ClipVertex r;
    auto l4 = [t](Vec4 p, Vec4 q) {
        return Vec4{p.x + (q.x - p.x) * t, p.y + (q.y - p.y) * t, p.z + (q.z - p.z) * t, p.w + (q.w - p.w) * t};
    };
    r.clip = l4(a.clip, b.clip);
    r.color[0] = l4(a.color[0], b.color[0]);
    r.color[1] = l4(a.color[1], b.color[1]);
    r.fog = a.fog + (b.fog - a.fog) * t;
    for (int s = 0; s < stages; ++s)
        for (int k = 0; k < 3; ++k)
            r.tex[s][k] = a.tex[s][k] + (b.tex[s][k] - a.tex[s][k]) * t;
    return r;
}

// Clips a polygon in place against every plane; returns the vertex count left.
int ClipPolygon(std::vector<ClipVertex>& poly, std::vector<ClipVertex>& scratch, float guard, int stages) {
    for (int plane = 0; plane < 7; ++plane) {
        bool allIn = true;
        for (const ClipVertex& v : poly)
            allIn = allIn && Clipper::Distance(plane, v.clip, guard) >= 0;
        if (allIn)
            continue;
        scratch.clear();
        const std::size_t n = poly.size();
        for (std::size_t i = 0; i < n; ++i) {
            const ClipVertex& a = poly[i];
            const ClipVertex& b = poly[(i + 1) % n];
            const float da = Clipper::Distance(plane, a.clip, guard), db = Clipper::Distance(plane, b.clip, guard);
            if (da >= 0)
                scratch.push_back(a);
            if ((da >= 0) != (db >= 0)) {
                // Always interpolate from the inside vertex, so a shared edge splits the same way.
                const float t = da >= 0 ? da / (da - db) : db / (db - da);
                scratch.push_back(da >= 0 ? Lerp(a, b, t, stages) : Lerp(b, a, t, stages));
            }
        }
        poly.swap(scratch);
        if (poly.size() < 3)
            return 0;
    }
    return static_cast<int>(poly.size());
}

bool ClipSegment(ClipVertex& a, ClipVertex& b, float guard, int stages) {
    for (int plane = 0; plane < 7; ++plane) {
        const float da = Clipper::Distance(plane, a.clip, guard), db = Clipper::Distance(plane, b.clip, guard);
        if (!(da >= 0) && !(db >= 0))
            return false;
        if (da >= 0 && db >= 0)
            continue;
        if (da < 0)
            a = Lerp(b, a, db / (db - da), stages);
        else
            b = Lerp(a, b, da / (da - db), stages);
    }
    return true;
}

// Threads ----------------------------------------------------------------------------------------------

// A draw whose primitives' boxes on screen add up to this many pixels shares out its pixel work;
// below it handing them over (waking the workers and waiting for the last band) costs more than
// it saves. The boxes of a character's many small triangles add up to far more than the pixels it
// covers: at 2,048 the demo's soldiers were each shared out, and 64 of them drew slower on eight
// threads than on one. A draw's first primitives are set aside; when the boxes of this many
// foretell (at their rate) less than the split area for the whole draw, they are drawn and the
// rest drawn at once, until the boxes reach the split area after all; from the primitive that
// reaches it on, all are set aside again.
constexpr long kSplitArea = 32768;
constexpr int kForetell = 64;
// Bands are cut where the estimated work of the rows above reaches its share, at least this many
// rows apart with room. With P threads that can run at once there are up to 4P of them, handed out
// from the top: P bands of a 1/(2P) share of the work each (an eighth on four threads), P of a
// 1/(4P) share, then 2P of a 1/(8P) share, so that the last ones, taken by whichever thread is
// free, are small and the threads end close together although the estimate misses (occluded
// pixels cost less than drawn ones). Each band more sets up again every primitive crossing into
// it. Without room for 4P bands, or on one processor, there are up to kBandsPerThread a thread of
// equal shares; shared clears take as many pieces.
constexpr int kBandRows = 8;
constexpr int kBandsPerThread = 2;
constexpr int kGuidedBandsPerThread = 4;
// The share of band k of the 4P guided bands, in units of 1/(8P) of the work.
constexpr int GuidedShare(int k, int parallel) { return k < parallel ? 4 : k < 2 * parallel ? 2 : 1; }
// The estimate of a primitive set aside, in pixels: its pixels shared evenly among its rows (a
// small triangle covers far less than its box), plus this much a row for stepping its edges and
// this much once for its set-up.
constexpr std::int64_t kRowWork = 4;
constexpr std::int64_t kSetUpWork = 16;
// Rows of at least this many bytes together (a clear) are filled on the pool when its workers are
// awake.
constexpr std::size_t kShareBytes = std::size_t{128} << 10;
// A draw's vertices are processed on the pool when it has at least this many, in chunks of this
// many.
constexpr std::size_t kSplitVertices = 1024;
constexpr std::size_t kChunkVertices = 256;
// Such a draw's triangles, when it has more than this many, are clipped, culled and set aside for
// the bands on the pool too, in runs of kChunkPrimitives: short, so that a thread held up by
// another process leaves the others little to wait for at the end.
constexpr UINT kSplitPrimitives = 1024;
constexpr UINT kChunkPrimitives = 512;
// How far ahead the vertex run claims the lines it is about to write, in vertices.
constexpr std::size_t kClaimVertices = 4;
// A band is halved for a thread out of bands while it has at least 2 kTakenRows rows and
// kTakenPrimitives primitives still to look at; a run holds at most kTakenBandsPerBand such
// halves a band.
constexpr int kTakenRows = 4;
constexpr std::size_t kTakenPrimitives = 64;
constexpr int kTakenBandsPerBand = 3;
// How far ahead a band asks for the vertices of the primitives it draws, in primitives.
constexpr std::ptrdiff_t kFetchAhead = 8;

// Writes `vectors` 16-byte vectors at `to` (16-byte aligned) from `from` with stores that pass
// the cache by: what one run writes for another processor to read, where an ordinary store to a
// line that processor read last must first take the line from it (in a run setting primitives
// aside on four threads, that held it to a third of its one-thread speed). The writing thread
// fences them (FenceStreams) before another reads them.
inline void Stream(void* to, const void* from, int vectors) {
    auto* t = static_cast<__m128i*>(to);
    const auto* f = static_cast<const __m128i*>(from);
    for (int k = 0; k < vectors; ++k)
        _mm_stream_si128(t + k, _mm_loadu_si128(f + k));
}
inline void FenceStreams() { _mm_sfence(); }

// The pool the draws share out their pixels on, made at the first draw that asks for it and
// joined at the end of the process.
struct RasterThreads {
    std::mutex mutex;
    int threads = 0; // 0: not known yet
    int wanted = 0;  // set by D3d9SetRasterThreads; 0: the environment's or the machine's
    long splitArea = kSplitArea;
    std::shared_ptr<PlatformWorkerPool> pool; // null with one thread
    bool closed = false;                      // the process is ending: no new pool

    ~RasterThreads() {
        std::shared_ptr<PlatformWorkerPool> last;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            closed = true;
            last.swap(pool);
        }
    }
};
RasterThreads g_rasterThreads;

// The pool of this draw (null: the drawing thread alone) and its split area.
std::shared_ptr<PlatformWorkerPool> RasterPool(long* splitArea) {
    RasterThreads& t = g_rasterThreads;
    std::unique_lock<std::mutex> lock(t.mutex);
    if (t.threads == 0 && !t.closed) {
        int threads = t.wanted;
        if (threads == 0) {
            std::string error;
            if (!PlatformRasterThreadsFromEnvironment(&threads, &error)) {
                lock.unlock();
                std::fprintf(stderr, "%s\n", error.c_str());
                std::exit(2);
            }
        }
        if (threads == 0)
            threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
        t.threads = threads;
        if (threads > 1)
            t.pool = std::make_shared<PlatformWorkerPool>(threads);
    }
    *splitArea = t.splitArea;
    return t.pool;
}

// The whole draw ---------------------------------------------------------------------------------------

class Pipeline {
public:
    Pipeline(Device& device, const DrawCall& call) : device_(device), call_(call) {}
    void Run();

private:
    bool SetUpPixels();
    bool SetUpSampler(UINT stage, Sampler* out) const;
    // With a pixel shader: its machine and samplers in place of the stages.
    void SetUpPixelShader();
    static FogEquation Fog(const std::array<DWORD, kRenderStates>& render, DWORD mode);
    // The vertex the i-th index names, read by one of the readers below: WithIndices calls `f`
    // with the reader of the draw's index format.
    struct Unindexed {
        static std::uint64_t At(const DrawCall& c, UINT i) { return std::uint64_t{c.startVertex} + i; }
    };
    struct Index16 {
        static std::uint64_t At(const DrawCall& c, UINT i) {
            WORD w;
            std::memcpy(&w, c.indexData + 2 * std::size_t{i}, 2);
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(w) + c.baseVertex);
        }
    };
    struct Index32 {
        static std::uint64_t At(const DrawCall& c, UINT i) {
            DWORD w;
            std::memcpy(&w, c.indexData + 4 * std::size_t{i}, 4);
            return static_cast<std::uint64_t>(static_cast<std::int64_t>(w) + c.baseVertex);
        }
    };
    template <class F>
    decltype(auto) WithIndices(F&& f) const {
        if (!call_.indexed)
            return f(Unindexed{});
        if (call_.indexFormat == D3DFMT_INDEX16)
            return f(Index16{});
        return f(Index32{});
    }
    std::uint64_t VertexIndex(UINT i) const {
        return WithIndices([&](auto reader) { return decltype(reader)::At(call_, i); });
    }
    std::size_t Slot(std::uint64_t index) {
        const std::size_t slot = index - low_;
        if (!(flags_[slot] & kProcessed))
            ProcessPosition(slot);
        return slot;
    }
    // The vertex in a slot of the cache: its clip position and the planes it lies outside
    // (ProcessPosition), the rest once a primitive is drawn with it (ProcessAttributes);
    // ProcessVertices does all of every one of the draw's range on the pool (ProcessShared), with
    // the screen form of those inside every plane. For triangles not flat shaded it keeps the
    // clip form only of vertices outside a plane: one inside every plane is drawn from its screen
    // form, and a triangle clipped with it remakes its clip form (ClipForm).
    void ProcessPosition(std::size_t slot);
    // ProcessPosition and ScreenPosition of every vertex the indices [first, end) name that has
    // not been processed, four at a time, for a draw of three-float positions to be transformed:
    // the same operations in the same order for each vertex, read once each, not one by one as
    // the triangles come.
    void ProcessPositions(UINT first, UINT end);
    // The planes a clip position lies outside, a bit each; kPositionFinite joins `flags` where
    // it is finite.
    std::uint8_t Outside(const Vec4& clip, std::uint8_t* flags) const;
    void ProcessAttributes(std::size_t slot);
    // With `primitives` (triangles, 0 for none) the same run then sets the draw's triangles
    // aside, each run of them as soon as the vertices it names are processed.
    void ProcessVertices(std::size_t range, bool keepInside, UINT primitives);
    void ProcessShared(std::size_t slot, bool keepInside);
    const ClipVertex& ClipForm(std::size_t slot, ClipVertex* remade) const;
    const ClipVertex& Vertex(std::uint64_t index) {
        const std::size_t slot = Slot(index);
        ProcessAttributes(slot);
        return cache_[slot];
    }
    // The screen position of a processed vertex (x, y, 1/w, z; kept apart, four to a cache line,
    // for clipping and culling), or its whole screen form once its attributes are processed.
    const Vec4& ScreenPosition(std::size_t slot) {
        if (!(flags_[slot] & kScreenPosition)) {
            points_[slot] = ToScreenPosition(cache_[slot]);
            flags_[slot] |= kScreenPosition;
        }
        return points_[slot];
    }
    const ScreenVertex& Screen(std::size_t slot) {
        if (!(flags_[slot] & kScreen)) {
            Place(ScreenPosition(slot), &screens_[slot]);
            ToScreenAttributes(cache_[slot], &screens_[slot]);
            flags_[slot] |= kScreen;
        }
        return screens_[slot];
    }
    Vec4 ToScreenPosition(const ClipVertex& c) const;
    static void Place(const Vec4& position, ScreenVertex* s) {
        s->x = position.x;
        s->y = position.y;
        s->a[0] = position.z;
        s->a[1] = position.w;
    }
    void ToScreenAttributes(const ClipVertex& c, ScreenVertex* s) const;
    void ToScreen(const ClipVertex& c, ScreenVertex* s) const {
        Place(ToScreenPosition(c), s);
        ToScreenAttributes(c, s);
    }
    struct Assembly;
    // The primitives, each into an assembly (with a pool, runs of triangles into one each, on
    // the pool when the vertices are ready: Screen and Slot then only read).
    void Triangle(Assembly& out, std::size_t a, std::size_t b, std::size_t c, bool swapped);
    // The rest of Triangle for one inside every plane, neither culled nor without a pixel centre
    // (its screen positions made).
    void DrawInside(Assembly& out, std::size_t a, std::size_t b, std::size_t c);
    // Processes the attributes of a triangle's vertices: false when one is not finite; the flat
    // colours of its first vertex into `flat` and `out` under flat shading.
    bool TriangleAttributes(Assembly& out, std::size_t a, std::size_t b, std::size_t c, Vec4 flat[2]);
    // Whether no pixel centre of the scissor can lie in the triangle's box: snapping moves a
    // position by at most half a sub-pixel step, so the box is widened by a whole one.
    template <class Point>
    bool CoversNoPixel(const Point& a, const Point& b, const Point& c) const {
        constexpr float kMargin = 1.0f / kSub;
        auto none = [](float lo, float hi, int first, int last) { // no integer in [lo, hi] and [first, last]
            if (hi < static_cast<float>(first) || lo > static_cast<float>(last))
                return true;
            return hi - lo < 1.0f && std::floor(hi) < lo; // NaN: false
        };
        return none(std::min({a.x, b.x, c.x}) - kMargin, std::max({a.x, b.x, c.x}) + kMargin, ps_.left,
                    ps_.right - 1) ||
               none(std::min({a.y, b.y, c.y}) - kMargin, std::max({a.y, b.y, c.y}) + kMargin, ps_.top,
                    ps_.bottom - 1);
    }
    template <class Point> static double SignedArea(const Point& s0, const Point& s1, const Point& s2) {
        return (static_cast<double>(s1.x) - s0.x) * (static_cast<double>(s2.y) - s0.y) -
               (static_cast<double>(s2.x) - s0.x) * (static_cast<double>(s1.y) - s0.y);
    }
    // Whether the cull mode removes a triangle of this area (on screen, y down, a positive area
    // runs clockwise; `swapped` for a strip's odd triangles).
    bool Culled(double area, bool swapped) const {
        const DWORD cull = device_.state.render[D3DRS_CULLMODE];
        if (swapped)
            area = -area;
        return (cull == D3DCULL_CW && area > 0) | (cull == D3DCULL_CCW && area < 0);
    }
    // A triangle inside every plane that is culled or covers no pixel centre.
    bool Hidden(const Vec4& a, const Vec4& b, const Vec4& c, bool swapped) const {
        const bool culled = Culled(SignedArea(a, b, c), swapped), none = CoversNoPixel(a, b, c);
        return culled | none;
    }
    // Whether Triangle may draw the triangle, from its positions alone (ProcessPositions has
    // made them and their screen positions): the same tests, without a branch on their results.
    bool MayDraw(std::size_t a, std::size_t b, std::size_t c, bool swapped) const {
        const bool finite = (flags_[a] & flags_[b] & flags_[c] & kPositionFinite) != 0;
        const bool inside = (outside_[a] | outside_[b] | outside_[c]) == 0;
        const bool cut = (outside_[a] & outside_[b] & outside_[c]) == 0; // no plane has all three out
        const bool hidden = Hidden(points_[a], points_[b], points_[c], swapped);
        return finite & ((inside & !hidden) | (!inside & cut));
    }
    void Triangles(Assembly& out, D3DPRIMITIVETYPE type, UINT first, UINT end);
    // Waits, when the triangles are set aside in the run that processes the vertices, until the
    // vertex in `slot` is processed; `ready` holds the leading vertex chunks seen finished.
    void AwaitVertex(std::size_t slot, std::size_t* ready) const {
        const std::size_t chunk = slot / kChunkVertices;
        for (int spin = 1; *ready <= chunk && *ready < vertexChunks_; ++spin) {
            if (std::atomic_ref<std::uint32_t>(vertexDone_[*ready]).load(std::memory_order_acquire) != 0) {
                ++*ready;
                continue;
            }
            _mm_pause();
            if (spin % 64 == 0) // the chunk's thread may share this processor
                std::this_thread::yield();
        }
    }
    // Triangles of a draw of three-float positions, a run of them at a time: the positions the run
    // names (ProcessPositions), then the run sorted into those that may draw (a branch a triangle,
    // culled or not, would be mispredicted often), their vertices' attributes, then those drawn.
    void TrianglesByRuns(Assembly& out, D3DPRIMITIVETYPE type, UINT count);
    static constexpr UINT kTriangleRun = 64;
    // The first `count` assemblies, emptied.
    Assembly* Assemblies(std::size_t count);
    void Line(Assembly& out, const ClipVertex& a, const ClipVertex& b, bool lastPixel);
    void Point(Assembly& out, const ClipVertex& a);
    void Sprite(Assembly& out, const ClipVertex& a);
    // Primitives in screen space: drawn at once without a pool or once the draw is foretold small,
    // else kept for DrawBands.
    // Its corners' positions (x, y) are read from `pa`, `pb` and `pc`: a triangle kept for the
    // bands leaves its vertices alone, to be read where the band is drawn.
    template <class Corner>
    void EmitTriangle(Assembly& out, const ScreenVertex* a, const ScreenVertex* b, const ScreenVertex* c,
                      const Corner& pa, const Corner& pb, const Corner& pc) const;
    void EmitTriangle(Assembly& out, const ScreenVertex* a, const ScreenVertex* b, const ScreenVertex* c) const {
        EmitTriangle(out, a, b, c, *a, *b, *c);
    }
    void EmitLine(Assembly& out, const ScreenVertex* a, const ScreenVertex* b, bool lastPixel) const;
    struct Deferred;
    // Whether a primitive with these extremes and about this many pixels is to be kept: its rows
    // (half-open, within the scissor) and its pixels a row go into `d`, its box joins the area and
    // the draw's size is foretold; false also for one that covers no row.
    bool Defers(Assembly& out, float minX, float maxX, float minY, float maxY, float pixels, Deferred* d) const;
    // Keeps `d` with the flat colours being made and adds its estimated work to its rows.
    void Defer(Assembly& out, const Deferred& d) const;
    std::uint32_t Keep(Assembly& out, const ScreenVertex* v) const;
    const ScreenVertex& Kept(const Assembly& from, std::uint32_t ref) const;
    // Draws the kept primitives: over bands of rows shared out on the pool, each band on one
    // thread in submission order, or on this thread when the draw is too small to share.
    void DrawBands();
    void DrawBand(int top, int bottom) const;
    // A band of rows drawn on the pool that a thread out of bands may take the lower rows of. The
    // thread asks (`ask` holds its slot and the row); the owner, at the start of its next
    // primitive, hands the rows from that row down over with the primitive to start from, and
    // draws on above them. The rows below the row got every primitive before that one from the
    // owner and get the rest from the asker: each row still sees the primitives in order.
    struct alignas(64) Band {
        static constexpr std::int64_t kOpen = 0, kClosed = -1;
        static constexpr std::int64_t Asking(std::size_t slot, int row) {
            return static_cast<std::int64_t>(slot + 1) << 32 | static_cast<std::int64_t>(row + 1);
        }
        static constexpr std::int64_t GrantedTo(std::size_t slot) { return -2 - static_cast<std::int64_t>(slot); }
        std::atomic<std::int64_t> ask{kClosed};
        std::atomic<int> bottom{0};        // the rows' end, lowered by a grant
        std::atomic<std::size_t> left{0};  // primitives still to look at, as last told
        int top = 0;
        std::size_t todo = 0; // the owner's count behind `left`
        // Set by the owner before a grant: the asker's first primitive and its rows' end.
        std::size_t assembly = 0, from = 0;
        int grantedBottom = 0;
    };
    // DrawBands' run: its bands, then those taken from them, in `band`.
    struct BandRun {
        const Pipeline* pipeline;
        const int* edges;
        int bands;
        bool take; // rows may be taken from bands
        Band* band;
        std::size_t capacity;
        std::atomic<int> started{0};
        std::atomic<std::size_t> slots{0};
    };
    // Draws `band` from primitive `from` of assembly `assembly` on, then closes it to askers.
    void DrawOpenBand(Band& band, std::size_t assembly, std::size_t from) const;
    // At the start of a primitive: the owner's rows' end after answering the asker of `band`.
    int Answer(Band& band, std::size_t assembly, std::size_t from, int bottom) const;
    // Takes the lower rows of the open band with the most left to draw and draws them; false
    // when no band is worth it.
    bool TakeRows(BandRun& run, std::size_t* slot) const;
    // Draws the primitives `a` kept, from the `from`-th on, over the rows [top, bottom), in order;
    // with a band, answers its asker before each primitive.
    void DrawKept(const Assembly& a, int top, int bottom, Band* band = nullptr, std::size_t assembly = 0,
                  std::size_t from = 0) const;
    bool Finite(const ClipVertex& v) const;
    void ShadeVertex(std::uint64_t index, ClipVertex* out);

    Device& device_;
    const DrawCall& call_;
    Fetch fetch_;
    VertexSetup vs_;
    // With a vertex shader: the interpreter, its inputs and the output each stage reads.
    std::unique_ptr<ShaderMachine> shader_;
    std::unique_ptr<PixelShaderMachine> pixelShader_;
    ShaderFetch shaderFetch_;
    std::array<std::array<float, 4>, kShaderInputs> shaderIn_{};
    ShaderOutput shaderOut_;
    bool shaderFog_ = false; // the shader writes oFog
    int stageCoords_[8] = {};
    PixelSetup ps_;
    Raster raster_{};
    int stages_ = 0;
    float guard_ = 1;
    // Processed vertices by index, from `low_`; per vertex its flags, the planes it lies outside
    // (a bit each) and its screen form once asked for. kProcessed: the clip position and the
    // planes; kPositionFinite: that position is finite; kAttributes: colours, coordinates and fog
    // too; kFinite (with kAttributes): every value is finite; kScreenPosition and kScreen: the
    // screen position, and the whole screen form; kClipGone: the clip form was not kept; kQueued:
    // listed for its attributes (TrianglesByRuns).
    static constexpr std::uint8_t kProcessed = 1, kFinite = 2, kScreen = 4, kAttributes = 8, kPositionFinite = 16,
                                  kScreenPosition = 32, kClipGone = 64, kQueued = 128;
    std::uint64_t low_ = 0;
    // A primitive kept for the bands: its vertices (slots of screens_, or kKept plus an index
    // into its assembly's kept), its flat colours (an index into the flats there, -1 without)
    // and the rows it may cover.
    static constexpr std::uint32_t kKept = 1u << 31;
    struct Deferred {
        std::uint32_t v[3];
        std::int32_t flat;
        int top, bottom;
        bool line, lastPixel;
        int rowWork; // its estimated pixels a row
    };
    // Kept primitives in order, appended with stores that pass the cache by (Stream): the bands
    // read them on other processors.
    class DeferredList {
    public:
        void clear() { size_ = 0; }
        bool empty() const { return size_ == 0; }
        std::size_t size() const { return size_; }
        const Deferred* begin() const { return data_.get(); }
        const Deferred* end() const { return data_.get() + size_; }
        void push_back(const Deferred& d) {
            if (size_ == capacity_)
                Grow();
            Stream(data_.get() + size_, &d, 2);
            ++size_;
        }

    private:
        static_assert(sizeof(Deferred) == 2 * sizeof(__m128i));
        void Grow() {
            const std::size_t capacity = std::max<std::size_t>(64, 2 * capacity_);
            void* bytes = std::aligned_alloc(64, capacity * sizeof(Deferred));
            if (bytes == nullptr)
                throw std::bad_alloc();
            std::unique_ptr<Deferred[], Free> grown(static_cast<Deferred*>(bytes));
            if (size_ != 0)
                std::memcpy(grown.get(), data_.get(), size_ * sizeof(Deferred));
            data_ = std::move(grown);
            capacity_ = capacity;
        }
        struct Free {
            void operator()(Deferred* p) const { std::free(p); }
        };
        std::unique_ptr<Deferred[], Free> data_;
        std::size_t size_ = 0, capacity_ = 0;
    };
    struct FlatColors {
        Vec4 c[2];
    };
    // A run of primitives made ready for the bands, in submission order: those kept, the screen
    // vertices clipping made for them, their flat colours, the area of their boxes on screen and
    // the estimated work of theirs each row adds, less that of the row above, from the scissor's
    // top (valid over the kept rows and the one below them: only they are cleared).
    struct Assembly {
        DeferredList deferred;
        std::vector<ScreenVertex> kept;
        std::vector<FlatColors> flats;
        std::vector<ClipVertex> poly, clipped;
        ScreenVertex screen[3 + 7];      // a triangle clipped by seven planes has at most ten corners
        const Vec4* flatColor = nullptr; // the flat colours of the primitive being made
        std::int64_t area = 0;
        // Primitives are kept until the draw's size is foretold (collecting), then drawn at once
        // (immediate) or kept (keeping) from here on.
        enum class Mode { kCollecting, kImmediate, kKeeping } mode = Mode::kCollecting;
        int seen = 0; // primitives that reached Defers
        std::vector<std::int64_t> work;
        int top = 0, bottom = 0; // the rows the kept primitives may cover, half-open
    };
    // Per-vertex storage lives in the thread's draw scratch, so a draw does not allocate (and
    // fault in) fresh pages for it; only the entries below the draw's range are valid.
    struct Scratch {
        std::vector<ClipVertex> cache;
        std::vector<std::uint8_t> flags, outside;
        std::vector<ScreenVertex> screens;
        std::vector<Vec4> points;
        std::vector<Assembly> assemblies;
        std::vector<std::int64_t> rowWork; // the bands' estimate, a row each
        std::vector<int> bandEdges;
        std::vector<std::uint32_t> vertexDone;
        std::unique_ptr<Band[]> bands;
        std::size_t bandCapacity = 0;
    };
    static Scratch& ThreadScratch() {
        thread_local Scratch scratch;
        return scratch;
    }
    // Storage kept between draws at most (vertices); a larger draw's is given back after it.
    static constexpr std::size_t kKeptVertices = std::size_t{1} << 17;
    Scratch& scratchStore_ = ThreadScratch();
    std::vector<ClipVertex>& cache_ = scratchStore_.cache;
    std::vector<std::uint8_t>& flags_ = scratchStore_.flags;
    std::vector<std::uint8_t>& outside_ = scratchStore_.outside;
    std::vector<ScreenVertex>& screens_ = scratchStore_.screens;
    std::vector<Vec4>& points_ = scratchStore_.points;
    std::vector<Assembly>& assemblies_ = scratchStore_.assemblies;
    std::size_t assembled_ = 0; // assemblies in use
    // Sharing out the pixels: the pool (null: this thread alone, nothing kept) and the area that
    // makes a draw worth sharing.
    std::shared_ptr<PlatformWorkerPool> pool_;
    long splitArea_ = 0;
    // The vertex run writes each screen form with Stream: its values fill no more than the
    // first cache line of a ScreenVertex.
    static constexpr std::size_t kLine = 64;
    bool streamScreens_ = false;
    // While vertices and triangles share a run: a flag a chunk of vertices, set once it is
    // processed.
    std::uint32_t* vertexDone_ = nullptr;
    std::size_t vertexChunks_ = 0;
};

bool Pipeline::SetUpPixels() {
    State& s = device_.state;
    const auto& r = s.render;
    Surface* target = s.targets[0];
    if (target == nullptr || target->image.info == nullptr || target->image.info->depth || target->image.info->block ||
        target->image.info->palette)
        return false;
    ps_.target = &target->image;
    const D3DVIEWPORT9& vp = s.viewport;
    std::int64_t right = std::min<std::int64_t>(std::int64_t{vp.X} + vp.Width, target->image.width);
    std::int64_t bottom = std::min<std::int64_t>(std::int64_t{vp.Y} + vp.Height, target->image.height);
    const bool zOn = r[D3DRS_ZENABLE] != D3DZB_FALSE && s.depth != nullptr;
    if (zOn) {
        ps_.depth = &s.depth->image;
        right = std::min<std::int64_t>(right, ps_.depth->width);
        bottom = std::min<std::int64_t>(bottom, ps_.depth->height);
        ps_.depthTest = true;
        ps_.depthFunc = r[D3DRS_ZFUNC];
        ps_.depthWrite = r[D3DRS_ZWRITEENABLE] != 0;
    }
    ps_.left = static_cast<int>(std::min<std::int64_t>(vp.X, right));
    ps_.top = static_cast<int>(std::min<std::int64_t>(vp.Y, bottom));
    ps_.right = static_cast<int>(right);
    ps_.bottom = static_cast<int>(bottom);
    if (ps_.left >= ps_.right || ps_.top >= ps_.bottom)
        return false;

    ps_.factor = FromColor(r[D3DRS_TEXTUREFACTOR]);
    ps_.specularAdd = r[D3DRS_SPECULARENABLE] != 0;
    ps_.flat = r[D3DRS_SHADEMODE] == D3DSHADE_FLAT;
    ps_.alphaTest = r[D3DRS_ALPHATESTENABLE] != 0;
    ps_.alphaFunc = r[D3DRS_ALPHAFUNC];
    ps_.alphaRef = r[D3DRS_ALPHAREF] & 0xFF;
    ps_.blend = r[D3DRS_ALPHABLENDENABLE] != 0;
    ps_.srcBlend = r[D3DRS_SRCBLEND];
    ps_.dstBlend = r[D3DRS_DESTBLEND];
    ps_.blendOp = r[D3DRS_BLENDOP];
    ps_.writeMask = r[D3DRS_COLORWRITEENABLE] & 0xF;
    if (ps_.blend && ps_.srcBlend == D3DBLEND_ONE && ps_.dstBlend == D3DBLEND_ZERO && ps_.blendOp == D3DBLENDOP_ADD)
        ps_.blend = false;

    if (r[D3DRS_FOGENABLE] != 0) {
        ps_.fog = true;
        ps_.fogColor = FromColor(r[D3DRS_FOGCOLOR]);
        ps_.fogTable = r[D3DRS_FOGTABLEMODE] != D3DFOG_NONE;
        if (ps_.fogTable)
            ps_.fogEquation = Fog(r, r[D3DRS_FOGTABLEMODE]);
    }

    if (s.pixelShader != nullptr) {
        SetUpPixelShader();
        return true;
    }

    // Stages up to the first disabled one.
    int samplers = 0;
    for (UINT i = 0; i < kStages; ++i) {
        const auto& st = s.stage[i];
        if (st[D3DTSS_COLOROP] == D3DTOP_DISABLE)
            break;
        Stage& o = ps_.stages[i];
        o.colorOp = st[D3DTSS_COLOROP];
        o.colorArg[0] = st[D3DTSS_COLORARG0];
        o.colorArg[1] = st[D3DTSS_COLORARG1];
        o.colorArg[2] = st[D3DTSS_COLORARG2];
        o.alphaOp = st[D3DTSS_ALPHAOP];
        o.alphaArg[0] = st[D3DTSS_ALPHAARG0];
        o.alphaArg[1] = st[D3DTSS_ALPHAARG1];
        o.alphaArg[2] = st[D3DTSS_ALPHAARG2];
        o.result = st[D3DTSS_RESULTARG];
        o.sampler = -1;
        if (SetUpSampler(i, &ps_.samplers[samplers]))
            o.sampler = samplers++;
        ps_.stageCount = static_cast<int>(i) + 1;
        for (DWORD arg : {o.colorArg[0], o.colorArg[1], o.colorArg[2], o.alphaArg[0], o.alphaArg[1], o.alphaArg[2]})
            ps_.useSpecular = ps_.useSpecular || (arg & D3DTA_SELECTMASK) == D3DTA_SPECULAR;
    }
    ps_.useSpecular = ps_.useSpecular || ps_.specularAdd;

    // Whether the packed-byte span serves this draw.
    auto plain = [](DWORD arg, PixelSetup::Arg* out) {
        switch (arg) {
        case D3DTA_DIFFUSE:
        case D3DTA_CURRENT:
            *out = PixelSetup::Arg::Diffuse;
            return true; // stage 0's current is the diffuse
        case D3DTA_TEXTURE:
            *out = PixelSetup::Arg::Texture;
            return true;
        case D3DTA_TFACTOR:
            *out = PixelSetup::Arg::Factor;
            return true;
        default:
            return false;
        }
    };
    auto simple = [](DWORD op) { return op == D3DTOP_SELECTARG1 || op == D3DTOP_SELECTARG2 || op == D3DTOP_MODULATE; };
    const D3DFORMAT tf = ps_.target->format, df = ps_.depth != nullptr ? ps_.depth->format : D3DFMT_UNKNOWN;
    ps_.fast = (tf == D3DFMT_A8R8G8B8 || tf == D3DFMT_X8R8G8B8) &&
               (ps_.depth == nullptr || df == D3DFMT_D24S8 || df == D3DFMT_D24X8 || df == D3DFMT_D24X4S4) &&
               !ps_.useSpecular && ps_.stageCount <= 1 && !ps_.fog;
    if (ps_.fast && ps_.stageCount == 1) {
        const Stage& st = ps_.stages[0];
        ps_.fast = simple(st.colorOp) && plain(st.colorArg[1], &ps_.colorArgs[0]) &&
                   plain(st.colorArg[2], &ps_.colorArgs[1]) && st.result == D3DTA_CURRENT &&
                   (st.alphaOp == D3DTOP_DISABLE || (simple(st.alphaOp) && plain(st.alphaArg[1], &ps_.alphaArgs[0]) &&
                                                     plain(st.alphaArg[2], &ps_.alphaArgs[1])));
        ps_.fastColorOp = st.colorOp;
        ps_.fastAlphaOp = st.alphaOp;
    }
    ps_.projected = (s.stage[0][D3DTSS_TEXTURETRANSFORMFLAGS] & D3DTTFF_PROJECTED) != 0;
    ps_.alphaBlend = ps_.blend && ps_.srcBlend == D3DBLEND_SRCALPHA && ps_.dstBlend == D3DBLEND_INVSRCALPHA &&
                     ps_.blendOp == D3DBLENDOP_ADD;
    // One pass gives all four bytes when colour and alpha do the same.
    ps_.oneOperation = ps_.stageCount > 0 && ps_.fastAlphaOp == ps_.fastColorOp &&
                       ps_.alphaArgs[0] == ps_.colorArgs[0] && ps_.alphaArgs[1] == ps_.colorArgs[1];
    ps_.storeColor = (!ps_.blend || ps_.alphaBlend) && ps_.writeMask == 0xF;
    ps_.factor8 = ToColor(ps_.factor);
    using Arg = PixelSetup::Arg;
    const bool textureTimesDiffuse =
        ps_.stageCount > 0 && ps_.fastColorOp == D3DTOP_MODULATE &&
        ((ps_.colorArgs[0] == Arg::Texture && ps_.colorArgs[1] == Arg::Diffuse) ||
         (ps_.colorArgs[0] == Arg::Diffuse && ps_.colorArgs[1] == Arg::Texture));
    ps_.modulateAll = textureTimesDiffuse && ps_.oneOperation;
    ps_.modulateTextureAlpha = textureTimesDiffuse && !ps_.oneOperation && ps_.fastAlphaOp == D3DTOP_SELECTARG1 &&
                               ps_.alphaArgs[0] == Arg::Texture;
    ps_.lessEqual = ps_.depthTest && ps_.depthFunc == D3DCMP_LESSEQUAL;

    return true;
}

// The sampler of stage i's texture; false without one it can read.
bool Pipeline::SetUpSampler(UINT i, Sampler* out) const {
    const State& s = device_.state;
    TextureBase* t = s.texture[i];
    if (t != nullptr && t->type == D3DRTYPE_TEXTURE && !t->surfaces.empty()) {
        Sampler& sm = *out;
        const auto& ss = s.sampler[i];
        const UINT base = std::min<UINT>(ss[D3DSAMP_MAXMIPLEVEL], t->allocatedLevels - 1);
        const UINT count = std::min<UINT>({t->levelCount, t->allocatedLevels, 16u});
        sm.levelCount = 0;
        const UINT first = std::min(base, count - 1);
        for (UINT l = first; l < count; ++l) {
            const Image& im = t->Level(0, l)->image;
            if (im.info == nullptr || im.info->depth || im.width == 0 || im.height == 0)
                break;
            sm.levels[sm.levelCount++] = &im;
        }
        if (sm.levelCount > 0) {
            sm.addressU = ss[D3DSAMP_ADDRESSU];
            sm.addressV = ss[D3DSAMP_ADDRESSV];
            sm.mag = ss[D3DSAMP_MAGFILTER];
            sm.min = ss[D3DSAMP_MINFILTER];
            sm.mip = ss[D3DSAMP_MIPFILTER];
            sm.borderColor = ss[D3DSAMP_BORDERCOLOR];
            sm.bias = FloatOf(ss[D3DSAMP_MIPMAPLODBIAS]);
            if (!std::isfinite(sm.bias))
                sm.bias = 0;
            sm.palette = device_.CurrentPalette();
            sm.fastWrap = sm.addressU == D3DTADDRESS_WRAP && sm.addressV == D3DTADDRESS_WRAP;
            for (int l = 0; l < sm.levelCount; ++l) {
                const Image& im = *sm.levels[l];
                sm.fastWrap = sm.fastWrap && im.format == sm.levels[0]->format &&
                              (im.format == D3DFMT_A8R8G8B8 || im.format == D3DFMT_X8R8G8B8) &&
                              (im.width & (im.width - 1)) == 0 && (im.height & (im.height - 1)) == 0;
                sm.level[l] = {im.bytes.data(), static_cast<float>(im.width), static_cast<float>(im.height)};
            }
            sm.opaque = OpaqueBits(sm.levels[0]->format);
            auto linear = [](DWORD f) { return f == D3DTEXF_LINEAR || f == D3DTEXF_ANISOTROPIC; };
            // The quick sampler finds texels through float offsets, exact below 2^24.
            sm.quick = sm.fastWrap && linear(sm.min) && linear(sm.mag) &&
                       std::uint64_t{sm.levels[0]->width} * sm.levels[0]->height < (std::uint64_t{1} << 24);
            for (int l = 0; l < sm.levelCount; ++l) // each level half the one before, at least 1
                sm.quick = sm.quick && sm.levels[l]->width == std::max(1u, sm.levels[0]->width >> l) &&
                           sm.levels[l]->height == std::max(1u, sm.levels[0]->height >> l);
            // Filtering blocks for what only locks and copies write (not a target), not while locked.
            sm.blocked = sm.quick && !(t->usage & (D3DUSAGE_RENDERTARGET | D3DUSAGE_DEPTHSTENCIL));
            for (int l = 0; l < sm.levelCount && sm.blocked; ++l) {
                sm.level[l].blocks = t->Level(0, first + l)->locked ? nullptr : FilterBlocks(*sm.levels[l]);
                sm.blocked = sm.level[l].blocks != nullptr;
            }
            return true;
        }
    }
    return false;
}

void Pipeline::SetUpPixelShader() {
    const State& s = device_.state;
    const PixelShaderProgram& program = s.pixelShader->program;
    pixelShader_ = std::make_unique<PixelShaderMachine>(program);
    float constants[kPixelShaderConstants][4];
    for (int i = 0; i < kPixelShaderConstants; ++i)
        std::copy(s.pixelConstants[i].begin(), s.pixelConstants[i].end(), constants[i]);
    pixelShader_->SetConstants(constants);
    int samplers = 0;
    for (UINT i = 0; i < kStages; ++i) {
        const auto& st = s.stage[i];
        const float matrix[4] = {FloatOf(st[D3DTSS_BUMPENVMAT00]), FloatOf(st[D3DTSS_BUMPENVMAT01]),
                                 FloatOf(st[D3DTSS_BUMPENVMAT10]), FloatOf(st[D3DTSS_BUMPENVMAT11])};
        pixelShader_->SetBumpEnvironment(static_cast<int>(i), matrix, FloatOf(st[D3DTSS_BUMPENVLSCALE]),
                                         FloatOf(st[D3DTSS_BUMPENVLOFFSET]));
        if ((program.stages & (1u << i)) && SetUpSampler(i, &ps_.samplers[samplers])) {
            const Sampler& sm = ps_.samplers[samplers];
            ps_.shaderLod = ps_.shaderLod || sm.levelCount > 1 || sm.min != sm.mag;
            ps_.shaderSampler[i] = samplers++;
        }
    }
    ps_.shader = pixelShader_.get();
    ps_.stageCount = 0;
    ps_.useSpecular = true;
    ps_.fast = false;
}

FogEquation Pipeline::Fog(const std::array<DWORD, kRenderStates>& r, DWORD mode) {
    FogEquation f;
    f.mode = mode == D3DFOG_LINEAR || mode == D3DFOG_EXP || mode == D3DFOG_EXP2 ? mode : D3DFOG_NONE;
    f.start = FloatOf(r[D3DRS_FOGSTART]);
    f.end = FloatOf(r[D3DRS_FOGEND]);
    f.density = FloatOf(r[D3DRS_FOGDENSITY]);
    return f;
}

void Pipeline::Run() {
    State& s = device_.state;
    if (!SetUpPixels())
        return;
    stages_ = ps_.shader != nullptr ? s.pixelShader->program.coordSets : ps_.stageCount;
    if (s.vertexShader != nullptr) {
        shader_ = std::make_unique<ShaderMachine>(s.vertexShader->program);
        shader_->SetConstants(s.vertexConstants);
        shaderFetch_ = MakeShaderFetch(device_, call_, s.vertexShader->program);
        for (auto& v : shaderIn_)
            v = {0, 0, 0, 1};
        for (int i = 0; i < stages_; ++i)
            stageCoords_[i] = static_cast<int>(s.stage[i][D3DTSS_TEXCOORDINDEX] & 7);
    } else {
        fetch_ = MakeFetch(device_, call_);
        if (fetch_.position.base == nullptr)
            return;
        vs_ = MakeVertexSetup(s, fetch_, stages_);
    }
    if (ps_.fog) {
        // Table fog reads the eye depth where the vertices carry one the device can recover
        // (a perspective projection, a shader's w, a reciprocal w given) and the device has W-fog.
        const bool perspective = shader_ != nullptr || vs_.transformed || s.transform[D3DTS_PROJECTION].m[2][3] != 0;
        ps_.fogW = (device_.config.caps.RasterCaps & D3DPRASTERCAPS_WFOG) != 0 && perspective;
        if (!ps_.fogTable) {
            // Vertex fog: the shader's fog output, the transformed vertex's specular alpha, or
            // the vertex mode's equation; no vertex mode leaves the pixels unfogged.
            if (shader_ != nullptr) {
                shaderFog_ = false;
                for (const ShaderInstr& in : s.vertexShader->program.code)
                    shaderFog_ = shaderFog_ || in.dst.file == ShaderFile::Fog;
            } else if (vs_.transformed) {
                vs_.fogFromSpecular = true;
            } else {
                vs_.fog = Fog(s.render, s.render[D3DRS_FOGVERTEXMODE]);
                vs_.rangeFog = s.render[D3DRS_RANGEFOGENABLE] != 0;
                ps_.fog = vs_.fog.mode != D3DFOG_NONE;
            }
            if (ps_.fog)
                ps_.fogIndex = kFixed + 3 * stages_;
        }
    }
    raster_.ps = &ps_;
    raster_.count = kFixed + 3 * stages_ + (ps_.fogIndex != 0 ? 1 : 0);
    raster_.top = ps_.top;
    raster_.bottom = ps_.bottom;
    raster_.ChooseRows();
    const float side = static_cast<float>(std::max(s.viewport.Width, s.viewport.Height));
    guard_ = std::max(1.0f, (kMaxScreen / 4) / std::max(side, 1.0f));

    // Vertex cache over the range of vertices the draw names.
    const UINT n = call_.vertices;
    if (n == 0)
        return;
    low_ = call_.lowVertex;
    const std::size_t range = call_.highVertex - call_.lowVertex + 1;
    if (cache_.size() < range) {
        cache_.resize(range);
        flags_.resize(range);
        outside_.resize(range);
        screens_.resize(range);
        points_.resize(range);
    }
    std::fill_n(flags_.begin(), range, std::uint8_t{0});
    struct GiveBack {
        Scratch& s;
        ~GiveBack() {
            bool large = s.cache.size() > kKeptVertices;
            for (const Assembly& a : s.assemblies)
                large = large || a.kept.size() > kKeptVertices || a.deferred.size() > kKeptVertices;
            if (large)
                s = Scratch{};
        }
    } giveBack{scratchStore_};
    pool_ = RasterPool(&splitArea_);
    const D3DPRIMITIVETYPE type = call_.type;
    const UINT count = call_.primitives;
    const bool triangles = type == D3DPT_TRIANGLELIST || type == D3DPT_TRIANGLESTRIP || type == D3DPT_TRIANGLEFAN;
    // A draw of many vertices, most of them used, has them processed on the pool first (those of
    // a vertex shader stay with its one machine).
    // Then, with many triangles, those are clipped, culled and set aside on the pool too, in the
    // same run.
    bool verticesReady = false; // every vertex of the range processed, with its screen form
    if (pool_ != nullptr && shader_ == nullptr && range >= kSplitVertices && range <= 2 * std::size_t{n}) {
        streamScreens_ = sizeof(float) * static_cast<std::size_t>(2 + raster_.count) <= kLine;
        ProcessVertices(range, !triangles || ps_.flat, triangles && count > kSplitPrimitives ? count : 0);
        if (triangles && count > kSplitPrimitives) {
            DrawBands();
            return;
        }
        verticesReady = true;
    }
    Assembly& out = Assemblies(1)[0];
    auto v = [&](UINT i) -> const ClipVertex& { return Vertex(VertexIndex(i)); };
    switch (type) {
    case D3DPT_LINELIST:
        for (UINT i = 0; i < count; ++i)
            Line(out, v(2 * i), v(2 * i + 1), s.render[D3DRS_LASTPIXEL] != 0);
        break;
    case D3DPT_LINESTRIP:
        for (UINT i = 0; i < count; ++i)
            Line(out, v(i), v(i + 1), i + 1 == count && s.render[D3DRS_LASTPIXEL] != 0); // joints once
        break;
    case D3DPT_POINTLIST:
        for (UINT i = 0; i < count; ++i)
            Point(out, v(i));
        break;
    default:
        if (!triangles)
            break;
        if (shader_ == nullptr && !vs_.transformed && fetch_.position.type == D3DDECLTYPE_FLOAT3 && !verticesReady)
            TrianglesByRuns(out, type, count);
        else
            Triangles(out, type, 0, count);
        break;
    }
    DrawBands();
}

Pipeline::Assembly* Pipeline::Assemblies(std::size_t count) {
    if (assemblies_.size() < count)
        assemblies_.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        Assembly& a = assemblies_[i];
        a.deferred.clear();
        a.kept.clear();
        a.flats.clear();
        a.flatColor = nullptr;
        a.area = 0;
        a.mode = Assembly::Mode::kCollecting;
        a.seen = 0;
        a.top = a.bottom = 0;
    }
    assembled_ = count;
    return assemblies_.data();
}

void Pipeline::Triangles(Assembly& out, D3DPRIMITIVETYPE type, UINT first, UINT end) {
    WithIndices([&](auto reader) {
        // The waits for the vertex run compiled in only where it shares the run.
        auto walk = [&](auto await) {
            std::size_t ready = 0; // the leading vertex chunks seen finished
            auto t = [&](UINT i) {
                const std::uint64_t index = decltype(reader)::At(call_, i);
                if constexpr (decltype(await)::value)
                    AwaitVertex(index - low_, &ready);
                return Slot(index);
            };
            switch (type) {
            case D3DPT_TRIANGLELIST:
                for (UINT i = first; i < end; ++i)
                    Triangle(out, t(3 * i), t(3 * i + 1), t(3 * i + 2), false);
                break;
            case D3DPT_TRIANGLESTRIP:
                for (UINT i = first; i < end; ++i)
                    Triangle(out, t(i), t(i + 1), t(i + 2), (i & 1) != 0);
                break;
            default: // fan
                for (UINT i = first; i < end; ++i)
                    Triangle(out, t(i + 1), t(i + 2), t(0), false);
                break;
            }
        };
        if (vertexDone_ != nullptr)
            walk(std::true_type{});
        else
            walk(std::false_type{});
    });
}

void Pipeline::TrianglesByRuns(Assembly& out, D3DPRIMITIVETYPE type, UINT count) {
    struct Corners {
        std::uint32_t a, b, c;
        bool swapped, inside;
    };
    constexpr UINT kRun = kTriangleRun;
    Corners run[kRun];
    WithIndices([&](auto reader) {
        auto t = [&](UINT i) { return static_cast<std::uint32_t>(decltype(reader)::At(call_, i) - low_); };
        for (UINT first = 0; first < count; first += kRun) {
            const UINT end = std::min(count, first + kRun);
            if (type == D3DPT_TRIANGLELIST)
                ProcessPositions(3 * first, 3 * end);
            else // a fan's first index is in the first run
                ProcessPositions(first, end + 2);
            UINT n = 0;
            for (UINT i = first; i < end; ++i) {
                Corners& k = run[n];
                switch (type) {
                case D3DPT_TRIANGLELIST:
                    k = {t(3 * i), t(3 * i + 1), t(3 * i + 2), false, false};
                    break;
                case D3DPT_TRIANGLESTRIP:
                    k = {t(i), t(i + 1), t(i + 2), (i & 1) != 0, false};
                    break;
                default: // fan
                    k = {t(i + 1), t(i + 2), t(0), false, false};
                    break;
                }
                k.inside = (outside_[k.a] | outside_[k.b] | outside_[k.c]) == 0;
                n += MayDraw(k.a, k.b, k.c, k.swapped) ? 1 : 0;
            }
            // Every triangle that may draw processes its vertices' attributes first, and one inside
            // every plane takes their screen forms: those not yet processed are, each once, before
            // the run is drawn.
            std::uint32_t fresh[3 * kRun];
            UINT m = 0;
            for (UINT i = 0; i < n; ++i)
                for (const std::uint32_t v : {run[i].a, run[i].b, run[i].c}) {
                    fresh[m] = v;
                    m += (flags_[v] & (kAttributes | kQueued)) == 0 ? 1 : 0;
                    flags_[v] |= kQueued;
                }
            for (UINT i = 0; i < m; ++i) {
                ProcessAttributes(fresh[i]);
                if (outside_[fresh[i]] == 0)
                    Screen(fresh[i]);
            }
            for (UINT i = 0; i < n; ++i) {
                const Corners& k = run[i];
                if (k.inside)
                    DrawInside(out, k.a, k.b, k.c);
                else
                    Triangle(out, k.a, k.b, k.c, k.swapped);
            }
        }
    });
}

void Pipeline::ProcessPosition(std::size_t slot) {
    const std::uint64_t index = low_ + slot;
    ClipVertex& c = cache_[slot];
    std::uint8_t flags = kProcessed;
    Vec4 clip;
    if (shader_ != nullptr || vs_.transformed) { // all at once: the shader's position comes with the rest
        if (shader_ != nullptr) {
            ShadeVertex(index, &c);
        } else {
            thread_local InputVertex in;
            fetch_.Read(index, &in);
            Process(vs_, fetch_, in, &c);
        }
        flags |= kAttributes | (Finite(c) ? kFinite : 0);
        clip = c.clip;
    } else {
        clip = ClipPosition(vs_, fetch_.Position(index));
        c.clip = clip;
    }
    outside_[slot] = Outside(clip, &flags);
    flags_[slot] = flags;
}

void Pipeline::ProcessPositions(UINT firstIndex, UINT endIndex) {
    // The slots in the order the indices first name them, each once (a branch a new vertex
    // would mispredict about every other time); a slot is written one past those kept.
    std::uint32_t order[3 * kTriangleRun + 1];
    std::size_t n = 0;
    std::uint8_t* flags = flags_.data();
    WithIndices([&](auto reader) {
        for (UINT i = firstIndex; i < endIndex; ++i) {
            const std::size_t slot = decltype(reader)::At(call_, i) - low_;
            order[n] = static_cast<std::uint32_t>(slot);
            n += flags[slot] == 0 ? 1 : 0;
            flags[slot] |= kProcessed;
        }
    });
    const D3DMATRIX& m = vs_.worldViewProjection;
    const D3DVIEWPORT9& vp = device_.state.viewport;
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1), half = _mm_set1_ps(0.5f);
    const __m128 left = _mm_set1_ps(static_cast<float>(vp.X)), top = _mm_set1_ps(static_cast<float>(vp.Y));
    const __m128 width = _mm_set1_ps(static_cast<float>(vp.Width)), height = _mm_set1_ps(static_cast<float>(vp.Height));
    const __m128 minZ = _mm_set1_ps(vp.MinZ), depth = _mm_set1_ps(vp.MaxZ - vp.MinZ);
    const __m128 guard = _mm_set1_ps(guard_), sign = _mm_set1_ps(-0.0f);
    const BYTE* base = fetch_.position.base;
    const std::size_t stride = fetch_.position.stride;
    for (std::size_t first = 0; first < n; first += 4) {
        // A last group of fewer than four repeats its last vertex.
        std::size_t slot[4];
        alignas(16) float x[4], y[4], z[4];
        if (first + 12 < n) // the misses of later groups under way while this one waits on its own
            __builtin_prefetch(base + (low_ + order[first + 12]) * stride);
        for (int k = 0; k < 4; ++k) {
            slot[k] = order[std::min(first + k, n - 1)];
            float f[3];
            std::memcpy(f, base + (low_ + slot[k]) * stride, sizeof f);
            x[k] = f[0];
            y[k] = f[1];
            z[k] = f[2];
        }
        const __m128 px = _mm_load_ps(x), py = _mm_load_ps(y), pz = _mm_load_ps(z);
        // Each clip component as Mul makes it: ((x m0j + y m1j) + z m2j) + m3j.
        auto component = [&](int j) {
            __m128 r = _mm_mul_ps(px, _mm_set1_ps(m.m[0][j]));
            r = _mm_add_ps(r, _mm_mul_ps(py, _mm_set1_ps(m.m[1][j])));
            r = _mm_add_ps(r, _mm_mul_ps(pz, _mm_set1_ps(m.m[2][j])));
            return _mm_add_ps(r, _mm_set1_ps(m.m[3][j]));
        };
        __m128 cx = component(0), cy = component(1), cz = component(2), cw = component(3);
        // Outside's planes, a lane a vertex.
        const __m128 gw = _mm_mul_ps(guard, cw);
        const __m128 nearPlane =
            _mm_sub_ps(_mm_sub_ps(cw, _mm_mul_ps(_mm_set1_ps(Clipper::kWScale), _mm_andnot_ps(sign, cw))),
                       _mm_set1_ps(Clipper::kWBias));
        const __m128 planes[7] = {cz,
                                  _mm_sub_ps(cw, cz),
                                  _mm_add_ps(gw, cx),
                                  _mm_sub_ps(gw, cx),
                                  _mm_add_ps(gw, cy),
                                  _mm_sub_ps(gw, cy),
                                  nearPlane};
        __m128i bits = _mm_setzero_si128();
        for (int k = 0; k < 7; ++k)
            bits = _mm_or_si128(
                bits, _mm_and_si128(_mm_castps_si128(_mm_cmpnge_ps(planes[k], zero)), _mm_set1_epi32(1 << k)));
        const __m128 finite =
            _mm_and_ps(_mm_and_ps(_mm_cmpeq_ps(_mm_mul_ps(cx, zero), zero), _mm_cmpeq_ps(_mm_mul_ps(cy, zero), zero)),
                       _mm_and_ps(_mm_cmpeq_ps(_mm_mul_ps(cz, zero), zero), _mm_cmpeq_ps(_mm_mul_ps(cw, zero), zero)));
        const int finiteMask = _mm_movemask_ps(finite);
        alignas(16) std::int32_t outside[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(outside), bits);
        // ToScreenPosition's values.
        const __m128 invW = _mm_div_ps(one, cw);
        __m128 sx = _mm_add_ps(left, _mm_mul_ps(_mm_mul_ps(_mm_add_ps(one, _mm_mul_ps(cx, invW)), width), half));
        __m128 sy = _mm_add_ps(top, _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(one, _mm_mul_ps(cy, invW)), height), half));
        __m128 sz = invW;
        __m128 sw = _mm_add_ps(minZ, _mm_mul_ps(_mm_mul_ps(cz, invW), depth));
        _MM_TRANSPOSE4_PS(cx, cy, cz, cw);
        _MM_TRANSPOSE4_PS(sx, sy, sz, sw);
        const __m128 clips[4] = {cx, cy, cz, cw}, screens[4] = {sx, sy, sz, sw};
        for (int k = 0; k < 4; ++k) {
            alignas(16) float clip[4], screen[4];
            _mm_store_ps(clip, clips[k]);
            _mm_store_ps(screen, screens[k]);
            cache_[slot[k]].clip = {clip[0], clip[1], clip[2], clip[3]};
            points_[slot[k]] = {screen[0], screen[1], screen[2], screen[3]};
            outside_[slot[k]] = static_cast<std::uint8_t>(outside[k]);
            flags_[slot[k]] =
                static_cast<std::uint8_t>(kProcessed | kScreenPosition | ((finiteMask >> k) & 1 ? kPositionFinite : 0));
        }
    }
}

std::uint8_t Pipeline::Outside(const Vec4& clip, std::uint8_t* flags) const {
    // The planes' distances (Clipper::Distance) four at a time: a bit for each plane not
    // reached, NaN included; the position is finite where every lane times 0 is 0.
    const __m128 zero = _mm_setzero_ps();
    const __m128 position = _mm_setr_ps(clip.x, clip.y, clip.z, clip.w);
    int outside = 0;
    if (!vs_.transformed) {
        const float gw = guard_ * clip.w;
        const __m128 first = _mm_setr_ps(clip.z, clip.w - clip.z, gw + clip.x, gw - clip.x);
        const __m128 second = _mm_setr_ps(gw + clip.y, gw - clip.y, clip.w - Clipper::kWScale * std::fabs(clip.w) - Clipper::kWBias, 0);
        outside = _mm_movemask_ps(_mm_cmpnge_ps(first, zero)) | (_mm_movemask_ps(_mm_cmpnge_ps(second, zero)) & 7) << 4;
    }
    if (_mm_movemask_ps(_mm_cmpeq_ps(_mm_mul_ps(position, zero), zero)) == 15)
        *flags |= kPositionFinite;
    return static_cast<std::uint8_t>(outside);
}

void Pipeline::ProcessAttributes(std::size_t slot) {
    if (flags_[slot] & kAttributes)
        return;
    thread_local InputVertex in; // reused: zeroing a fresh one cost a quarter of this function
    fetch_.Read(low_ + slot, &in);
    ClipVertex& c = cache_[slot];
    Attributes(vs_, fetch_, in, &c);
    flags_[slot] |= static_cast<std::uint8_t>(kAttributes | (Finite(c) ? kFinite : 0));
}

void Pipeline::ProcessShared(std::size_t slot, bool keepInside) {
    thread_local InputVertex in;
    fetch_.Read(low_ + slot, &in);
    ClipVertex local;
    ClipVertex& c = keepInside ? cache_[slot] : local;
    Process(vs_, fetch_, in, &c);
    std::uint8_t flags = kProcessed | kAttributes | (Finite(c) ? kFinite : 0);
    const std::uint8_t outside = Outside(c.clip, &flags);
    outside_[slot] = outside;
    if (outside != 0) {
        if (!keepInside)
            cache_[slot] = c;
    } else {
        points_[slot] = ToScreenPosition(c);
        if (streamScreens_) { // the bands read it elsewhere
            ScreenVertex s;
            std::memset(static_cast<void*>(&s), 0, kLine);
            Place(points_[slot], &s);
            ToScreenAttributes(c, &s);
            Stream(&screens_[slot], &s, kLine / sizeof(__m128i));
        } else {
            Place(points_[slot], &screens_[slot]);
            ToScreenAttributes(c, &screens_[slot]);
        }
        flags |= kScreenPosition | kScreen | (keepInside ? 0 : kClipGone);
    }
    flags_[slot] = flags;
}

const ClipVertex& Pipeline::ClipForm(std::size_t slot, ClipVertex* remade) const {
    if (!(flags_[slot] & kClipGone))
        return cache_[slot];
    thread_local InputVertex in;
    fetch_.Read(low_ + slot, &in);
    Process(vs_, fetch_, in, remade);
    return *remade;
}

void Pipeline::ProcessVertices(std::size_t range, bool keepInside, UINT primitives) {
    struct Chunks {
        Pipeline* pipeline;
        std::size_t range;
        bool keepInside;
        std::size_t screenBytes; // of a screen vertex, those the draw writes
        int vertexChunks;
        UINT primitives;
    } chunks{this,
             range,
             keepInside,
             sizeof(float) * static_cast<std::size_t>(2 + raster_.count),
             static_cast<int>((range + kChunkVertices - 1) / kChunkVertices),
             primitives};
    const UINT primitiveChunks = (primitives + kChunkPrimitives - 1) / kChunkPrimitives;
    if (primitiveChunks != 0) {
        Assembly* assemblies = Assemblies(primitiveChunks);
        for (UINT i = 0; i < primitiveChunks; ++i)
            assemblies[i].mode = Assembly::Mode::kKeeping; // drawn at once they would not keep their order
        std::vector<std::uint32_t>& done = scratchStore_.vertexDone;
        done.assign(static_cast<std::size_t>(chunks.vertexChunks), 0);
        vertexDone_ = done.data();
        vertexChunks_ = done.size();
    }
    ++device_.counters.sharedVertexDraws;
    // Tasks are taken in order: every vertex chunk is taken before the first run of triangles,
    // whose thread waits only for chunks already under way.
    pool_->Run(
        chunks.vertexChunks + static_cast<int>(primitiveChunks),
        [](void* context, int i) {
            const Chunks& c = *static_cast<const Chunks*>(context);
            Pipeline& p = *c.pipeline;
            if (i >= c.vertexChunks) {
                const UINT first = static_cast<UINT>(i - c.vertexChunks) * kChunkPrimitives;
                p.Triangles(p.assemblies_[static_cast<std::size_t>(i - c.vertexChunks)], p.call_.type, first,
                            std::min(c.primitives, first + kChunkPrimitives));
                FenceStreams(); // before the bands read them elsewhere
                return;
            }
            const std::size_t end = std::min(c.range, (static_cast<std::size_t>(i) + 1) * kChunkVertices);
            for (std::size_t slot = static_cast<std::size_t>(i) * kChunkVertices; slot < end; ++slot) {
                // Claimed for writing ahead, as Defer does.
                if (slot + kClaimVertices < end) {
                    if (c.keepInside) {
                        const auto* clip = reinterpret_cast<const char*>(&p.cache_[slot + kClaimVertices]);
                        for (std::size_t b = 0; b < sizeof(ClipVertex); b += 64)
                            __builtin_prefetch(clip + b, 1);
                    }
                    const auto* screen = reinterpret_cast<const char*>(&p.screens_[slot + kClaimVertices]);
                    for (std::size_t b = 0; b < c.screenBytes && !p.streamScreens_; b += 64)
                        __builtin_prefetch(screen + b, 1);
                }
                p.ProcessShared(slot, c.keepInside);
            }
            FenceStreams(); // before the bands, or this run's triangles, read them elsewhere
            if (p.vertexDone_ != nullptr)
                std::atomic_ref<std::uint32_t>(p.vertexDone_[static_cast<std::size_t>(i)])
                    .store(1, std::memory_order_release);
        },
        &chunks);
    vertexDone_ = nullptr;
}

// A vertex through the shader: clip position, the saturated colours and, for each stage, the
// texture output its coordinate index names (projected by the count's last component when asked).
void Pipeline::ShadeVertex(std::uint64_t index, ClipVertex* out) {
    shaderFetch_.Read(index, &shaderIn_); // the inputs it does not write stay (0, 0, 0, 1)
    shader_->Run(shaderIn_, &shaderOut_);
    const ShaderOutput& o = shaderOut_;
    out->clip = {o.position[0], o.position[1], o.position[2], o.position[3]};
    for (int k = 0; k < 2; ++k)
        out->color[k] = {o.color[k][0], o.color[k][1], o.color[k][2], o.color[k][3]};
    out->fog = shaderFog_ ? Saturate(o.fog) : 1.0f;
    const State& s = device_.state;
    for (int i = 0; i < stages_; ++i) {
        const auto& t = o.tex[stageCoords_[i]];
        const DWORD flags = s.stage[i][D3DTSS_TEXTURETRANSFORMFLAGS];
        const DWORD count = flags & 0xFF;
        out->tex[i][0] = t[0];
        out->tex[i][1] = t[1];
        out->tex[i][2] = (flags & D3DTTFF_PROJECTED) && count >= 2 ? t[std::min<DWORD>(count, 4) - 1] : 1.0f;
    }
}

bool Pipeline::Finite(const ClipVertex& v) const {
    // A finite value times 0 is 0, infinity or NaN times 0 NaN: a lane's sum is NaN when one of
    // its values is not. The position and colours four at a time, the coordinates one by one.
    const __m128 zero = _mm_setzero_ps();
    auto zero4 = [&](const Vec4& c) { return _mm_mul_ps(_mm_setr_ps(c.x, c.y, c.z, c.w), zero); };
    const __m128 sum = _mm_add_ps(_mm_add_ps(zero4(v.clip), zero4(v.color[0])), zero4(v.color[1]));
    float rest = v.fog * 0.0f;
    for (int s = 0; s < stages_; ++s)
        rest += v.tex[s][0] * 0.0f + v.tex[s][1] * 0.0f + v.tex[s][2] * 0.0f;
    return _mm_movemask_ps(_mm_cmpeq_ps(_mm_add_ps(sum, _mm_set1_ps(rest)), zero)) == 15;
}

Vec4 Pipeline::ToScreenPosition(const ClipVertex& c) const {
    if (vs_.transformed)
        return {c.clip.x, c.clip.y, c.clip.w > 0 && std::isfinite(c.clip.w) ? c.clip.w : 1.0f, c.clip.z};
    const D3DVIEWPORT9& vp = device_.state.viewport;
    const float invW = 1.0f / c.clip.w;
    return {static_cast<float>(vp.X) + (1 + c.clip.x * invW) * static_cast<float>(vp.Width) * 0.5f,
            static_cast<float>(vp.Y) + (1 - c.clip.y * invW) * static_cast<float>(vp.Height) * 0.5f, invW,
            vp.MinZ + c.clip.z * invW * (vp.MaxZ - vp.MinZ)};
}

void Pipeline::ToScreenAttributes(const ClipVertex& c, ScreenVertex* s) const {
    const float invW = s->a[0];
    for (int k = 0; k < 2; ++k) {
        s->a[2 + 4 * k] = c.color[k].x * invW;
        s->a[3 + 4 * k] = c.color[k].y * invW;
        s->a[4 + 4 * k] = c.color[k].z * invW;
        s->a[5 + 4 * k] = c.color[k].w * invW;
    }
    for (int st = 0; st < stages_; ++st)
        for (int k = 0; k < 3; ++k)
            s->a[kFixed + 3 * st + k] = c.tex[st][k] * invW;
    if (ps_.fogIndex != 0)
        s->a[ps_.fogIndex] = c.fog * invW;
}

bool Pipeline::TriangleAttributes(Assembly& out, std::size_t ia, std::size_t ib, std::size_t ic, Vec4 flat[2]) {
    ProcessAttributes(ia);
    ProcessAttributes(ib);
    ProcessAttributes(ic);
    if (!(flags_[ia] & flags_[ib] & flags_[ic] & kFinite))
        return false;
    out.flatColor = nullptr;
    if (ps_.flat) {
        const ClipVertex& a = cache_[ia];
        flat[0] = {Saturate(a.color[0].x), Saturate(a.color[0].y), Saturate(a.color[0].z), Saturate(a.color[0].w)};
        flat[1] = {Saturate(a.color[1].x), Saturate(a.color[1].y), Saturate(a.color[1].z), Saturate(a.color[1].w)};
        out.flatColor = flat;
    }
    return true;
}

// A triangle is clipped and culled on its vertices' positions; their colours, coordinates and
// fog are processed only when it is drawn.
void Pipeline::Triangle(Assembly& out, std::size_t ia, std::size_t ib, std::size_t ic, bool swapped) {
    if (!(flags_[ia] & flags_[ib] & flags_[ic] & kPositionFinite))
        return;
    Vec4 flat[2];
    // Inside every plane (vertices already transformed always are): no clipping.
    if ((outside_[ia] | outside_[ib] | outside_[ic]) == 0) {
        const Vec4 &pa = ScreenPosition(ia), &pb = ScreenPosition(ib), &pc = ScreenPosition(ic);
        if (!Hidden(pa, pb, pc, swapped))
            DrawInside(out, ia, ib, ic);
        return;
    }
    // Outside one plane with all three vertices: nothing to draw.
    if (outside_[ia] & outside_[ib] & outside_[ic])
        return;
    if (!TriangleAttributes(out, ia, ib, ic, flat))
        return;
    ClipVertex remade[3];
    out.poly.assign({ClipForm(ia, &remade[0]), ClipForm(ib, &remade[1]), ClipForm(ic, &remade[2])});
    const int n = ClipPolygon(out.poly, out.clipped, guard_, stages_);
    if (n < 3)
        return;
    for (int i = 0; i < n; ++i)
        ToScreen(out.poly[i], &out.screen[i]);
    // The winding of the clipped polygon is the winding of the triangle; take the largest fan
    // triangle's for robustness.
    double area = 0;
    for (int i = 1; i + 1 < n; ++i)
        area += SignedArea(out.screen[0], out.screen[i], out.screen[i + 1]);
    if (Culled(area, swapped))
        return;
    for (int i = 1; i + 1 < n; ++i)
        EmitTriangle(out, &out.screen[0], &out.screen[i], &out.screen[i + 1]);
}

void Pipeline::DrawInside(Assembly& out, std::size_t ia, std::size_t ib, std::size_t ic) {
    Vec4 flat[2];
    if (TriangleAttributes(out, ia, ib, ic, flat))
        EmitTriangle(out, &Screen(ia), &Screen(ib), &Screen(ic), points_[ia], points_[ib], points_[ic]);
}

void Pipeline::Line(Assembly& out, const ClipVertex& a, const ClipVertex& b, bool lastPixel) {
    if (!Finite(a) || !Finite(b))
        return;
    Vec4 flat[2];
    out.flatColor = nullptr;
    if (ps_.flat) {
        flat[0] = a.color[0];
        flat[1] = a.color[1];
        out.flatColor = flat;
    }
    ClipVertex p = a, q = b;
    if (!vs_.transformed && !ClipSegment(p, q, guard_, stages_))
        return;
    ScreenVertex s0, s1;
    ToScreen(p, &s0);
    ToScreen(q, &s1);
    EmitLine(out, &s0, &s1, lastPixel);
}

void Pipeline::Point(Assembly& out, const ClipVertex& a) {
    if (!Finite(a))
        return;
    out.flatColor = nullptr;
    if (!vs_.transformed)
        for (int plane = 0; plane < 7; ++plane)
            if (!(Clipper::Distance(plane, a.clip, guard_) >= 0))
                return;
    if (device_.state.render[D3DRS_POINTSPRITEENABLE] != 0) {
        Sprite(out, a);
        return;
    }
    ScreenVertex s;
    ToScreen(a, &s);
    EmitLine(out, &s, &s, true);
}

// A point sprite: a screen-aligned square centred on the point, POINTSIZE pixels wide (with
// POINTSCALEENABLE and an untransformed vertex, scaled by the view depth d to
// height x size x sqrt(1 / (A + B d + C d^2))), held within POINTSIZE_MIN, POINTSIZE_MAX and the
// device's MaxPointSize; every stage's texture coordinates run from (0, 0) at the top left to
// (1, 1) at the bottom right. Sprites whose centre is clipped are not drawn.
void Pipeline::Sprite(Assembly& out, const ClipVertex& a) {
    const State& s = device_.state;
    const auto& r = s.render;
    float size = FloatOf(r[D3DRS_POINTSIZE]);
    if (r[D3DRS_POINTSCALEENABLE] != 0 && !vs_.transformed) {
        const float d = std::fabs(a.clip.w);
        const float den = FloatOf(r[D3DRS_POINTSCALE_A]) + FloatOf(r[D3DRS_POINTSCALE_B]) * d +
                          FloatOf(r[D3DRS_POINTSCALE_C]) * d * d;
        size = den > 0 ? static_cast<float>(s.viewport.Height) * size * std::sqrt(1.0f / den) : 0.0f;
    }
    size = std::max(size, FloatOf(r[D3DRS_POINTSIZE_MIN]));
    size = std::min({size, FloatOf(r[D3DRS_POINTSIZE_MAX]), device_.config.caps.MaxPointSize});
    if (!(size > 0.0f) || !std::isfinite(size))
        return;
    ScreenVertex c;
    ToScreen(a, &c);
    const float half = 0.5f * size;
    const int sx[4] = {0, 1, 1, 0}, sy[4] = {0, 0, 1, 1};
    ScreenVertex v[4];
    for (int k = 0; k < 4; ++k) {
        v[k] = c;
        v[k].x = c.x + (sx[k] != 0 ? half : -half);
        v[k].y = c.y + (sy[k] != 0 ? half : -half);
        for (int st = 0; st < stages_; ++st) {
            v[k].a[kFixed + 3 * st] = static_cast<float>(sx[k]) * c.a[0];
            v[k].a[kFixed + 3 * st + 1] = static_cast<float>(sy[k]) * c.a[0];
            v[k].a[kFixed + 3 * st + 2] = c.a[0];
        }
    }
    EmitTriangle(out, &v[0], &v[1], &v[2]);
    EmitTriangle(out, &v[0], &v[2], &v[3]);
}

template <class Corner>
void Pipeline::EmitTriangle(Assembly& out, const ScreenVertex* a, const ScreenVertex* b, const ScreenVertex* c,
                            const Corner& pa, const Corner& pb, const Corner& pc) const {
    Deferred d{};
    if (pool_ != nullptr &&
        Defers(out, std::min({pa.x, pb.x, pc.x}), std::max({pa.x, pb.x, pc.x}), std::min({pa.y, pb.y, pc.y}),
               std::max({pa.y, pb.y, pc.y}),
               0.5f * std::fabs((pb.x - pa.x) * (pc.y - pa.y) - (pc.x - pa.x) * (pb.y - pa.y)), &d)) {
        d.v[0] = Keep(out, a);
        d.v[1] = Keep(out, b);
        d.v[2] = Keep(out, c);
        Defer(out, d);
        return;
    }
    if (pool_ != nullptr && out.mode != Assembly::Mode::kImmediate)
        return; // no row of the scissor
    Raster r = raster_;
    r.flatColor = out.flatColor;
    DrawTriangle(r, a, b, c);
}

void Pipeline::EmitLine(Assembly& out, const ScreenVertex* a, const ScreenVertex* b, bool lastPixel) const {
    Deferred d{};
    if (pool_ != nullptr && Defers(out, std::min(a->x, b->x), std::max(a->x, b->x), std::min(a->y, b->y),
                                   std::max(a->y, b->y), std::max(std::fabs(b->x - a->x), std::fabs(b->y - a->y)) + 1,
                                   &d)) {
        d.v[0] = Keep(out, a);
        d.v[1] = a == b ? d.v[0] : Keep(out, b);
        d.line = true;
        d.lastPixel = lastPixel;
        Defer(out, d);
        return;
    }
    if (pool_ != nullptr && out.mode != Assembly::Mode::kImmediate)
        return;
    Raster r = raster_;
    r.flatColor = out.flatColor;
    DrawLine(r, a, b, lastPixel);
}

// The rows a primitive with these extremes can cover (pixel centres on the integers, positions
// snapped to a fraction of a pixel), within the scissor; NaN gives none.
bool Pipeline::Defers(Assembly& out, float minX, float maxX, float minY, float maxY, float pixels,
                      Deferred* d) const {
    // floor(v) + add held within [lo, hi], NaN giving lo: compared before the floor, which then
    // takes a value within int range (a truncation, one less below it).
    auto clamp = [](float v, int add, int lo, int hi) {
        if (!(v >= static_cast<float>(lo - add + 1)))
            return lo;
        if (!(v < static_cast<float>(hi - add)))
            return hi;
        const int t = static_cast<int>(v);
        return t - (static_cast<float>(t) > v ? 1 : 0) + add;
    };
    d->top = clamp(minY, 0, ps_.top, ps_.bottom);
    d->bottom = clamp(maxY, 2, ps_.top, ps_.bottom);
    const int left = clamp(minX, 0, ps_.left, ps_.right);
    const int right = clamp(maxX, 2, ps_.left, ps_.right);
    const int width = std::max(right - left, 0), rows = std::max(d->bottom - d->top, 0);
    out.area += std::int64_t{width} * rows;
    // No more than the box holds (NaN: the box).
    const float perRow = pixels / static_cast<float>(std::max(rows, 1));
    d->rowWork = perRow < static_cast<float>(width) ? static_cast<int>(perRow) : width;
    ++out.seen;
    using Mode = Assembly::Mode;
    if (out.area >= splitArea_) {
        out.mode = Mode::kKeeping;
    } else if (out.mode == Mode::kCollecting && out.seen >= kForetell &&
               static_cast<double>(out.area) * call_.primitives < static_cast<double>(splitArea_) * out.seen) {
        // Small after all: what was kept is drawn, this one and the next at once.
        DrawKept(out, ps_.top, ps_.bottom);
        out.deferred.clear();
        out.kept.clear();
        out.flats.clear();
        out.mode = Mode::kImmediate;
    }
    return out.mode != Mode::kImmediate && d->top < d->bottom;
}

void Pipeline::Defer(Assembly& out, const Deferred& d) const {
    const auto at = [&](int y) -> std::int64_t& { return out.work[static_cast<std::size_t>(y - ps_.top)]; };
    const auto clear = [&](int from, int to) { // [from, to)
        std::fill(out.work.begin() + (from - ps_.top), out.work.begin() + (to - ps_.top), 0);
    };
    if (out.deferred.empty()) {
        if (out.work.size() <= static_cast<std::size_t>(ps_.bottom - ps_.top))
            out.work.resize(static_cast<std::size_t>(ps_.bottom - ps_.top) + 1);
        clear(d.top, d.bottom + 1);
        out.top = d.top;
        out.bottom = d.bottom;
    } else {
        if (d.top < out.top)
            clear(d.top, out.top);
        if (d.bottom > out.bottom)
            clear(out.bottom + 1, d.bottom + 1);
        out.top = std::min(out.top, d.top);
        out.bottom = std::max(out.bottom, d.bottom);
    }
    Deferred kept = d;
    kept.flat = -1;
    if (out.flatColor != nullptr) {
        kept.flat = static_cast<std::int32_t>(out.flats.size());
        out.flats.push_back({{out.flatColor[0], out.flatColor[1]}});
    }
    out.deferred.push_back(kept);
    const std::int64_t row = d.rowWork + kRowWork;
    at(d.top) += row + kSetUpWork;
    at(d.top + 1) -= kSetUpWork;
    at(d.bottom) -= row;
}

std::uint32_t Pipeline::Keep(Assembly& out, const ScreenVertex* v) const {
    const std::less<const ScreenVertex*> before;
    if (!before(v, screens_.data()) && before(v, screens_.data() + screens_.size()))
        return static_cast<std::uint32_t>(v - screens_.data());
    out.kept.push_back(*v);
    return kKept | static_cast<std::uint32_t>(out.kept.size() - 1);
}

const ScreenVertex& Pipeline::Kept(const Assembly& from, std::uint32_t ref) const {
    return (ref & kKept) != 0 ? from.kept[ref & ~kKept] : screens_[ref];
}

void Pipeline::DrawBands() {
    FenceStreams(); // what this thread kept, before the bands read it elsewhere
    std::int64_t area = 0;
    int top = ps_.bottom, bottom = ps_.top;
    for (std::size_t i = 0; i < assembled_; ++i) {
        const Assembly& a = assemblies_[i];
        area += a.area;
        if (!a.deferred.empty()) {
            top = std::min(top, a.top);
            bottom = std::max(bottom, a.bottom);
        }
    }
    if (top >= bottom)
        return; // nothing kept
    if (area < splitArea_) {
        DrawBand(ps_.top, ps_.bottom);
        return;
    }
    // The estimate a row, and the bands' edges where its running sum passes each equal share.
    std::vector<std::int64_t>& work = scratchStore_.rowWork;
    work.assign(static_cast<std::size_t>(bottom - top), 0);
    for (std::size_t i = 0; i < assembled_; ++i) {
        const Assembly& a = assemblies_[i];
        if (a.deferred.empty())
            continue;
        std::int64_t sum = 0; // the steps are 0 above the assembly's rows and add up to 0 below
        for (int y = a.top; y < a.bottom; ++y) {
            sum += a.work[static_cast<std::size_t>(y - ps_.top)];
            work[static_cast<std::size_t>(y - top)] += sum;
        }
    }
    std::int64_t total = 0;
    for (std::int64_t w : work)
        total += w;
    const int rows = bottom - top;
    // Guided shares with room for all 4P bands (and more than one thread), else equal ones.
    const int parallel = pool_->Parallel();
    const int guided = kGuidedBandsPerThread * parallel;
    const int count = parallel > 1 && rows / kBandRows >= guided
                          ? guided
                          : std::clamp(rows / kBandRows, 1, kBandsPerThread * parallel);
    const std::int64_t units = count == guided ? 8 * parallel : count; // the work in share units
    std::vector<int>& edges = scratchStore_.bandEdges;
    edges.assign(1, top);
    std::int64_t sum = 0, reached = 0; // the work above y + 1, the share units of the bands cut
    for (int y = top; y + 1 < bottom && static_cast<int>(edges.size()) < count; ++y) {
        sum += work[static_cast<std::size_t>(y - top)];
        const int k = static_cast<int>(edges.size()); // the edge looked for
        const std::int64_t share = count == guided ? GuidedShare(k - 1, parallel) : 1;
        // Past its share of the work and kBandRows below the last edge, or where the room for the
        // bands still to come ends.
        if ((sum * units >= total * (reached + share) && y + 1 - edges.back() >= kBandRows) ||
            bottom - (y + 1) <= (count - k) * kBandRows) {
            edges.push_back(y + 1);
            reached += share;
        }
    }
    edges.push_back(bottom);
    const int bands = static_cast<int>(edges.size()) - 1;
    // Room for each band and the bands taken from them.
    const std::size_t capacity = static_cast<std::size_t>(kTakenBandsPerBand + 1) * static_cast<std::size_t>(bands);
    if (scratchStore_.bandCapacity < capacity) {
        scratchStore_.bands = std::make_unique<Band[]>(capacity);
        scratchStore_.bandCapacity = capacity;
    }
    for (std::size_t i = 0; i < capacity; ++i)
        scratchStore_.bands[i].ask.store(Band::kClosed, std::memory_order_relaxed);
    BandRun run{this, edges.data(), bands, parallel > 1, scratchStore_.bands.get(), capacity};
    run.slots.store(static_cast<std::size_t>(bands), std::memory_order_relaxed);
    ++device_.counters.sharedDraws;
    pool_->Run(
        bands,
        [](void* context, int i) {
            BandRun& b = *static_cast<BandRun*>(context);
            const Pipeline& p = *b.pipeline;
            b.started.fetch_add(1);
            Band& band = b.band[i];
            band.top = b.edges[i];
            band.bottom.store(b.edges[i + 1], std::memory_order_relaxed);
            band.todo = 0;
            for (std::size_t k = 0; k < p.assembled_; ++k) {
                const Assembly& a = p.assemblies_[k];
                if (a.top < b.edges[i + 1] && a.bottom > b.edges[i])
                    band.todo += a.deferred.size();
            }
            band.left.store(band.todo, std::memory_order_relaxed);
            band.ask.store(b.take ? Band::kOpen : Band::kClosed, std::memory_order_release);
            p.DrawOpenBand(band, 0, 0);
            // Once every band is under way, a thread out of work takes rows from the others.
            std::size_t slot = SIZE_MAX;
            while (b.take && b.started.load() == b.bands && p.TakeRows(b, &slot)) {
            }
        },
        &run);
}

void Pipeline::DrawOpenBand(Band& band, std::size_t assembly, std::size_t from) const {
    for (std::size_t i = assembly; i < assembled_; ++i) {
        const Assembly& a = assemblies_[i];
        const int bottom = band.bottom.load(std::memory_order_relaxed);
        if (!a.deferred.empty() && a.top < bottom && a.bottom > band.top)
            DrawKept(a, band.top, bottom, &band, i, i == assembly ? from : 0);
    }
    // Closed once no grant is being read: the asker of one reads the grant's fields, then opens
    // the band again.
    for (std::int64_t ask = band.ask.load(std::memory_order_acquire);;) {
        if (ask < Band::kClosed) {
            _mm_pause();
            ask = band.ask.load(std::memory_order_acquire);
        } else if (band.ask.compare_exchange_weak(ask, Band::kClosed, std::memory_order_acq_rel)) {
            return; // an asker still waiting finds it closed
        }
    }
}

int Pipeline::Answer(Band& band, std::size_t assembly, std::size_t from, int bottom) const {
    const std::int64_t ask = band.ask.load(std::memory_order_acquire);
    if (ask <= 0)
        return bottom;
    const int row = static_cast<int>(ask & 0xFFFFFFFF) - 1;
    if (row < band.top + kTakenRows || row > bottom - kTakenRows) {
        band.ask.store(Band::kOpen, std::memory_order_release); // refused
        return bottom;
    }
    band.assembly = assembly;
    band.from = from;
    band.grantedBottom = bottom;
    band.bottom.store(row, std::memory_order_relaxed);
    band.ask.store(Band::GrantedTo(static_cast<std::size_t>(ask >> 32) - 1), std::memory_order_release);
    return row;
}

bool Pipeline::TakeRows(BandRun& run, std::size_t* slot) const {
    if (*slot == SIZE_MAX) {
        *slot = run.slots.fetch_add(1);
        if (*slot >= run.capacity)
            return false;
    }
    // The open band with the most rows times primitives left, if worth halving.
    Band* best = nullptr;
    std::int64_t most = 0;
    int row = 0;
    const std::size_t slots = std::min(run.slots.load(), run.capacity);
    for (std::size_t i = 0; i < slots; ++i) {
        Band& b = run.band[i];
        if (b.ask.load(std::memory_order_acquire) != Band::kOpen)
            continue;
        const int rows = b.bottom.load(std::memory_order_relaxed) - b.top;
        const std::size_t left = b.left.load(std::memory_order_relaxed);
        const std::int64_t worth = std::int64_t{rows} * static_cast<std::int64_t>(left);
        if (rows >= 2 * kTakenRows && left >= kTakenPrimitives && worth > most) {
            best = &b;
            most = worth;
            row = b.top + rows / 2;
        }
    }
    if (best == nullptr)
        return false;
    std::int64_t open = Band::kOpen;
    const std::int64_t asking = Band::Asking(*slot, row);
    if (!best->ask.compare_exchange_strong(open, asking, std::memory_order_acq_rel))
        return true; // another asked first: look again
    std::int64_t answer = asking;
    for (int spin = 1; answer == asking; ++spin) {
        _mm_pause();
        if (spin % 64 == 0) // the owner may share this processor
            std::this_thread::yield();
        answer = best->ask.load(std::memory_order_acquire);
    }
    if (answer != Band::GrantedTo(*slot))
        return true; // refused or closed: look again
    Band& taken = run.band[*slot];
    taken.top = row;
    taken.bottom.store(best->grantedBottom, std::memory_order_relaxed);
    const std::size_t assembly = best->assembly, from = best->from;
    taken.todo = best->left.load(std::memory_order_relaxed);
    taken.left.store(taken.todo, std::memory_order_relaxed);
    best->ask.store(Band::kOpen, std::memory_order_release); // the grant read
    taken.ask.store(Band::kOpen, std::memory_order_release);
    DrawOpenBand(taken, assembly, from);
    *slot = SIZE_MAX;
    return true;
}

void Pipeline::DrawBand(int top, int bottom) const {
    for (std::size_t i = 0; i < assembled_; ++i) {
        const Assembly& a = assemblies_[i];
        if (!a.deferred.empty() && a.top < bottom && a.bottom > top)
            DrawKept(a, top, bottom);
    }
}

void Pipeline::DrawKept(const Assembly& a, int top, int bottom, Band* band, std::size_t assembly,
                        std::size_t from) const {
    Raster r = raster_;
    r.top = top;
    r.bottom = bottom;
    const Deferred* const begin = a.deferred.begin();
    const Deferred* const end = a.deferred.end();
    for (const Deferred* at = begin + from; at != end; ++at) {
        const Deferred& d = *at;
        if (band != nullptr) {
            r.bottom = Answer(*band, assembly, static_cast<std::size_t>(at - begin), r.bottom);
            band->todo -= band->todo != 0 ? 1 : 0;
            if ((band->todo & 31) == 0)
                band->left.store(band->todo, std::memory_order_relaxed);
        }
        if (d.bottom <= top || d.top >= r.bottom)
            continue;
        // The vertices of a primitive a few ahead are asked for now: the vertex run wrote them
        // past the cache.
        if (end - at > kFetchAhead)
            for (std::uint32_t v : at[kFetchAhead].v)
                if (!(v & kKept) && v < screens_.size())
                    __builtin_prefetch(&screens_[v]);
        r.flatColor = d.flat >= 0 ? a.flats[static_cast<std::size_t>(d.flat)].c : nullptr;
        if (d.line)
            DrawLine(r, &Kept(a, d.v[0]), &Kept(a, d.v[1]), d.lastPixel);
        else
            DrawTriangle(r, &Kept(a, d.v[0]), &Kept(a, d.v[1]), &Kept(a, d.v[2]));
    }
}

} // namespace

} // namespace raster_detail

void RasteriseDraw(Device& device, const DrawCall& call) { raster_detail::Pipeline(device, call).Run(); }

void ShareRows(int count, std::size_t rowBytes, void (*rows)(void* context, int first, int end), void* context) {
    // Shared only with workers still awake from the draws before (or when every draw is shared):
    // waking sleepers costs more than a clear saves.
    long splitArea = 0;
    const std::shared_ptr<PlatformWorkerPool> pool = raster_detail::RasterPool(&splitArea);
    const int pieces = pool == nullptr || static_cast<std::size_t>(count) * rowBytes < raster_detail::kShareBytes ||
                               (splitArea != 0 && pool->Sleeping() != 0)
                           ? 1
                           : std::min(count, raster_detail::kBandsPerThread * pool->Parallel());
    if (pieces <= 1) {
        rows(context, 0, count);
        return;
    }
    struct Pieces {
        int count, pieces;
        void (*rows)(void*, int, int);
        void* context;
    } p{count, pieces, rows, context};
    pool->Run(
        pieces,
        [](void* c, int i) {
            const Pieces& p = *static_cast<const Pieces*>(c);
            const auto edge = [&p](int k) { return static_cast<int>(std::int64_t{p.count} * k / p.pieces); };
            p.rows(p.context, edge(i), edge(i + 1));
        },
        &p);
}

} // namespace d3d9

void D3d9SetRasterThreads(int threads, long splitArea) {
    d3d9::raster_detail::RasterThreads& t = d3d9::raster_detail::g_rasterThreads;
    std::shared_ptr<PlatformWorkerPool> old;
    const std::lock_guard<std::mutex> lock(t.mutex);
    old.swap(t.pool); // joined once the last draw on it lets go
    t.wanted = std::max(threads, 0);
    t.threads = 0;
    t.splitArea = splitArea >= 0 ? splitArea : d3d9::raster_detail::kSplitArea;
}

int D3d9RasterThreadCount() {
    long splitArea = 0;
    d3d9::raster_detail::RasterPool(&splitArea);
    const std::lock_guard<std::mutex> lock(d3d9::raster_detail::g_rasterThreads.mutex);
    return d3d9::raster_detail::g_rasterThreads.threads;
}
