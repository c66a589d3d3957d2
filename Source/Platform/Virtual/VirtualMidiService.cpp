// The virtual service's bookkeeping: its receive thread, clients and ports, counts and status texts.
#include "VirtualServiceState.h"

#include <cstdio>
#include <stdexcept>

MidiRef VirtualMidiService::State::NewRef() {
    if (nextRef > 0xFFFFFFFFu)
        throw std::length_error("VirtualMidiService: out of references");
    return static_cast<MidiRef>(nextRef++);
}

Object* VirtualMidiService::State::Find(MidiRef ref, std::initializer_list<Kind> kinds) {
    auto it = objects.find(ref);
    if (it == objects.end())
        return nullptr;
    if (std::find(kinds.begin(), kinds.end(), it->second.kind) == kinds.end())
        return nullptr;
    return &it->second;
}

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
