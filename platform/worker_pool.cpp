#include "platform/worker_pool.h"

#include <chrono>
#include <emmintrin.h>

namespace {

constexpr std::uint64_t kStop = ~std::uint64_t{0};
// How long a worker watches for the next run before it sleeps.
constexpr std::chrono::microseconds kWatch{200};

} // namespace

PlatformWorkerPool::PlatformWorkerPool(int threads) {
    for (int i = 1; i < threads; ++i)
        workers_.emplace_back([this] { Work(); });
}

PlatformWorkerPool::~PlatformWorkerPool() {
    {
        const std::lock_guard<std::mutex> run(busy_);
        const std::lock_guard<std::mutex> lock(mutex_);
        generation_.store(kStop);
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
    finished_.store(0);
    const std::uint64_t generation = generation_.load() + 1;
    generation_.store(generation);
    if (sleeping_ > 0) {
        lock.unlock();
        wake_.notify_all();
        lock.lock();
    }
    Take(lock, generation);
    // A worker that comes late finds nothing left to take of this run; those that took one are
    // waited for, watching first as the workers do.
    lock.unlock();
    Watch([&] { return finished_.load() == count; });
    lock.lock();
    caller_waits_ = true;
    done_.wait(lock, [&] { return finished_.load() == count; });
    caller_waits_ = false;
}

template <typename Done> void PlatformWorkerPool::Watch(Done done) {
    const auto until = std::chrono::steady_clock::now() + kWatch;
    for (int spin = 0; !done(); ++spin) {
        // Every so often give way to a thread that waits for this processor: on a busy machine
        // that may be the very thread this one waits for.
        if (spin % 16 == 15) {
            std::this_thread::yield();
            if (std::chrono::steady_clock::now() > until)
                return;
        } else {
            _mm_pause();
        }
    }
}

void PlatformWorkerPool::Take(std::unique_lock<std::mutex>& lock, std::uint64_t generation) {
    while (generation_.load() == generation && next_ < count_) {
        const int index = next_++;
        const Task task = task_;
        void* const context = context_;
        lock.unlock();
        task(context, index);
        lock.lock();
        if (finished_.fetch_add(1) + 1 == count_ && caller_waits_)
            done_.notify_all();
    }
}

void PlatformWorkerPool::Work() {
    std::uint64_t seen = 0;
    for (;;) {
        Watch([&] { return generation_.load(std::memory_order_relaxed) != seen; });
        std::unique_lock<std::mutex> lock(mutex_);
        if (generation_.load() == seen) {
            ++sleeping_;
            wake_.wait(lock, [&] { return generation_.load() != seen; });
            --sleeping_;
        }
        seen = generation_.load();
        if (seen == kStop)
            return;
        Take(lock, seen);
    }
}
