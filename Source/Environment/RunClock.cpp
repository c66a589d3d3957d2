#include "RunClock.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

// How often a wait looks at the flag, in real time.
constexpr std::chrono::milliseconds slice{10};

} // namespace

RunClock::RunClock(double speed) : speed(speed > 0 ? speed : 1.0), origin(std::chrono::steady_clock::now()) {}

std::uint64_t RunClock::NowMs() {
    const std::chrono::duration<double, std::milli> real = std::chrono::steady_clock::now() - origin;
    // Start well away from 0, as the system clock does, so that differences never wrap oddly.
    return 1'000'000 + static_cast<std::uint64_t>(real.count() * speed);
}

void RunClock::SleepMs(std::uint64_t milliseconds) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double, std::milli>(
                                               static_cast<double>(milliseconds) / speed));
    for (;;) {
        if (interrupted.load())
            throw RunInterrupted{};
        const auto now = steady_clock::now();
        if (now >= end)
            return;
        std::this_thread::sleep_for(std::min<steady_clock::duration>(end - now, slice));
    }
}

void RunClock::Interrupt() {
    interrupted.store(true);
}

bool RunClock::Interrupted() {
    return interrupted.load();
}

void RunClock::Reset() {
    interrupted.store(false);
}
