#include "common/interrupt.hpp"

namespace zemo {
namespace {

thread_local InterruptCheck t_check = nullptr;
thread_local bool t_tripped = false;
thread_local const std::atomic<bool>* t_stop = nullptr;

}  // namespace

InterruptScope::InterruptScope(InterruptCheck check) noexcept : previous_(t_check), previous_tripped_(t_tripped) {
    t_check = check;
    t_tripped = false;
}

InterruptScope::~InterruptScope() {
    t_check = previous_;
    t_tripped = previous_tripped_;
}

StopFlagScope::StopFlagScope(const std::atomic<bool>* flag) noexcept : previous_(t_stop) { t_stop = flag; }
StopFlagScope::~StopFlagScope() { t_stop = previous_; }

bool interrupt_check_installed() noexcept { return t_check != nullptr; }

void detail::poll_interruption() {
    if (t_stop != nullptr && t_stop->load(std::memory_order_relaxed)) throw Interrupted{};
    if (t_tripped) throw Interrupted{};
    if (t_check != nullptr && t_check()) {
        t_tripped = true;
        throw Interrupted{};
    }
}

}  // namespace zemo
