#include "fuzzy/pool.hpp"

#include "common/interrupt.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
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

    // Polls in the body on any thread stop once a range has failed. Each
    // range starts with a poll of its own: a body counts its work afresh per
    // range, and many light items (short names against a small catalogue)
    // never add up to a poll inside one, so without it the caller's check
    // would not run until the whole batch was handed out.
    void work() {
        const StopFlagScope stop(&failed);
        while (!failed.load(std::memory_order_relaxed)) {
            const std::size_t begin = next.fetch_add(grain, std::memory_order_relaxed);
            if (begin >= n) return;
            try {
                interruption_point();
                (*body)(begin, std::min(n, begin + grain));
            } catch (...) {
                fail(std::current_exception());
            }
        }
    }

    // The first failure is the one reported; those it causes are not.
    void fail(std::exception_ptr e) {
        std::lock_guard lock(error_mutex);
        if (!error) error = std::move(e);
        failed = true;
    }
};

// While the caller waits for the workers' last ranges, it still runs its
// interrupt check this often.
constexpr auto kWaitPoll = std::chrono::milliseconds(2);

// Set while this thread runs a batch: a batch started from inside one (a
// signal handler run by a poll may call the library again) runs inline
// instead of waiting for the pool it is already holding.
thread_local bool t_in_batch = false;

class Pool {
public:
    explicit Pool(std::size_t threads) : threads_(threads) {
        for (std::size_t i = 1; i < threads; ++i) workers_.emplace_back([this] { serve(); });
    }

    std::size_t size() const { return threads_; }

    void run(std::size_t n, const std::function<void(std::size_t, std::size_t)>& body) {
        if (n == 0) return;
        if (t_in_batch || threads_ == 1) {
            body(0, n);
            return;
        }
        // One batch at a time on the pool; a thread that finds it taken (a
        // caller running without the interpreter lock beside another) works
        // on its own batch itself rather than waiting idle.
        std::unique_lock submit(submit_mutex_, std::try_to_lock);
        if (!submit.owns_lock()) {
            body(0, n);
            return;
        }
        t_in_batch = true;
        struct Leave {
            ~Leave() { t_in_batch = false; }
        } leave;
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
            const auto idle = [this] { return busy_ == 0; };
            if (!interrupt_check_installed()) {
                done_.wait(lock, idle);
            } else {
                while (!done_.wait_for(lock, kWaitPoll, idle)) {
                    if (job.failed.load(std::memory_order_relaxed)) continue;
                    lock.unlock();  // the check may run arbitrary code
                    try {
                        interruption_point();
                    } catch (const Interrupted&) {
                        job.fail(std::current_exception());
                    }
                    lock.lock();
                }
            }
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
