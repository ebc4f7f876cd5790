#pragma once
// Shared helpers of the physics tests: random placements and a counting allocator.

#include <cmath>
#include <cstdlib>
#include <random>

#include "graphics/core/engine.h"
#include "physics/core/utils/math.h"

// A random rigid placement (rotation from a random unit quaternion, translation in +-2).
inline OvMatrix RandomPlacement(std::mt19937& rng) {
    std::normal_distribution<float> n;
    OvQuat q = {n(rng), n(rng), n(rng), n(rng)};
    const float l = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    q = {q.x / l, q.y / l, q.z / l, q.w / l};
    OvMatrix m;
    OvpMathMatrixFromQuat(&m, q);
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    m.pos = {u(rng), u(rng), u(rng)};
    m.flags = 0;
    return m;
}

// Swaps the engine's memory functions for counting ones while alive; failAfter >= 0 makes the
// allocation with that index (from 0) and every later one fail.
class CountingMemory {
public:
    explicit CountingMemory(int failAfter = -1) {
        saved_ = OvEngineInstancePtr->memoryFuncs;
        state() = {0, 0, failAfter};
        OvEngineInstancePtr->memoryFuncs.allocate = [](std::size_t size, OvUInt32) -> void* {
            State& s = state();
            if (s.failAfter >= 0 && s.allocations >= s.failAfter) {
                return nullptr;
            }
            ++s.allocations;
            ++s.live;
            return std::malloc(size);
        };
        OvEngineInstancePtr->memoryFuncs.free = [](void* block) {
            if (block != nullptr) {
                --state().live;
                std::free(block);
            }
        };
    }
    ~CountingMemory() { OvEngineInstancePtr->memoryFuncs = saved_; }
    int live() const { return state().live; }
    int allocations() const { return state().allocations; }

private:
    struct State {
        int allocations;
        int live;
        int failAfter;
    };
    static State& state() {
        static State s;
        return s;
    }
    OvMemoryFunctions saved_;
};
