#pragma once

#include "Clock.h"

#include <chrono>
#include <cstdint>

// Thrown out of a wait of the RunClock once the run has been interrupted (Ctrl-C). It is not a
// std::exception, so that no handler for ordinary failures takes it by mistake.
struct RunInterrupted {};

// The real clock for a command's run: waits can be interrupted, and may run faster than real time
// (the simulated device's long paths in tests). Install it before the MIDI service and the device
// are made, so that they wait on it too.
class RunClock : public Clock {
public:
    explicit RunClock(double speed = 1.0);

    std::uint64_t NowMs() override;
    // Sleeps in short slices; throws RunInterrupted as soon as the run has been interrupted.
    void SleepMs(std::uint64_t milliseconds) override;

    // Ends every wait of every RunClock, now and later. Safe to call from a signal handler.
    static void Interrupt();
    static bool Interrupted();
    // Forgets an interruption (tests).
    static void Reset();

private:
    double speed;
    std::chrono::steady_clock::time_point origin;
};
