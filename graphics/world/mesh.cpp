#include "graphics/world/mesh.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graphics/core/chunk.h"
#include "graphics/core/engine.h"
#include "graphics/core/error.h"
#include "graphics/core/raster.h"
#include "graphics/core/stream.h"
#include "graphics/core/texture.h"
#include "graphics/world/geometry.h"
#include "graphics/world/material.h"
#include "graphics/world/stored_arrays.h"
#include "graphics/world/world_plugin.h"

namespace {

OvInt32 gMeshModuleOffset = -1;
OvInt32 gMeshOpens = 0;
OvFreeList* gBuilderFreeList = nullptr;
constexpr OvInt32 kBuildersPerBlock = 50;
constexpr OvUInt32 kMeshHint = ovMEMHINTDUR_OBJECT | ovPLUGINIDMESH;
OvMeshHeader gEmptyHeader = {};
OvMeshStripCallBack gStripCallBack = OvMeshDefaultStripCallBack;
void* gStripData = nullptr;
bool gStripEdgeHash = true;

constexpr OvUInt32 kIndexBlock = 256; // indices converted per stream call
// Stored indices read per call when the stream does not hold them: 128 KB, twice what the file
// layer reads ahead, so that they come from the file straight into the block, and small enough to
// be narrowed from the second-level cache right after the read. The block is the thread's, kept
// from one read to the next (warm, no fresh pages a load); a mesh of up to kIndexStackBlock
// indices uses one on the stack.
constexpr OvUInt32 kIndexReadBlock = 32768;
constexpr OvUInt32 kIndexStackBlock = 1024;

void ReportNoMemory(std::size_t bytes) { OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRNOMEMORY, bytes)); }
void ReportRead() { OvErrorReport(ovPLUGINIDCORE, OvErrorCode(ovERRREAD)); }

OvUInt16 NextSerial() {
    if (gMeshModuleOffset < 0) {
        return 0;
    }
    return OvMeshGetModule()->serialCounter++;
}

// 1 when the material needs blending: its texture's raster has alpha, or its colour is not
// opaque.
int TransparencyKey(const OvMaterial* material) {
    if (material == nullptr) {
        return 0;
    }
    if (material->texture != nullptr && material->texture->raster != nullptr) {
        const OvInt32 nibble = (OvRasterGetFormat(material->texture->raster) & ovRASTERFORMATPIXELFORMATMASK) >> 8;
        if (nibble == 1 || nibble == 3 || nibble == 5) {
            return 1;
        }
    }
    return material->color.alpha < 255 ? 1 : 0;
}

// A material's triangles in a build.
struct Group {
    OvMaterial* material;
    OvUInt32 first; // its first triangle
    int transparent;
    OvUInt16 textureRank;
    OvUInt16 rasterRank;
    OvUInt16 pipelineRank;
    OvUInt16 firstIndex; // smallest list position among its triangles
    OvUInt32 count;      // its triangles
    OvUInt32 next;       // where its next triangle goes in the sorted order
};

// Runs of one material in the sorted order: [begin, end) positions.
struct Run {
    std::size_t begin;
    std::size_t end;
};

// Working memory of the list passes.
struct PassScratch {
    std::vector<std::uint64_t> passesOfVertex; // bit p: a triangle of pass p uses the vertex
    std::vector<OvUInt8> passOf;               // per triangle
    std::vector<OvUInt32> rank;                // per triangle: its place among those of its pass
    std::vector<OvUInt16> placed;
};

// Working memory of a build. A level's sectors are built one after another, so the memory is
// kept from one build to the next rather than allocated a dozen times a sector.
struct BuildScratch {
    std::vector<Group> groups;
    std::vector<OvUInt32> groupOf; // per triangle, unless the groups go by material index
    bool byEntry = false;          // the triangles' groups are groupOfEntry[material index]
    OvUInt32 groupOfEntry[64];
    std::vector<OvUInt32> order; // of the groups
    std::unordered_map<const OvMaterial*, OvUInt32> mapped;
    // Per list position: the build's stamp (high half) and the group of its material.
    std::vector<std::uint64_t> groupOfIndex;
    OvUInt32 stamp = 0;
    std::vector<const OvMeshBuilderTriangle*> sorted; // strips
    std::vector<OvTriangle> gathered;                 // lists: the triangles in material order
    std::vector<const void*> seen;                    // textures, rasters, pipelines met in a ranking
    std::vector<Run> runs;
};

// Makes v hold at least n elements. Working arrays only grow: the elements added by a growth are
// zeroed, so shrinking and growing them again for every small mesh would clear them each time.
template <typename T> void AtLeast(std::vector<T>& v, std::size_t n) {
    if (v.size() < n) {
        v.resize(n);
    }
}

thread_local BuildScratch tScratch;
thread_local bool tScratchLent = false;
// The pass memory is in use only within one reordering, which calls out to nothing, so every build
// of the thread shares it, nested ones too, without a lease.
thread_local PassScratch tPasses;

// The thread's block for stored indices the stream does not hold; null when there is no memory.
OvUInt8* IndexReadBlock() {
    thread_local std::unique_ptr<OvUInt8[]> block;
    if (block == nullptr) {
        block.reset(new (std::nothrow) OvUInt8[4 * kIndexReadBlock]);
    }
    return block.get();
}

// The thread's kept working memory, or memory of its own for a build that starts while another
// holds it (a strip callback that builds lists, say), made only then: a level builds thousands of
// small meshes, for which making and dropping an unused set of containers is a good part of the
// work.
class ScratchLease {
public:
    ScratchLease() : m_shared(!tScratchLent) {
        if (m_shared) {
            tScratchLent = true;
        } else {
            m_own = std::make_unique<BuildScratch>();
        }
    }
    ~ScratchLease() {
        if (m_shared) {
            tScratchLent = false;
        }
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    BuildScratch& Get() { return m_shared ? tScratch : *m_own; }

private:
    bool m_shared;
    std::unique_ptr<BuildScratch> m_own;
};

// Triangles of a builder: each record carries its material, list position and ranks.
struct BuilderTriangles {
    const OvMeshBuilderTriangle* t;
    std::size_t count;

    OvMaterial* Material(std::size_t i) const { return t[i].material; }
    OvUInt16 Entry(std::size_t i) const { return t[i].matIndex; }
    // Whether triangle i's material is the one given (records may pair one list position with
    // different materials).
    bool IsOf(std::size_t i, const OvMaterial* material) const { return t[i].material == material; }
    const OvUInt16* Vertices(std::size_t i) const { return t[i].vertIndex; }
    OvTriangle Corners(std::size_t i) const { return {{t[i].vertIndex[0], t[i].vertIndex[1], t[i].vertIndex[2]}, 0}; }
    void Rank(BuildScratch& s) const {
        for (Group& g : s.groups) {
            g.textureRank = t[g.first].textureRank;
            g.rasterRank = t[g.first].rasterRank;
            g.pipelineRank = t[g.first].pipelineRank;
        }
    }
};

// Triangles whose materials are entries [base + material index] of a list, ranked by the first
// appearance of their textures, rasters and pipelines.
struct WindowTriangles {
    const OvTriangle* t;
    std::size_t count;
    OvMaterial* const* window; // the list's entries from base on
    OvInt32 base;
    std::size_t entries; // in the window: every material index is below

    OvMaterial* Material(std::size_t i) const { return window[t[i].matIndex]; }
    OvUInt16 Entry(std::size_t i) const { return static_cast<OvUInt16>(base + t[i].matIndex); }
    // A list position always names the same material.
    bool IsOf(std::size_t, const OvMaterial*) const { return true; }
    const OvUInt16* Vertices(std::size_t i) const { return t[i].vertIndex; }
    OvTriangle Corners(std::size_t i) const {
        OvTriangle corners;
        std::memcpy(&corners, t + i, sizeof corners);
        return corners;
    }
    // Groups are made in the order their materials first appear, so ranking them in that order
    // ranks the triangles by first appearance.
    void Rank(BuildScratch& s) const {
        const std::size_t numGroups = s.groups.size();
        AtLeast(s.seen, 3 * numGroups);
        const void** textures = s.seen.data();
        const void** rasters = textures + numGroups;
        const void** pipelines = rasters + numGroups;
        OvInt32 numTextures = 0, numRasters = 0, numPipelines = 0;
        for (Group& g : s.groups) {
            const OvTexture* texture = g.material->texture;
            g.textureRank = OvMeshRankOf<const void*>(textures, numTextures, texture);
            g.rasterRank =
                OvMeshRankOf<const void*>(rasters, numRasters, texture != nullptr ? texture->raster : nullptr);
            g.pipelineRank = OvMeshRankOf<const void*>(pipelines, numPipelines, g.material->pipeline);
        }
    }
};

// Groups the triangles of a build by material, in one pass: s.groups in the order their
// materials first appear, each with its count, and s.groupOf. Records of one material compare
// equal whatever list position they name.
template <typename Triangles> void CollectGroups(const Triangles& tris, BuildScratch& s) {
    // Objects usually have a handful of materials: their groups are found by a scan, and by a
    // map once there are more than a few.
    constexpr std::size_t kScannedGroups = 16;
    const std::size_t n = tris.count;
    std::vector<Group>& groups = s.groups;
    groups.clear();
    s.byEntry = false;
    AtLeast(s.groupOf, n);
    s.mapped.clear();
    if (++s.stamp == 0) {
        std::fill(s.groupOfIndex.begin(), s.groupOfIndex.end(), 0);
        s.stamp = 1;
    }
    const std::uint64_t stamp = static_cast<std::uint64_t>(s.stamp) << 32;
    // Kept in locals: the compiler cannot tell that the stores below leave the vectors alone.
    std::uint64_t* groupOfIndex = s.groupOfIndex.data();
    std::size_t indexed = s.groupOfIndex.size();
    OvUInt32* groupOf = s.groupOf.data();
    for (std::size_t i = 0; i < n; ++i) {
        const OvUInt16 entry = tris.Entry(i);
        if (entry >= indexed) {
            s.groupOfIndex.resize(static_cast<std::size_t>(entry) + 1, 0);
            groupOfIndex = s.groupOfIndex.data();
            indexed = s.groupOfIndex.size();
        }
        std::uint64_t& known = groupOfIndex[entry];
        auto g = static_cast<OvUInt32>(known);
        // A list position met before in this build names its group, as long as the triangle's
        // material is the group's.
        if ((known & ~std::uint64_t{0xFFFFFFFF}) != stamp || !tris.IsOf(i, groups[g].material)) {
            OvMaterial* material = tris.Material(i);
            g = 0;
            if (groups.size() <= kScannedGroups) {
                while (g < groups.size() && groups[g].material != material) {
                    ++g;
                }
            } else {
                if (s.mapped.empty()) {
                    for (OvUInt32 k = 0; k < groups.size(); ++k) {
                        s.mapped.emplace(groups[k].material, k);
                    }
                }
                g = s.mapped.emplace(material, static_cast<OvUInt32>(groups.size())).first->second;
            }
            if (g == groups.size()) {
                groups.push_back({material, static_cast<OvUInt32>(i), TransparencyKey(material), 0, 0, 0, entry, 0, 0});
            }
            known = stamp | g;
            groups[g].firstIndex = std::min(groups[g].firstIndex, entry);
        }
        groups[g].count++;
        groupOf[i] = g;
    }
}

// Material indices the grouping by index tells apart.
constexpr std::size_t kIndexedEntries = sizeof(BuildScratch::groupOfEntry) / sizeof(OvUInt32);
// Triangles the grouping by index counts as it meets their indices.
constexpr std::size_t kFewTriangles = 32;

// Groups window triangles by material when all their material indices are below
// kIndexedEntries (false, nothing set, when one is not): each index is counted in one pass, the
// indices met, in the order they first appear, give the groups, and a triangle's group is
// groupOfEntry[its index]. The groups are those CollectGroups makes.
bool CollectGroupsByEntry(const WindowTriangles& tris, BuildScratch& s) {
    const OvTriangle* t = tris.t;
    const std::size_t n = tris.count;
    // The indices in the order they first appear, with their first triangles and their counts.
    OvUInt16 met[kIndexedEntries];
    OvUInt32 firstOf[kIndexedEntries];
    OvUInt32 total[kIndexedEntries];
    std::size_t numMet = 0;
    std::uint64_t found = 0;
    // Records index e first met at triangle k; false when it was met before.
    const auto meetsFirst = [&](OvUInt16 e, std::size_t k) {
        const std::uint64_t bit = std::uint64_t{1} << e;
        if ((found & bit) != 0) {
            return false;
        }
        found |= bit;
        firstOf[e] = static_cast<OvUInt32>(k);
        met[numMet++] = e;
        return true;
    };
    if (n <= kFewTriangles) {
        // A few triangles (most of a level's sectors) are counted as their indices are met:
        // cheaper than clearing counts for every index the window could hold.
        for (std::size_t k = 0; k < n; ++k) {
            const OvUInt16 e = t[k].matIndex;
            if (e >= kIndexedEntries) {
                return false;
            }
            if (meetsFirst(e, k)) {
                total[e] = 0;
            }
            total[e]++;
        }
    } else {
        // Four counts an index, a triangle counted in count i % 4, so that a run of one index
        // does not wait for each count before the next. Those of the indices below the window's
        // size rounded up to a power of two are cleared first: an index past them sets a bit of
        // any that none of them has.
        const std::size_t span = std::bit_ceil(std::clamp<std::size_t>(tris.entries, 1, kIndexedEntries));
        OvUInt32 counts[kIndexedEntries][4];
        std::memset(counts, 0, span * sizeof counts[0]);
        OvUInt32 any = 0;
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            const OvUInt16 e0 = t[i].matIndex, e1 = t[i + 1].matIndex, e2 = t[i + 2].matIndex, e3 = t[i + 3].matIndex;
            any |= e0 | e1 | e2 | e3;
            counts[e0 % kIndexedEntries][0]++;
            counts[e1 % kIndexedEntries][1]++;
            counts[e2 % kIndexedEntries][2]++;
            counts[e3 % kIndexedEntries][3]++;
        }
        for (; i < n; ++i) {
            any |= t[i].matIndex;
            counts[t[i].matIndex % kIndexedEntries][0]++;
        }
        if (any >= span) {
            return false;
        }
        // A scan for the first triangles stops at the last index's first, when the indices
        // found account for every triangle.
        for (std::size_t k = 0, accounted = 0; accounted < n; ++k) {
            const OvUInt16 e = t[k].matIndex;
            if (meetsFirst(e, k)) {
                total[e] = counts[e][0] + counts[e][1] + counts[e][2] + counts[e][3];
                accounted += total[e];
            }
        }
    }
    // At most a group an index met; the vector is sized once and cut to the groups made.
    s.groups.resize(numMet);
    Group* groups = s.groups.data();
    OvUInt32 numGroups = 0;
    for (std::size_t k = 0; k < numMet; ++k) {
        const OvUInt16 e = met[k];
        OvMaterial* material = tris.window[e];
        OvUInt32 g = 0;
        while (g < numGroups && groups[g].material != material) {
            ++g;
        }
        const auto entry = static_cast<OvUInt16>(tris.base + e);
        if (g == numGroups) {
            groups[numGroups++] = {material, firstOf[e], TransparencyKey(material), 0, 0, 0, entry, 0, 0};
        }
        groups[g].firstIndex = std::min(groups[g].firstIndex, entry);
        groups[g].count += total[e];
        s.groupOfEntry[e] = g;
    }
    s.groups.resize(numGroups);
    s.byEntry = true;
    return true;
}

// Groups the triangles (by material index where it can) and orders the groups: s.order and
// s.runs, each group's next set to where its first triangle goes. Among different materials the
// order is transparency, raster, pipeline, texture and then the material's first list position
// among the triangles, so that the order is a strict weak one even when a material appears twice
// in a list. Triangles of one material keep their order, which is what a stable sort of the
// records gives.
template <typename Triangles> void GroupTriangles(const Triangles& tris, BuildScratch& s) {
    if constexpr (std::is_same_v<Triangles, WindowTriangles>) {
        if (!CollectGroupsByEntry(tris, s)) {
            CollectGroups(tris, s);
        }
    } else {
        CollectGroups(tris, s);
    }
    const auto numGroups = static_cast<OvUInt32>(s.groups.size());
    s.order.resize(numGroups);
    s.runs.resize(numGroups);
    // Kept in locals: the compiler cannot tell that the stores below leave the vectors alone.
    Group* groups = s.groups.data();
    OvUInt32* order = s.order.data();
    Run* runs = s.runs.data();
    for (OvUInt32 i = 0; i < numGroups; ++i) {
        order[i] = i;
    }
    // The ranks only order groups among themselves: a single group (most of a level's sectors)
    // needs neither.
    if (numGroups > 1) {
        tris.Rank(s);
        const auto before = [groups](OvUInt32 x, OvUInt32 y) {
            const Group& a = groups[x];
            const Group& b = groups[y];
            if (a.transparent != b.transparent) {
                return a.transparent < b.transparent;
            }
            if (a.rasterRank != b.rasterRank) {
                return a.rasterRank < b.rasterRank;
            }
            if (a.pipelineRank != b.pipelineRank) {
                return a.pipelineRank < b.pipelineRank;
            }
            if (a.textureRank != b.textureRank) {
                return a.textureRank < b.textureRank;
            }
            if (a.firstIndex != b.firstIndex) {
                return a.firstIndex < b.firstIndex;
            }
            return x < y;
        };
        // The order is a total one, so any sort gives the same result; a few groups (the usual
        // case) are sorted by insertion.
        constexpr OvUInt32 kInsertedGroups = 8;
        if (numGroups <= kInsertedGroups) {
            for (OvUInt32 i = 1; i < numGroups; ++i) {
                const OvUInt32 x = order[i];
                OvUInt32 j = i;
                for (; j > 0 && before(x, order[j - 1]); --j) {
                    order[j] = order[j - 1];
                }
                order[j] = x;
            }
        } else {
            std::sort(order, order + numGroups, before);
        }
    }
    OvUInt32 at = 0;
    for (OvUInt32 r = 0; r < numGroups; ++r) {
        Group& g = groups[order[r]];
        g.next = at;
        runs[r] = {at, at + g.count};
        at += g.count;
    }
}

// Fills s.sorted with the builder's triangles in material order, and s.runs with the runs of
// one material.
void SortTriangles(const OvMeshBuilder* builder, BuildScratch& s) {
    const auto n = static_cast<std::size_t>(builder->numTriangles);
    GroupTriangles(BuilderTriangles{builder->triangles, n}, s);
    s.sorted.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        s.sorted[s.groups[s.groupOf[i]].next++] = builder->triangles + i;
    }
}
// One allocation for a header of the meshes and the indices stored (total counts the meshes'
// indices, stored or not); null with 0x80000013.
[[gnu::always_inline]] inline OvMeshHeader* AllocHeader(std::size_t numMeshes, std::size_t numIndices, OvUInt32 flags,
                                                        std::size_t total, const OvMeshHeaderSource* source = nullptr) {
    const std::size_t bytes = sizeof(OvMeshHeader) + numMeshes * sizeof(OvMesh) + numIndices * sizeof(OvUInt16);
    auto* header =
        static_cast<OvMeshHeader*>(source != nullptr ? source->alloc(source->data, bytes) : OvMalloc(bytes, kMeshHint));
    if (header == nullptr) {
        ReportNoMemory(bytes);
        return nullptr;
    }
    header->flags = flags;
    header->numMeshes = static_cast<OvUInt16>(numMeshes);
    header->serialNum = NextSerial();
    header->totalIndicesInMesh = static_cast<OvUInt32>(total);
    header->firstMeshOffset = 0;
    return header;
}

OvUInt16* HeaderIndices(OvMeshHeader* header) {
    return reinterpret_cast<OvUInt16*>(OvMeshHeaderGetMeshes(header) + header->numMeshes);
}

// Places the given triangles (in order) in passes, one triangle at a time: a triangle goes to the
// first pass that no earlier triangle sharing a vertex with it went to, which is the pass a walk
// of passes would have placed it in. Appends them pass by pass. Any number of passes.
void PlaceByRule(const OvUInt16* indices, const std::vector<OvUInt32>& remaining, OvUInt16 maxIndex,
                 std::vector<OvUInt16>& placed) {
    // Per vertex: the passes its triangles went to, and the first pass below which all are taken.
    std::unordered_set<std::uint64_t> taken;
    taken.reserve(remaining.size() * 3);
    std::vector<OvUInt32> lowFree(static_cast<std::size_t>(maxIndex) + 1, 0);
    auto key = [](OvUInt16 v, OvUInt32 pass) { return static_cast<std::uint64_t>(pass) << 16 | v; };
    std::vector<OvUInt32> passOf(remaining.size());
    OvUInt32 passes = 0;
    for (std::size_t i = 0; i < remaining.size(); ++i) {
        const OvUInt16* v = indices + 3 * remaining[i];
        OvUInt32 p = std::max({lowFree[v[0]], lowFree[v[1]], lowFree[v[2]]});
        while (taken.count(key(v[0], p)) != 0 || taken.count(key(v[1], p)) != 0 || taken.count(key(v[2], p)) != 0) {
            ++p;
        }
        passOf[i] = p;
        passes = std::max(passes, p + 1);
        for (int k = 0; k < 3; ++k) {
            taken.insert(key(v[k], p));
            while (taken.count(key(v[k], lowFree[v[k]])) != 0) {
                ++lowFree[v[k]];
            }
        }
    }
    // Stable by pass: counting sort.
    std::vector<std::size_t> start(static_cast<std::size_t>(passes) + 1, 0);
    for (OvUInt32 p : passOf) {
        ++start[p + 1];
    }
    for (std::size_t p = 1; p < start.size(); ++p) {
        start[p] += start[p - 1];
    }
    std::vector<OvUInt32> order(remaining.size());
    for (std::size_t i = 0; i < remaining.size(); ++i) {
        order[start[passOf[i]]++] = remaining[i];
    }
    for (OvUInt32 t : order) {
        placed.insert(placed.end(), indices + 3 * t, indices + 3 * t + 3);
    }
}

// Passes a vertex's mask can tell apart; a mesh that needs more goes to PlaceByRule.
constexpr OvUInt32 kMaskedPasses = 64;

// Reordering in passes: each pass places, in order, every triangle not yet placed none of whose
// vertices a triangle of the same pass used. A triangle thus lands in the lowest pass that no
// earlier triangle sharing a vertex with it landed in: that pass is the lowest bit clear in its
// vertices' masks of passes used (masks of every vertex a 16-bit index can name, kept zero
// between meshes), and the triangles are then stably sorted by pass, in time proportional to the
// triangles. The triangles are read from tris and their indices written to out.

// The triangles' indices in their own order.
void KeepOrder(const OvTriangle* tris, OvUInt32 numTriangles, OvUInt16* out) {
    for (OvUInt32 t = 0; t < numTriangles; ++t) {
        std::memcpy(out + 3 * t, tris[t].vertIndex, sizeof tris[t].vertIndex);
    }
}

// Meshes of up to this many triangles (most of a level's sectors) keep the passes' counts in a
// register, four bits each, and their triangles' passes on the stack: a triangle's pass is below
// its position, so no pass, count or place exceeds 15.
constexpr OvUInt32 kSmallMesh = 15;

void ReorderSmall(const OvTriangle* tris, OvUInt32 numTriangles, OvUInt16* out, std::uint64_t* masks) {
    OvUInt8 passOf[kSmallMesh];
    std::uint64_t count = 0; // pass p's triangles in bits 4p..4p+3
    for (OvUInt32 t = 0; t < numTriangles; ++t) {
        const OvUInt16* v = tris[t].vertIndex;
        // Never all 64 passes taken here: the top bit set spares the compiler a test for it.
        const std::uint64_t used = masks[v[0]] | masks[v[1]] | masks[v[2]];
        const auto pass = static_cast<OvUInt32>(std::countr_zero(~used | std::uint64_t{1} << 63));
        const std::uint64_t bit = std::uint64_t{1} << pass;
        masks[v[0]] |= bit;
        masks[v[1]] |= bit;
        masks[v[2]] |= bit;
        passOf[t] = static_cast<OvUInt8>(pass);
        count += std::uint64_t{1} << (4 * pass);
    }
    // Each pass's first place: the counts of the passes before it, summed nibble by nibble by one
    // multiplication (no sum exceeds 15, so no nibble carries into the next).
    std::uint64_t place = (count * 0x1111111111111111ull) << 4;
    for (OvUInt32 t = 0; t < numTriangles; ++t) {
        const OvUInt16 v0 = tris[t].vertIndex[0], v1 = tris[t].vertIndex[1], v2 = tris[t].vertIndex[2];
        masks[v0] = 0;
        masks[v1] = 0;
        masks[v2] = 0;
        const OvUInt32 shift = 4 * OvUInt32{passOf[t]};
        OvUInt16* to = out + 3 * ((place >> shift) & 15);
        place += std::uint64_t{1} << shift;
        to[0] = v0;
        to[1] = v1;
        to[2] = v2;
    }
}

// Larger meshes count in memory; a vertex shared by so many triangles that the passes outrun its
// mask sends the mesh to the per-triangle rule.
[[gnu::noinline]] void ReorderLarge(const OvTriangle* tris, OvUInt32 numTriangles, OvUInt16* out, PassScratch& s) {
    try {
        AtLeast(s.passOf, numTriangles);
        AtLeast(s.rank, numTriangles);
        std::uint64_t* masks = s.passesOfVertex.data();
        OvUInt8* passOf = s.passOf.data();
        OvUInt32* rank = s.rank.data(); // a triangle's place among those of its pass
        // count[p + 1]: the triangles of pass p. Cleared at once: a mesh here has more triangles
        // than a test a triangle for a pass met first would be worth.
        OvUInt32 count[kMaskedPasses + 1] = {};
        std::uint64_t passesMet = 0;
        OvUInt32 done = 0;
        for (; done < numTriangles; ++done) {
            const OvUInt16* v = tris[done].vertIndex;
            const std::uint64_t used = masks[v[0]] | masks[v[1]] | masks[v[2]];
            if (used == ~std::uint64_t{0}) {
                break;
            }
            const auto pass = static_cast<OvUInt32>(std::countr_one(used));
            const std::uint64_t bit = std::uint64_t{1} << pass;
            masks[v[0]] |= bit;
            masks[v[1]] |= bit;
            masks[v[2]] |= bit;
            passOf[done] = static_cast<OvUInt8>(pass);
            passesMet |= bit;
            rank[done] = count[pass + 1]++;
        }
        // The masks go back to zero for the next mesh: here for the per-triangle rule, while the
        // triangles are placed otherwise.
        if (done < numTriangles) {
            std::vector<OvUInt16> indices(3 * static_cast<std::size_t>(numTriangles));
            std::vector<OvUInt32> all(numTriangles);
            for (OvUInt32 t = 0; t < numTriangles; ++t) {
                for (int k = 0; k < 3; ++k) {
                    indices[3 * t + k] = tris[t].vertIndex[k];
                    masks[tris[t].vertIndex[k]] = 0;
                }
                all[t] = t;
            }
            s.placed.clear();
            PlaceByRule(indices.data(), all, *std::max_element(indices.begin(), indices.end()), s.placed);
            std::memcpy(out, s.placed.data(), indices.size() * sizeof(OvUInt16));
        } else {
            // The passes met are those below the highest: a triangle's pass is the lowest free.
            const auto passes = static_cast<OvUInt32>(std::bit_width(passesMet));
            for (OvUInt32 p = 1; p < passes; ++p) {
                count[p] += count[p - 1];
            }
            for (OvUInt32 t = 0; t < numTriangles; ++t) {
                const OvUInt16 v0 = tris[t].vertIndex[0], v1 = tris[t].vertIndex[1], v2 = tris[t].vertIndex[2];
                masks[v0] = 0;
                masks[v1] = 0;
                masks[v2] = 0;
                OvUInt16* to = out + 3 * (count[passOf[t]] + rank[t]);
                to[0] = v0;
                to[1] = v1;
                to[2] = v2;
            }
        }
    } catch (const std::bad_alloc&) {
        // Without working memory the mesh keeps its order.
        KeepOrder(tris, numTriangles, out);
    }
}

void ReorderInPasses(const OvTriangle* tris, OvUInt32 numTriangles, OvUInt16* out, PassScratch& s) {
    // The first triangle goes to the first pass, so two keep their order whatever the second's.
    if (numTriangles < 3) {
        KeepOrder(tris, numTriangles, out);
        return;
    }
    if (s.passesOfVertex.empty()) {
        try {
            s.passesOfVertex.resize(std::size_t{0x10000}, 0);
        } catch (const std::bad_alloc&) {
            // Without working memory the mesh keeps its order.
            KeepOrder(tris, numTriangles, out);
            return;
        }
    }
    if (numTriangles <= kSmallMesh) {
        ReorderSmall(tris, numTriangles, out, s.passesOfVertex.data());
    } else {
        ReorderLarge(tris, numTriangles, out, s);
    }
}

// ---- Stripper ----

constexpr OvInt32 kNone = -1;

struct StripEdge {
    OvUInt16 a;
    OvUInt16 b;
    OvInt32 tri1;
    OvInt32 tri2;
};

struct StripNode {
    OvUInt16 v[3];
    OvInt32 edges[3];
    OvInt32 bucketNext;
    OvInt32 bucketPrev;
    bool taken;
    int degree;
};

class RunStripper {
public:
    explicit RunStripper(const std::vector<const OvMeshBuilderTriangle*>& tris) : m_nodes(tris.size()) {
        for (std::size_t i = 0; i < tris.size(); ++i) {
            StripNode& n = m_nodes[i];
            n.v[0] = tris[i]->vertIndex[0];
            n.v[1] = tris[i]->vertIndex[1];
            n.v[2] = tris[i]->vertIndex[2];
            n.taken = false;
            n.degree = 0;
        }
    }

    // The run's strips joined into one index sequence.
    std::vector<OvUInt16> Build() {
        BuildAdjacency();
        for (int d = 0; d < 4; ++d) {
            m_bucket[d] = kNone;
        }
        for (std::size_t i = 0; i < m_nodes.size(); ++i) {
            m_nodes[i].bucketPrev = m_nodes[i].bucketNext = kNone;
            PushBucket(static_cast<OvInt32>(i));
        }
        // Strips in list order: each new strip goes to the front.
        std::vector<std::vector<OvUInt16>> created;
        std::size_t taken = 0;
        m_taken = &taken;
        while (taken < m_nodes.size()) {
            created.push_back(NextStrip());
        }
        std::reverse(created.begin(), created.end());
        return Join(created);
    }

private:
    std::vector<StripNode> m_nodes;
    std::vector<StripEdge> m_edges;
    OvInt32 m_bucket[4] = {kNone, kNone, kNone, kNone};
    std::size_t* m_taken = nullptr;

    static std::uint32_t EdgeKey(OvUInt16 a, OvUInt16 b) { return (static_cast<std::uint32_t>(a) << 16) | b; }

    void BuildAdjacency() {
        m_edges.reserve(m_nodes.size() * 3);
        // Open edges by their (from, to) pair, oldest first: the newest whose second triangle is
        // still empty is the one a plain newest-first walk of the edge list would meet first.
        std::unordered_map<std::uint32_t, std::vector<OvInt32>> open;
        if (gStripEdgeHash) {
            open.reserve(m_nodes.size() * 3);
        }
        for (std::size_t i = 0; i < m_nodes.size(); ++i) {
            StripNode& n = m_nodes[i];
            const auto tri = static_cast<OvInt32>(i);
            if (n.v[0] == n.v[1] || n.v[1] == n.v[2] || n.v[0] == n.v[2]) {
                // A triangle with a repeated vertex draws nothing and shares no edge: walking
                // through it cannot tell its two equal corners apart and would turn the winding
                // of the triangles behind it. Its edges are closed (second triangle itself).
                for (int k = 0; k < 3; ++k) {
                    n.edges[k] = static_cast<OvInt32>(m_edges.size());
                    m_edges.push_back({n.v[k], n.v[(k + 1) % 3], tri, tri});
                }
                continue;
            }
            for (int k = 0; k < 3; ++k) {
                const OvUInt16 a = n.v[k];
                const OvUInt16 b = n.v[(k + 1) % 3];
                OvInt32 match = kNone;
                if (gStripEdgeHash) {
                    auto it = open.find(EdgeKey(b, a));
                    if (it != open.end()) {
                        std::vector<OvInt32>& stack = it->second;
                        while (!stack.empty() && m_edges[static_cast<std::size_t>(stack.back())].tri2 != kNone) {
                            stack.pop_back();
                        }
                        if (!stack.empty()) {
                            match = stack.back();
                        }
                    }
                } else {
                    for (auto e = static_cast<OvInt32>(m_edges.size()) - 1; e >= 0; --e) {
                        const StripEdge& edge = m_edges[static_cast<std::size_t>(e)];
                        if (edge.a == b && edge.b == a && edge.tri2 == kNone) {
                            match = e;
                            break;
                        }
                    }
                }
                if (match != kNone) {
                    StripEdge& edge = m_edges[static_cast<std::size_t>(match)];
                    edge.tri2 = tri;
                    m_nodes[static_cast<std::size_t>(edge.tri1)].degree++;
                    n.degree++;
                    n.edges[k] = match;
                } else {
                    n.edges[k] = static_cast<OvInt32>(m_edges.size());
                    m_edges.push_back({a, b, tri, kNone});
                    if (gStripEdgeHash) {
                        open[EdgeKey(a, b)].push_back(n.edges[k]);
                    }
                }
            }
        }
    }

    void PushBucket(OvInt32 t) {
        StripNode& n = m_nodes[static_cast<std::size_t>(t)];
        OvInt32& head = m_bucket[n.degree];
        n.bucketPrev = kNone;
        n.bucketNext = head;
        if (head != kNone) {
            m_nodes[static_cast<std::size_t>(head)].bucketPrev = t;
        }
        head = t;
    }

    void Unbucket(OvInt32 t) {
        StripNode& n = m_nodes[static_cast<std::size_t>(t)];
        if (n.bucketPrev != kNone) {
            m_nodes[static_cast<std::size_t>(n.bucketPrev)].bucketNext = n.bucketNext;
        } else {
            m_bucket[n.degree] = n.bucketNext;
        }
        if (n.bucketNext != kNone) {
            m_nodes[static_cast<std::size_t>(n.bucketNext)].bucketPrev = n.bucketPrev;
        }
        n.bucketPrev = n.bucketNext = kNone;
    }

    bool Taken(OvInt32 t) const { return m_nodes[static_cast<std::size_t>(t)].taken; }

    // The untaken triangle across an edge: its first triangle, else its second; kNone when
    // neither is untaken.
    OvInt32 Across(OvInt32 edgeId) const {
        const StripEdge& e = m_edges[static_cast<std::size_t>(edgeId)];
        if (e.tri1 != kNone && !Taken(e.tri1)) {
            return e.tri1;
        }
        if (e.tri2 != kNone && !Taken(e.tri2)) {
            return e.tri2;
        }
        return kNone;
    }

    void Take(OvInt32 t) {
        StripNode& n = m_nodes[static_cast<std::size_t>(t)];
        n.taken = true;
        Unbucket(t);
        (*m_taken)++;
        for (int k = 0; k < 3; ++k) {
            const OvInt32 other = Across(n.edges[k]);
            if (other != kNone) {
                Unbucket(other);
                StripNode& o = m_nodes[static_cast<std::size_t>(other)];
                if (o.degree > 0) {
                    o.degree--;
                }
                PushBucket(other);
            }
        }
    }

    void Walk(std::vector<OvUInt16>& strip, OvInt32 edge) {
        for (;;) {
            const OvInt32 t = Across(edge);
            if (t == kNone) {
                return;
            }
            StripNode& n = m_nodes[static_cast<std::size_t>(t)];
            int k = 0;
            while (k < 3 && n.edges[k] != edge) {
                ++k;
            }
            if (k == 3) {
                return;
            }
            const OvUInt16 c = n.v[(k + 2) % 3];
            Take(t);
            const OvUInt16 last = strip.back();
            int natural = -1;
            if (last == n.v[(k + 1) % 3]) {
                natural = (k + 1) % 3;
            } else if (last == n.v[k]) {
                natural = (k + 2) % 3;
            }
            if (natural >= 0 && Across(n.edges[natural]) != kNone) {
                strip.push_back(c);
                edge = n.edges[natural];
                continue;
            }
            int other = -1;
            for (int j = 0; j < 3; ++j) {
                if (j != k && j != natural) {
                    other = j;
                    break;
                }
            }
            if (natural >= 0 && other >= 0 && Across(n.edges[other]) != kNone && strip.size() % 2 == 0) {
                strip.push_back(strip[strip.size() - 2]);
                strip.push_back(c);
                edge = n.edges[other];
                continue;
            }
            strip.push_back(c);
            return;
        }
    }

    std::vector<OvUInt16> NextStrip() {
        if (m_bucket[0] != kNone) {
            const OvInt32 t = m_bucket[0];
            Take(t);
            const StripNode& n = m_nodes[static_cast<std::size_t>(t)];
            return {n.v[0], n.v[1], n.v[2]};
        }
        int d = 1;
        while (m_bucket[d] == kNone) {
            ++d;
        }
        const OvInt32 t = m_bucket[d];
        const StripNode& n = m_nodes[static_cast<std::size_t>(t)];
        // An edge is open when the triangle on its other side exists and is not taken yet (T itself
        // is untaken here, so it may well be the edge's first triangle).
        bool open[3];
        for (int k = 0; k < 3; ++k) {
            const StripEdge& e = m_edges[static_cast<std::size_t>(n.edges[k])];
            const OvInt32 other = e.tri1 == t ? e.tri2 : e.tri1;
            open[k] = other != kNone && other != t && !Taken(other);
        }
        int s;
        if (open[2] && open[1]) {
            s = 1;
        } else if (open[0] && open[2]) {
            s = 2;
        } else if (open[1] && open[0]) {
            s = 0;
        } else if (open[0]) {
            s = 2;
        } else if (open[1]) {
            s = 0;
        } else {
            s = 1;
        }
        Take(t);
        std::vector<OvUInt16> forward = {n.v[s], n.v[(s + 1) % 3], n.v[(s + 2) % 3]};
        Walk(forward, n.edges[(s + 1) % 3]);
        if (Across(n.edges[s]) == kNone) {
            return forward;
        }
        std::vector<OvUInt16> backward = {n.v[(s + 1) % 3], n.v[s]};
        Walk(backward, n.edges[s]);
        if (backward.size() % 2 == 1) {
            backward.push_back(backward[backward.size() - 2]);
        }
        std::vector<OvUInt16> strip(backward.rbegin(), backward.rend() - 2);
        strip.insert(strip.end(), forward.begin(), forward.end());
        return strip;
    }

    // Joins the strips (in list order) into one with repeated indices between them.
    static std::vector<OvUInt16> Join(std::vector<std::vector<OvUInt16>>& strips) {
        std::vector<OvUInt16> joined = std::move(strips[0]);
        const std::size_t count = strips.size();
        // Strips still in the list by first index, in list order, with a cursor per index.
        std::unordered_map<OvUInt16, std::vector<std::size_t>> byFirst;
        for (std::size_t i = 1; i < count; ++i) {
            byFirst[strips[i][0]].push_back(i);
        }
        std::unordered_map<OvUInt16, std::size_t> cursor;
        std::vector<bool> used(count, false);
        used[0] = true;
        std::size_t nextInList = 1;
        auto firstWith = [&](OvUInt16 index) -> std::size_t {
            auto it = byFirst.find(index);
            if (it == byFirst.end()) {
                return 0;
            }
            std::size_t& c = cursor[index];
            while (c < it->second.size() && used[it->second[c]]) {
                ++c;
            }
            return c < it->second.size() ? it->second[c] : 0;
        };
        for (std::size_t left = count - 1; left > 0; --left) {
            const OvUInt16 last = joined.back();
            std::size_t pick = firstWith(last);
            if (pick != 0) {
                if (joined.size() % 2 == 1) {
                    joined.push_back(last);
                }
            } else if (pick = firstWith(joined[joined.size() - 2]); pick != 0) {
                const OvUInt16 first = strips[pick][0];
                joined.push_back(first);
                if (joined.size() % 2 == 0) {
                    // Length was odd before: once; it was even: twice.
                } else {
                    joined.push_back(first);
                }
            } else {
                while (used[nextInList]) {
                    ++nextInList;
                }
                pick = nextInList;
                const OvUInt16 first = strips[pick][0];
                const bool odd = joined.size() % 2 == 1;
                joined.push_back(last);
                joined.push_back(first);
                if (odd) {
                    joined.push_back(first);
                }
            }
            used[pick] = true;
            joined.insert(joined.end(), strips[pick].begin(), strips[pick].end());
        }
        return joined;
    }
};

// Copies the triangles into s.gathered in material order; groupAt(i) is triangle i's
// group. A run of triangles of one group goes to consecutive places, so its place is counted in
// a register rather than in its group.
template <typename Triangles, typename GroupAt>
void Gather(const Triangles& given, BuildScratch& s, const GroupAt& groupAt) {
    // A copy of its own, which the stores below cannot touch, stays in registers.
    const Triangles tris = given;
    if (tris.count == 0) {
        return;
    }
    OvTriangle* gathered = s.gathered.data();
    Group* groups = s.groups.data();
    OvUInt32 g = groupAt(0);
    OvUInt32 at = groups[g].next;
    for (std::size_t i = 0; i < tris.count; ++i) {
        const OvUInt32 gi = groupAt(i);
        if (gi != g) {
            groups[g].next = at;
            g = gi;
            at = groups[g].next;
        }
        // Copied as one 8-byte word rather than field by field.
        const OvTriangle corners = tris.Corners(i);
        std::memcpy(gathered + at++, &corners, sizeof corners);
    }
    groups[g].next = at;
}

// The list build of triangles that all name one list position: one mesh of that entry's material,
// nothing to group, rank or gather (most of a level's sectors).
OvMeshHeader* BuildOneMesh(const OvTriangle* tris, std::size_t count, OvMaterial* material,
                           const OvMeshHeaderSource* source) {
    const std::size_t numIndices = 3 * count;
    OvMeshHeader* header = AllocHeader(1, numIndices, ovMESHHEADERTRILIST, numIndices, source);
    if (header == nullptr) {
        return nullptr;
    }
    OvMesh& mesh = *OvMeshHeaderGetMeshes(header);
    mesh.indices = HeaderIndices(header);
    mesh.numIndices = static_cast<OvUInt32>(numIndices);
    mesh.material = material;
    ReorderInPasses(tris, static_cast<OvUInt32>(count), mesh.indices, tPasses);
    return header;
}

// The list build: the triangles gathered in material order, then each material's run reordered
// in passes into the header. Kept out of line: the build of one mesh does without its set-up.
template <typename Triangles>
[[gnu::noinline]] OvMeshHeader* BuildLists(const Triangles& tris, const OvMeshHeaderSource* source = nullptr) {
    try {
        ScratchLease lease;
        BuildScratch& s = lease.Get();
        GroupTriangles(tris, s);
        const std::size_t numRuns = s.runs.size();
        if (numRuns > 0xFFFF) {
            ReportNoMemory(numRuns);
            return nullptr;
        }
        const std::size_t n = tris.count;
        // One material's triangles of a window are placed straight from the window's triangles.
        const OvTriangle* ordered = nullptr;
        if constexpr (std::is_same_v<Triangles, WindowTriangles>) {
            if (numRuns == 1) {
                ordered = tris.t;
            }
        }
        if (ordered == nullptr) {
            AtLeast(s.gathered, n);
            // The groups' tables are read through pointers of their own, which the gather's stores
            // cannot be taken to change.
            bool byEntry = false;
            if constexpr (std::is_same_v<Triangles, WindowTriangles>) {
                if (s.byEntry) {
                    const OvTriangle* t = tris.t;
                    const OvUInt32* groupOfEntry = s.groupOfEntry;
                    Gather(tris, s, [t, groupOfEntry](std::size_t i) { return groupOfEntry[t[i].matIndex]; });
                    byEntry = true;
                }
            }
            if (!byEntry) {
                const OvUInt32* groupOf = s.groupOf.data();
                Gather(tris, s, [groupOf](std::size_t i) { return groupOf[i]; });
            }
            ordered = s.gathered.data();
        }
        OvMeshHeader* header = AllocHeader(numRuns, 3 * n, ovMESHHEADERTRILIST, 3 * n, source);
        if (header == nullptr) {
            return nullptr;
        }
        OvMesh* meshes = OvMeshHeaderGetMeshes(header);
        OvUInt16* indices = HeaderIndices(header);
        // Kept in locals: the meshes' stores could otherwise be taken to change the vectors.
        const Run* runs = s.runs.data();
        const Group* groups = s.groups.data();
        const OvUInt32* order = s.order.data();
        PassScratch& passes = tPasses;
        for (std::size_t r = 0; r < numRuns; ++r) {
            OvMesh& mesh = meshes[r];
            mesh.indices = indices + 3 * runs[r].begin;
            mesh.numIndices = static_cast<OvUInt32>(3 * (runs[r].end - runs[r].begin));
            mesh.material = groups[order[r]].material;
            ReorderInPasses(ordered + runs[r].begin, static_cast<OvUInt32>(runs[r].end - runs[r].begin), mesh.indices,
                            passes);
        }
        return header;
    } catch (const std::bad_alloc&) {
        ReportNoMemory(0);
        return nullptr;
    }
}

} // namespace

void* OvMeshOpen(void* instance, OvInt32 offset, OvInt32) {
    gMeshModuleOffset = offset;
    auto* module = reinterpret_cast<OvMeshModule*>(static_cast<char*>(instance) + offset);
    *module = {};
    module->serialCounter = 1;
    module->flagsToPrim[0] = 3;
    module->flagsToPrim[1] = 4;
    module->flagsToPrim[2] = 5;
    module->flagsToPrim[4] = 1;
    module->flagsToPrim[8] = 2;
    module->flagsToPrim[16] = 6;
    const OvUInt32 primToFlags[7] = {0, 4, 8, 0, 1, 2, 16};
    std::memcpy(module->primToFlags, primToFlags, sizeof primToFlags);
    if (gMeshOpens == 0) {
        gBuilderFreeList = OvFreeListCreateWithSpace(sizeof(OvMeshBuilder), kBuildersPerBlock, 0, 1, nullptr,
                                                     ovMEMHINTDUR_GLOBAL | ovPLUGINIDMESH);
        if (gBuilderFreeList == nullptr) {
            return nullptr;
        }
    }
    gMeshOpens++;
    return instance;
}

void* OvMeshClose(void* instance, OvInt32, OvInt32) {
    if (--gMeshOpens == 0 && gBuilderFreeList != nullptr) {
        OvFreeListDestroy(gBuilderFreeList);
        gBuilderFreeList = nullptr;
    }
    return instance;
}

OvMeshModule* OvMeshGetModule() {
    return reinterpret_cast<OvMeshModule*>(reinterpret_cast<char*>(OvEngineInstancePtr) + gMeshModuleOffset);
}

OvUInt32 OvMeshHeaderGetPrimType(OvUInt32 flags) { return flags <= 16 ? OvMeshGetModule()->flagsToPrim[flags] : 0; }

OvUInt32 OvMeshHeaderGetFlagsFromPrimType(OvUInt32 primType) {
    return primType >= 1 && primType <= 6 ? OvMeshGetModule()->primToFlags[primType] : 0;
}

OvMeshBuilder* OvMeshBuilderCreate(OvInt32 numTriangles) {
    auto* builder =
        static_cast<OvMeshBuilder*>(OvFreeListEntryAlloc(gBuilderFreeList, ovMEMHINTDUR_FUNCTION | ovPLUGINIDMESH));
    if (builder == nullptr) {
        ReportNoMemory(sizeof(OvMeshBuilder));
        return nullptr;
    }
    builder->capacity = 0;
    builder->numTriangles = 0;
    builder->triangles = nullptr;
    if (numTriangles > 0) {
        const std::size_t bytes = sizeof(OvMeshBuilderTriangle) * static_cast<std::size_t>(numTriangles);
        builder->triangles = static_cast<OvMeshBuilderTriangle*>(
            OvMalloc(bytes, ovMEMHINTDUR_FUNCTION | ovMEMHINTFLAG_RESIZABLE | ovPLUGINIDMESH));
        if (builder->triangles == nullptr) {
            OvFreeListEntryFree(gBuilderFreeList, builder);
            ReportNoMemory(bytes);
            return nullptr;
        }
        builder->capacity = numTriangles;
    }
    return builder;
}

OvMeshBuilder* OvMeshBuilderAddTriangle(OvMeshBuilder* builder, OvMaterial* material, OvInt32 vert1, OvInt32 vert2,
                                        OvInt32 vert3, OvUInt16 matIndex, OvUInt16 textureRank, OvUInt16 rasterRank,
                                        OvUInt16 pipelineRank) {
    if (builder->numTriangles == builder->capacity) {
        const std::size_t bytes = sizeof(OvMeshBuilderTriangle) * (static_cast<std::size_t>(builder->capacity) + 1);
        auto* grown = static_cast<OvMeshBuilderTriangle*>(
            OvRealloc(builder->triangles, bytes, ovMEMHINTDUR_FUNCTION | ovMEMHINTFLAG_RESIZABLE | ovPLUGINIDMESH));
        if (grown == nullptr) {
            ReportNoMemory(bytes);
            return nullptr;
        }
        builder->triangles = grown;
        builder->capacity++;
    }
    OvMeshBuilderTriangle& t = builder->triangles[builder->numTriangles++];
    t.vertIndex[0] = static_cast<OvUInt16>(vert1);
    t.vertIndex[1] = static_cast<OvUInt16>(vert2);
    t.vertIndex[2] = static_cast<OvUInt16>(vert3);
    t.spare = 0;
    t.material = material;
    t.matIndex = matIndex;
    t.textureRank = textureRank;
    t.rasterRank = rasterRank;
    t.pipelineRank = pipelineRank;
    return builder;
}

OvBool OvMeshBuilderDestroy(OvMeshBuilder* builder) {
    if (builder->triangles != nullptr) {
        OvFree(builder->triangles);
    }
    OvFreeListEntryFree(gBuilderFreeList, builder);
    return TRUE;
}

OvMeshHeader* OvMeshBuildTriangleLists(OvMeshBuilder* builder) {
    return BuildLists(BuilderTriangles{builder->triangles, static_cast<std::size_t>(builder->numTriangles)});
}

OvMeshHeader* OvMeshBuildTriangleListsOfWindow(const OvTriangle* triangles, OvInt32 numTriangles,
                                               const OvMaterialList* list, OvInt32 base,
                                               const OvMeshHeaderSource* source) {
    const auto count = static_cast<std::size_t>(numTriangles);
    OvMaterial* const* window = list->materials + base;
    const OvUInt16 entry = triangles[0].matIndex;
    std::size_t i = 1;
    while (i < count && triangles[i].matIndex == entry) {
        ++i;
    }
    if (i == count) {
        return BuildOneMesh(triangles, count, window[entry], source);
    }
    return BuildLists(
        WindowTriangles{triangles, count, window, base, static_cast<std::size_t>(list->numMaterials - base)}, source);
}

OvMeshHeader* OvMeshDefaultStripCallBack(OvMeshBuilder* builder, void*) {
    try {
        ScratchLease lease;
        BuildScratch& scratch = lease.Get();
        SortTriangles(builder, scratch);
        const std::vector<const OvMeshBuilderTriangle*>& sorted = scratch.sorted;
        const std::vector<Run>& runs = scratch.runs;
        if (runs.size() > 0xFFFF) {
            ReportNoMemory(runs.size());
            return nullptr;
        }
        std::vector<std::vector<OvUInt16>> strips;
        strips.reserve(runs.size());
        std::size_t total = 0;
        for (const Run& run : runs) {
            std::vector<const OvMeshBuilderTriangle*> tris(sorted.begin() + static_cast<std::ptrdiff_t>(run.begin),
                                                           sorted.begin() + static_cast<std::ptrdiff_t>(run.end));
            RunStripper stripper(tris);
            strips.push_back(stripper.Build());
            total += strips.back().size();
        }
        if (total > 0xFFFFFFFFu) {
            ReportNoMemory(total);
            return nullptr;
        }
        OvMeshHeader* header = AllocHeader(runs.size(), total, ovMESHHEADERTRISTRIP, total);
        if (header == nullptr) {
            return nullptr;
        }
        OvMesh* meshes = OvMeshHeaderGetMeshes(header);
        OvUInt16* indices = HeaderIndices(header);
        for (std::size_t r = 0; r < runs.size(); ++r) {
            meshes[r].indices = indices;
            meshes[r].numIndices = static_cast<OvUInt32>(strips[r].size());
            meshes[r].material = sorted[runs[r].begin]->material;
            std::memcpy(indices, strips[r].data(), strips[r].size() * sizeof(OvUInt16));
            indices += strips[r].size();
        }
        return header;
    } catch (const std::bad_alloc&) {
        ReportNoMemory(0);
        return nullptr;
    }
}

void OvMeshSetStripCallBack(OvMeshStripCallBack callback, void* data) {
    gStripCallBack = callback != nullptr ? callback : OvMeshDefaultStripCallBack;
    gStripData = callback != nullptr ? data : nullptr;
}

OvMeshStripCallBack OvMeshGetStripCallBack(void** data) {
    if (data != nullptr) {
        *data = gStripData;
    }
    return gStripCallBack;
}

void OvMeshSetStripEdgeHash(OvBool on) { gStripEdgeHash = on != FALSE; }

OvMeshHeader* OvMeshHeaderBuild(OvMeshBuilder* builder, OvUInt32 flags) {
    OvMeshHeader* header = nullptr;
    if (builder->numTriangles == 0) {
        header = &gEmptyHeader;
    } else if ((flags & ovMESHHEADERTRISTRIP) != 0) {
        header = gStripCallBack(builder, gStripData);
    } else {
        header = OvMeshBuildTriangleLists(builder);
    }
    if (header != nullptr) {
        OvMeshBuilderDestroy(builder);
    }
    return header;
}

OvBool OvMeshHeaderDestroy(OvMeshHeader* header) {
    if (header != nullptr && header != &gEmptyHeader) {
        OvFree(header);
    }
    return TRUE;
}

OvMeshHeader* OvMeshHeaderGetEmpty() { return &gEmptyHeader; }

OvMeshHeader* OvMeshHeaderForAllMeshes(OvMeshHeader* header, OvMeshCallBack callback, void* data) {
    OvMesh* meshes = OvMeshHeaderGetMeshes(header);
    for (OvUInt32 i = 0; i < header->numMeshes; ++i) {
        if (callback(meshes + i, header, data) == nullptr) {
            break;
        }
    }
    return header;
}

OvInt32 OvMeshHeaderStreamGetSize(const OvMeshHeader* header, OvBool native) {
    std::int64_t size = 12 + 8 * static_cast<std::int64_t>(header->numMeshes);
    if (!native) {
        size += 4 * static_cast<std::int64_t>(header->totalIndicesInMesh);
    }
    return size > INT32_MAX ? -1 : static_cast<OvInt32>(size);
}

OvStream* OvMeshHeaderStreamWrite(const OvMeshHeader* header, OvBool native, OvStream* stream,
                                  const OvMaterialList* matList) {
    const OvInt32 head[3] = {static_cast<OvInt32>(header->flags), static_cast<OvInt32>(header->numMeshes),
                             static_cast<OvInt32>(header->totalIndicesInMesh)};
    if (OvStreamWriteInt32(stream, head, sizeof head) == nullptr) {
        return nullptr;
    }
    const OvMesh* meshes = OvMeshHeaderGetMeshes(header);
    for (OvUInt32 m = 0; m < header->numMeshes; ++m) {
        const OvInt32 found = OvMaterialListFindMaterial(matList, meshes[m].material);
        const OvInt32 meshHead[2] = {static_cast<OvInt32>(meshes[m].numIndices), found < 0 ? 0 : found};
        if (OvStreamWriteInt32(stream, meshHead, sizeof meshHead) == nullptr) {
            return nullptr;
        }
        if (native) {
            continue;
        }
        OvInt32 block[kIndexBlock];
        for (OvUInt32 done = 0; done < meshes[m].numIndices;) {
            const OvUInt32 n = std::min(kIndexBlock, meshes[m].numIndices - done);
            for (OvUInt32 i = 0; i < n; ++i) {
                block[i] = meshes[m].indices[done + i];
            }
            if (OvStreamWriteInt32(stream, block, n * 4) == nullptr) {
                return nullptr;
            }
            done += n;
        }
    }
    return stream;
}

OvMeshHeader* OvMeshHeaderStreamRead(OvStream* stream, OvInt32 length, OvBool native, const OvMaterialList* matList,
                                     OvInt32 numVertices) {
    return OvMeshHeaderStreamReadFrom(stream, length, native, matList, numVertices, nullptr);
}

OvMeshHeader* OvMeshHeaderStreamReadFrom(OvStream* stream, OvInt32 length, OvBool native,
                                         const OvMaterialList* matList, OvInt32 numVertices,
                                         const OvMeshHeaderSource* source) {
    OvUInt8 scratch[12];
    // The whole body where it lies when the stream holds it (then it is known to be there);
    // else the head is read first and the rest piece by piece.
    const OvUInt8* body = length < 12 ? nullptr : OvStreamPeekInPlace(stream, static_cast<OvUInt32>(length));
    const OvUInt8* head = body != nullptr ? body
                          : length < 12   ? nullptr
                                          : OvStreamReadView(stream, scratch, sizeof scratch);
    if (head == nullptr) {
        ReportRead();
        return nullptr;
    }
    const OvUInt32 flags = OvChunkGetUInt32(head);
    const OvUInt32 numMeshes = OvChunkGetUInt32(head + 4);
    const OvUInt32 total = OvChunkGetUInt32(head + 8);
    // The counts must fit in the body (bytes after what they account for are passed over): the
    // per-mesh counts are checked against the total below, and every material and vertex index
    // against what it names.
    const std::uint64_t expected =
        12 + 8 * static_cast<std::uint64_t>(numMeshes) + (native ? 0 : 4 * static_cast<std::uint64_t>(total));
    // A kind, and the unindexed flag: then the meshes draw the owner's vertices in turn, so
    // together they may not count more than it has.
    const OvUInt32 kind = flags & ~static_cast<OvUInt32>(ovMESHHEADERUNINDEXED);
    const bool unindexed = (flags & ovMESHHEADERUNINDEXED) != 0;
    const bool knownFlags = kind == ovMESHHEADERTRILIST || kind == ovMESHHEADERTRISTRIP ||
                            kind == ovMESHHEADERTRIFAN || kind == ovMESHHEADERLINELIST ||
                            kind == ovMESHHEADERPOLYLINE || kind == ovMESHHEADERPOINTLIST;
    const OvUInt32 left = body != nullptr ? 0xFFFFFFFFu : OvStreamGetBytesLeft(stream);
    if (!knownFlags || (unindexed && !native && static_cast<std::int64_t>(total) > numVertices) ||
        numMeshes > 0xFFFF || expected > static_cast<std::uint64_t>(length) ||
        (left != 0xFFFFFFFFu && static_cast<std::uint64_t>(length) - 12 > left)) {
        ReportRead();
        return nullptr;
    }
    OvMeshHeader* header = AllocHeader(numMeshes, native ? 0 : total, flags, total, source);
    if (header == nullptr) {
        return nullptr;
    }
    OvMesh* meshes = OvMeshHeaderGetMeshes(header);
    OvUInt16* indices = native ? nullptr : HeaderIndices(header);
    // The meshes' counts are checked against the total below, so they stay inside the body.
    std::size_t bodyAt = 12;
    if (body != nullptr) {
        OvStreamPassInPlace(stream, static_cast<OvUInt32>(length));
    }
    const auto inBody = [&](OvUInt32 bytes) {
        const OvUInt8* at = body + bodyAt;
        bodyAt += bytes;
        return at;
    };
    std::uint64_t sum = 0;
    bool ok = true;
    for (OvUInt32 m = 0; ok && m < numMeshes; ++m) {
        OvUInt8 meshScratch[8];
        const OvUInt8* meshHead =
            body != nullptr ? inBody(sizeof meshScratch) : OvStreamReadView(stream, meshScratch, sizeof meshScratch);
        if (meshHead == nullptr) {
            ok = false;
            break;
        }
        const OvUInt32 count = OvChunkGetUInt32(meshHead);
        const OvUInt32 matIndex = OvChunkGetUInt32(meshHead + 4);
        sum += count;
        if (sum > total || matIndex >= static_cast<OvUInt32>(matList->numMaterials)) {
            ReportRead();
            ok = false;
            break;
        }
        meshes[m].numIndices = count;
        meshes[m].material = matList->materials[matIndex];
        meshes[m].indices = indices;
        if (native) {
            continue;
        }
        // The mesh's indices straight from the stream's bytes when they are at hand, else in blocks.
        const std::int64_t vertexLimit = std::min<std::int64_t>(numVertices, 0x10000);
        const OvUInt8* all = count == 0        ? nullptr
                             : body != nullptr ? inBody(4 * count)
                                               : OvStreamReadInPlace(stream, 4 * count);
        if (all != nullptr) {
            if (OvNarrowStoredIndices(all, count, indices) >= vertexLimit) {
                ReportRead();
                ok = false;
            }
            indices += count;
            continue;
        }
        OvUInt8 stackBlock[4 * kIndexStackBlock];
        OvUInt8* block = count <= kIndexStackBlock ? stackBlock : IndexReadBlock();
        if (block == nullptr) {
            ReportNoMemory(4 * kIndexReadBlock);
            ok = false;
            break;
        }
        const OvUInt32 blockIndices = count <= kIndexStackBlock ? kIndexStackBlock : kIndexReadBlock;
        for (OvUInt32 done = 0; ok && done < count;) {
            const OvUInt32 n = std::min(blockIndices, count - done);
            if (OvStreamReadStrict(stream, block, 4 * n) == nullptr) {
                ok = false;
                break;
            }
            const OvUInt32 largest = OvNarrowStoredIndices(block, n, indices);
            indices += n;
            if (static_cast<std::int64_t>(largest) >= vertexLimit) {
                ReportRead();
                ok = false;
                break;
            }
            done += n;
        }
    }
    if (ok && sum != total) {
        ReportRead();
        ok = false;
    }
    // A body read where it lies was passed whole; one read piece by piece skips its rest.
    if (ok && body == nullptr && expected < static_cast<std::uint64_t>(length) &&
        OvStreamSkip(stream, static_cast<OvUInt32>(static_cast<std::uint64_t>(length) - expected)) == nullptr) {
        ok = false;
    }
    if (!ok) {
        if (source != nullptr) {
            source->release(source->data, header);
        } else {
            OvFree(header);
        }
        return nullptr;
    }
    return header;
}
