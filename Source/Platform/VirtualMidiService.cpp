#include "VirtualMidiService.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace {

enum class Kind { Client, OutputPort, InputPort, Destination, Source, Entity, Device, ExternalDevice };

struct Object {
    Kind kind = Kind::Client;
    std::string name;
    std::string displayName;
    std::string manufacturer;
    std::int32_t offline = 0;
    std::int32_t usbDevice = 0;
    MidiRef entity = 0; // endpoints: their entity, if they have one
    MidiRef owner = 0;  // ports: their client; entities: their endpoint
    MidiReadProc readProc = nullptr;
    void* readContext = nullptr;
    VirtualMidiService::DestinationHandler handler;
};

struct Connection {
    MidiRef port = 0;
    MidiRef source = 0;
    void* context = nullptr;
};

// One packet list on its way from a source to one input port.
struct Delivery {
    MidiRef port = 0;
    MidiRef source = 0;
    MidiPacketList packets;
};

struct Job {
    std::uint64_t id = 0;
    std::vector<Delivery> deliveries;
    std::optional<SetupNotification> notification; // a setup change to tell the watchers of
};

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

struct VirtualMidiService::State {
    mutable std::mutex mutex;
    std::condition_variable changed;

    std::uint64_t nextRef = 1;
    std::map<MidiRef, Object> objects;
    std::vector<MidiRef> destinations;
    std::vector<MidiRef> sources;
    std::vector<MidiRef> devices;
    std::vector<MidiRef> externalDevices;
    std::vector<Connection> connections;

    std::map<Call, MidiStatus> failAlways;
    std::map<Call, MidiStatus> failNext;
    std::map<Call, std::size_t> callCounts;

    // Receive thread.
    std::deque<Job> jobs;
    std::uint64_t nextJob = 1;
    std::uint64_t lastDoneJob = 0;
    bool stopping = false;
    MidiRef deliveringTo = 0; // the input port whose read proc runs right now, 0 for none

    // Setup watchers, by number; the number of the one whose callback runs right now, 0 for none.
    std::map<std::uint64_t, SetupCallback> watchers;
    std::uint64_t nextWatcher = 1;
    std::uint64_t notifying = 0;
    std::thread::id receiveThreadId;
    std::thread receiveThread;

    MidiRef NewRef() {
        if (nextRef > 0xFFFFFFFFu)
            throw std::length_error("VirtualMidiService: out of references");
        return static_cast<MidiRef>(nextRef++);
    }

    // Counts the call and answers with the status it was told to fail with, or 0.
    MidiStatus Check(Call call) {
        ++callCounts[call];
        if (auto next = failNext.find(call); next != failNext.end()) {
            MidiStatus status = next->second;
            failNext.erase(next);
            return status;
        }
        if (auto always = failAlways.find(call); always != failAlways.end())
            return always->second;
        return midiNoError;
    }

    Object* Find(MidiRef ref, std::initializer_list<Kind> kinds) {
        auto it = objects.find(ref);
        if (it == objects.end())
            return nullptr;
        if (std::find(kinds.begin(), kinds.end(), it->second.kind) == kinds.end())
            return nullptr;
        return &it->second;
    }

    MidiRef Add(Kind kind, const EndpointInfo& info) {
        MidiRef ref = NewRef();
        Object object;
        object.kind = kind;
        object.name = info.name;
        object.displayName = info.displayName;
        object.manufacturer = info.manufacturer;
        object.usbDevice = info.usbDevice;
        if (info.hasEntity) {
            MidiRef entity = NewRef();
            Object entityObject;
            entityObject.kind = Kind::Entity;
            entityObject.name = info.name;
            entityObject.manufacturer = info.manufacturer;
            entityObject.owner = ref;
            objects.emplace(entity, std::move(entityObject));
            object.entity = entity;
        }
        objects.emplace(ref, std::move(object));
        return ref;
    }

    void DropConnections(auto&& matches) {
        connections.erase(std::remove_if(connections.begin(), connections.end(), matches), connections.end());
    }

    // Waits until the receive thread is no longer inside the read proc of the port, so that a port
    // that has been disconnected or disposed is never called again. The receive thread itself may
    // disconnect from within a read proc without waiting for itself.
    void WaitUntilNotDelivering(std::unique_lock<std::mutex>& lock, MidiRef port) {
        if (std::this_thread::get_id() == receiveThreadId)
            return;
        changed.wait(lock, [&] { return deliveringTo != port; });
    }

    bool IsConnected(MidiRef port, MidiRef source) const {
        return std::any_of(connections.begin(), connections.end(),
                           [&](const Connection& c) { return c.port == port && c.source == source; });
    }

    // Runs one job's deliveries; called with the lock held, releases it around each read proc.
    void Deliver(std::unique_lock<std::mutex>& lock, Job& job) {
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

    // Queues a setup change for the watchers (called with the lock held); nothing when none watches.
    void Announce(SetupChange change, MidiRef endpoint) {
        if (watchers.empty())
            return;
        Job job;
        job.id = nextJob++;
        job.notification = SetupNotification{change, endpoint};
        jobs.push_back(std::move(job));
        changed.notify_all();
    }

    // Tells every watcher of the job's change, one after the other; releases the lock around each
    // callback. A watcher removed meanwhile is not called.
    void Notify(std::unique_lock<std::mutex>& lock, const SetupNotification& notification) {
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

    void Run() {
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
};

VirtualMidiService::VirtualMidiService() : state(std::make_unique<State>()) {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->receiveThread = std::thread([s = state.get()] { s->Run(); });
    state->receiveThreadId = state->receiveThread.get_id();
}

VirtualMidiService::~VirtualMidiService() {
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->stopping = true;
    }
    state->changed.notify_all();
    state->receiveThread.join();
}

// --- Building the virtual world ---

MidiRef VirtualMidiService::AddDestination(const EndpointInfo& info, DestinationHandler handler) {
    std::lock_guard<std::mutex> lock(state->mutex);
    MidiRef ref = state->Add(Kind::Destination, info);
    state->objects[ref].handler = std::move(handler);
    state->destinations.push_back(ref);
    state->Announce(SetupChange::EndpointAdded, ref);
    return ref;
}

MidiRef VirtualMidiService::AddSource(const EndpointInfo& info) {
    std::lock_guard<std::mutex> lock(state->mutex);
    MidiRef ref = state->Add(Kind::Source, info);
    state->sources.push_back(ref);
    state->Announce(SetupChange::EndpointAdded, ref);
    return ref;
}

void VirtualMidiService::RemoveEndpoint(MidiRef endpoint) {
    std::unique_lock<std::mutex> lock(state->mutex);
    Object* object = state->Find(endpoint, {Kind::Destination, Kind::Source});
    if (object == nullptr)
        return;
    if (object->entity != 0)
        state->objects.erase(object->entity);
    state->objects.erase(endpoint);
    std::erase(state->destinations, endpoint);
    std::erase(state->sources, endpoint);
    state->DropConnections([&](const Connection& c) { return c.source == endpoint; });
    state->Announce(SetupChange::EndpointRemoved, endpoint);
}

void VirtualMidiService::SetOffline(MidiRef endpoint, std::int32_t offline) {
    std::lock_guard<std::mutex> lock(state->mutex);
    Object* object = state->Find(endpoint, {Kind::Destination, Kind::Source});
    if (object == nullptr || object->offline == offline)
        return;
    object->offline = offline;
    state->Announce(SetupChange::EndpointChanged, endpoint);
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

void VirtualMidiService::AddDevice(const std::string& name) {
    std::lock_guard<std::mutex> lock(state->mutex);
    MidiRef ref = state->Add(Kind::Device, EndpointInfo{name, name, "", false});
    state->devices.push_back(ref);
}

void VirtualMidiService::AddExternalDevice(const std::string& name) {
    std::lock_guard<std::mutex> lock(state->mutex);
    MidiRef ref = state->Add(Kind::ExternalDevice, EndpointInfo{name, name, "", false});
    state->externalDevices.push_back(ref);
}

void VirtualMidiService::FailCall(Call call, MidiStatus status) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (status == midiNoError)
        state->failAlways.erase(call);
    else
        state->failAlways[call] = status;
}

void VirtualMidiService::FailNextCall(Call call, MidiStatus status) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (status == midiNoError)
        state->failNext.erase(call);
    else
        state->failNext[call] = status;
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

std::size_t VirtualMidiService::CallCount(Call call) const {
    std::lock_guard<std::mutex> lock(state->mutex);
    auto it = state->callCounts.find(call);
    return it == state->callCounts.end() ? 0 : it->second;
}

std::size_t VirtualMidiService::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->connections.size();
}

std::size_t VirtualMidiService::LiveClientCount() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return static_cast<std::size_t>(
        std::count_if(state->objects.begin(), state->objects.end(),
                      [](const auto& o) { return o.second.kind == Kind::Client; }));
}

std::size_t VirtualMidiService::LivePortCount() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return static_cast<std::size_t>(
        std::count_if(state->objects.begin(), state->objects.end(), [](const auto& o) {
            return o.second.kind == Kind::OutputPort || o.second.kind == Kind::InputPort;
        }));
}

// --- MidiService ---

MidiStatus VirtualMidiService::ClientCreate(const std::string& name, MidiRef& client) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (MidiStatus status = state->Check(Call::ClientCreate))
        return status;
    client = state->NewRef();
    Object object;
    object.kind = Kind::Client;
    object.name = name;
    state->objects.emplace(client, std::move(object));
    return midiNoError;
}

MidiStatus VirtualMidiService::ClientDispose(MidiRef client) {
    std::unique_lock<std::mutex> lock(state->mutex);
    if (MidiStatus status = state->Check(Call::ClientDispose))
        return status;
    if (state->Find(client, {Kind::Client}) == nullptr)
        return invalidClient;
    // Disposing of a client disposes of its ports.
    std::vector<MidiRef> ports;
    for (const auto& [ref, object] : state->objects)
        if ((object.kind == Kind::OutputPort || object.kind == Kind::InputPort) && object.owner == client)
            ports.push_back(ref);
    for (MidiRef port : ports) {
        state->DropConnections([&](const Connection& c) { return c.port == port; });
        state->WaitUntilNotDelivering(lock, port);
        state->objects.erase(port);
    }
    state->objects.erase(client);
    return midiNoError;
}

MidiStatus VirtualMidiService::OutputPortCreate(MidiRef client, const std::string& name, MidiRef& port) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (MidiStatus status = state->Check(Call::OutputPortCreate))
        return status;
    if (state->Find(client, {Kind::Client}) == nullptr)
        return invalidClient;
    port = state->NewRef();
    Object object;
    object.kind = Kind::OutputPort;
    object.name = name;
    object.owner = client;
    state->objects.emplace(port, std::move(object));
    return midiNoError;
}

MidiStatus VirtualMidiService::InputPortCreate(MidiRef client, const std::string& name, MidiReadProc readProc,
                                               void* readContext, MidiRef& port) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (MidiStatus status = state->Check(Call::InputPortCreate))
        return status;
    if (state->Find(client, {Kind::Client}) == nullptr)
        return invalidClient;
    port = state->NewRef();
    Object object;
    object.kind = Kind::InputPort;
    object.name = name;
    object.owner = client;
    object.readProc = readProc;
    object.readContext = readContext;
    state->objects.emplace(port, std::move(object));
    return midiNoError;
}

MidiStatus VirtualMidiService::PortDispose(MidiRef port) {
    std::unique_lock<std::mutex> lock(state->mutex);
    if (MidiStatus status = state->Check(Call::PortDispose))
        return status;
    if (state->Find(port, {Kind::OutputPort, Kind::InputPort}) == nullptr)
        return invalidPort;
    state->DropConnections([&](const Connection& c) { return c.port == port; });
    state->WaitUntilNotDelivering(lock, port);
    state->objects.erase(port);
    return midiNoError;
}

std::uint32_t VirtualMidiService::NumberOfDestinations() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return static_cast<std::uint32_t>(state->destinations.size());
}

MidiRef VirtualMidiService::GetDestination(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->destinations.size() ? state->destinations[index] : 0;
}

std::uint32_t VirtualMidiService::NumberOfSources() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return static_cast<std::uint32_t>(state->sources.size());
}

MidiRef VirtualMidiService::GetSource(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->sources.size() ? state->sources[index] : 0;
}

std::uint32_t VirtualMidiService::NumberOfDevices() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return static_cast<std::uint32_t>(state->devices.size());
}

MidiRef VirtualMidiService::GetDevice(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->devices.size() ? state->devices[index] : 0;
}

std::uint32_t VirtualMidiService::NumberOfExternalDevices() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return static_cast<std::uint32_t>(state->externalDevices.size());
}

MidiRef VirtualMidiService::GetExternalDevice(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->externalDevices.size() ? state->externalDevices[index] : 0;
}

MidiStatus VirtualMidiService::GetStringProperty(MidiRef object, MidiProperty property, std::string& value) {
    std::lock_guard<std::mutex> lock(state->mutex);
    Call call = Call::GetName;
    switch (property) {
    case MidiProperty::Name:
        call = Call::GetName;
        break;
    case MidiProperty::Manufacturer:
        call = Call::GetManufacturer;
        break;
    case MidiProperty::DisplayName:
        call = Call::GetDisplayName;
        break;
    case MidiProperty::Offline:
    case MidiProperty::UsbDevice:
        return wrongPropertyType;
    }
    if (MidiStatus status = state->Check(call))
        return status;
    const Object* found = state->Find(
        object, {Kind::Destination, Kind::Source, Kind::Entity, Kind::Device, Kind::ExternalDevice});
    if (found == nullptr)
        return objectNotFound;
    switch (property) {
    case MidiProperty::Name:
        value = found->name;
        break;
    case MidiProperty::Manufacturer:
        value = found->manufacturer;
        break;
    case MidiProperty::DisplayName:
        value = found->displayName;
        break;
    case MidiProperty::Offline:
    case MidiProperty::UsbDevice:
        break;
    }
    return midiNoError;
}

MidiStatus VirtualMidiService::GetIntegerProperty(MidiRef object, MidiProperty property,
                                                  std::int32_t& value) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (property != MidiProperty::Offline && property != MidiProperty::UsbDevice)
        return wrongPropertyType;
    if (MidiStatus status =
            state->Check(property == MidiProperty::Offline ? Call::GetOffline : Call::GetUsbDevice))
        return status;
    const Object* found = state->Find(
        object, {Kind::Destination, Kind::Source, Kind::Entity, Kind::Device, Kind::ExternalDevice});
    if (found == nullptr)
        return objectNotFound;
    value = property == MidiProperty::Offline ? found->offline : found->usbDevice;
    return midiNoError;
}

MidiStatus VirtualMidiService::GetProperties(MidiRef object, std::string& text) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (MidiStatus status = state->Check(Call::GetProperties))
        return status;
    const Object* found = state->Find(
        object, {Kind::Destination, Kind::Source, Kind::Entity, Kind::Device, Kind::ExternalDevice});
    if (found == nullptr)
        return objectNotFound;
    switch (found->kind) {
    case Kind::Destination:
    case Kind::Source:
        text = "{ name = " + Quote(found->name) + "; displayName = " + Quote(found->displayName) +
               "; manufacturer = " + Quote(found->manufacturer) +
               "; offline = " + std::to_string(found->offline) + "; }";
        break;
    case Kind::Entity: {
        const Object* endpoint = state->Find(found->owner, {Kind::Destination, Kind::Source});
        text = "{ name = " + Quote(found->name) + "; manufacturer = " + Quote(found->manufacturer) + "; " +
               (endpoint && endpoint->kind == Kind::Source ? "sources" : "destinations") +
               " = ( { name = " + Quote(endpoint ? endpoint->name : "") +
               "; offline = " + std::to_string(endpoint ? endpoint->offline : 0) + "; } ); }";
        break;
    }
    default:
        text = "{ name = " + Quote(found->name) + "; offline = " + std::to_string(found->offline) + "; }";
        break;
    }
    return midiNoError;
}

MidiStatus VirtualMidiService::EndpointGetEntity(MidiRef endpoint, MidiRef& entity) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (MidiStatus status = state->Check(Call::GetEntity))
        return status;
    const Object* found = state->Find(endpoint, {Kind::Destination, Kind::Source});
    if (found == nullptr)
        return objectNotFound;
    if (found->entity == 0)
        return objectNotFound; // a free-standing endpoint belongs to no entity
    entity = found->entity;
    return midiNoError;
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

std::string VirtualMidiService::StatusText(MidiStatus status) {
    const char* name = nullptr;
    switch (status) {
    case midiNoError:
        return "No error";
    case invalidClient:
        name = "kMIDIInvalidClient";
        break;
    case invalidPort:
        name = "kMIDIInvalidPort";
        break;
    case wrongEndpointType:
        name = "kMIDIWrongEndpointType";
        break;
    case noConnection:
        name = "kMIDINoConnection";
        break;
    case unknownProperty:
        name = "kMIDIUnknownProperty";
        break;
    case wrongPropertyType:
        name = "kMIDIWrongPropertyType";
        break;
    case objectNotFound:
        name = "kMIDIObjectNotFound";
        break;
    default:
        break;
    }
    char text[96];
    if (name != nullptr)
        std::snprintf(text, sizeof text, "The operation couldn't be completed. (%s, error %d)", name, status);
    else
        std::snprintf(text, sizeof text, "The operation couldn't be completed. (MIDI error %d)", status);
    return text;
}
