#pragma once
// A fixed set of worker threads that share out numbered tasks with the thread that hands them
// over. Between runs a worker first watches for the next one for a short while (runs often come
// in quick succession, and waking a sleeping thread costs more than many a task), then sleeps; the
// workers are joined when the pool is destroyed.

#include <atomic>
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

private:
    void Work();
    // Watches `done` for a short while, or until it holds.
    template <typename Done> void Watch(Done done);
    // Runs tasks of run `generation` until none is left to take; `lock` holds mutex_.
    void Take(std::unique_lock<std::mutex>& lock, std::uint64_t generation);

    std::vector<std::thread> workers_;
    std::mutex busy_; // held by the thread whose run the workers serve
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::atomic<std::uint64_t> generation_{0}; // runs started (and the end, as ~0), changed under mutex_
    int sleeping_ = 0;                         // workers waiting on wake_
    bool caller_waits_ = false;                // the caller waits on done_
    Task task_ = nullptr;
    void* context_ = nullptr;
    int count_ = 0;
    int next_ = 0;                 // the next task to take
    std::atomic<int> finished_{0}; // tasks of the current run done, counted under mutex_
};
