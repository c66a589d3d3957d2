// What the ALSA service's parts share: clients, ports, routes, connections and its own client numbers.
#pragma once

#include "AlsaDelivery.h"
#include "AlsaMidiService.h"
#include "AlsaSequencer.h"

#include <alsa/asoundlib.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace alsa {

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
    void Opened(snd_seq_t* seq);
    void Closed(int client);
};

} // namespace alsa

using alsa::Address;
using alsa::Client;
using alsa::Connection;
using alsa::OutputRoute;
using alsa::OwnClients;
using alsa::Port;

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
