#pragma once
// A scripted host for the AI engine's tests.
//
// FakeAiHost answers every word of CHostServices: counted malloc/free with failure
// injection, recording allocation hooks, a clock the test sets, ray / line-of-sight / sweep
// queries against a list of axis-aligned boxes, captured debug drawing, and stdio files.
// The engine calls plain function pointers, so there is one host per process
// (FakeAiHost::Instance()); tests reset it between cases.
//
// AiEngineTest is the GoogleTest fixture every AI test derives from: it initialises the
// engine with the fake host, installs a world memory pool of the parameter's size (0: none,
// so that every release reaches the host and a double free reaches AddressSanitizer), and
// at the end shuts the engine down and checks that every host block was freed and every file
// closed.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "ai/runtime/engine.h"

struct FakeBox {
    float min[3]; // lower corner x, y, z
    float max[3]; // upper corner x, y, z
};

struct FakeHookCall {
    void* block;           // block allocated or released
    std::size_t size;      // bytes (allocation hook only, else 0)
    CAllocator* allocator; // serving or owning allocator
};

struct FakeQuery {
    float from[3];
    float to[3];
    void* user;
    std::uint32_t mode;
    float extent; // length for rays, radius for sweeps, 0 for line of sight
};

struct FakeDebugLine {
    float from[3];
    float to[3];
    std::uint8_t r, g, b;
};

struct FakeDebugPoint {
    float point[3];
    std::uint8_t r, g, b;
};

class FakeAiHost {
public:
    static FakeAiHost& Instance();

    // Forgets everything: counters, recordings, boxes, clock, failure injection. Blocks
    // still live stay tracked (so a leak is reported, not forgotten).
    void Reset();

    // A table whose every word is answered by this host.
    CHostServices MakeServices(std::uint32_t entityPoolSize = 100, std::uint32_t childCapacity = 10) const;

    // Memory.
    long LiveBlocks() const { return static_cast<long>(m_blocks.size()); }
    std::size_t LiveBytes() const { return m_liveBytes; }
    long AllocationCount() const { return m_allocations; }
    long FreeCount() const { return m_frees; }
    // Stops tracking the blocks still live (they stay allocated, so the leak checker still
    // sees them) and the files still open; lets one leaking test fail alone.
    void ForgetLiveBlocksAndFiles();
    // Frees of pointers this host never handed out (or handed out and freed already).
    long BadFrees() const { return m_badFrees; }
    // The n-th allocation from now fails (1: the next one); 0 cancels.
    void FailAllocation(long n) { m_failIn = n; }
    // Every allocation fails while set.
    void FailAllAllocations(bool fail) { m_failAll = fail; }
    const std::vector<FakeHookCall>& AllocationHookCalls() const { return m_allocationHooks; }
    const std::vector<FakeHookCall>& ReleaseHookCalls() const { return m_releaseHooks; }
    void ClearHookCalls();

    // Clock. Each clock call first takes the next queued time, if any, as the current time.
    void SetTime(double seconds) { m_time = seconds; }
    void Advance(double seconds) { m_time += seconds; }
    void QueueTimes(std::initializer_list<double> times);
    double Time() const { return m_time; }
    long ClockCalls() const { return m_clockCalls; }
    std::uint32_t LastClockUser() const { return m_lastClockUser; }

    // Scene.
    void AddBox(float minX, float minY, float minZ, float maxX, float maxY, float maxZ);
    void ClearBoxes() { m_boxes.clear(); }
    // Queries are recorded unless turned off (a long run of a tool needs no record).
    void SetRecordQueries(bool record) { m_recordQueries = record; }
    const std::vector<FakeQuery>& RayQueries() const { return m_rays; }
    const std::vector<FakeQuery>& LineOfSightQueries() const { return m_lineOfSight; }
    const std::vector<FakeQuery>& SweepQueries() const { return m_sweeps; }

    // Debug drawing.
    const std::vector<FakeDebugLine>& Lines() const { return m_lines; }
    const std::vector<FakeDebugPoint>& Points() const { return m_points; }
    void ClearDrawing();

    // Files.
    long OpenFiles() const { return m_openFiles; }
    // Last path handed to open, after '\' was turned into '/'.
    const std::string& LastOpenedPath() const { return m_lastPath; }

    // Segment from -> to against the boxes, each grown by inflate on every side: the
    // smallest entry fraction in [0, 1] and the normal of the face entered (zero when the
    // segment starts inside a box). false when nothing is hit.
    bool Intersect(const float* from, const float* to, float inflate, float* fraction, float* normal) const;
    // True when a sphere of the radius moving from -> to comes within the radius of a box (touching
    // counts). Unlike Intersect with the radius as inflate, a box's corners and edges are rounded,
    // so a sphere that passes a corner diagonally with room to spare is not stopped by it.
    bool SphereSweepHits(const float* from, const float* to, float radius) const;

private:
    FakeAiHost() = default;

    static void* Alloc(std::size_t size);
    static void* Realloc(void* block, std::size_t size);
    static void Free(void* block);
    static void AllocationHook(void* block, std::size_t size, CAllocator* serving);
    static void ReleaseHook(void* block, CAllocator* owner);
    static double Clock(std::uint32_t user);
    static float Ray(const float* from, const float* to, void* user, std::uint32_t mode, float length, float* normal);
    static bool LineOfSight(const float* from, const float* to, void* user, std::uint32_t mode);
    static bool Sweep(const float* from, const float* to, float radius, void* user, std::uint32_t mode);
    static void DrawLine(const float* from, const float* to, std::uint8_t r, std::uint8_t g, std::uint8_t b);
    static void DrawPoint(const float* point, std::uint8_t r, std::uint8_t g, std::uint8_t b);
    static void* Open(const char* path, const char* mode);
    static int Close(void* file);
    static int Eof(void* file);
    static char* Gets(char* buffer, int size, void* file);
    static std::size_t Write(const void* buffer, std::size_t size, std::size_t count, void* file);
    static std::size_t Read(void* buffer, std::size_t size, std::size_t count, void* file);
    static int Seek(void* file, long offset, int origin);

    bool ShouldFail();

    std::unordered_map<void*, std::size_t> m_blocks; // live blocks and their sizes
    std::size_t m_liveBytes = 0;
    long m_allocations = 0;
    long m_frees = 0;
    long m_badFrees = 0;
    long m_failIn = 0;
    bool m_failAll = false;
    std::vector<FakeHookCall> m_allocationHooks;
    std::vector<FakeHookCall> m_releaseHooks;

    double m_time = 0.0;
    std::deque<double> m_queuedTimes;
    long m_clockCalls = 0;
    std::uint32_t m_lastClockUser = 0;

    std::vector<FakeBox> m_boxes;
    bool m_recordQueries = true;
    std::vector<FakeQuery> m_rays;
    std::vector<FakeQuery> m_lineOfSight;
    std::vector<FakeQuery> m_sweeps;
    std::vector<FakeDebugLine> m_lines;
    std::vector<FakeDebugPoint> m_points;

    long m_openFiles = 0;
    std::string m_lastPath;
};

// Fixture of the AI tests, parameterised on the world memory pool size (0: no pool).
class AiEngineTest : public ::testing::TestWithParam<std::size_t> {
public:
    // The two configurations every AI test runs in.
    static constexpr std::size_t kPoolSize = 1u << 20;
    static auto PoolSizes() { return ::testing::Values(std::size_t{0}, kPoolSize); }
    static std::string PoolName(const ::testing::TestParamInfo<std::size_t>& info) {
        return info.param == 0 ? "NoPool" : "Pool";
    }

protected:
    void SetUp() override;
    void TearDown() override;

    // Lets a test change the host table before the engine is initialised.
    virtual void ConfigureServices(CHostServices&) {}

    std::size_t PoolSize() const { return GetParam(); }
    FakeAiHost& Host() { return FakeAiHost::Instance(); }

    CHostServices m_services;
};

// Runs the tests of an AiEngineTest-derived fixture with and without the world pool.
#define AI_ENGINE_TEST_SUITE(fixture)                                                                                  \
    INSTANTIATE_TEST_SUITE_P(PoolSizes, fixture, AiEngineTest::PoolSizes(), AiEngineTest::PoolName)
