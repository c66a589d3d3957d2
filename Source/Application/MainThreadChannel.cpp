#include "MainThreadChannel.h"

#include "ZephAppDelegate.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <thread>

MainThreadChannel::MainThreadChannel(ZephAppDelegate& delegate) : delegate(&delegate) {}

bool MainThreadChannel::OnMainThread() {
    const QCoreApplication* application = QCoreApplication::instance();
    return application && QThread::currentThread() == application->thread();
}

bool MainThreadChannel::Post(Request request) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!delegate)
        return false;
    // Posted to the controller itself: if it is destroyed before the request runs, Qt drops it.
    ZephAppDelegate* target = delegate;
    QMetaObject::invokeMethod(
        target, [target, request = std::move(request)]() { request(*target); }, Qt::QueuedConnection);
    return true;
}

bool MainThreadChannel::RunAndWait(Request request) {
    if (OnMainThread()) {
        ZephAppDelegate* target = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            target = delegate;
        }
        if (!target)
            return false;
        request(*target);
        return true;
    }
    // Not Qt's blocking queued call: a wait that the closing controller can end as well.
    auto done = std::make_shared<bool>(false);
    std::unique_lock<std::mutex> lock(mutex);
    if (!delegate)
        return false;
    ZephAppDelegate* target = delegate;
    QMetaObject::invokeMethod(
        target,
        [self = shared_from_this(), target, done, request = std::move(request)]() {
            request(*target);
            std::lock_guard<std::mutex> doneLock(self->mutex);
            *done = true;
            self->changed.notify_all();
        },
        Qt::QueuedConnection);
    ++waitsBegun;
    changed.notify_all();
    changed.wait(lock, [&] { return *done || !delegate; });
    return *done;
}

void MainThreadChannel::Close() {
    std::lock_guard<std::mutex> lock(mutex);
    delegate = nullptr;
    changed.notify_all();
}

bool MainThreadChannel::Closed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return delegate == nullptr;
}

void MainThreadChannel::WorkerStarted() {
    std::lock_guard<std::mutex> lock(mutex);
    ++workers;
}

void MainThreadChannel::WorkerEnded() {
    std::lock_guard<std::mutex> lock(mutex);
    --workers;
    changed.notify_all();
}

std::size_t MainThreadChannel::RunningWorkers() const {
    std::lock_guard<std::mutex> lock(mutex);
    return workers;
}

bool MainThreadChannel::WaitForWorkers(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return workers == 0; });
}

std::uint64_t MainThreadChannel::WaitsBegun() const {
    std::lock_guard<std::mutex> lock(mutex);
    return waitsBegun;
}

bool MainThreadChannel::WaitForWaitsBegun(std::uint64_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return waitsBegun >= count; });
}

void StartWorker(const std::shared_ptr<MainThreadChannel>& channel, std::function<void()> body) {
    // Counted before the thread exists, so nobody sees a job without its worker.
    channel->WorkerStarted();
    std::thread([channel, body = std::move(body)]() {
        struct EndGuard {
            MainThreadChannel& channel;
            ~EndGuard() { channel.WorkerEnded(); }
        } guard{*channel};
        body();
    }).detach();
}
