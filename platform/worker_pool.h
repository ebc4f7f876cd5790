#pragma once
// A fixed set of worker threads that share out numbered tasks with the thread that hands them
// over. Tasks are taken without a lock. A worker with nothing to take watches for the next run
// for a moment (not when the pool has more threads than the process has processors), then sleeps
// until a run needs it: a run wakes no more workers than it has tasks beyond the caller's first,
// and an idle pool uses no processor time. The caller, done with its share, watches the others'
// tasks for a few tens of microseconds before it sleeps too. The workers are joined when the pool
// is destroyed.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class PlatformWorkerPool {
public:
    // `threads` counts the caller: a pool of 1 has no worker and runs every task on the caller.
    explicit PlatformWorkerPool(int threads);
    ~PlatformWorkerPool();
    PlatformWorkerPool(const PlatformWorkerPool&) = delete;
    PlatformWorkerPool& operator=(const PlatformWorkerPool&) = delete;

    int Threads() const { return static_cast<int>(workers_.size()) + 1; }
    // Threads that can run at once: Threads(), or fewer when the process has fewer processors.
    int Parallel() const { return parallel_; }

    // Runs task(context, i) once for every i in [0, count), each on whichever thread takes it
    // first, the caller among them; returns when all have finished. One run at a time: a caller
    // that finds the pool busy runs its tasks alone.
    using Task = void (*)(void* context, int index);
    void Run(int count, Task task, void* context);

    // Times a worker was woken from its sleep since the pool was made.
    long Wakes() const { return wakes_.load(); }
    // Workers asleep or about to be, as last seen.
    int Sleeping() const { return sleeping_.load(std::memory_order_relaxed); }

private:
    void Work();
    // Watches `done` for `span`, never giving up the processor, or until it holds; true when it
    // holds.
    template <typename Done> static bool Watch(Done done, std::chrono::microseconds span);
    // Runs tasks of run `run` until none is left to take.
    void Take(std::uint64_t run);

    std::vector<std::thread> workers_;
    std::mutex busy_; // held by the thread whose run the workers serve
    // The run being served: its number in the high half, the next task to take in the low one.
    // Its task, context and count are set before its number is published and stay until all of
    // its tasks have finished.
    std::atomic<std::uint64_t> work_{0};
    std::atomic<int> count_{0};
    std::atomic<int> finished_{0};
    Task task_ = nullptr;
    void* context_ = nullptr;
    // Sleeping and waking, on the words themselves: workers sleep on `epoch_`, which every run
    // and the end advance; the caller sleeps on `finished_`.
    std::atomic<int> epoch_{0};
    std::atomic<int> sleeping_{0}; // workers asleep or about to be
    std::atomic<long> wakes_{0};   // workers woken
    std::atomic<bool> stop_{false};
    std::atomic<bool> callerAsleep_{false};
    const int parallel_;
    const bool linger_; // workers watch for the next run before they sleep
};
