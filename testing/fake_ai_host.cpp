#include "testing/fake_ai_host.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

FakeAiHost& FakeAiHost::Instance() {
    static FakeAiHost host;
    return host;
}

void FakeAiHost::Reset() {
    m_allocations = 0;
    m_frees = 0;
    m_badFrees = 0;
    m_failIn = 0;
    m_failAll = false;
    ClearHookCalls();
    m_time = 0.0;
    m_queuedTimes.clear();
    m_clockCalls = 0;
    m_lastClockUser = 0;
    m_boxes.clear();
    m_recordQueries = true;
    m_rays.clear();
    m_lineOfSight.clear();
    m_sweeps.clear();
    ClearDrawing();
    m_lastPath.clear();
}

CHostServices FakeAiHost::MakeServices(std::uint32_t entityPoolSize, std::uint32_t childCapacity) const {
    CHostServices services;
    services.entityPoolSize = entityPoolSize;
    services.alloc = Alloc;
    services.realloc = Realloc;
    services.free = Free;
    services.allocationHook = AllocationHook;
    services.releaseHook = ReleaseHook;
    services.allocatorChildCapacity = childCapacity;
    services.clock = Clock;
    services.clockUser = 0;
    services.rayQuery = Ray;
    services.lineOfSight = LineOfSight;
    services.sweep = Sweep;
    services.drawLine = DrawLine;
    services.drawPoint = DrawPoint;
    services.open = Open;
    services.close = Close;
    services.eof = Eof;
    services.gets = Gets;
    services.write = Write;
    services.read = Read;
    services.seek = Seek;
    return services;
}

void FakeAiHost::ForgetLiveBlocksAndFiles() {
    m_blocks.clear();
    m_liveBytes = 0;
    m_openFiles = 0;
}

void FakeAiHost::ClearHookCalls() {
    m_allocationHooks.clear();
    m_releaseHooks.clear();
}

void FakeAiHost::QueueTimes(std::initializer_list<double> times) {
    m_queuedTimes.insert(m_queuedTimes.end(), times.begin(), times.end());
}

void FakeAiHost::AddBox(float minX, float minY, float minZ, float maxX, float maxY, float maxZ) {
    m_boxes.push_back({{minX, minY, minZ}, {maxX, maxY, maxZ}});
}

void FakeAiHost::ClearDrawing() {
    m_lines.clear();
    m_points.clear();
}

bool FakeAiHost::Intersect(const float* from, const float* to, float inflate, float* fraction, float* normal) const {
    bool hit = false;
    float best = 0.0f;
    float bestNormal[3] = {0.0f, 0.0f, 0.0f};
    for (const FakeBox& box : m_boxes) {
        // Slab test on the segment's parameter range [0, 1].
        float enter = 0.0f;
        float exit = 1.0f;
        int enterAxis = -1;
        float enterSign = 0.0f;
        bool miss = false;
        for (int axis = 0; axis < 3 && !miss; ++axis) {
            float low = box.min[axis] - inflate;
            float high = box.max[axis] + inflate;
            float d = to[axis] - from[axis];
            if (d == 0.0f) {
                miss = from[axis] < low || from[axis] > high;
                continue;
            }
            float t1 = (low - from[axis]) / d;
            float t2 = (high - from[axis]) / d;
            float near = std::min(t1, t2);
            float far = std::max(t1, t2);
            if (near > enter) {
                enter = near;
                enterAxis = axis;
                enterSign = d > 0.0f ? -1.0f : 1.0f; // the face entered looks against the motion
            }
            exit = std::min(exit, far);
            miss = enter > exit;
        }
        if (miss || (hit && enter >= best)) {
            continue;
        }
        hit = true;
        best = enter;
        bestNormal[0] = bestNormal[1] = bestNormal[2] = 0.0f;
        if (enterAxis >= 0) {
            bestNormal[enterAxis] = enterSign;
        }
    }
    if (hit) {
        *fraction = best;
        std::copy(bestNormal, bestNormal + 3, normal);
    }
    return hit;
}

bool FakeAiHost::SphereSweepHits(const float* from, const float* to, float radius) const {
    const double r2 = static_cast<double>(radius) * radius;
    for (const FakeBox& box : m_boxes) {
        // The grown box holds the rounded one: a segment missing it misses the box.
        double enter = 0.0, exit = 1.0;
        for (int axis = 0; axis < 3 && enter <= exit; ++axis) {
            const double low = static_cast<double>(box.min[axis]) - radius;
            const double high = static_cast<double>(box.max[axis]) + radius;
            const double d = static_cast<double>(to[axis]) - from[axis];
            if (d == 0.0) {
                if (from[axis] < low || from[axis] > high) {
                    exit = -1.0;
                }
                continue;
            }
            const double t1 = (low - from[axis]) / d, t2 = (high - from[axis]) / d;
            enter = std::max(enter, std::min(t1, t2));
            exit = std::min(exit, std::max(t1, t2));
        }
        if (enter > exit) {
            continue;
        }
        // The squared distance from a point of the segment to the box is convex along the segment:
        // its least value is found by narrowing the parameter range by thirds.
        const auto distance2 = [&](double t) {
            double sum = 0.0;
            for (int axis = 0; axis < 3; ++axis) {
                const double p = from[axis] + t * (static_cast<double>(to[axis]) - from[axis]);
                const double d = std::max({static_cast<double>(box.min[axis]) - p, 0.0, p - box.max[axis]});
                sum += d * d;
            }
            return sum;
        };
        double lo = 0.0, hi = 1.0;
        for (int i = 0; i < 100 && hi - lo > 1e-12; ++i) {
            const double a = lo + (hi - lo) / 3.0, b = hi - (hi - lo) / 3.0;
            if (distance2(a) <= distance2(b)) {
                hi = b;
            } else {
                lo = a;
            }
        }
        if (std::min({distance2(lo), distance2(hi), distance2(0.0), distance2(1.0)}) <= r2) {
            return true;
        }
    }
    return false;
}

bool FakeAiHost::ShouldFail() {
    if (m_failAll) {
        return true;
    }
    if (m_failIn > 0 && --m_failIn == 0) {
        return true;
    }
    return false;
}

void* FakeAiHost::Alloc(std::size_t size) {
    FakeAiHost& host = Instance();
    if (host.ShouldFail()) {
        return nullptr;
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) {
        host.m_blocks[block] = size;
        host.m_liveBytes += size;
        ++host.m_allocations;
    }
    return block;
}

void* FakeAiHost::Realloc(void* block, std::size_t size) {
    FakeAiHost& host = Instance();
    if (block == nullptr) {
        return Alloc(size);
    }
    auto it = host.m_blocks.find(block);
    if (it == host.m_blocks.end()) {
        ++host.m_badFrees;
        return nullptr;
    }
    if (host.ShouldFail()) {
        return nullptr;
    }
    void* grown = std::realloc(block, size == 0 ? 1 : size);
    if (grown == nullptr) {
        return nullptr;
    }
    host.m_liveBytes -= it->second;
    host.m_blocks.erase(it);
    host.m_blocks[grown] = size;
    host.m_liveBytes += size;
    return grown;
}

void FakeAiHost::Free(void* block) {
    FakeAiHost& host = Instance();
    if (block == nullptr) {
        return;
    }
    auto it = host.m_blocks.find(block);
    if (it == host.m_blocks.end()) {
        // Still handed to free, so that AddressSanitizer reports where it came from.
        ++host.m_badFrees;
    } else {
        host.m_liveBytes -= it->second;
        host.m_blocks.erase(it);
        ++host.m_frees;
    }
    std::free(block);
}

void FakeAiHost::AllocationHook(void* block, std::size_t size, CAllocator* serving) {
    Instance().m_allocationHooks.push_back({block, size, serving});
}

void FakeAiHost::ReleaseHook(void* block, CAllocator* owner) { Instance().m_releaseHooks.push_back({block, 0, owner}); }

double FakeAiHost::Clock(std::uint32_t user) {
    FakeAiHost& host = Instance();
    ++host.m_clockCalls;
    host.m_lastClockUser = user;
    if (!host.m_queuedTimes.empty()) {
        host.m_time = host.m_queuedTimes.front();
        host.m_queuedTimes.pop_front();
    }
    return host.m_time;
}

namespace {

FakeQuery MakeQuery(const float* from, const float* to, void* user, std::uint32_t mode, float extent) {
    return {{from[0], from[1], from[2]}, {to[0], to[1], to[2]}, user, mode, extent};
}

} // namespace

float FakeAiHost::Ray(const float* from, const float* to, void* user, std::uint32_t mode, float length, float* normal) {
    FakeAiHost& host = Instance();
    if (host.m_recordQueries)
        host.m_rays.push_back(MakeQuery(from, to, user, mode, length));
    float fraction = 1.0f;
    if (!host.Intersect(from, to, 0.0f, &fraction, normal)) {
        normal[0] = normal[1] = normal[2] = 0.0f;
        return length;
    }
    return fraction * length;
}

bool FakeAiHost::LineOfSight(const float* from, const float* to, void* user, std::uint32_t mode) {
    FakeAiHost& host = Instance();
    if (host.m_recordQueries)
        host.m_lineOfSight.push_back(MakeQuery(from, to, user, mode, 0.0f));
    float fraction;
    float normal[3];
    return !host.Intersect(from, to, 0.0f, &fraction, normal);
}

bool FakeAiHost::Sweep(const float* from, const float* to, float radius, void* user, std::uint32_t mode) {
    FakeAiHost& host = Instance();
    if (host.m_recordQueries)
        host.m_sweeps.push_back(MakeQuery(from, to, user, mode, radius));
    float fraction;
    float normal[3];
    return !host.Intersect(from, to, radius, &fraction, normal);
}

void FakeAiHost::DrawLine(const float* from, const float* to, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    Instance().m_lines.push_back({{from[0], from[1], from[2]}, {to[0], to[1], to[2]}, r, g, b});
}

void FakeAiHost::DrawPoint(const float* point, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    Instance().m_points.push_back({{point[0], point[1], point[2]}, r, g, b});
}

void* FakeAiHost::Open(const char* path, const char* mode) {
    FakeAiHost& host = Instance();
    if (path == nullptr || mode == nullptr) {
        return nullptr;
    }
    host.m_lastPath = path;
    std::replace(host.m_lastPath.begin(), host.m_lastPath.end(), '\\', '/');
    std::FILE* file = std::fopen(host.m_lastPath.c_str(), mode);
    if (file != nullptr) {
        ++host.m_openFiles;
    }
    return file;
}

int FakeAiHost::Close(void* file) {
    if (file == nullptr) {
        return -1;
    }
    --Instance().m_openFiles;
    return std::fclose(static_cast<std::FILE*>(file));
}

int FakeAiHost::Eof(void* file) { return std::feof(static_cast<std::FILE*>(file)); }

char* FakeAiHost::Gets(char* buffer, int size, void* file) {
    return std::fgets(buffer, size, static_cast<std::FILE*>(file));
}

std::size_t FakeAiHost::Write(const void* buffer, std::size_t size, std::size_t count, void* file) {
    return std::fwrite(buffer, size, count, static_cast<std::FILE*>(file));
}

std::size_t FakeAiHost::Read(void* buffer, std::size_t size, std::size_t count, void* file) {
    return std::fread(buffer, size, count, static_cast<std::FILE*>(file));
}

int FakeAiHost::Seek(void* file, long offset, int origin) {
    return std::fseek(static_cast<std::FILE*>(file), offset, origin);
}

// ---------------------------------------------------------------------------------------
// AiEngineTest

void AiEngineTest::SetUp() {
    FakeAiHost& host = Host();
    host.Reset();
    m_services = host.MakeServices();
    ConfigureServices(m_services);
    ASSERT_TRUE(Vusk::Initialise(&m_services));
    if (PoolSize() != 0) {
        ASSERT_TRUE(Vusk::InstallPoolAllocator(PoolSize(), 100));
    }
}

void AiEngineTest::TearDown() {
    FakeAiHost& host = Host();
    Vusk::ReleaseEngine();
    EXPECT_EQ(host.LiveBlocks(), 0) << "host blocks still allocated after shut-down";
    EXPECT_EQ(host.LiveBytes(), 0u);
    EXPECT_EQ(host.BadFrees(), 0) << "frees of pointers the host never handed out";
    EXPECT_EQ(host.OpenFiles(), 0) << "files left open";
    host.ForgetLiveBlocksAndFiles();
}
