// The ALSA service's setup watches, and the marks by which they know the service's own clients.
#include "AlsaMidiService.h"

#include "AlsaServiceState.h"
#include "Log.h"
#include "Utilities.h"

#include <algorithm>

namespace {

// Sent by each client of ours as soon as it is open (before it names itself or makes a port, which
// are announced) to every setup watch that runs: the watch, which has just read the client's start,
// knows from it that this client is ours until its exit.
constexpr unsigned int ownClientMark = 0x4D555044;

} // namespace

namespace alsa {

void OwnClients::Opened(snd_seq_t* seq) {
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

void OwnClients::Closed(int client) {
    std::lock_guard<std::mutex> lock(mutex);
    numbers.erase(client);
}

} // namespace alsa

namespace {

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

std::unique_ptr<SetupWatch> AlsaMidiService::WatchSetup(SetupCallback callback) {
    auto watch = std::make_unique<AlsaSetupWatch>(state->own, std::move(callback));
    if (int err = watch->Start(); err < 0) {
        LogLine(Format("AlsaMidiService: cannot watch the MIDI setup: %s", snd_strerror(err)));
        return nullptr;
    }
    return watch;
}
