#include "platform/worker_pool.h"

PlatformWorkerPool::PlatformWorkerPool(int threads) {
    for (int i = 1; i < threads; ++i)
        workers_.emplace_back([this] { Work(); });
}

PlatformWorkerPool::~PlatformWorkerPool() {
    {
        const std::lock_guard<std::mutex> run(busy_);
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_)
        t.join();
}

void PlatformWorkerPool::Run(int count, Task task, void* context) {
    std::unique_lock<std::mutex> run(busy_, std::try_to_lock);
    if (workers_.empty() || count <= 1 || !run.owns_lock()) {
        for (int i = 0; i < count; ++i)
            task(context, i);
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    task_ = task;
    context_ = context;
    count_ = count;
    next_ = 0;
    finished_ = 0;
    const std::uint64_t generation = ++generation_;
    lock.unlock();
    wake_.notify_all();
    lock.lock();
    Take(lock, generation);
    // A worker that wakes after this finds nothing left to take of this run.
    done_.wait(lock, [&] { return finished_ == count_; });
}

void PlatformWorkerPool::Take(std::unique_lock<std::mutex>& lock, std::uint64_t generation) {
    while (generation_ == generation && next_ < count_) {
        const int index = next_++;
        const Task task = task_;
        void* const context = context_;
        lock.unlock();
        task(context, index);
        lock.lock();
        if (++finished_ == count_)
            done_.notify_all();
    }
}

void PlatformWorkerPool::Work() {
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_)
            return;
        seen = generation_;
        Take(lock, seen);
    }
}
