#pragma once
// Cooperative interruption of long library work.
//
// Whoever calls into the library installs a check for its thread (the Python
// binding: are signals pending, and did a handler raise?). Long loops count
// their work with an InterruptPoller, which runs the check about every
// kPollUnits units; when the check says stop, the poller throws Interrupted
// and the work unwinds, freeing what it built. The installer knows why it
// stopped (the binding: the Python exception is already set).
//
// Threads of the worker pool have no check; they poll a stop flag of the
// batch instead, which the pool raises once any range has failed.

#include <algorithm>
#include <atomic>
#include <cstddef>

namespace zemo {

// Thrown by a poll when the thread's check or its batch's stop flag says stop.
// Deliberately not a std::exception: nothing may mistake it for a fault.
struct Interrupted {};

// Returns true when the work must stop. Runs on the thread that installed it.
using InterruptCheck = bool (*)();

// Installs `check` for the current thread while in scope (nestable).
class InterruptScope {
public:
    explicit InterruptScope(InterruptCheck check) noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    InterruptCheck previous_;
    bool previous_tripped_;
};

// Makes polls on the current thread also stop once `*flag` is set (the
// worker pool, for the duration of one batch).
class StopFlagScope {
public:
    explicit StopFlagScope(const std::atomic<bool>* flag) noexcept;
    ~StopFlagScope();
    StopFlagScope(const StopFlagScope&) = delete;
    StopFlagScope& operator=(const StopFlagScope&) = delete;

private:
    const std::atomic<bool>* previous_;
};

// Whether the current thread has a check installed.
bool interrupt_check_installed() noexcept;

// Off only in the build that measures what polling costs
// (cmake -DZEMO_INTERRUPT_POLLS=OFF, used by bench/poll_cost.py).
#ifdef ZEMO_NO_INTERRUPT_POLLS
inline constexpr bool kInterruptPolls = false;
#else
inline constexpr bool kInterruptPolls = true;
#endif

namespace detail {
void poll_interruption();
}  // namespace detail

// Runs the current thread's check and its stop flag now; throws Interrupted
// when either says stop. Once the check has said stop, later polls in the same
// scope throw without running it again (the binding's check would otherwise
// run signal handlers with an exception already set).
inline void interruption_point() {
    if constexpr (kInterruptPolls) detail::poll_interruption();
}

// Units are roughly bytes of input handled; a check every 64 Ki units is a
// few hundred microseconds of the slowest text work and costs nothing
// measurable. Work far heavier per item (a classification) polls with
// kPollUnits, that is, at every item.
inline constexpr std::ptrdiff_t kPollUnits = std::ptrdiff_t{1} << 16;

// A countdown held by the loop itself, so that the common path touches no
// thread-local storage.
class InterruptPoller {
public:
    void tick(std::size_t units) {
        if constexpr (!kInterruptPolls) return;
        left_ -= static_cast<std::ptrdiff_t>(units);
        if (left_ <= 0) {
            left_ = kPollUnits;
            interruption_point();
        }
    }

private:
    std::ptrdiff_t left_ = kPollUnits;
};

// Loops over many cheap items: `block(begin, end)` handles a few items and
// returns their units, so that the items themselves carry no poll at all.
template <typename Block>
void for_each_block_polled(std::size_t n, Block block) {
    constexpr std::size_t kBlockItems = 16;
    if constexpr (!kInterruptPolls) {
        block(0, n);
        return;
    }
    InterruptPoller poller;
    for (std::size_t begin = 0; begin < n; begin += kBlockItems) {
        poller.tick(block(begin, std::min(n, begin + kBlockItems)));
    }
}

}  // namespace zemo
