#include "fuzzy/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace zemo::fuzzy {
namespace {

std::size_t configured_threads() {
    if (const char* env = std::getenv("ZEMO_ETL_NUM_THREADS")) {
        std::size_t n = 0;
        const char* end = env + std::strlen(env);
        const auto [ptr, ec] = std::from_chars(env, end, n);
        if (ec == std::errc() && ptr == end && n > 0) return std::min<std::size_t>(n, 1024);
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

// One batch: ranges are handed out by an atomic cursor, so no lock is taken
// per position.
struct Job {
    const std::function<void(std::size_t, std::size_t)>* body;
    std::size_t n;
    std::size_t grain;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_mutex;

    void work() {
        while (!failed.load(std::memory_order_relaxed)) {
            const std::size_t begin = next.fetch_add(grain, std::memory_order_relaxed);
            if (begin >= n) return;
            try {
                (*body)(begin, std::min(n, begin + grain));
            } catch (...) {
                std::lock_guard lock(error_mutex);
                if (!error) error = std::current_exception();
                failed = true;
            }
        }
    }
};

class Pool {
public:
    explicit Pool(std::size_t threads) : threads_(threads) {
        for (std::size_t i = 1; i < threads; ++i) workers_.emplace_back([this] { serve(); });
    }

    std::size_t size() const { return threads_; }

    void run(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
        if (n == 0) return;
        std::lock_guard submit(submit_mutex_);  // one batch at a time
        Job job;
        job.body = &body;
        job.n = n;
        // Ranges small enough that idle threads keep taking work while
        // expensive releases hold up others.
        job.grain = std::clamp<std::size_t>(n / (threads_ * 16), 1, 64);
        if (threads_ > 1) {
            std::lock_guard lock(mutex_);
            job_ = &job;
            ++generation_;
            wake_.notify_all();
        }
        job.work();
        if (threads_ > 1) {
            std::unique_lock lock(mutex_);
            job_ = nullptr;  // late wakers find nothing to join
            done_.wait(lock, [this] { return busy_ == 0; });
        }
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    void serve() {
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            Job* job = job_;
            if (job == nullptr) continue;
            ++busy_;
            lock.unlock();
            job->work();
            lock.lock();
            if (--busy_ == 0) done_.notify_all();
        }
    }

    std::size_t threads_;
    std::vector<std::thread> workers_;
    std::mutex submit_mutex_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::uint64_t generation_ = 0;
    Job* job_ = nullptr;
    std::size_t busy_ = 0;
};

// Never destroyed: workers may still be parked on it at exit. After fork the
// child forgets it (leaking it), since its threads and lock states belong to
// the parent.
std::atomic<Pool*> g_pool{nullptr};
std::mutex g_create;

void forget_pool_in_child() {
    g_pool.store(nullptr);
    new (&g_create) std::mutex();
}

Pool& pool() {
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
    std::lock_guard lock(g_create);
    if (Pool* p = g_pool.load()) return *p;
    // A plain flag, not a function-local static: a child forked while another
    // thread held that static's initialisation guard would wait on it forever.
    static std::atomic<bool> registered{false};
    if (!registered.exchange(true)) pthread_atfork(nullptr, nullptr, &forget_pool_in_child);
    auto* p = new Pool(configured_threads());
    g_pool.store(p, std::memory_order_release);
    return *p;
}

}  // namespace

void parallel_for(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) { pool().run(n, body); }

std::size_t pool_size() { return pool().size(); }

}  // namespace zemo::fuzzy
