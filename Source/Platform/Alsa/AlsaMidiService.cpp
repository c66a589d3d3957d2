// The ALSA service's bookkeeping: the sequencer opened, clients and ports made and disposed of.
#include "AlsaMidiService.h"

#include "AlsaServiceState.h"

#include <cerrno>

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

std::string AlsaMidiService::StatusText(MidiStatus status) {
    return snd_strerror(status);
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
