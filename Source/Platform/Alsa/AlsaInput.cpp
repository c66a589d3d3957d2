// The ALSA service's receiving: connections to sources, and incoming events handed on as packets.
#include "AlsaMidiService.h"

#include "AlsaServiceState.h"

#include <algorithm>
#include <cerrno>

void AlsaMidiService::State::OnEvent(Client& client, const snd_seq_event_t& event) {
    MidiPacket packet;
    client.decoder.Decode(event, packet.data);
    if (packet.data.empty())
        return;
    const Address from{event.source.client, event.source.port};
    std::lock_guard<std::mutex> lock(dispatchMutex);
    for (auto& [reference, port] : ports) {
        if (!port->input || port->client != &client || port->number != event.dest.port)
            continue;
        for (const Connection& connection : port->connections) {
            if (connection.source == from) {
                port->readProc(MidiPacketList{packet}, port->readContext, connection.context);
                return;
            }
        }
        return; // not from a connected source
    }
}

void AlsaMidiService::State::StopReaderIfUnused(Client& client) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& [reference, port] : ports)
            if (port->input && port->client == &client)
                return;
    }
    client.reader.reset(); // stops and joins the thread
}

MidiStatus AlsaMidiService::PortConnectSource(MidiRef inputPort, MidiRef source, void* connectionContext) {
    auto address = alsa::EndpointAddress(source);
    if (!address)
        return -ENOENT;
    snd_seq_t* seq = nullptr;
    int number = -1;
    Port* port = nullptr;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        auto it = state->ports.find(inputPort);
        if (it == state->ports.end() || !it->second->input)
            return -EINVAL;
        port = it->second.get();
        seq = port->client->seq;
        number = port->number;
        // Known before the subscription exists, so that nothing that arrives from it is dropped.
        std::lock_guard<std::mutex> dispatch(state->dispatchMutex);
        port->connections.push_back(Connection{*address, connectionContext});
    }
    int err = snd_seq_connect_from(seq, number, address->client, address->port);
    if (err == -EBUSY)
        err = 0; // already subscribed
    if (err < 0) {
        std::lock_guard<std::mutex> lock(state->mutex);
        std::lock_guard<std::mutex> dispatch(state->dispatchMutex);
        auto& connections = port->connections;
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [&](const Connection& c) { return c.source == *address; }),
                          connections.end());
        return err;
    }
    return midiNoError;
}

MidiStatus AlsaMidiService::PortDisconnectSource(MidiRef inputPort, MidiRef source) {
    auto address = alsa::EndpointAddress(source);
    if (!address)
        return -ENOENT;
    snd_seq_t* seq = nullptr;
    int number = -1;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        auto it = state->ports.find(inputPort);
        if (it == state->ports.end() || !it->second->input)
            return -EINVAL;
        Port* port = it->second.get();
        seq = port->client->seq;
        number = port->number;
        std::lock_guard<std::mutex> dispatch(state->dispatchMutex);
        auto& connections = port->connections;
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [&](const Connection& c) { return c.source == *address; }),
                          connections.end());
    }
    const int err = snd_seq_disconnect_from(seq, number, address->client, address->port);
    return err < 0 ? err : midiNoError;
}
