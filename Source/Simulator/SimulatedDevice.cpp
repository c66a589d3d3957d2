#include "SimulatedDevice.h"

#include "Clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

// Locks: actMutex serialises everything the device does on its transport (showing up, sending,
// vanishing), so replies leave in order; stateMutex guards the protocol and the records. actMutex
// is always taken before stateMutex, and no transport call is made while stateMutex is held, because
// the transport may call the data handler (which takes stateMutex) under a lock of its own.
struct SimulatedDevice::Impl : std::enable_shared_from_this<SimulatedDevice::Impl> {
    Impl(std::unique_ptr<DeviceTransport> transport, Options options)
        : transport(std::move(transport)), options(std::move(options)), protocol(this->options.protocol),
          clock(&CurrentClock()) {}

    void Start();
    void Stop();
    void Tick();
    void Deliver(const std::vector<unsigned char>& bytes);
    // When the device is through with size more bytes that reach it at nowMs.
    std::uint64_t TakeAtRate(std::size_t size, std::uint64_t nowMs);

    std::unique_ptr<DeviceTransport> transport;
    const Options options;

    std::mutex actMutex;
    mutable std::mutex stateMutex;
    DeviceProtocol protocol;
    Clock* clock;
    std::vector<Sent> sent;
    bool present = false;
    bool vanished = false;
    bool detached = false;
    std::optional<std::uint64_t> appearAtMs; // when the endpoints are (re)made
    unsigned int appearances = 0;
    unsigned int disappearances = 0;

    // The byte rate: when the device is through with what it has been given so far.
    std::mutex rateMutex;
    double rateFreeAtMs = 0;

    // Looks at a clock that is not virtual.
    std::thread ticker;
    std::mutex tickerMutex;
    std::condition_variable tickerWake;
    bool tickerStop = false;
};

void SimulatedDevice::Impl::Start() {
    const std::uint64_t now = clock->NowMs();
    if (!options.absent)
        appearAtMs = now + options.appearAfterMs;

    std::weak_ptr<Impl> weak = weak_from_this();
    if (auto* virtualClock = dynamic_cast<VirtualClock*>(clock)) {
        // The clock keeps its observers for ever; a device that has gone leaves an empty one.
        virtualClock->AddObserver([weak](std::uint64_t) {
            if (auto self = weak.lock())
                self->Tick();
        });
    } else {
        ticker = std::thread([this] {
            std::unique_lock<std::mutex> lock(tickerMutex);
            while (!tickerStop) {
                lock.unlock();
                Tick();
                lock.lock();
                tickerWake.wait_for(lock, std::chrono::milliseconds(5), [this] { return tickerStop; });
            }
        });
    }
    Tick();
}

void SimulatedDevice::Impl::Stop() {
    if (ticker.joinable()) {
        {
            std::lock_guard<std::mutex> lock(tickerMutex);
            tickerStop = true;
        }
        tickerWake.notify_all();
        ticker.join();
    }
    std::lock_guard<std::mutex> act(actMutex);
    bool wasPresent;
    {
        std::lock_guard<std::mutex> state(stateMutex);
        detached = true;
        wasPresent = present;
        present = false;
    }
    if (wasPresent)
        transport->RemoveEndpoints();
}

void SimulatedDevice::Impl::Tick() {
    std::lock_guard<std::mutex> act(actMutex);
    const std::uint64_t now = clock->NowMs();

    bool appear = false;
    {
        std::lock_guard<std::mutex> state(stateMutex);
        if (detached)
            return;
        if (!present && appearAtMs && *appearAtMs <= now) {
            appear = true;
            appearAtMs.reset();
        }
    }
    if (appear) {
        std::weak_ptr<Impl> weak = weak_from_this();
        transport->CreateEndpoints(
            {options.name, options.displayName, options.manufacturer, options.usbDevice},
            !options.withoutSource, [weak](const std::vector<unsigned char>& bytes) {
                if (auto self = weak.lock())
                    self->Deliver(bytes);
            });
        if (options.offline != 0)
            transport->SetOffline(options.offline);
        std::lock_guard<std::mutex> state(stateMutex);
        present = true;
        ++appearances;
    }

    std::vector<DeviceProtocol::Output> outputs;
    {
        std::lock_guard<std::mutex> state(stateMutex);
        outputs = protocol.Advance(now);
    }
    for (auto& out : outputs) {
        bool isPresent;
        {
            std::lock_guard<std::mutex> state(stateMutex);
            isPresent = present;
        }
        if (!isPresent)
            break;                                          // unplugged: what it still had to say is lost
        if (!out.bytes.empty() && !options.withoutSource) { // without a source it cannot answer
            transport->Emit(out.bytes, options.replyPacketSizes);
            std::lock_guard<std::mutex> state(stateMutex);
            sent.push_back(Sent{out.bytes.size(), out.atMs, now, out.portion});
        }
        if (out.portionDone && !vanished && options.vanishAfterPortion != 0 &&
            out.portion == options.vanishAfterPortion) {
            transport->RemoveEndpoints();
            std::lock_guard<std::mutex> state(stateMutex);
            present = false;
            vanished = true;
            ++disappearances;
            protocol.Reset();
            if (options.returnAfterMs)
                appearAtMs = now + *options.returnAfterMs;
        }
    }
}

std::uint64_t SimulatedDevice::Impl::TakeAtRate(std::size_t size, std::uint64_t nowMs) {
    std::lock_guard<std::mutex> lock(rateMutex);
    rateFreeAtMs = std::max(static_cast<double>(nowMs), rateFreeAtMs) +
                   static_cast<double>(size) * 1000.0 / options.bytesPerSecond;
    return static_cast<std::uint64_t>(std::ceil(rateFreeAtMs));
}

void SimulatedDevice::Impl::Deliver(const std::vector<unsigned char>& bytes) {
    if (options.bytesPerSecond <= 0) {
        std::lock_guard<std::mutex> state(stateMutex);
        if (!detached)
            protocol.Receive(bytes, clock->NowMs());
        return;
    }
    // With a byte rate the bytes trickle in, in slices short enough that the quiet gap which ends a
    // portion cannot pass while the sender is still held back.
    const double msPerByte = 1000.0 / options.bytesPerSecond;
    const double sliceMs = std::max(1.0, static_cast<double>(options.protocol.quietGapMs) / 2);
    const std::size_t slice = std::max<std::size_t>(1, static_cast<std::size_t>(sliceMs / msPerByte));
    for (std::size_t offset = 0; offset < bytes.size(); offset += slice) {
        const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
        const std::vector<unsigned char> part(
            first, first + static_cast<std::ptrdiff_t>(std::min(slice, bytes.size() - offset)));
        const std::uint64_t now = clock->NowMs();
        const std::uint64_t takenAt = TakeAtRate(part.size(), now);
        {
            std::lock_guard<std::mutex> state(stateMutex);
            if (detached)
                return;
            protocol.Receive(part, now);
        }
        // No lock is held while waiting: on a virtual clock the wait itself makes the device act.
        if (takenAt > now)
            clock->SleepMs(takenAt - now);
    }
}

SimulatedDevice::SimulatedDevice(VirtualMidiService& service, Options options)
    : SimulatedDevice(std::make_unique<VirtualDeviceTransport>(service), std::move(options)) {}

SimulatedDevice::SimulatedDevice(VirtualMidiService& service) : SimulatedDevice(service, Options{}) {}

SimulatedDevice::SimulatedDevice(std::unique_ptr<DeviceTransport> transport, Options options)
    : impl(std::make_shared<Impl>(std::move(transport), std::move(options))) {
    impl->Start();
}

SimulatedDevice::~SimulatedDevice() {
    impl->Stop();
}

void SimulatedDevice::Tick() {
    impl->Tick();
}

void SimulatedDevice::Deliver(const std::vector<unsigned char>& bytes) {
    impl->Deliver(bytes);
}

std::vector<unsigned char> SimulatedDevice::ReceivedBytes() const {
    std::lock_guard<std::mutex> state(impl->stateMutex);
    return impl->protocol.ReceivedBytes();
}

std::vector<std::vector<unsigned char>> SimulatedDevice::Portions() const {
    std::lock_guard<std::mutex> state(impl->stateMutex);
    return impl->protocol.Portions();
}

unsigned int SimulatedDevice::EndedPortions() const {
    std::lock_guard<std::mutex> state(impl->stateMutex);
    return impl->protocol.EndedPortions();
}

std::vector<std::vector<unsigned char>> SimulatedDevice::Messages() const {
    std::lock_guard<std::mutex> state(impl->stateMutex);
    return impl->protocol.Messages();
}

std::optional<unsigned char> SimulatedDevice::VideoMode() const {
    std::lock_guard<std::mutex> state(impl->stateMutex);
    return impl->protocol.VideoMode();
}

unsigned int SimulatedDevice::IdentityRequests() const {
    std::lock_guard<std::mutex> state(impl->stateMutex);
    return impl->protocol.IdentityRequests();
}

std::vector<SimulatedDevice::Sent> SimulatedDevice::SentMessages() const {
    std::lock_guard<std::mutex> state(impl->stateMutex);
    return impl->sent;
}

bool SimulatedDevice::Present() const {
    std::lock_guard<std::mutex> state(impl->stateMutex);
    return impl->present;
}

unsigned int SimulatedDevice::Appearances() const {
    std::lock_guard<std::mutex> state(impl->stateMutex);
    return impl->appearances;
}

unsigned int SimulatedDevice::Disappearances() const {
    std::lock_guard<std::mutex> state(impl->stateMutex);
    return impl->disappearances;
}

DeviceTransport& SimulatedDevice::Transport() {
    return *impl->transport;
}
