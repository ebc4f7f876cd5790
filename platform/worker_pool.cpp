#include "platform/worker_pool.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <emmintrin.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Sleeps while `word` holds `expected` (or until woken; the callers check again).
void Sleep(std::atomic<int>& word, int expected) {
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

// Wakes up to `count` threads asleep on `word`.
void Wake(std::atomic<int>& word, int count) {
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

constexpr std::uint64_t kTaskMask = 0xFFFFFFFFu;
// How long the caller watches the others' tasks before it sleeps.
constexpr std::chrono::microseconds kWatch{30};
// How long a worker out of tasks watches for the next run before it sleeps: the runs of one frame
// follow each other within this, and waking a sleeper costs the drawing thread tens to hundreds
// of microseconds before the worker is back.
constexpr std::chrono::microseconds kLinger{150};

// Processors this process may run on.
int Processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0)
        return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return CPU_COUNT(&set);
}

} // namespace

PlatformWorkerPool::PlatformWorkerPool(int threads)
    : parallel_(std::clamp(Processors(), 1, std::max(threads, 1))), linger_(parallel_ == std::max(threads, 1)) {
    for (int i = 1; i < threads; ++i)
        workers_.emplace_back([this] { Work(); });
}

PlatformWorkerPool::~PlatformWorkerPool() {
    {
        const std::lock_guard<std::mutex> run(busy_);
        stop_.store(true);
        epoch_.fetch_add(1);
    }
    Wake(epoch_, INT_MAX);
    for (std::thread& t : workers_)
        t.join();
}

template <typename Done> bool PlatformWorkerPool::Watch(Done done, std::chrono::microseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    for (int spin = 1;; ++spin) {
        if (done())
            return true;
        _mm_pause();
        if (spin % 64 == 0 && std::chrono::steady_clock::now() > until)
            return false;
    }
}

void PlatformWorkerPool::Run(int count, Task task, void* context) {
    std::unique_lock<std::mutex> run(busy_, std::try_to_lock);
    if (workers_.empty() || count <= 1 || !run.owns_lock()) {
        for (int i = 0; i < count; ++i)
            task(context, i);
        return;
    }
    // The last run is closed before its fields change: a worker still taking from it that read
    // the new count would otherwise take an index past the old count, run the new task with it
    // (an index the new run hands out again) and count a finished task too many, which leaves
    // the caller waiting for good.
    const std::uint64_t number = (work_.fetch_or(kTaskMask) >> 32) + 1;
    task_ = task;
    context_ = context;
    count_.store(count, std::memory_order_release); // ordered after the close for those that read it
    finished_.store(0, std::memory_order_relaxed);
    work_.store(number << 32); // publishes the above
    epoch_.fetch_add(1);
    // The caller takes tasks too: wake the sleepers the rest may keep busy.
    const int sleeping = sleeping_.load();
    const int wanted = std::min(count - 1, sleeping);
    if (wanted > 0)
        Wake(epoch_, wanted == sleeping ? INT_MAX : wanted);
    Take(number);
    // Tasks that others took are watched for a moment, then waited for asleep: the last one to
    // finish wakes the caller.
    auto done = [&] { return finished_.load(std::memory_order_acquire) == count; };
    if (done() || Watch(done, kWatch))
        return;
    callerAsleep_.store(true);
    for (int f = finished_.load(); f != count; f = finished_.load())
        Sleep(finished_, f);
    callerAsleep_.store(false);
}

void PlatformWorkerPool::Take(std::uint64_t number) {
    for (;;) {
        std::uint64_t w = work_.load(std::memory_order_acquire);
        int count;
        do {
            count = count_.load(std::memory_order_acquire);
            if (w >> 32 != number || (w & kTaskMask) >= static_cast<std::uint64_t>(count))
                return;
        } while (!work_.compare_exchange_weak(w, w + 1, std::memory_order_acq_rel));
        // The run cannot end before this task does: its task and context stay.
        task_(context_, static_cast<int>(w & kTaskMask));
        if (finished_.fetch_add(1) + 1 == count && callerAsleep_.load())
            Wake(finished_, 1);
    }
}

void PlatformWorkerPool::Work() {
    std::uint64_t seen = 0; // the last run this worker looked at
    for (;;) {
        if (stop_.load())
            return;
        auto next = [&] { return work_.load(std::memory_order_acquire) >> 32 != seen; };
        if (next() || (linger_ && Watch([&] { return next() || stop_.load(); }, kLinger))) {
            seen = work_.load(std::memory_order_acquire) >> 32;
            Take(seen);
            continue;
        }
        // Asleep until a run or the end advances the epoch; one that came before the epoch was
        // read is seen here.
        const int epoch = epoch_.load();
        if (work_.load(std::memory_order_acquire) >> 32 != seen || stop_.load())
            continue;
        sleeping_.fetch_add(1);
        Sleep(epoch_, epoch);
        sleeping_.fetch_sub(1);
        wakes_.fetch_add(1);
    }
}
