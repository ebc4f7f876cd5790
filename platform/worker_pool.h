#pragma once
// A fixed set of worker threads that share out numbered tasks with the thread that hands them
// over. A worker with nothing to take sleeps until a run needs it: a run wakes no more workers
// than it has tasks beyond the caller's first, and an idle pool uses no processor time. The
// workers are joined when the pool is destroyed.

#include <condition_variable>
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

    // Runs task(context, i) once for every i in [0, count), each on whichever thread takes it
    // first, the caller among them; returns when all have finished. One run at a time: a caller
    // that finds the pool busy runs its tasks alone.
    using Task = void (*)(void* context, int index);
    void Run(int count, Task task, void* context);

    // Times a worker was woken from its sleep since the pool was made.
    long Wakes();

private:
    void Work();
    // Runs tasks of run `generation` until none is left to take; `lock` holds mutex_.
    void Take(std::unique_lock<std::mutex>& lock, std::uint64_t generation);

    std::vector<std::thread> workers_;
    std::mutex busy_; // held by the thread whose run the workers serve
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::uint64_t generation_ = 0; // runs started (and the end, as ~0)
    int sleeping_ = 0;             // workers waiting on wake_
    int called_ = 0;               // of those, the ones a notification is on its way to
    long wakes_ = 0;
    bool caller_waits_ = false; // the caller waits on done_
    Task task_ = nullptr;
    void* context_ = nullptr;
    int count_ = 0;
    int next_ = 0;     // the next task to take
    int finished_ = 0; // tasks of the current run done
};
