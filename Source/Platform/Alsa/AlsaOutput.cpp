// The ALSA service's sending: each destination's route (raw MIDI or sequencer events), and send failures.
#include "AlsaMidiService.h"

#include "AlsaPoolQuery.h"
#include "AlsaServiceState.h"
#include "Log.h"
#include "Utilities.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <thread>

namespace {

// An open raw MIDI output as WriteRawMidi sees it.
class RawMidiHandle : public alsa::RawMidiOutput {
public:
    RawMidiHandle(snd_rawmidi_t* handle, std::size_t bufferBytes)
        : handle(handle), bufferBytes(bufferBytes) {}
    long Write(const unsigned char* data, std::size_t size) override {
        return static_cast<long>(snd_rawmidi_write(handle, data, size));
    }
    long Available() override {
        snd_rawmidi_status_t* status = nullptr;
        snd_rawmidi_status_alloca(&status);
        if (int err = snd_rawmidi_status(handle, status); err < 0)
            return err;
        return static_cast<long>(snd_rawmidi_status_get_avail(status));
    }
    std::size_t BufferSize() override { return bufferBytes; }
    int Drain() override { return snd_rawmidi_drain(handle); }

private:
    snd_rawmidi_t* handle;
    std::size_t bufferBytes;
};

// Whether the card has a raw MIDI output at the device and subdevice: 1 or 0, or the error of
// opening the card's control (a card that is going away: -ENODEV or -ENOENT).
int RawMidiOutputExists(const alsa::RawMidiLocation& location) {
    snd_ctl_t* ctl = nullptr;
    if (int err = snd_ctl_open(&ctl, ("hw:" + std::to_string(location.card)).c_str(), 0); err < 0)
        return err;
    snd_rawmidi_info_t* info = nullptr;
    snd_rawmidi_info_alloca(&info);
    snd_rawmidi_info_set_device(info, static_cast<unsigned int>(location.device));
    snd_rawmidi_info_set_subdevice(info, static_cast<unsigned int>(location.subdevice));
    snd_rawmidi_info_set_stream(info, SND_RAWMIDI_STREAM_OUTPUT);
    const bool found = snd_ctl_rawmidi_info(ctl, info) >= 0;
    snd_ctl_close(ctl);
    return found ? 1 : 0;
}

} // namespace

std::vector<alsa::PortHolder> AlsaMidiService::State::WriteSubscribers(Address address) {
    std::vector<alsa::PortHolder> holders;
    std::lock_guard<std::mutex> lock(queryMutex);
    snd_seq_query_subscribe_t* query = nullptr;
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_addr_t root{static_cast<unsigned char>(address.client), static_cast<unsigned char>(address.port)};
    snd_seq_query_subscribe_set_root(query, &root);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_WRITE);
    snd_seq_client_info_t* info = nullptr;
    snd_seq_client_info_alloca(&info);
    for (int index = 0;; ++index) {
        snd_seq_query_subscribe_set_index(query, index);
        if (snd_seq_query_port_subscribers(this->query, query) < 0)
            break;
        const int client = snd_seq_query_subscribe_get_addr(query)->client;
        if (std::any_of(holders.begin(), holders.end(), [&](const auto& h) { return h.client == client; }))
            continue;
        std::string name = "client " + std::to_string(client);
        if (snd_seq_get_any_client_info(this->query, client, info) >= 0)
            name = snd_seq_client_info_get_name(info);
        holders.push_back(alsa::PortHolder{name, client, -1});
    }
    return holders;
}

void AlsaMidiService::State::CloseRoute(OutputRoute& route) {
    if (route.rawMidi != nullptr) {
        // Every send ends drained, so only an interrupted or failed one leaves bytes behind: they
        // are dropped rather than waited for, as closing waits until they have left (up to 10 s).
        // A device that was unplugged refuses the drop (-ENODEV) and its bytes never leave, so the
        // kernel's wait runs to its end: that close is left to a thread of its own.
        if (snd_rawmidi_drop(route.rawMidi) < 0)
            std::thread([handle = route.rawMidi] { snd_rawmidi_close(handle); }).detach();
        else
            snd_rawmidi_close(route.rawMidi);
    }
    route = OutputRoute{};
}

MidiStatus AlsaMidiService::State::SendRawMidi(OutputRoute& route, const unsigned char* data,
                                               std::size_t size) {
    if (route.rawMidi == nullptr) {
        // Non-blocking: a device held by someone else (a sequencer subscription makes snd-seq-midi
        // hold it) answers -EBUSY at once, where a blocking open would wait until it is let go.
        snd_rawmidi_t* handle = nullptr;
        if (int err = snd_rawmidi_open(nullptr, &handle, route.rawMidiName.c_str(), SND_RAWMIDI_NONBLOCK);
            err < 0)
            return err;
        snd_rawmidi_params_t* params = nullptr;
        snd_rawmidi_params_alloca(&params);
        if (int err = snd_rawmidi_params_current(handle, params); err < 0) {
            snd_rawmidi_close(handle);
            return err;
        }
        // A buffer that holds a whole packet, so that each packet is one write to the idle output.
        // A driver that refuses it keeps its own size, and packets go in several writes.
        if (snd_rawmidi_params_set_buffer_size(handle, params, alsa::rawMidiBufferBytes) < 0 ||
            snd_rawmidi_params(handle, params) < 0)
            snd_rawmidi_params_current(handle, params);
        route.rawMidi = handle;
        route.rawMidiBufferBytes = snd_rawmidi_params_get_buffer_size(params);
    }
    RawMidiHandle output(route.rawMidi, route.rawMidiBufferBytes);
    int err = 0;
    try {
        err = alsa::WriteRawMidi(output, data, size);
    } catch (...) {
        // An interrupted wait: the device is let go, and the next send starts afresh.
        CloseRoute(route);
        throw;
    }
    // A failed write, wait or drain (the device unplugged: -ENODEV) closes the route, so that the
    // next send looks at the destination again and opens whatever raw MIDI device is behind it then.
    if (err < 0)
        CloseRoute(route);
    return err;
}

std::size_t AlsaMidiService::PreferredPacketBytes(MidiRef destination) {
    auto address = alsa::EndpointAddress(destination);
    if (!address)
        return 0;
    snd_seq_port_info_t* portInfo = nullptr;
    snd_seq_client_info_t* clientInfo = nullptr;
    snd_seq_port_info_alloca(&portInfo);
    snd_seq_client_info_alloca(&clientInfo);
    if (state->PortInfo(*address, portInfo) < 0 || state->ClientInfo(address->client, clientInfo) < 0)
        return 0;
    // What ChooseDelivery needs but the raw MIDI device itself: a port of the bridge without one
    // is sent to through the sequencer, which cuts any packet into events of its own size.
    const bool bridgePort = snd_seq_client_info_get_card(clientInfo) >= 0 &&
                            snd_seq_client_info_get_type(clientInfo) == SND_SEQ_KERNEL_CLIENT &&
                            (snd_seq_port_info_get_type(portInfo) & SND_SEQ_PORT_TYPE_HARDWARE) != 0;
    return bridgePort ? alsa::rawMidiPacketBytes : 0;
}

MidiStatus AlsaMidiService::Send(MidiRef outputPort, MidiRef destination, const MidiPacket& packet) {
    auto address = alsa::EndpointAddress(destination);
    if (!address)
        return -ENOENT;
    Port* port = nullptr;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        auto it = state->ports.find(outputPort);
        if (it == state->ports.end() || it->second->input)
            return -EINVAL;
        port = it->second.get();
    }
    snd_seq_t* seq = port->client->seq;
    OutputRoute& route = port->route;

    // The destination must still be there; its error tells the caller that it went away.
    snd_seq_port_info_t* portInfo = nullptr;
    snd_seq_client_info_t* clientInfo = nullptr;
    snd_seq_port_info_alloca(&portInfo);
    snd_seq_client_info_alloca(&clientInfo);
    if (int err = state->PortInfo(*address, portInfo); err < 0) {
        State::CloseRoute(route);
        return err;
    }
    if (int err = state->ClientInfo(address->client, clientInfo); err < 0) {
        State::CloseRoute(route);
        return err;
    }
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->destinationNames[destination] = snd_seq_port_info_get_name(portInfo);
    }

    // A raw MIDI handle left from before an unplug answers its status with an error: the route is
    // chosen afresh, as the device may have come back as another card.
    if (route.rawMidi != nullptr) {
        snd_rawmidi_status_t* status = nullptr;
        snd_rawmidi_status_alloca(&status);
        if (snd_rawmidi_status(route.rawMidi, status) < 0)
            State::CloseRoute(route);
    }

    if (route.destination != destination) {
        if (route.subscribed)
            if (auto old = alsa::EndpointAddress(route.destination))
                snd_seq_disconnect_to(seq, port->number, old->client, old->port);
        State::CloseRoute(route);
        alsa::DestinationFacts facts;
        facts.card = snd_seq_client_info_get_card(clientInfo);
        facts.kernelClient = snd_seq_client_info_get_type(clientInfo) == SND_SEQ_KERNEL_CLIENT;
        facts.hardwarePort = (snd_seq_port_info_get_type(portInfo) & SND_SEQ_PORT_TYPE_HARDWARE) != 0;
        const alsa::RawMidiLocation location = alsa::RawMidiLocationForPort(facts.card, address->port);
        if (facts.card >= 0 && facts.kernelClient && facts.hardwarePort) {
            // A card unplugged a moment ago still has its port for about a second: it must not be
            // taken for one without raw MIDI and sent to through the lossy sequencer bridge.
            const int found = RawMidiOutputExists(location);
            if (found < 0)
                return found;
            facts.rawMidiOutputFound = found > 0;
        }
        route.destination = destination;
        route.delivery = alsa::ChooseDelivery(facts);
        route.rawMidiName = alsa::RawMidiDeviceName(location);
        LogLine(
            Format("AlsaMidiService: sending to %d:%d through %s", address->client, address->port,
                   route.delivery == alsa::Delivery::RawMidi ? route.rawMidiName.c_str() : "the sequencer"));
    }

    const unsigned char* data = packet.data.data();
    const std::size_t size = packet.data.size();

    if (route.delivery == alsa::Delivery::RawMidi)
        return State::SendRawMidi(route, data, size);

    // Sequencer events, through a subscription (virmidi drops what does not come through one).
    if (!route.subscribed) {
        int err = snd_seq_connect_to(seq, port->number, address->client, address->port);
        route.subscribed = err >= 0 || err == -EBUSY;
    }
    const bool kernelClient = snd_seq_client_info_get_type(clientInfo) == SND_SEQ_KERNEL_CLIENT;
    std::size_t limit = alsa::kernelClientEventBytes;
    std::function<int(std::size_t)> waitForRoom;
    if (!kernelClient) {
        int pool = 0;
        int free = 0;
        if (alsa::QueryInputPool(alsa::SequencerFd(seq), address->client, pool, free) >= 0)
            limit = alsa::EventLimitForPool(pool);
        else
            limit = alsa::EventLimitForPool(200);
        if (limit == 0)
            return -ENOMEM;
        const int receiver = address->client;
        waitForRoom = [seq, receiver](std::size_t cells) {
            return alsa::WaitForInputRoom(seq, receiver, cells);
        };
    }
    const Address* dest = route.subscribed ? nullptr : &*address;
    return alsa::SendSysExEvents(seq, port->number, dest, data, size, limit, waitForRoom);
}

std::string AlsaMidiService::DescribeSendFailure(MidiRef destination, MidiStatus status) {
    std::string name;
    if (GetStringProperty(destination, MidiProperty::Name, name) != midiNoError) {
        // Gone: the name it had when it was last sent to.
        std::lock_guard<std::mutex> lock(state->mutex);
        auto it = state->destinationNames.find(destination);
        name = it == state->destinationNames.end() ? std::string() : it->second;
    }
    std::vector<alsa::PortHolder> holders;
    auto address = alsa::EndpointAddress(destination);
    if (status == -EBUSY && address) {
        holders = state->WriteSubscribers(*address);
        // No subscriber: a program that opened the raw MIDI device itself (amidi, a sound server).
        snd_seq_client_info_t* client = nullptr;
        snd_seq_client_info_alloca(&client);
        if (holders.empty() && state->ClientInfo(address->client, client) >= 0) {
            if (const int card = snd_seq_client_info_get_card(client); card >= 0) {
                const alsa::RawMidiLocation location = alsa::RawMidiLocationForPort(card, address->port);
                holders = alsa::ProcessesWithFileOpen(alsa::RawMidiNodePath(card, location.device));
            }
        }
    }
    return alsa::SendFailureText(name, status, holders, StatusText(status));
}
