// The virtual service's deliveries: sources' bytes to input ports, setup changes, sends to destinations.
#include "VirtualServiceState.h"

void VirtualMidiService::State::WaitUntilNotDelivering(std::unique_lock<std::mutex>& lock, MidiRef port) {
    if (std::this_thread::get_id() == receiveThreadId)
        return;
    changed.wait(lock, [&] { return deliveringTo != port; });
}

bool VirtualMidiService::State::IsConnected(MidiRef port, MidiRef source) const {
    return std::any_of(connections.begin(), connections.end(),
                       [&](const Connection& c) { return c.port == port && c.source == source; });
}

void VirtualMidiService::State::Deliver(std::unique_lock<std::mutex>& lock, Job& job) {
    for (Delivery& delivery : job.deliveries) {
        // The connection may have gone since the bytes were emitted.
        auto it = std::find_if(connections.begin(), connections.end(), [&](const Connection& c) {
            return c.port == delivery.port && c.source == delivery.source;
        });
        if (it == connections.end())
            continue;
        Object* port = Find(delivery.port, {Kind::InputPort});
        if (port == nullptr || port->readProc == nullptr)
            continue;
        MidiReadProc readProc = port->readProc;
        void* readContext = port->readContext;
        void* connectionContext = it->context;
        deliveringTo = delivery.port;
        lock.unlock();
        readProc(delivery.packets, readContext, connectionContext);
        lock.lock();
        deliveringTo = 0;
        changed.notify_all();
    }
}

void VirtualMidiService::State::Announce(SetupChange change, MidiRef endpoint) {
    if (watchers.empty())
        return;
    Job job;
    job.id = nextJob++;
    job.notification = SetupNotification{change, endpoint};
    jobs.push_back(std::move(job));
    changed.notify_all();
}

void VirtualMidiService::State::Notify(std::unique_lock<std::mutex>& lock,
                                       const SetupNotification& notification) {
    std::vector<std::uint64_t> numbers;
    for (const auto& [number, callback] : watchers)
        numbers.push_back(number);
    for (std::uint64_t number : numbers) {
        auto it = watchers.find(number);
        if (it == watchers.end())
            continue;
        SetupCallback callback = it->second;
        notifying = number;
        lock.unlock();
        callback(notification);
        lock.lock();
        notifying = 0;
        changed.notify_all();
    }
}

void VirtualMidiService::State::Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [&] { return stopping || !jobs.empty(); });
        if (jobs.empty())
            return; // stopping, and nothing left to deliver
        Job job = std::move(jobs.front());
        jobs.pop_front();
        if (job.notification)
            Notify(lock, *job.notification);
        Deliver(lock, job);
        lastDoneJob = job.id;
        changed.notify_all();
    }
}

namespace {

// Unregisters its watcher; waits (off the receive thread) until its callback is not running.
class VirtualSetupWatch : public SetupWatch {
public:
    VirtualSetupWatch(std::function<void()> stop) : stop(std::move(stop)) {}
    ~VirtualSetupWatch() override { stop(); }

private:
    std::function<void()> stop;
};

} // namespace

std::unique_ptr<SetupWatch> VirtualMidiService::WatchSetup(SetupCallback callback) {
    std::lock_guard<std::mutex> lock(state->mutex);
    const std::uint64_t number = state->nextWatcher++;
    state->watchers.emplace(number, std::move(callback));
    return std::make_unique<VirtualSetupWatch>([s = state.get(), number] {
        std::unique_lock<std::mutex> lock(s->mutex);
        s->watchers.erase(number);
        if (std::this_thread::get_id() != s->receiveThreadId)
            s->changed.wait(lock, [&] { return s->notifying != number; });
    });
}

void VirtualMidiService::Emit(MidiRef source, const std::vector<unsigned char>& bytes,
                              const std::vector<std::size_t>& packetSizes) {
    MidiPacketList packets;
    std::size_t offset = 0;
    for (std::size_t size : packetSizes) {
        if (offset >= bytes.size())
            break;
        size = std::min(size, bytes.size() - offset);
        if (size == 0)
            continue;
        packets.push_back(MidiPacket{
            0, std::vector<unsigned char>(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                                          bytes.begin() + static_cast<std::ptrdiff_t>(offset + size))});
        offset += size;
    }
    if (offset < bytes.size() || packets.empty())
        packets.push_back(MidiPacket{
            0, std::vector<unsigned char>(bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.end())});

    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->Find(source, {Kind::Source}) == nullptr)
        return; // an endpoint that is gone (or never was) sends nothing
    Job job;
    for (const Connection& connection : state->connections)
        if (connection.source == source)
            job.deliveries.push_back(Delivery{connection.port, source, packets});
    if (job.deliveries.empty())
        return;
    if (std::this_thread::get_id() == state->receiveThreadId) {
        // A read proc that emits: deliver at once, in place.
        state->Deliver(lock, job);
        return;
    }
    job.id = state->nextJob++;
    const std::uint64_t id = job.id;
    state->jobs.push_back(std::move(job));
    state->changed.notify_all();
    state->changed.wait(lock, [&] { return state->lastDoneJob >= id; });
}

MidiStatus VirtualMidiService::PortConnectSource(MidiRef inputPort, MidiRef source, void* connectionContext) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (MidiStatus status = state->Check(Call::PortConnectSource))
        return status;
    if (state->Find(inputPort, {Kind::InputPort}) == nullptr)
        return invalidPort;
    if (state->Find(source, {Kind::Source}) == nullptr)
        return state->Find(source, {Kind::Destination}) ? wrongEndpointType : objectNotFound;
    for (Connection& connection : state->connections)
        if (connection.port == inputPort && connection.source == source) {
            connection.context = connectionContext;
            return midiNoError;
        }
    state->connections.push_back(Connection{inputPort, source, connectionContext});
    return midiNoError;
}

MidiStatus VirtualMidiService::PortDisconnectSource(MidiRef inputPort, MidiRef source) {
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->Find(inputPort, {Kind::InputPort}) == nullptr)
        return invalidPort;
    if (!state->IsConnected(inputPort, source))
        return noConnection;
    state->DropConnections([&](const Connection& c) { return c.port == inputPort && c.source == source; });
    state->WaitUntilNotDelivering(lock, inputPort);
    return midiNoError;
}

MidiStatus VirtualMidiService::Send(MidiRef outputPort, MidiRef destination, const MidiPacket& packet) {
    DestinationHandler handler;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (MidiStatus status = state->Check(Call::Send))
            return status;
        if (state->Find(outputPort, {Kind::OutputPort}) == nullptr)
            return invalidPort;
        const Object* found = state->Find(destination, {Kind::Destination});
        if (found == nullptr)
            return state->Find(destination, {Kind::Source}) ? wrongEndpointType : objectNotFound;
        handler = found->handler;
    }
    // Outside the lock: the handler may emit a reply or change the virtual world.
    if (handler)
        handler(packet.data);
    return midiNoError;
}
