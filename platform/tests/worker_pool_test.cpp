// The rasteriser's worker pool: every task of a run once whatever the count and however runs
// follow each other, a second caller served on its own thread, a pool on one processor, and a run
// that wakes no more sleeping workers than its tasks keep busy.

#include "platform/worker_pool.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Tally {
    std::vector<std::atomic<int>> runs;
    explicit Tally(int n) : runs(static_cast<std::size_t>(n)) {}
    static void Count(void* context, int i) { static_cast<Tally*>(context)->runs[static_cast<std::size_t>(i)]++; }
};

TEST(WorkerPool, EveryTaskRunsOnceAndASecondCallerRunsItsOwn) {
    for (int threads : {1, 2, 4, 8}) {
        PlatformWorkerPool pool(threads);
        EXPECT_EQ(pool.Threads(), threads);
        for (int count : {0, 1, 2, 3, 7, 8, 9, 64, 1000}) {
            for (int repeat = 0; repeat < 20; ++repeat) {
                Tally tally(count);
                pool.Run(count, &Tally::Count, &tally);
                for (int i = 0; i < count; ++i)
                    ASSERT_EQ(tally.runs[static_cast<std::size_t>(i)].load(), 1)
                        << threads << " threads, " << count << " tasks, task " << i;
            }
        }
        // Two callers at once: each run complete, whichever thread served it.
        Tally a(10), b(10);
        std::thread other([&] {
            for (int k = 0; k < 50; ++k)
                pool.Run(10, &Tally::Count, &b);
        });
        for (int k = 0; k < 50; ++k)
            pool.Run(10, &Tally::Count, &a);
        other.join();
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(a.runs[static_cast<std::size_t>(i)].load(), 50);
            EXPECT_EQ(b.runs[static_cast<std::size_t>(i)].load(), 50);
        }
    }
}

// Runs back to back whose counts rise and fall: a worker still looking at the last run while the
// next is set up takes nothing of either twice. The race is timing's to show; thousands of runs
// showed it within a few thousand when the next run's count could open the last one again.
TEST(WorkerPool, RunsBackToBackRunEachTaskOnceWhateverTheirCounts) {
    PlatformWorkerPool pool(8);
    constexpr int kMost = 24;
    Tally tally[2] = {Tally(kMost), Tally(kMost)};
    for (int run = 0; run < 20000; ++run) {
        Tally& t = tally[run % 2];
        const int count = 2 + run % (kMost - 1);
        for (auto& r : t.runs)
            r.store(0);
        pool.Run(count, &Tally::Count, &t);
        for (int i = 0; i < kMost; ++i)
            ASSERT_EQ(t.runs[static_cast<std::size_t>(i)].load(), i < count ? 1 : 0)
                << "run " << run << ", " << count << " tasks, task " << i;
    }
}

// On one processor (as under taskset) a pool of eight runs every task once and counts one thread
// that runs at once, the number its callers cut work for.
TEST(WorkerPool, OnOneProcessorAPoolRunsAsOneThread) {
    cpu_set_t all, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
        }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    {
        PlatformWorkerPool pool(8);
        EXPECT_EQ(pool.Threads(), 8);
        EXPECT_EQ(pool.Parallel(), 1);
        for (int k = 0; k < 200; ++k) {
            Tally tally(16);
            pool.Run(16, &Tally::Count, &tally);
            for (int i = 0; i < 16; ++i)
                ASSERT_EQ(tally.runs[static_cast<std::size_t>(i)].load(), 1) << "run " << k << ", task " << i;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
}

// Runs of two tasks, the caller taking one: about one sleeping worker is woken a run, not all
// seven (a worker just back from a task may also see the next run as it goes to sleep).
TEST(WorkerPool, ARunWakesOnlyTheWorkersItsTasksNeed) {
    PlatformWorkerPool pool(8);
    constexpr int kRuns = 300;
    Tally tally(2);
    for (int k = 0; k < kRuns; ++k)
        pool.Run(2, &Tally::Count, &tally);
    EXPECT_EQ(tally.runs[0].load() + tally.runs[1].load(), 2 * kRuns);
    EXPECT_LE(pool.Wakes(), 2 * kRuns + 7);
}

} // namespace
