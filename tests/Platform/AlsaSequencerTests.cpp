// The ALSA back end on the kernel's sequencer and a USB MIDI device (skipped without /dev/snd/seq; the
// kernel tests run these in a VM), and the system's announcements as a setup watch reads them (made-up
// events, run everywhere). Catches: wrong endpoint lists, names or query errors, bytes lost or changed on
// the way to a client or the USB device, wrong busy/unplug texts, slow failures, announcements told as
// the wrong change or endpoint or where nothing changed, missing setup notifications, a watch or port
// that outlives its destruction.
#include "AlsaDelivery.h"
#include "AlsaMidiService.h"
#include "AlsaSequencer.h"
#include "Clock.h"
#include "CoreMidiPort.h"
#include "ListInterfaces.h"
#include "Log.h"
#include "PlatformTestSupport.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iostream>
#include <random>
#include <stop_token>
#include <thread>

namespace {

using Bytes = std::vector<unsigned char>;
using alsa::Address;
using platformtest::Inbox;
using namespace std::chrono_literals;
using std::chrono::steady_clock;

#define SKIP_WITHOUT_SEQUENCER()                                                                             \
    if (access("/dev/snd/seq", R_OK | W_OK) != 0)                                                            \
    GTEST_SKIP() << "no ALSA sequencer here (/dev/snd/seq is missing); the kernel tests run these in a VM"

long long Ms(steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}
MidiRef Endpoint(int client, int port) {
    return ((static_cast<MidiRef>(client) << 8) | static_cast<MidiRef>(port)) + 1;
}
int ClientOf(MidiRef endpoint) {
    return static_cast<int>((endpoint - 1) >> 8);
}
template <class List, class Item> bool Has(const List& list, const Item& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}
bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}
snd_seq_addr_t SeqAddress(Address address) {
    return {static_cast<unsigned char>(address.client), static_cast<unsigned char>(address.port)};
}

// What an announcement of `type` from `from` about `about` is told as: "added 130:2", "removed none"
// (no endpoint), or "" when nothing is told.
std::string Announced(int type, Address from, Address about) {
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    event.type = static_cast<snd_seq_event_type_t>(type);
    event.source = SeqAddress(from);
    event.data.addr = SeqAddress(about);
    const std::optional<SetupNotification> told = alsa::AnnouncedSetupChange(event);
    if (!told)
        return "";
    const char* const changes[] = {"added", "removed", "changed"};
    const MidiRef e = told->endpoint;
    return std::string(changes[static_cast<int>(told->change)]) + " " +
           (e == 0 ? "none" : std::to_string(ClientOf(e)) + ":" + std::to_string((e - 1) & 0xFF));
}

TEST(AlsaAnnouncement, TellsTheSetupChangeItMeans) {
    const Address announce{SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE},
        timer{SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_TIMER};
    const struct {
        const char* what;
        int type;
        Address from, about;
        std::string told;
    } rows[] = {
        {"port start", SND_SEQ_EVENT_PORT_START, announce, {130, 2}, "added 130:2"},
        {"kernel client's port start", SND_SEQ_EVENT_PORT_START, announce, {24, 0}, "added 24:0"},
        {"port exit", SND_SEQ_EVENT_PORT_EXIT, announce, {130, 2}, "removed 130:2"},
        {"port change", SND_SEQ_EVENT_PORT_CHANGE, announce, {130, 2}, "changed 130:2"},
        {"client exit", SND_SEQ_EVENT_CLIENT_EXIT, announce, {130, 0}, "removed none"},
        {"client change", SND_SEQ_EVENT_CLIENT_CHANGE, announce, {130, 0}, "changed none"},
        {"client start", SND_SEQ_EVENT_CLIENT_START, announce, {130, 0}, ""},
        {"subscribed", SND_SEQ_EVENT_PORT_SUBSCRIBED, announce, {130, 2}, ""},
        {"unsubscribed", SND_SEQ_EVENT_PORT_UNSUBSCRIBED, announce, {130, 2}, ""},
        {"note on the announce port", SND_SEQ_EVENT_NOTEON, announce, {130, 2}, ""},
        {"the system client's own port", SND_SEQ_EVENT_PORT_START, announce, {SND_SEQ_CLIENT_SYSTEM, 0}, ""},
        {"from the system timer port", SND_SEQ_EVENT_PORT_START, timer, {130, 2}, ""},
        {"sent by another client", SND_SEQ_EVENT_PORT_EXIT, {131, 0}, {130, 2}, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(Announced(row.type, row.from, row.about), row.told);
    }
}

// Not "Ostrel Kelva" itself: the kernel tests' USB device of that name may be plugged in.
const std::string peerName = "Ostrel Kelva Peer", peerPort = peerName + " MIDI 1";
constexpr unsigned int duplexCaps = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE |
                                    SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_SUBS_WRITE |
                                    SND_SEQ_PORT_CAP_DUPLEX;
const Bytes statusMessage = {0xF0, 0x00, 0x00, 0x3F, 0x73, 0, 0, 0, 0, 0, 0, 0x00, 0xF7};

// Another program's client, made with plain alsa-lib calls and its default pool and input buffer, as a
// DAW or a small MIDI tool makes it. Keeps every SysEx byte reaching its port and what each event is about.
class Peer {
public:
    Peer(const std::string& name, const std::string& portName = peerPort, unsigned int caps = duplexCaps) {
        EXPECT_EQ(snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0), 0);
        if (!name.empty()) // else the name alsa-lib gives it (naming a client is announced on newer kernels)
            snd_seq_set_client_name(seq, name.c_str());
        client = snd_seq_client_id(seq);
        port = snd_seq_create_simple_port(seq, portName.c_str(), caps, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
        EXPECT_GE(port, 0);
        pollfd fd{};
        snd_seq_poll_descriptors(seq, &fd, 1, POLLIN);
        reader = std::jthread([this, fd](std::stop_token stop) mutable {
            while (!stop.stop_requested()) {
                if (poll(&fd, 1, 20) <= 0)
                    continue;
                do {
                    snd_seq_event_t* event = nullptr;
                    if (snd_seq_event_input(seq, &event) < 0 || event == nullptr)
                        break;
                    const std::pair<int, Address> about{event->type,
                                                        {event->data.addr.client, event->data.addr.port}};
                    heard.Add(&about, &about + 1);
                    const auto* data = static_cast<const unsigned char*>(event->data.ext.ptr);
                    if (event->type == SND_SEQ_EVENT_SYSEX)
                        received.Add(data, data + event->data.ext.len);
                } while (snd_seq_event_input_pending(seq, 0) > 0);
            }
        });
    }
    ~Peer() {
        reader = {}; // stopped and joined before the client goes
        snd_seq_close(seq);
    }
    MidiRef Ref() const { return Endpoint(client, port); }
    // Whether an event of `type` about `about` (an announcement's address) has come, within `timeout`.
    bool Heard(int type, Address about, std::chrono::milliseconds timeout = 0ms) {
        return heard.Wait([&](const auto& all) { return Has(all, std::make_pair(type, about)); }, timeout);
    }
    // SysEx to the port's subscribers in events of at most 256 bytes, as a kernel client sends it. A
    // receiver not keeping up answers -EAGAIN; a stress sender goes on regardless.
    void Emit(const Bytes& bytes, bool mustSucceed = true) {
        for (std::size_t done = 0; done < bytes.size(); done += 256) {
            snd_seq_event_t event;
            snd_seq_ev_clear(&event);
            snd_seq_ev_set_source(&event, port);
            snd_seq_ev_set_subs(&event);
            snd_seq_ev_set_direct(&event);
            snd_seq_ev_set_sysex(&event, std::min<unsigned int>(256, bytes.size() - done),
                                 const_cast<unsigned char*>(&bytes[done]));
            const int result = snd_seq_event_output_direct(seq, &event);
            ASSERT_TRUE(!mustSucceed || result >= 0) << result;
        }
    }
    void DeletePort() { snd_seq_delete_simple_port(seq, port); }

    snd_seq_t* seq = nullptr;
    int client = -1, port = -1;
    Inbox<unsigned char> received;
    Inbox<std::pair<int, Address>> heard;

private:
    std::jthread reader;
};

std::unique_ptr<AlsaMidiService> OpenService() {
    std::string whyNot;
    auto service = AlsaMidiService::Open(whyNot);
    EXPECT_TRUE(service) << whyNot;
    return service;
}

std::vector<MidiRef> Endpoints(MidiService& service, bool sources) {
    std::vector<MidiRef> found;
    const std::uint32_t count = sources ? service.NumberOfSources() : service.NumberOfDestinations();
    for (std::uint32_t i = 0; i < count; ++i)
        found.push_back(sources ? service.GetSource(i) : service.GetDestination(i));
    return found;
}
// A string property (without one, the whole properties text), or "error N".
std::string Text(MidiService& service, MidiRef endpoint, std::optional<MidiProperty> property = {}) {
    std::string value;
    const MidiStatus status = property ? service.GetStringProperty(endpoint, *property, value)
                                       : service.GetProperties(endpoint, value);
    return status == 0 ? value : "error " + std::to_string(status);
}

Bytes SysExMessage(std::size_t size, unsigned int seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& byte : bytes)
        byte = static_cast<unsigned char>(random() & 0x7F);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}
// Sends messages of `size` bytes (seeds `seed`, `seed` + 1, ...) through the port while they fit in
// 1 MiB, each in a packet of its own; answers all it sent.
Bytes SendMebibyte(CoreMidiPort& port, std::size_t size, unsigned int seed) {
    Bytes sent;
    for (unsigned int i = 0; sent.size() + size <= 1024 * 1024; ++i) {
        const Bytes message = SysExMessage(size, seed + i);
        port.Send(message.data(), message.size());
        sent.insert(sent.end(), message.begin(), message.end());
    }
    return sent;
}

// The last SysEx message the port received (taking it), once it is `size` bytes long (or after 2 s).
Bytes LastSysExOf(CoreMidiPort& port, std::size_t size) {
    Bytes got;
    for (int i = 0; i < 400 && got.size() != size; ++i) {
        std::this_thread::sleep_for(5ms);
        got = port.LastSysEx();
    }
    return got;
}

TEST(AlsaSequencerEndpoints, ListedNamedQueriedDeliveredToWholeAndInOrderAndForgottenWhenGone) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    MidiRef reference = 0;
    std::int32_t offline = 7;
    {
        Peer kelva(peerName);
        Peer readOnly("Read Only Tool", "Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
        reference = kelva.Ref();
        MidiRef client = 0, output = 0, entity = 0;
        ASSERT_EQ(service->ClientCreate("MIDI Updater", client), 0);
        ASSERT_EQ(service->OutputPortCreate(client, "MIDI Updater Port", output), 0);
        const int own = service->ClientNumber(client);
        ASSERT_GE(own, 0);
        const auto destinations = Endpoints(*service, false), sources = Endpoints(*service, true);
        EXPECT_TRUE(Has(destinations, reference) && Has(sources, reference));
        EXPECT_TRUE(!Has(destinations, readOnly.Ref()) && Has(sources, readOnly.Ref()));
        for (MidiRef endpoint : destinations)
            EXPECT_TRUE(ClientOf(endpoint) != 0 && ClientOf(endpoint) != own)
                << "the system or ourselves listed";
        for (MidiRef endpoint : sources)
            EXPECT_NE(ClientOf(endpoint), own) << "our own output port is listed as a source";
        EXPECT_EQ(Text(*service, reference, MidiProperty::Name), peerPort);
        EXPECT_EQ(Text(*service, reference, MidiProperty::DisplayName), peerName);
        // A software client has no card, so no manufacturer.
        EXPECT_EQ(Text(*service, reference, MidiProperty::Manufacturer), "");
        const std::string properties = Text(*service, reference);
        EXPECT_TRUE(Contains(properties, peerPort) && Contains(properties, "card=-1")) << properties;
        EXPECT_EQ(service->EndpointGetEntity(reference, entity), 0);
        EXPECT_NE(entity, 0u);
        EXPECT_TRUE(Contains(Text(*service, entity), "client name=\"" + peerName + "\""))
            << Text(*service, entity);
        EXPECT_EQ(service->GetIntegerProperty(reference, MidiProperty::Offline, offline), 0);
        EXPECT_EQ(offline, 0);
        EXPECT_EQ(service->ClientDispose(client), 0);

        ScopedLogCapture log;
        ListInterfaces(*service);
        // What the ALSA service gives the listing (its own lines: ListInterfacesTests).
        const auto lines = log.Lines();
        EXPECT_TRUE(Has(lines, "Name=" + peerPort) && Has(lines, "ListInterfaces: # external devices=0"));
        // Found by its client's name (which names do not match: CoreMidiPortTests).
        CoreMidiPort port(*service, {peerName});
        ASSERT_TRUE(port.IsConnected());
        // 1 MiB to a client with the default input pool (200 cells) and buffer: a 16 KiB event would not
        // fit.
        EXPECT_EQ(port.IdealChunkSize(), 2048u) << "a software client needs no large packets";
        const Bytes sent = SendMebibyte(port, 16384, 0), got = kelva.received.Get(sent.size(), 20s);
        EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes, or reordered";
        for (const std::string& line : log.Lines())
            EXPECT_FALSE(Contains(line, "Error (Sending MIDI)")) << line;
        // A status message, then one large message in 256-byte events: the port keeps the last one.
        const Bytes large = SysExMessage(40000, 7);
        kelva.Emit(statusMessage);
        kelva.Emit(large);
        EXPECT_EQ(LastSysExOf(port, large.size()), large);
        // Ports disposed of while data streams to them stop their delivery promptly.
        std::jthread sender([&](std::stop_token stop) {
            while (!stop.stop_requested())
                kelva.Emit(SysExMessage(512, 3), false);
        });
        for (int round = 0; round < 20; ++round) {
            auto other = std::make_unique<CoreMidiPort>(*service, std::set<std::string>{peerName});
            ASSERT_TRUE(other->IsConnected());
            std::this_thread::sleep_for(2ms);
            const auto start = steady_clock::now();
            other.reset(); // joins the receive thread; a read proc running on a freed port would crash
            // Generous: under emulation and ThreadSanitizer a prompt stop has taken close to a second.
            EXPECT_LT(steady_clock::now() - start, 5s);
        }
        sender = {};
        kelva.DeletePort();
        EXPECT_FALSE(port.IsConnected());
        EXPECT_TRUE(Has(log.Lines(), "Error (Getting offline properties): " +
                                         std::to_string(static_cast<unsigned int>(-ENOENT)) + ":" +
                                         snd_strerror(-ENOENT)));
        EXPECT_FALSE(port.IsConnected()); // searched again, nothing there
        EXPECT_EQ(service->GetIntegerProperty(reference, MidiProperty::Offline, offline), -ENOENT);
        EXPECT_EQ(Text(*service, reference, MidiProperty::DisplayName), "error " + std::to_string(-ENOENT));
        EXPECT_FALSE(Has(Endpoints(*service, false), reference));
    }
    EXPECT_EQ(service->GetIntegerProperty(reference, MidiProperty::Offline, offline), -ENXIO);
    EXPECT_EQ(service->StatusText(-ENXIO), snd_strerror(-ENXIO));
}

// Where a USB MIDI device "Ostrel Kelva" is plugged in whose other end this process can read: the
// kernel tests make one from a USB gadget and name the raw MIDI device of its end in
// MIDIUPDATER_TEST_DEVICE_END (hw:KelvaDev), its configfs folder in MIDIUPDATER_TEST_GADGET. The end is
// read into memory all along.
class AlsaUsb : public testing::Test {
protected:
    void SetUp() override {
        SKIP_WITHOUT_SEQUENCER();
        if (std::getenv("MIDIUPDATER_TEST_DEVICE_END") == nullptr)
            GTEST_SKIP() << "no USB MIDI device to test with (MIDIUPDATER_TEST_DEVICE_END names the raw MIDI "
                            "device of its other end; the kernel tests set it)";
        service = OpenService();
        ASSERT_TRUE(service);
        for (MidiRef endpoint : Endpoints(*service, false)) {
            std::int32_t usb = 0; // the card number + 1
            if (Text(*service, endpoint, MidiProperty::DisplayName) == "Ostrel Kelva" &&
                service->GetIntegerProperty(endpoint, MidiProperty::UsbDevice, usb) == 0 && usb > 0) {
                kelva = endpoint;
                card = usb - 1;
            }
        }
        ASSERT_NE(kelva, 0u) << "no USB MIDI device \"Ostrel Kelva\"";
        OpenEnd();
        ASSERT_EQ(service->ClientCreate("MIDI Updater", client), 0);
        ASSERT_EQ(service->OutputPortCreate(client, "MIDI Updater Port", port), 0);
    }
    void TearDown() override {
        CloseEnd();
        if (client != 0)
            service->ClientDispose(client);
    }
    void OpenEnd() {
        const char* name = std::getenv("MIDIUPDATER_TEST_DEVICE_END");
        ASSERT_GE(snd_rawmidi_open(&input, &output, name, SND_RAWMIDI_NONBLOCK), 0) << "cannot open " << name;
        snd_rawmidi_nonblock(output, 0);
        snd_rawmidi_params_t* params = nullptr;
        snd_rawmidi_params_alloca(&params);
        snd_rawmidi_params_current(input, params);
        snd_rawmidi_params_set_buffer_size(input, params, 256 * 1024);
        snd_rawmidi_params(input, params);
        pollfd fd{};
        snd_rawmidi_poll_descriptors(input, &fd, 1);
        poll(&fd, 1, 0); // the gadget's end drops what arrives before its input is first waited for
        reader = std::jthread([this, fd](std::stop_token stop) mutable {
            for (Bytes buffer(256 * 1024); !stop.stop_requested();) {
                const ssize_t n =
                    poll(&fd, 1, 20) > 0 ? snd_rawmidi_read(input, buffer.data(), buffer.size()) : 0;
                received.Add(buffer.data(), buffer.data() + std::max<ssize_t>(n, 0));
            }
        });
    }
    void CloseEnd() {
        reader = {};
        for (snd_rawmidi_t** end : {&input, &output})
            if (*end != nullptr)
                snd_rawmidi_close(std::exchange(*end, nullptr));
    }
    // What arrived at the device end, once `count` bytes have or the time is up; forgets it.
    Bytes Take(std::size_t count, std::chrono::milliseconds timeout) {
        return received.Get(count, timeout, true);
    }
    std::string RawMidi() const { return "hw:" + std::to_string(card) + ",0,0"; }
    Address KelvaAddress() const { return {ClientOf(kelva), static_cast<int>((kelva - 1) & 0xFF)}; }
    MidiStatus Send(const Bytes& bytes) { // through the service itself, to see each status
        return service->Send(port, kelva, {0, bytes});
    }
    void ExpectDelivered(const Bytes& message) {
        Take(0, 0ms);
        ASSERT_EQ(Send(message), 0);
        const Bytes got = Take(message.size(), 20s);
        EXPECT_TRUE(got == message) << got.size() << " of " << message.size() << " bytes, or changed";
    }

    ScopedLogCapture log;
    std::unique_ptr<AlsaMidiService> service;
    MidiRef kelva = 0, client = 0, port = 0;
    std::int32_t card = -1;
    snd_rawmidi_t *input = nullptr, *output = nullptr;
    Inbox<unsigned char> received;
    std::jthread reader;
};

// The command line's clock after Ctrl-C: real time for three waits, then each wait throws.
struct Interrupted {};
struct InterruptingClock : SystemClock {
    int left = 3;
    void SleepMs(std::uint64_t milliseconds) override {
        if (left-- <= 0)
            throw Interrupted{};
        SystemClock::SleepMs(milliseconds);
    }
};

TEST_F(AlsaUsb, OneMebibyteGoesByteIdenticalThroughRawMidiItsAnswerComesBackAndAnInterruptedSendLetsGo) {
    { // the port gone before the interruption below, which checks that nothing of ours holds the device
        CoreMidiPort kelvaPort(*service, {"Ostrel Kelva"});
        ASSERT_TRUE(kelvaPort.IsConnected());
        EXPECT_EQ(kelvaPort.IdealChunkSize(), alsa::rawMidiPacketBytes)
            << "the raw MIDI road takes large packets";
        // Rounds of 16 KiB packets, then one of the port's largest packets (each one write of its own).
        for (unsigned int round = 0; round < 3; ++round) {
            const Bytes sent =
                SendMebibyte(kelvaPort, round < 2 ? 16384 : kelvaPort.MaxChunkSize(), round * 100);
            const Bytes got = Take(sent.size(), 60s);
            ASSERT_EQ(got.size(), sent.size()) << "round " << round;
            EXPECT_TRUE(got == sent) << "round " << round << ": bytes changed on the way";
        }
        const auto lines = log.Lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return Contains(line, "through hw:");
        })) << "the USB device's port was not sent to through raw MIDI";
        snd_rawmidi_write(output, statusMessage.data(), statusMessage.size());
        snd_rawmidi_drain(output);
        EXPECT_EQ(LastSysExOf(kelvaPort, statusMessage.size()), statusMessage);
    }
    // Interrupted (Ctrl-C): the device is let go and the next send starts afresh.
    // Five buffers full: each waits on the clock at least once to leave, so the send meets the
    // interruption however long the three real sleeps before it take.
    const std::size_t interruptedSize = 5 * alsa::rawMidiBufferBytes;
    {
        InterruptingClock clock;
        ScopedClock installed(clock);
        const auto start = steady_clock::now();
        EXPECT_THROW(Send(SysExMessage(interruptedSize, 21)), Interrupted);
        EXPECT_LT(steady_clock::now() - start, 1s);
    }
    snd_rawmidi_t* other = nullptr; // nothing of ours holds the device any more
    ASSERT_EQ(snd_rawmidi_open(nullptr, &other, RawMidi().c_str(), SND_RAWMIDI_NONBLOCK), 0);
    snd_rawmidi_close(other);
    Take(interruptedSize, 2s); // what left before the interruption
    ExpectDelivered(SysExMessage(16384, 22));
}

// Subscribes `from` to write to `to` (or unsubscribes), as aconnect does.
bool Subscribe(snd_seq_t* seq, Address from, Address to, bool on = true) {
    snd_seq_port_subscribe_t* info = nullptr;
    snd_seq_port_subscribe_alloca(&info);
    const snd_seq_addr_t sender = SeqAddress(from), dest = SeqAddress(to);
    snd_seq_port_subscribe_set_sender(info, &sender);
    snd_seq_port_subscribe_set_dest(info, &dest);
    return (on ? snd_seq_subscribe_port(seq, info) : snd_seq_unsubscribe_port(seq, info)) == 0;
}

// Another program holding the USB port: a write subscription makes the kernel's sequencer bridge open
// the device's raw MIDI output (as a DAW's or a sound server's connection does), or a program opened
// the raw MIDI device itself (amidi). Our send must fail at once, say who holds the port, and work
// again, byte-identical, once the port is let go. The parameter: how many subscriptions hold the port
// (Midi Through's, then also another client's); 0: this process has the raw MIDI device open.
class AlsaUsbBusyPort : public AlsaUsb, public testing::WithParamInterface<int> {};

TEST_P(AlsaUsbBusyPort, ASendFailsAtOnceNamingTheHolderAndWorksAgainOnceTheHolderLetsGo) {
    const Bytes message = SysExMessage(16384, 11);
    Peer peer("Kelva Holder", "Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    snd_seq_client_info_t* info = nullptr;
    snd_seq_client_info_alloca(&info);
    ASSERT_EQ(snd_seq_get_any_client_info(peer.seq, 14, info), 0);
    ASSERT_STREQ(snd_seq_client_info_get_name(info), "Midi Through") << "snd-seq-dummy is not loaded";
    std::vector<Address> holders = {{14, 0}, {peer.client, peer.port}};
    holders.resize(GetParam());
    std::string self;
    std::getline(std::ifstream("/proc/self/comm"), self);
    const std::string inUse = "The port \"Ostrel Kelva MIDI 1\" is in use by ",
                      through = inUse + "\"Midi Through\" (client 14)";
    const std::string expected[] = {
        inUse + "\"" + self + "\" (process " + std::to_string(getpid()) +
            "). Close that program, then try again.",
        through + ". Close that program or remove its connection, then try again.",
        through + " and \"Kelva Holder\" (client " + std::to_string(peer.client) +
            "). Close those programs or remove their connections, then try again."};
    snd_rawmidi_t* directly = nullptr;
    ASSERT_TRUE(!holders.empty() ||
                snd_rawmidi_open(nullptr, &directly, RawMidi().c_str(), SND_RAWMIDI_NONBLOCK) == 0);
    for (Address holder : holders)
        ASSERT_TRUE(Subscribe(peer.seq, holder, KelvaAddress()));
    const auto start = steady_clock::now();
    const MidiStatus status = Send(message);
    const auto took = steady_clock::now() - start;
    EXPECT_EQ(status, -EBUSY);
    EXPECT_LT(took, 1s) << "a busy port must fail at once";
    const std::string& text = expected[GetParam()];
    std::cout << "FIGURE: busy USB port (" << text << "): Send failed in " << Ms(took) << " ms\n";
    EXPECT_EQ(service->DescribeSendFailure(kelva, status), text);
    for (Address holder : holders)
        Subscribe(peer.seq, holder, KelvaAddress(), false);
    if (directly != nullptr)
        snd_rawmidi_close(directly);
    ExpectDelivered(message); // let go: the next send opens the device afresh
}

const char* const holderNames[] = {"RawMidiOpenedDirectly", "MidiThrough", "MidiThroughAndAClient"};
INSTANTIATE_TEST_SUITE_P(AlsaHolders, AlsaUsbBusyPort, testing::Range(0, 3),
                         [](const auto& info) { return holderNames[info.param]; });

// What a setup watch told, and what the service answered about the endpoint while the callback ran:
// whether it is listed among the sources or destinations, its name and its client's name.
std::string Said(SetupChange change, MidiRef endpoint, bool listed, const std::string& name = "",
                 const std::string& displayName = "") {
    return std::to_string(static_cast<int>(change)) + " " + std::to_string(endpoint) + " \"" + name +
           "\"/\"" + displayName + "\"" + (listed ? " listed" : "") + "; ";
}
struct Told {
    SetupChange change;
    MidiRef endpoint;
    std::string displayName, text; // text: as Said puts it
    steady_clock::time_point at;
};

// A setup watch on the service that keeps what it is told.
class SetupRecorder {
public:
    explicit SetupRecorder(MidiService& service) : service(service) {
        watch = service.WatchSetup([this](const SetupNotification& notification) { Record(notification); });
        EXPECT_TRUE(watch);
    }
    // The first told from index `from` on that is `change` of `endpoint` (0: of a port of "Ostrel
    // Kelva").
    std::optional<Told> WaitFor(SetupChange change, MidiRef endpoint, std::size_t from = 0,
                                std::chrono::milliseconds timeout = 5s) {
        std::optional<Told> found;
        told.Wait(
            [&](const std::vector<Told>& all) {
                for (std::size_t i = from; i < all.size() && !found; ++i)
                    if (all[i].change == change &&
                        (endpoint != 0 ? all[i].endpoint == endpoint : all[i].displayName == "Ostrel Kelva"))
                        found = all[i];
                return found.has_value();
            },
            timeout);
        return found;
    }
    std::string Describe(MidiRef only = 0) {
        std::string text;
        for (const Told& t : told.Get())
            text += only == 0 || t.endpoint == only ? t.text : "";
        return text;
    }

    Inbox<Told> told;

private:
    void Record(const SetupNotification& notification) {
        const MidiRef e = notification.endpoint;
        std::string name, displayName;
        service.GetStringProperty(e, MidiProperty::Name, name);
        service.GetStringProperty(e, MidiProperty::DisplayName, displayName);
        const bool listed = Has(Endpoints(service, true), e) || Has(Endpoints(service, false), e);
        const Told t{notification.change, e, displayName,
                     Said(notification.change, e, listed, name, displayName), steady_clock::now()};
        told.Add(&t, &t + 1);
    }
    MidiService& service;
    std::unique_ptr<SetupWatch> watch; // last: stopped before the rest goes
};

// Besides, a slow watch destroyed while its callback runs: its destructor waits for the callback, and
// it is never called again.
TEST(AlsaSetupWatch, OnlyOtherClientsPortsAreToldInOrderWithTheServiceAgreeingAndNotToADestroyedWatch) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    Peer kernel("Announce Listener", "In",
                SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT);
    const int system = SND_SEQ_CLIENT_SYSTEM, announce = SND_SEQ_PORT_SYSTEM_ANNOUNCE;
    ASSERT_EQ(snd_seq_connect_from(kernel.seq, kernel.port, system, announce), 0);
    std::atomic<bool> inside{false};
    std::atomic<int> calls{0};
    auto slow = service->WatchSetup([&](const SetupNotification&) {
        ++calls;
        inside = true;
        std::this_thread::sleep_for(200ms);
        inside = false;
    });
    SetupRecorder watch(*service);
    // Clients of ours come and go faster than the watch reads their announcements: each is still known
    // as ours when its ports' announcements are read after it has gone. None may be told.
    const MidiReadProc ignore = [](const MidiPacketList&, void*, void*) {};
    for (int round = 0; round < 3; ++round) {
        MidiRef client = 0, output = 0, input = 0;
        ASSERT_EQ(service->ClientCreate("MIDI Updater", client), 0);
        ASSERT_EQ(service->OutputPortCreate(client, "MIDI Updater Port", output), 0);
        ASSERT_EQ(service->InputPortCreate(client, "MIDI Updater Input", ignore, nullptr, input), 0);
        ASSERT_EQ(service->ClientDispose(client), 0);
        SetupRecorder another(*service);
    }
    // Announcements are read in order: once the marker's port is told, all of the above has been read.
    Peer marker("", "Marker");
    ASSERT_TRUE(watch.WaitFor(SetupChange::EndpointAdded, marker.Ref())) << watch.Describe();
    ASSERT_EQ(watch.told.Get().size(), 1u) << watch.Describe();
    for (int i = 0; i < 500 && calls == 0; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_GT(calls.load(), 0) << "the slow watch was not called within 5 s";
    slow.reset(); // while its callback sleeps
    EXPECT_FALSE(inside) << "the destructor returned while the callback ran";
    const int before = calls;
    Peer peer(peerName); // more changes: the watch is told of them, the destroyed one is not
    const MidiRef endpoint = peer.Ref();
    ASSERT_TRUE(watch.WaitFor(SetupChange::EndpointAdded, endpoint)) << watch.Describe();
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_alloca(&info);
    ASSERT_EQ(snd_seq_get_port_info(peer.seq, peer.port, info), 0);
    snd_seq_port_info_set_name(info, (peerName + " Renamed").c_str());
    ASSERT_EQ(snd_seq_set_port_info(peer.seq, peer.port, info), 0);
    // Whether the kernel announces a changed port (6.13 and later do, 6.1 does not), as any subscriber
    // of the announce port hears it: a port made after the rename is announced after the change.
    const int fence =
        snd_seq_create_simple_port(peer.seq, "Fence", duplexCaps, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    ASSERT_TRUE(kernel.Heard(SND_SEQ_EVENT_PORT_START, Address{peer.client, fence}, 5s));
    const bool changeTold = kernel.Heard(SND_SEQ_EVENT_PORT_CHANGE, Address{peer.client, peer.port});
    ASSERT_TRUE(!changeTold || watch.WaitFor(SetupChange::EndpointChanged, endpoint)) << watch.Describe();
    peer.DeletePort();
    ASSERT_TRUE(watch.WaitFor(SetupChange::EndpointRemoved, endpoint)) << watch.Describe();
    using enum SetupChange; // added and changed ports listed when told, removed ones not
    const std::string changed = Said(EndpointChanged, endpoint, true, peerName + " Renamed", peerName);
    const std::string expected = Said(EndpointAdded, endpoint, true, peerPort, peerName) +
                                 (changeTold ? changed : "") + Said(EndpointRemoved, endpoint, false);
    EXPECT_EQ(watch.Describe(endpoint), expected);
    EXPECT_EQ(calls.load(), before);
}

// Unplugged (the gadget unbound from its UDC) three times, the first time amid a delivery: that send
// fails promptly saying the device was disconnected; each unplug is told as the port removed, each
// replug as a port of "Ostrel Kelva" added, listed, under the same client number; a send then arrives
// byte-identical.
TEST_F(AlsaUsb, UnpluggedMidDeliveryTheSendFailsAndEachUnplugAndReplugIsToldPromptly) {
    const char* gadget = std::getenv("MIDIUPDATER_TEST_GADGET");
    if (gadget == nullptr)
        GTEST_SKIP()
            << "MIDIUPDATER_TEST_GADGET does not name the USB device's gadget; it cannot be unplugged";
    const std::string udcFile = gadget + std::string("/UDC");
    std::string udc;
    std::getline(std::ifstream(udcFile), udc);
    ASSERT_FALSE(udc.empty()) << "the gadget is not plugged in";
    const auto bind = [&](const std::string& value) {
        return static_cast<bool>(std::ofstream(udcFile) << value << "\n" << std::flush);
    };
    const std::shared_ptr<void> replugAtTheEnd(nullptr, [&](void*) { bind(udc); });
    SetupRecorder watch(*service);
    for (int round = 1; round <= 3; ++round) {
        std::size_t seen = watch.told.Get().size();
        std::atomic<bool> stop{false};
        std::optional<steady_clock::time_point> unplug;
        std::thread unplugger([&] { // in round 1 once 64 KiB have arrived, amid the packets below
            for (std::size_t got = 0; round == 1 && got < 65536 && !stop;)
                got += Take(65536 - got, 50ms).size();
            if (!stop) {
                unplug = steady_clock::now();
                EXPECT_TRUE(bind(""));
            }
        });
        MidiStatus status = 0;
        for (unsigned int i = 0; round == 1 && i < 256 && status == 0; ++i)
            status = Send(SysExMessage(16384, 30 + i));
        const auto failed = steady_clock::now();
        stop = round == 1;
        unplugger.join();
        ASSERT_TRUE(unplug) << "no unplug before the send ended: " << status;
        if (round == 1) {
            ASSERT_NE(status, 0) << "4 MiB went out although the device was unplugged";
            std::cout << "FIGURE: unplugged mid-delivery: Send answered " << status << " ("
                      << service->StatusText(status) << ") " << Ms(failed - *unplug)
                      << " ms after the unplug\n";
            EXPECT_LT(failed - *unplug, 3s) << "the send did not fail promptly";
            EXPECT_EQ(service->DescribeSendFailure(kelva, status),
                      "The device of the port \"Ostrel Kelva MIDI 1\" was disconnected. Connect it again to "
                      "go on.");
        }
        const auto removed = watch.WaitFor(SetupChange::EndpointRemoved, kelva, seen);
        ASSERT_TRUE(removed) << "round " << round << ": " << watch.Describe();
        EXPECT_EQ(removed->text, Said(SetupChange::EndpointRemoved, kelva, false)) << "listed, or named";
        EXPECT_LT(removed->at - *unplug, 3s) << "round " << round;
        seen = watch.told.Get().size();
        CloseEnd(); // the gadget's end went with the unplug (closing it can wait 10 s in the kernel)
        const auto plug = steady_clock::now();
        ASSERT_TRUE(bind(udc));
        const auto added = watch.WaitFor(SetupChange::EndpointAdded, 0, seen, 30s);
        ASSERT_TRUE(added) << "round " << round << ": " << watch.Describe();
        EXPECT_EQ(added->text,
                  Said(SetupChange::EndpointAdded, kelva, true, "Ostrel Kelva MIDI 1", "Ostrel Kelva"))
            << "round " << round << ": not listed, or not under its client number";
        std::cout << "FIGURE: unplug " << round << ": told removed after " << Ms(removed->at - *unplug)
                  << " ms; replug told added after " << Ms(added->at - plug) << " ms\n";
        OpenEnd();
    }
    ExpectDelivered(SysExMessage(65536, 40));
}

} // namespace
