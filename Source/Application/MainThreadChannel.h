#pragma once

#include <QObject>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class ZephAppDelegate;

// How worker threads reach the controller: requests run on the GUI thread, in posting order. The
// controller closes the channel when it goes away; from then on posted requests are dropped and a
// worker waiting for one goes on at once, so a job that outlives the window never touches it.
// Shared (std::shared_ptr) between the controller and every worker.
class MainThreadChannel : public std::enable_shared_from_this<MainThreadChannel> {
public:
    using Request = std::function<void(ZephAppDelegate&)>;

    explicit MainThreadChannel(ZephAppDelegate& delegate);
    MainThreadChannel(const MainThreadChannel&) = delete;
    MainThreadChannel& operator=(const MainThreadChannel&) = delete;

    // Queues the request and returns at once (false when the channel is closed).
    bool Post(Request request);
    // Runs the request on the GUI thread and waits until it has run; on the GUI thread it runs at
    // once. False when it did not run because the channel was closed.
    bool RunAndWait(Request request);

    // Whether the caller is the GUI thread.
    static bool OnMainThread();

    // The controller is going away (called on the GUI thread by its destructor).
    void Close();
    bool Closed() const;

    // Worker bookkeeping, so that whoever owns what the workers use can let them finish first.
    void WorkerStarted();
    void WorkerEnded();
    std::size_t RunningWorkers() const;
    // Waits, for real, until no worker runs; false when the time ran out first.
    bool WaitForWorkers(int timeoutMs) const;
    // How many times a worker has begun to wait in RunAndWait, and a wait until that count has
    // reached at least count (false when the time ran out first).
    std::uint64_t WaitsBegun() const;
    bool WaitForWaitsBegun(std::uint64_t count, int timeoutMs) const;

private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    ZephAppDelegate* delegate; // null once closed
    std::size_t workers = 0;
    std::uint64_t waitsBegun = 0;
};

// Starts a detached worker thread that runs body, counted on the channel for its whole length.
void StartWorker(const std::shared_ptr<MainThreadChannel>& channel, std::function<void()> body);
