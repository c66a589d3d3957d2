#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

// Every wait of the update library (poll intervals, retry pauses, portion delays) goes through
// the process-wide clock below, so that tests can run minutes of waiting in virtual time.
class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary, fixed origin.
    virtual std::uint64_t NowMs() = 0;
    // Blocks (or pretends to block) the calling thread for the given time.
    virtual void SleepMs(std::uint64_t milliseconds) = 0;
};

// The real monotonic clock and std::this_thread::sleep_for.
class SystemClock : public Clock {
public:
    std::uint64_t NowMs() override;
    void SleepMs(std::uint64_t milliseconds) override;
};

// A clock whose time moves only when somebody sleeps on it (or Advance is called). Sleeping
// returns at once after moving the time forward, so a 90-second retry path takes microseconds.
// Observers are told of every advance, which lets simulated devices act at the right moment.
class VirtualClock : public Clock {
public:
    using Observer = std::function<void(std::uint64_t nowMs)>;

    explicit VirtualClock(std::uint64_t startMs = 1'000'000);

    std::uint64_t NowMs() override;
    void SleepMs(std::uint64_t milliseconds) override;

    void Advance(std::uint64_t milliseconds);
    // Observers run on the thread that advanced the clock, outside the clock's lock.
    void AddObserver(Observer observer);
    // Every sleep requested so far, in order.
    std::vector<std::uint64_t> Sleeps() const;

private:
    mutable std::mutex mutex;
    std::uint64_t now;
    std::vector<std::uint64_t> sleeps;
    std::vector<Observer> observers;
};

// The clock in use; the system clock unless one was installed.
Clock& CurrentClock();
// Installs a clock (nullptr restores the system clock). The caller keeps ownership and must
// keep it alive while it is installed.
void SetClock(Clock* clock);

// Installs a clock for the lifetime of a scope.
class ScopedClock {
public:
    explicit ScopedClock(Clock& clock) { SetClock(&clock); }
    ~ScopedClock() { SetClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};
