#include "Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

std::uint64_t SystemClock::NowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SystemClock::SleepMs(std::uint64_t milliseconds) {
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

VirtualClock::VirtualClock(std::uint64_t startMs) : now(startMs) {}

std::uint64_t VirtualClock::NowMs() {
    std::lock_guard<std::mutex> lock(mutex);
    return now;
}

void VirtualClock::SleepMs(std::uint64_t milliseconds) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        sleeps.push_back(milliseconds);
    }
    Advance(milliseconds);
}

void VirtualClock::Advance(std::uint64_t milliseconds) {
    std::vector<Observer> toNotify;
    std::uint64_t reached;
    {
        std::lock_guard<std::mutex> lock(mutex);
        now += milliseconds;
        reached = now;
        toNotify = observers;
    }
    for (auto& observer : toNotify)
        observer(reached);
}

void VirtualClock::AddObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(mutex);
    observers.push_back(std::move(observer));
}

std::vector<std::uint64_t> VirtualClock::Sleeps() const {
    std::lock_guard<std::mutex> lock(mutex);
    return sleeps;
}

namespace {
SystemClock systemClock;
std::atomic<Clock*> installedClock{nullptr};
} // namespace

Clock& CurrentClock() {
    Clock* clock = installedClock.load(std::memory_order_acquire);
    return clock ? *clock : systemClock;
}

void SetClock(Clock* clock) {
    installedClock.store(clock, std::memory_order_release);
}
