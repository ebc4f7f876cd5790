#include "platform/worker_pool.h"

#include <algorithm>

namespace {

constexpr std::uint64_t kStop = ~std::uint64_t{0};

} // namespace

PlatformWorkerPool::PlatformWorkerPool(int threads) {
    for (int i = 1; i < threads; ++i)
        workers_.emplace_back([this] { Work(); });
}

PlatformWorkerPool::~PlatformWorkerPool() {
    {
        const std::lock_guard<std::mutex> run(busy_);
        const std::lock_guard<std::mutex> lock(mutex_);
        generation_ = kStop;
    }
    wake_.notify_all();
    for (std::thread& t : workers_)
        t.join();
}

long PlatformWorkerPool::Wakes() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return wakes_;
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
    // The caller takes tasks too: wake the sleepers the rest may keep busy, those already called
    // for an earlier run and not yet up counted among them (they will find this run).
    const int wanted = std::min(count - 1, sleeping_) - called_;
    if (wanted > 0)
        called_ += wanted;
    lock.unlock();
    for (int i = 0; i < wanted; ++i)
        wake_.notify_one();
    lock.lock();
    Take(lock, generation);
    // Tasks that others took are waited for asleep; the last one to finish wakes the caller.
    caller_waits_ = true;
    done_.wait(lock, [&] { return finished_ == count; });
    caller_waits_ = false;
}

void PlatformWorkerPool::Take(std::unique_lock<std::mutex>& lock, std::uint64_t generation) {
    while (generation_ == generation && next_ < count_) {
        const int index = next_++;
        const Task task = task_;
        void* const context = context_;
        lock.unlock();
        task(context, index);
        lock.lock();
        if (++finished_ == count_ && caller_waits_)
            done_.notify_one();
    }
}

void PlatformWorkerPool::Work() {
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // Asleep while there is nothing to take: every run of `seen` is taken or done.
        while (generation_ != kStop && (generation_ == seen || next_ >= count_)) {
            seen = generation_;
            ++sleeping_;
            wake_.wait(lock);
            --sleeping_;
            if (called_ > 0)
                --called_;
            ++wakes_;
        }
        if (generation_ == kStop)
            return;
        seen = generation_;
        Take(lock, seen);
    }
}
