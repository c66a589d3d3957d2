#include "AlsaMidiService.h"

#include "AlsaDelivery.h"
#include "AlsaPoolQuery.h"
#include "AlsaSequencer.h"
#include "Log.h"
#include "Utilities.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

using alsa::Address;

namespace {

// What a raw MIDI output or a subscription was opened for.
struct OutputRoute {
    MidiRef destination = 0;
    alsa::Delivery delivery = alsa::Delivery::Sequencer;
    snd_rawmidi_t* rawMidi = nullptr; // RawMidi: the open output, non-blocking
    std::string rawMidiName;
    std::size_t rawMidiBufferBytes = 0;
    bool subscribed = false; // Sequencer: our port is subscribed to the destination
};

struct Connection {
    Address source;
    void* context = nullptr;
};

struct Client;

struct Port {
    MidiRef reference = 0;
    Client* client = nullptr;
    int number = -1;
    std::string name;
    bool input = false;
    // Input ports.
    MidiReadProc readProc = nullptr;
    void* readContext = nullptr;
    std::vector<Connection> connections; // guarded by the service's dispatch lock
    // Output ports.
    OutputRoute route;
};

struct Client {
    MidiRef reference = 0;
    snd_seq_t* seq = nullptr;
    int number = -1;
    std::string name;
    std::unique_ptr<alsa::SequencerReader> reader;
    alsa::EventDecoder decoder; // used on the reader's thread only
};

std::string CardManufacturer(int card) {
    if (card < 0)
        return {};
    char* longName = nullptr;
    if (snd_card_get_longname(card, &longName) < 0 || longName == nullptr)
        return {};
    std::string text(longName);
    free(longName);
    // "Ostrel Ostrel Kelva at usb-dummy_hcd.0-1, full speed": the maker and product, not the bus.
    if (std::size_t at = text.find(" at "); at != std::string::npos)
        text.resize(at);
    return text;
}

struct FlagName {
    unsigned int bit;
    const char* name;
};

// The names of the set bits, comma-separated, in table order.
template <std::size_t N> std::string FlagsText(unsigned int flags, const FlagName (&names)[N]) {
    std::string text;
    for (const FlagName& flag : names) {
        if (flags & flag.bit)
            text += text.empty() ? flag.name : std::string(",") + flag.name;
    }
    return text;
}

std::string CapabilityText(unsigned int caps) {
    static const FlagName names[] = {
        {SND_SEQ_PORT_CAP_READ, "read"},           {SND_SEQ_PORT_CAP_WRITE, "write"},
        {SND_SEQ_PORT_CAP_SUBS_READ, "subs-read"}, {SND_SEQ_PORT_CAP_SUBS_WRITE, "subs-write"},
        {SND_SEQ_PORT_CAP_DUPLEX, "duplex"},       {SND_SEQ_PORT_CAP_NO_EXPORT, "no-export"},
    };
    return FlagsText(caps, names);
}

std::string TypeText(unsigned int type) {
    static const FlagName names[] = {
        {SND_SEQ_PORT_TYPE_SPECIFIC, "specific"},       {SND_SEQ_PORT_TYPE_MIDI_GENERIC, "midi-generic"},
        {SND_SEQ_PORT_TYPE_MIDI_GM, "midi-gm"},         {SND_SEQ_PORT_TYPE_SYNTH, "synth"},
        {SND_SEQ_PORT_TYPE_HARDWARE, "hardware"},       {SND_SEQ_PORT_TYPE_SOFTWARE, "software"},
        {SND_SEQ_PORT_TYPE_SYNTHESIZER, "synthesizer"}, {SND_SEQ_PORT_TYPE_PORT, "port"},
        {SND_SEQ_PORT_TYPE_APPLICATION, "application"},
    };
    return FlagsText(type, names);
}

// Whether the card's driver is the USB audio/MIDI driver (snd-usb-audio), whose cards are the
// USB MIDI devices plugged into this machine.
bool IsUsbMidiCard(int card) {
    if (card < 0)
        return false;
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, ("hw:" + std::to_string(card)).c_str(), 0) < 0)
        return false;
    snd_ctl_card_info_t* info = nullptr;
    snd_ctl_card_info_alloca(&info);
    const bool usb = snd_ctl_card_info(ctl, info) >= 0 &&
                     std::string(snd_ctl_card_info_get_driver(info)) == alsa::usbMidiCardDriver;
    snd_ctl_close(ctl);
    return usb;
}

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

// Sent by each client of ours as soon as it is open (before it names itself or makes a port, which
// are announced) to every setup watch that runs: the watch, which has just read the client's start,
// knows from it that this client is ours until its exit.
constexpr unsigned int ownClientMark = 0x4D555044;

// The sequencer clients a service has open (its query handle, its clients and its setup watches') and
// the watches that leave their announcements out: the service never lists them, and they come and go
// with every update. Shared with the watches.
struct OwnClients {
    // Held while one of ours opens and tells the watches, and while a watch subscribes and takes its
    // first look, so that each client of ours is either in a watch's first look or tells it.
    std::mutex mutex;
    std::set<int> numbers;
    std::vector<Address> watchPorts;

    // Records a client of ours that has just opened (blocking) and tells each watch, with the lock held.
    // The mark never waits: a watch so far behind that its input is full takes the client for another
    // program's, which only costs its callback a few needless calls.
    void Opened(snd_seq_t* seq) {
        numbers.insert(snd_seq_client_id(seq));
        if (watchPorts.empty())
            return;
        snd_seq_nonblock(seq, 1);
        for (const Address& watch : watchPorts) {
            snd_seq_event_t event;
            snd_seq_ev_clear(&event);
            event.type = SND_SEQ_EVENT_USR0;
            event.data.raw32.d[0] = ownClientMark;
            snd_seq_ev_set_dest(&event, watch.client, watch.port);
            snd_seq_ev_set_direct(&event);
            snd_seq_event_output_direct(seq, &event);
        }
        snd_seq_nonblock(seq, 0);
    }
    void Closed(int client) {
        std::lock_guard<std::mutex> lock(mutex);
        numbers.erase(client);
    }
};

// A client of its own, subscribed to the system's announce port, whose reader thread tells the
// callback of each change that is not of our own clients.
class AlsaSetupWatch final : public SetupWatch {
public:
    AlsaSetupWatch(std::shared_ptr<OwnClients> own, SetupCallback callback)
        : own(std::move(own)), callback(std::move(callback)) {}
    ~AlsaSetupWatch() override {
        if (port >= 0) {
            std::lock_guard<std::mutex> lock(own->mutex);
            auto& ports = own->watchPorts;
            ports.erase(std::remove(ports.begin(), ports.end(), Address{client, port}), ports.end());
        }
        reader.reset(); // joins: the callback is not running and never runs again
        if (seq != nullptr) {
            snd_seq_close(seq);
            own->Closed(client);
        }
    }
    AlsaSetupWatch(const AlsaSetupWatch&) = delete;
    AlsaSetupWatch& operator=(const AlsaSetupWatch&) = delete;

    // Returns 0 or the sequencer's negative error code.
    int Start() {
        std::lock_guard<std::mutex> lock(own->mutex);
        if (int err = alsa::OpenClient("MIDI Updater Setup Watch", seq,
                                       [this](snd_seq_t* opened) { own->Opened(opened); });
            err < 0)
            return err;
        client = snd_seq_client_id(seq);
        const int made = snd_seq_create_simple_port(
            seq, "Announcements",
            SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (made < 0)
            return made;
        if (int err = snd_seq_connect_from(seq, made, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
            err < 0)
            return err;
        port = made;
        own->watchPorts.push_back(Address{client, port});
        // Ours now are ours until their exits: none of them can have started since the subscription.
        ours = own->numbers;
        reader = std::make_unique<alsa::SequencerReader>(
            seq, [this](const snd_seq_event_t& event) { OnEvent(event); });
        return 0;
    }

private:
    // On the reader's thread, in the order the sequencer announced the changes.
    void OnEvent(const snd_seq_event_t& event) {
        if (event.source.client != SND_SEQ_CLIENT_SYSTEM) {
            if (event.type == SND_SEQ_EVENT_USR0 && event.data.raw32.d[0] == ownClientMark)
                ours.insert(event.source.client);
            return;
        }
        if (event.source.port != SND_SEQ_PORT_SYSTEM_ANNOUNCE)
            return;
        // A client's number is given again only after its exit was announced: from its start on, the
        // number is the new client's, which is ours once its mark has come (before any port of it).
        const int about = event.data.addr.client;
        const bool isOurs = ours.count(about) != 0;
        if (event.type == SND_SEQ_EVENT_CLIENT_START || event.type == SND_SEQ_EVENT_CLIENT_EXIT)
            ours.erase(about);
        if (isOurs)
            return;
        if (const auto notification = alsa::AnnouncedSetupChange(event))
            callback(*notification);
    }

    std::shared_ptr<OwnClients> own;
    SetupCallback callback;
    snd_seq_t* seq = nullptr;
    int client = -1;
    int port = -1;
    std::set<int> ours; // the reader thread's once it runs
    std::unique_ptr<alsa::SequencerReader> reader;
};

} // namespace

struct AlsaMidiService::State {
    std::mutex mutex;         // everything below but the connections
    std::mutex queryMutex;    // the query handle
    std::mutex dispatchMutex; // input ports' read procedures and connections
    std::shared_ptr<OwnClients> own = std::make_shared<OwnClients>();
    snd_seq_t* query = nullptr;
    int queryClient = -1;
    std::map<MidiRef, std::unique_ptr<Client>> clients;
    std::map<MidiRef, std::unique_ptr<Port>> ports;
    MidiRef nextSerial = 1;
    std::vector<MidiRef> destinations; // as last counted
    std::vector<MidiRef> sources;
    std::vector<MidiRef> devices;
    std::map<MidiRef, std::string> destinationNames; // the port names last seen when sending

    std::set<int> OwnClientNumbers() {
        std::set<int> own{queryClient};
        for (auto& [reference, client] : clients)
            own.insert(client->number);
        return own;
    }

    // The listed ports of other clients with all of `caps`.
    std::vector<MidiRef> Enumerate(unsigned int caps);
    std::vector<MidiRef> EnumerateClients();
    int PortInfo(Address address, snd_seq_port_info_t* info);
    int ClientInfo(int client, snd_seq_client_info_t* info);
    // The clients subscribed to write to a port, each once.
    std::vector<alsa::PortHolder> WriteSubscribers(Address address);

    void OnEvent(Client& client, const snd_seq_event_t& event);
    void StopReaderIfUnused(Client& client);
    static void CloseRoute(OutputRoute& route);
    static MidiStatus SendRawMidi(OutputRoute& route, const unsigned char* data, std::size_t size);
};

std::vector<MidiRef> AlsaMidiService::State::Enumerate(unsigned int caps) {
    std::set<int> own;
    {
        std::lock_guard<std::mutex> lock(mutex);
        own = OwnClientNumbers();
    }
    std::vector<MidiRef> found;
    std::lock_guard<std::mutex> lock(queryMutex);
    snd_seq_client_info_t* clientInfo = nullptr;
    snd_seq_port_info_t* portInfo = nullptr;
    snd_seq_client_info_alloca(&clientInfo);
    snd_seq_port_info_alloca(&portInfo);
    snd_seq_client_info_set_client(clientInfo, -1);
    while (snd_seq_query_next_client(query, clientInfo) >= 0) {
        const int client = snd_seq_client_info_get_client(clientInfo);
        if (client == SND_SEQ_CLIENT_SYSTEM || own.count(client) != 0)
            continue;
        snd_seq_port_info_set_client(portInfo, client);
        snd_seq_port_info_set_port(portInfo, -1);
        while (snd_seq_query_next_port(query, portInfo) >= 0) {
            const unsigned int portCaps = snd_seq_port_info_get_capability(portInfo);
            if ((portCaps & caps) != caps || (portCaps & SND_SEQ_PORT_CAP_NO_EXPORT) != 0)
                continue;
            if (auto reference = alsa::EndpointRef({client, snd_seq_port_info_get_port(portInfo)}))
                found.push_back(*reference);
        }
    }
    return found;
}

std::vector<MidiRef> AlsaMidiService::State::EnumerateClients() {
    std::set<int> withPorts;
    for (MidiRef reference : Enumerate(0))
        withPorts.insert(alsa::EndpointAddress(reference)->client);
    std::vector<MidiRef> found;
    for (int client : withPorts)
        found.push_back(*alsa::ClientObjectRef(client));
    return found;
}

int AlsaMidiService::State::PortInfo(Address address, snd_seq_port_info_t* info) {
    std::lock_guard<std::mutex> lock(queryMutex);
    return snd_seq_get_any_port_info(query, address.client, address.port, info);
}

int AlsaMidiService::State::ClientInfo(int client, snd_seq_client_info_t* info) {
    std::lock_guard<std::mutex> lock(queryMutex);
    return snd_seq_get_any_client_info(query, client, info);
}

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

AlsaMidiService::AlsaMidiService() : state(std::make_unique<State>()) {}

std::unique_ptr<AlsaMidiService> AlsaMidiService::Open(std::string& whyNot) {
    std::unique_ptr<AlsaMidiService> service(new AlsaMidiService());
    alsa::QuietLibraryErrors();
    snd_seq_t* query = nullptr;
    OwnClients& own = *service->state->own;
    std::lock_guard<std::mutex> lock(own.mutex);
    if (int err = snd_seq_open(&query, "default", SND_SEQ_OPEN_OUTPUT, 0); err < 0) {
        whyNot = alsa::SequencerOpenFailureText(err);
        return nullptr;
    }
    own.Opened(query); // before any watch of this service: in every watch's first look
    snd_seq_set_client_name(query, "MIDI Updater Service");
    service->state->query = query;
    service->state->queryClient = snd_seq_client_id(query);
    return service;
}

AlsaMidiService::~AlsaMidiService() {
    std::vector<MidiRef> clients;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        for (auto& [reference, client] : state->clients)
            clients.push_back(reference);
    }
    for (MidiRef client : clients)
        ClientDispose(client);
    if (state->query != nullptr) {
        snd_seq_close(state->query);
        state->own->Closed(state->queryClient);
    }
}

MidiStatus AlsaMidiService::ClientCreate(const std::string& name, MidiRef& client) {
    client = 0;
    snd_seq_t* seq = nullptr;
    OwnClients& own = *state->own;
    std::lock_guard<std::mutex> ownLock(own.mutex);
    if (int err = alsa::OpenClient(name, seq, [&own](snd_seq_t* opened) { own.Opened(opened); }); err < 0)
        return err;
    auto made = std::make_unique<Client>();
    made->seq = seq;
    made->number = snd_seq_client_id(seq);
    made->name = name;
    std::lock_guard<std::mutex> lock(state->mutex);
    made->reference = alsa::ownClientBase | state->nextSerial++;
    client = made->reference;
    state->clients.emplace(client, std::move(made));
    return midiNoError;
}

MidiStatus AlsaMidiService::ClientDispose(MidiRef client) {
    std::vector<MidiRef> ports;
    Client* target = nullptr;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        auto it = state->clients.find(client);
        if (it == state->clients.end())
            return -EINVAL;
        target = it->second.get();
        for (auto& [reference, port] : state->ports)
            if (port->client == target)
                ports.push_back(reference);
    }
    for (MidiRef port : ports)
        PortDispose(port);
    if (target->reader)
        target->reader->Stop();
    std::unique_ptr<Client> taken;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        auto it = state->clients.find(client);
        taken = std::move(it->second);
        state->clients.erase(it);
    }
    taken->reader.reset();
    const int err = snd_seq_close(taken->seq);
    state->own->Closed(taken->number);
    return err < 0 ? err : midiNoError;
}

MidiStatus AlsaMidiService::OutputPortCreate(MidiRef client, const std::string& name, MidiRef& port) {
    port = 0;
    std::lock_guard<std::mutex> lock(state->mutex);
    auto it = state->clients.find(client);
    if (it == state->clients.end())
        return -EINVAL;
    // Readable so that it can be subscribed to a destination; others see it as a source.
    const int number = snd_seq_create_simple_port(
        it->second->seq, name.c_str(), SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (number < 0)
        return number;
    auto made = std::make_unique<Port>();
    made->client = it->second.get();
    made->number = number;
    made->name = name;
    made->reference = alsa::ownPortBase | state->nextSerial++;
    port = made->reference;
    state->ports.emplace(port, std::move(made));
    return midiNoError;
}

MidiStatus AlsaMidiService::InputPortCreate(MidiRef client, const std::string& name, MidiReadProc readProc,
                                            void* readContext, MidiRef& port) {
    port = 0;
    Client* owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        auto it = state->clients.find(client);
        if (it == state->clients.end())
            return -EINVAL;
        owner = it->second.get();
        const int number = snd_seq_create_simple_port(
            owner->seq, name.c_str(), SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (number < 0)
            return number;
        auto made = std::make_unique<Port>();
        made->client = owner;
        made->number = number;
        made->name = name;
        made->input = true;
        made->readProc = readProc;
        made->readContext = readContext;
        made->reference = alsa::ownPortBase | state->nextSerial++;
        port = made->reference;
        std::lock_guard<std::mutex> dispatch(state->dispatchMutex);
        state->ports.emplace(port, std::move(made));
    }
    if (!owner->reader) {
        State* s = state.get();
        owner->reader = std::make_unique<alsa::SequencerReader>(
            owner->seq, [s, owner](const snd_seq_event_t& event) { s->OnEvent(*owner, event); });
    }
    return midiNoError;
}

MidiStatus AlsaMidiService::PortDispose(MidiRef port) {
    std::unique_ptr<Port> taken;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        auto it = state->ports.find(port);
        if (it == state->ports.end())
            return -EINVAL;
        // Once out of the map under the dispatch lock, no read procedure of the port runs or will run.
        std::lock_guard<std::mutex> dispatch(state->dispatchMutex);
        taken = std::move(it->second);
        state->ports.erase(it);
    }
    Client& client = *taken->client;
    if (taken->input) {
        state->StopReaderIfUnused(client);
    } else {
        State::CloseRoute(taken->route);
    }
    const int err = snd_seq_delete_simple_port(client.seq, taken->number);
    return err < 0 ? err : midiNoError;
}

std::uint32_t AlsaMidiService::NumberOfDestinations() {
    auto found = state->Enumerate(SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->destinations = std::move(found);
    return static_cast<std::uint32_t>(state->destinations.size());
}

MidiRef AlsaMidiService::GetDestination(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->destinations.size() ? state->destinations[index] : 0;
}

std::uint32_t AlsaMidiService::NumberOfSources() {
    auto found = state->Enumerate(SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->sources = std::move(found);
    return static_cast<std::uint32_t>(state->sources.size());
}

MidiRef AlsaMidiService::GetSource(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->sources.size() ? state->sources[index] : 0;
}

std::uint32_t AlsaMidiService::NumberOfDevices() {
    auto found = state->EnumerateClients();
    std::lock_guard<std::mutex> lock(state->mutex);
    state->devices = std::move(found);
    return static_cast<std::uint32_t>(state->devices.size());
}

MidiRef AlsaMidiService::GetDevice(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->devices.size() ? state->devices[index] : 0;
}

std::uint32_t AlsaMidiService::NumberOfExternalDevices() {
    return 0; // ALSA does not know what is plugged into a MIDI socket
}

MidiRef AlsaMidiService::GetExternalDevice(std::uint32_t /*index*/) {
    return 0;
}

MidiStatus AlsaMidiService::GetStringProperty(MidiRef object, MidiProperty property, std::string& value) {
    if (property == MidiProperty::Offline || property == MidiProperty::UsbDevice)
        return -EINVAL;
    if (auto address = alsa::EndpointAddress(object)) {
        snd_seq_port_info_t* port = nullptr;
        snd_seq_client_info_t* client = nullptr;
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_alloca(&client);
        if (int err = state->PortInfo(*address, port); err < 0)
            return err;
        if (property == MidiProperty::Name) {
            value = snd_seq_port_info_get_name(port);
            return midiNoError;
        }
        if (int err = state->ClientInfo(address->client, client); err < 0)
            return err;
        value = property == MidiProperty::DisplayName
                    ? std::string(snd_seq_client_info_get_name(client))
                    : CardManufacturer(snd_seq_client_info_get_card(client));
        return midiNoError;
    }
    if (auto clientNumber = alsa::ClientObjectClient(object)) {
        snd_seq_client_info_t* client = nullptr;
        snd_seq_client_info_alloca(&client);
        if (int err = state->ClientInfo(*clientNumber, client); err < 0)
            return err;
        value = property == MidiProperty::Manufacturer
                    ? CardManufacturer(snd_seq_client_info_get_card(client))
                    : std::string(snd_seq_client_info_get_name(client));
        return midiNoError;
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    if (auto it = state->clients.find(object); it != state->clients.end()) {
        value = property == MidiProperty::Manufacturer ? std::string() : it->second->name;
        return midiNoError;
    }
    if (auto it = state->ports.find(object); it != state->ports.end()) {
        value = property == MidiProperty::Manufacturer ? std::string()
                : property == MidiProperty::Name       ? it->second->name
                                                       : it->second->client->name;
        return midiNoError;
    }
    return -ENOENT;
}

MidiStatus AlsaMidiService::GetIntegerProperty(MidiRef object, MidiProperty property, std::int32_t& value) {
    if (property == MidiProperty::UsbDevice) {
        // A USB MIDI device is a kernel client of a card of the USB audio/MIDI driver; its number
        // is the card's, plus one.
        auto address = alsa::EndpointAddress(object);
        if (!address)
            return -EINVAL;
        snd_seq_port_info_t* port = nullptr;
        snd_seq_client_info_t* client = nullptr;
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_alloca(&client);
        if (int err = state->PortInfo(*address, port); err < 0)
            return err;
        if (int err = state->ClientInfo(address->client, client); err < 0)
            return err;
        const int card = snd_seq_client_info_get_card(client);
        const bool usb = snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT && IsUsbMidiCard(card);
        value = usb ? card + 1 : 0;
        return midiNoError;
    }
    if (property != MidiProperty::Offline)
        return -EINVAL;
    // ALSA has no offline flag: a port that is there is online, one that has gone answers its error.
    if (auto address = alsa::EndpointAddress(object)) {
        snd_seq_port_info_t* port = nullptr;
        snd_seq_port_info_alloca(&port);
        if (int err = state->PortInfo(*address, port); err < 0)
            return err;
        value = 0;
        return midiNoError;
    }
    if (auto clientNumber = alsa::ClientObjectClient(object)) {
        snd_seq_client_info_t* client = nullptr;
        snd_seq_client_info_alloca(&client);
        if (int err = state->ClientInfo(*clientNumber, client); err < 0)
            return err;
        value = 0;
        return midiNoError;
    }
    return -ENOENT;
}

MidiStatus AlsaMidiService::GetProperties(MidiRef object, std::string& text) {
    snd_seq_client_info_t* client = nullptr;
    snd_seq_client_info_alloca(&client);
    std::ostringstream out;
    int clientNumber = -1;
    if (auto address = alsa::EndpointAddress(object)) {
        snd_seq_port_info_t* port = nullptr;
        snd_seq_port_info_alloca(&port);
        if (int err = state->PortInfo(*address, port); err < 0)
            return err;
        clientNumber = address->client;
        out << "{address=" << address->client << ":" << address->port << ", port name=\""
            << snd_seq_port_info_get_name(port)
            << "\", capability=" << CapabilityText(snd_seq_port_info_get_capability(port))
            << ", type=" << TypeText(snd_seq_port_info_get_type(port))
            << ", midi channels=" << snd_seq_port_info_get_midi_channels(port)
            << ", read subscribers=" << snd_seq_port_info_get_read_use(port)
            << ", write subscribers=" << snd_seq_port_info_get_write_use(port) << ", ";
    } else if (auto number = alsa::ClientObjectClient(object)) {
        clientNumber = *number;
        out << "{";
    } else {
        return -ENOENT;
    }
    if (int err = state->ClientInfo(clientNumber, client); err < 0)
        return err;
    const int card = snd_seq_client_info_get_card(client);
    out << "client=" << clientNumber << ", client name=\"" << snd_seq_client_info_get_name(client)
        << "\", client type="
        << (snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT ? "kernel" : "user")
        << ", ports=" << snd_seq_client_info_get_num_ports(client) << ", card=" << card;
    if (card >= 0) {
        char* name = nullptr;
        if (snd_card_get_longname(card, &name) >= 0 && name != nullptr) {
            out << ", card name=\"" << name << "\"";
            free(name);
        }
    }
    if (const int pid = snd_seq_client_info_get_pid(client); pid > 0)
        out << ", pid=" << pid;
    out << "}";
    text = out.str();
    return midiNoError;
}

MidiStatus AlsaMidiService::EndpointGetEntity(MidiRef endpoint, MidiRef& entity) {
    auto address = alsa::EndpointAddress(endpoint);
    if (!address)
        return -ENOENT;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_port_info_alloca(&port);
    if (int err = state->PortInfo(*address, port); err < 0)
        return err;
    entity = *alsa::ClientObjectRef(address->client);
    return midiNoError;
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

std::unique_ptr<SetupWatch> AlsaMidiService::WatchSetup(SetupCallback callback) {
    auto watch = std::make_unique<AlsaSetupWatch>(state->own, std::move(callback));
    if (int err = watch->Start(); err < 0) {
        LogLine(Format("AlsaMidiService: cannot watch the MIDI setup: %s", snd_strerror(err)));
        return nullptr;
    }
    return watch;
}

std::string AlsaMidiService::StatusText(MidiStatus status) {
    return snd_strerror(status);
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

int AlsaMidiService::ClientNumber(MidiRef client) {
    std::lock_guard<std::mutex> lock(state->mutex);
    auto it = state->clients.find(client);
    return it == state->clients.end() ? -1 : it->second->number;
}

int AlsaMidiService::PortNumber(MidiRef port) {
    std::lock_guard<std::mutex> lock(state->mutex);
    auto it = state->ports.find(port);
    return it == state->ports.end() ? -1 : it->second->number;
}
