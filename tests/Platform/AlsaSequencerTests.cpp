// The ALSA back end against the kernel's sequencer. Where there is none (no /dev/snd/seq, as on a
// build machine without sound modules) every test here is skipped with that reason; the kernel
// tests run them in a VM that has the sequencer.
#include "AlsaDelivery.h"
#include "AlsaMidiService.h"
#include "Clock.h"
#include "CoreMidiPort.h"
#include "ListInterfaces.h"
#include "Log.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <random>
#include <thread>
#include <unistd.h>

namespace {

using Bytes = std::vector<unsigned char>;
using alsa::Address;
using namespace std::chrono_literals;

#define SKIP_WITHOUT_SEQUENCER()                                                                             \
    do {                                                                                                     \
        if (access("/dev/snd/seq", R_OK | W_OK) != 0)                                                        \
            GTEST_SKIP() << "no ALSA sequencer here (/dev/snd/seq is missing); the kernel tests run "        \
                            "these in a VM";                                                                 \
    } while (0)

// Another program's client, made with plain alsa-lib calls and its default pool and input buffer,
// as a DAW or a small MIDI tool would make it. It keeps every SysEx byte that reaches its port.
class PeerClient {
public:
    PeerClient(const std::string& clientName, const std::string& portName, unsigned int caps) {
        EXPECT_EQ(snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0), 0);
        snd_seq_set_client_name(seq, clientName.c_str());
        client = snd_seq_client_id(seq);
        port = snd_seq_create_simple_port(seq, portName.c_str(), caps, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
        EXPECT_GE(port, 0);
        reader = std::thread([this] { Read(); });
    }
    ~PeerClient() {
        stop = true;
        reader.join();
        if (seq != nullptr)
            snd_seq_close(seq);
    }

    MidiRef Ref() const { return ((static_cast<MidiRef>(client) << 8) | static_cast<MidiRef>(port)) + 1; }

    bool WaitForBytes(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return received.size() >= count; });
    }
    Bytes Received() {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    // Sends SysEx to the port's subscribers in events of at most 256 bytes, as a kernel client does.
    void Emit(const Bytes& bytes, bool mustSucceed = true) {
        for (std::size_t done = 0; done < bytes.size();) {
            const std::size_t piece = std::min<std::size_t>(256, bytes.size() - done);
            snd_seq_event_t event;
            snd_seq_ev_clear(&event);
            snd_seq_ev_set_source(&event, port);
            snd_seq_ev_set_subs(&event);
            snd_seq_ev_set_direct(&event);
            snd_seq_ev_set_sysex(&event, static_cast<unsigned int>(piece),
                                 const_cast<unsigned char*>(&bytes[done]));
            const int result = snd_seq_event_output_direct(seq, &event);
            // A receiver that is not keeping up answers -EAGAIN; a stress sender goes on regardless.
            if (mustSucceed) {
                ASSERT_GE(result, 0);
            }
            done += piece;
        }
    }
    void DeletePort() { snd_seq_delete_simple_port(seq, port); }

    snd_seq_t* seq = nullptr;
    int client = -1;
    int port = -1;

private:
    void Read() {
        pollfd fd{};
        snd_seq_poll_descriptors(seq, &fd, 1, POLLIN);
        while (!stop) {
            if (poll(&fd, 1, 20) <= 0)
                continue;
            do {
                snd_seq_event_t* event = nullptr;
                if (snd_seq_event_input(seq, &event) < 0 || event == nullptr)
                    break;
                if (event->type == SND_SEQ_EVENT_SYSEX) {
                    const auto* data = static_cast<const unsigned char*>(event->data.ext.ptr);
                    std::lock_guard<std::mutex> lock(mutex);
                    received.insert(received.end(), data, data + event->data.ext.len);
                    arrived.notify_all();
                }
            } while (snd_seq_event_input_pending(seq, 0) > 0);
        }
    }

    std::atomic<bool> stop{false};
    std::thread reader;
    std::mutex mutex;
    std::condition_variable arrived;
    Bytes received;
};

// The peers' client name. Not "Ostrel Kelva" itself: the kernel tests' USB device of that name may
// be plugged in, and the port takes the first endpoint whose name matches.
const std::string peerName = "Ostrel Kelva Peer";

constexpr unsigned int duplexCaps = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE |
                                    SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_SUBS_WRITE |
                                    SND_SEQ_PORT_CAP_DUPLEX;

std::unique_ptr<AlsaMidiService> OpenService() {
    std::string whyNot;
    auto service = AlsaMidiService::Open(whyNot);
    EXPECT_TRUE(service) << whyNot;
    return service;
}

std::vector<MidiRef> Destinations(MidiService& service) {
    std::vector<MidiRef> found;
    for (std::uint32_t i = 0; i < service.NumberOfDestinations(); ++i)
        found.push_back(service.GetDestination(i));
    return found;
}

std::vector<MidiRef> Sources(MidiService& service) {
    std::vector<MidiRef> found;
    for (std::uint32_t i = 0; i < service.NumberOfSources(); ++i)
        found.push_back(service.GetSource(i));
    return found;
}

bool Has(const std::vector<MidiRef>& list, MidiRef reference) {
    return std::find(list.begin(), list.end(), reference) != list.end();
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

TEST(AlsaSequencerEndpoints, OtherClientsPortsAreListedByCapabilityButNeverTheSystemOrOurselves) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    PeerClient kelva(peerName, peerName + " MIDI 1", duplexCaps);
    PeerClient readOnly("Read Only Tool", "Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);

    MidiRef client = 0, output = 0;
    ASSERT_EQ(service->ClientCreate("MIDI Updater", client), 0);
    ASSERT_EQ(service->OutputPortCreate(client, "MIDI Updater Port", output), 0);

    const auto destinations = Destinations(*service);
    const auto sources = Sources(*service);
    EXPECT_TRUE(Has(destinations, kelva.Ref()));
    EXPECT_TRUE(Has(sources, kelva.Ref()));
    EXPECT_FALSE(Has(destinations, readOnly.Ref()));
    EXPECT_TRUE(Has(sources, readOnly.Ref()));
    const int own = service->ClientNumber(client);
    ASSERT_GE(own, 0);
    for (MidiRef reference : destinations) {
        const int number = static_cast<int>((reference - 1) >> 8);
        EXPECT_NE(number, 0) << "the system client is listed";
        EXPECT_NE(number, own) << "our own client is listed";
    }
    for (MidiRef reference : sources)
        EXPECT_NE(static_cast<int>((reference - 1) >> 8), own) << "our own output port is listed as a source";

    std::string name, displayName, manufacturer;
    EXPECT_EQ(service->GetStringProperty(kelva.Ref(), MidiProperty::Name, name), 0);
    EXPECT_EQ(service->GetStringProperty(kelva.Ref(), MidiProperty::DisplayName, displayName), 0);
    EXPECT_EQ(service->GetStringProperty(kelva.Ref(), MidiProperty::Manufacturer, manufacturer), 0);
    EXPECT_EQ(name, peerName + " MIDI 1");
    EXPECT_EQ(displayName, peerName);
    EXPECT_EQ(manufacturer, ""); // a software client has no card

    std::string properties;
    EXPECT_EQ(service->GetProperties(kelva.Ref(), properties), 0);
    EXPECT_NE(properties.find(peerName + " MIDI 1"), std::string::npos) << properties;
    EXPECT_NE(properties.find("card=-1"), std::string::npos) << properties;
    MidiRef entity = 0;
    EXPECT_EQ(service->EndpointGetEntity(kelva.Ref(), entity), 0);
    EXPECT_NE(entity, 0u);
    EXPECT_EQ(service->GetProperties(entity, properties), 0);
    EXPECT_NE(properties.find("client name=\"" + peerName + "\""), std::string::npos) << properties;

    std::int32_t offline = 7;
    EXPECT_EQ(service->GetIntegerProperty(kelva.Ref(), MidiProperty::Offline, offline), 0);
    EXPECT_EQ(offline, 0);
    EXPECT_EQ(service->ClientDispose(client), 0);
}

TEST(AlsaSequencerEndpoints, APortThatWentAwayAnswersItsQueryError) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    MidiRef reference = 0;
    {
        PeerClient kelva(peerName, peerName + " MIDI 1", duplexCaps);
        reference = kelva.Ref();
        kelva.DeletePort();
        std::int32_t offline = 0;
        EXPECT_EQ(service->GetIntegerProperty(reference, MidiProperty::Offline, offline), -ENOENT);
        std::string name;
        EXPECT_EQ(service->GetStringProperty(reference, MidiProperty::DisplayName, name), -ENOENT);
        EXPECT_FALSE(Has(Destinations(*service), reference));
    }
    std::int32_t offline = 0;
    EXPECT_EQ(service->GetIntegerProperty(reference, MidiProperty::Offline, offline), -ENXIO);
    EXPECT_EQ(service->StatusText(-ENXIO), snd_strerror(-ENXIO));
}

TEST(AlsaSequencerPort, NamesMatchTheWholeClientNameOnly) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    PeerClient kelva(peerName, peerName + " MIDI 1", duplexCaps);
    ScopedLogCapture log;
    {
        CoreMidiPort port(*service, {peerName});
        EXPECT_TRUE(port.IsConnected());
    }
    {
        CoreMidiPort port(*service, {"ostrel kelva peer"});
        EXPECT_FALSE(port.IsConnected());
    }
    {
        CoreMidiPort port(*service, {peerName + " 2"});
        EXPECT_FALSE(port.IsConnected());
    }
}

TEST(AlsaSequencerPort, TheDestinationGoingAwayMakesThePortForgetIt) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    auto kelva = std::make_unique<PeerClient>(peerName, peerName + " MIDI 1", duplexCaps);
    ScopedLogCapture log;
    CoreMidiPort port(*service, {peerName});
    ASSERT_TRUE(port.IsConnected());
    kelva->DeletePort();
    EXPECT_FALSE(port.IsConnected());
    const std::string expected =
        "Error (Getting offline properties): " + std::to_string(static_cast<unsigned int>(-ENOENT)) + ":" +
        snd_strerror(-ENOENT);
    const auto lines = log.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end());
    EXPECT_FALSE(port.IsConnected()); // searched again, nothing there
}

TEST(AlsaSequencerDelivery, OneMebibyteIn16KiBPacketsReachesADefaultClientWholeAndInOrder) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    // Default input pool (200 cells) and input buffer: a 16 KiB event would not fit it.
    PeerClient receiver(peerName, peerName + " MIDI 1", duplexCaps);
    ScopedLogCapture log;
    CoreMidiPort port(*service, {peerName});
    ASSERT_TRUE(port.IsConnected());
    EXPECT_EQ(port.IdealChunkSize(), 2048u) << "a software client needs no large packets";

    Bytes sent;
    for (unsigned int i = 0; i < 64; ++i) {
        Bytes chunk = SysExMessage(16384, i);
        port.Send(chunk.data(), chunk.size());
        sent.insert(sent.end(), chunk.begin(), chunk.end());
    }
    ASSERT_TRUE(receiver.WaitForBytes(sent.size(), 20s))
        << receiver.Received().size() << " of " << sent.size();
    EXPECT_TRUE(receiver.Received() == sent) << "bytes lost, added or reordered";
    for (const std::string& line : log.Lines())
        EXPECT_EQ(line.find("Error (Sending MIDI)"), std::string::npos) << line;
}

TEST(AlsaSequencerReceive, EveryByteFromTheSourceReachesTheReadProcInOrder) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    PeerClient device(peerName, peerName + " MIDI 1", duplexCaps);
    ScopedLogCapture log;
    CoreMidiPort port(*service, {peerName});
    ASSERT_TRUE(port.IsConnected());

    // A status message, then one large message in 256-byte events; the port keeps the last one.
    const Bytes status = {0xF0, 0x00, 0x00, 0x3F, 0x73, 0, 0, 0, 0, 0, 0, 0x00, 0xF7};
    const Bytes large = SysExMessage(40000, 7);
    device.Emit(status);
    device.Emit(large);
    Bytes got;
    for (int i = 0; i < 400 && got.empty(); ++i) {
        std::this_thread::sleep_for(5ms);
        got = port.LastSysEx();
        if (!got.empty() && got.size() != large.size())
            got.clear(); // the status message, taken before the large one completed
    }
    EXPECT_EQ(got, large);
}

TEST(AlsaSequencerReceive, DisposingThePortStopsDeliveryPromptlyWhileDataStreams) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    PeerClient device(peerName, peerName + " MIDI 1", duplexCaps);
    std::atomic<bool> streaming{true};
    std::thread sender([&] {
        const Bytes message = SysExMessage(512, 3);
        while (streaming)
            device.Emit(message, false);
    });
    for (int round = 0; round < 20; ++round) {
        ScopedLogCapture log;
        auto port = std::make_unique<CoreMidiPort>(*service, std::set<std::string>{peerName});
        ASSERT_TRUE(port->IsConnected());
        std::this_thread::sleep_for(2ms);
        const auto start = std::chrono::steady_clock::now();
        port.reset(); // joins the receive thread; a read proc running on a freed port would crash
        // Generous: under emulation and ThreadSanitizer a prompt stop has taken close to a second.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    streaming = false;
    sender.join();
}

// Reads the device end of a raw MIDI device (a USB MIDI gadget's own end) into memory.
class DeviceEnd {
public:
    explicit DeviceEnd(const std::string& name) {
        ok = snd_rawmidi_open(&input, &output, name.c_str(), SND_RAWMIDI_NONBLOCK) >= 0;
        if (!ok)
            return;
        snd_rawmidi_nonblock(output, 0);
        snd_rawmidi_params_t* params = nullptr;
        snd_rawmidi_params_alloca(&params);
        snd_rawmidi_params_current(input, params);
        snd_rawmidi_params_set_buffer_size(input, params, 256 * 1024);
        snd_rawmidi_params(input, params);
        reader = std::thread([this] {
            std::vector<unsigned char> buffer(256 * 1024);
            pollfd fd{};
            snd_rawmidi_poll_descriptors(input, &fd, 1);
            while (!stop) {
                if (poll(&fd, 1, 20) <= 0)
                    continue;
                const ssize_t n = snd_rawmidi_read(input, buffer.data(), buffer.size());
                if (n > 0) {
                    std::lock_guard<std::mutex> lock(mutex);
                    received.insert(received.end(), buffer.begin(), buffer.begin() + n);
                }
            }
        });
    }
    ~DeviceEnd() {
        stop = true;
        if (reader.joinable())
            reader.join();
        if (input != nullptr)
            snd_rawmidi_close(input);
        if (output != nullptr)
            snd_rawmidi_close(output);
    }
    Bytes Take(std::size_t count, std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (received.size() >= count || std::chrono::steady_clock::now() > end) {
                    Bytes taken;
                    taken.swap(received);
                    return taken;
                }
            }
            std::this_thread::sleep_for(5ms);
        }
    }
    void Write(const Bytes& bytes) {
        snd_rawmidi_write(output, bytes.data(), bytes.size());
        snd_rawmidi_drain(output);
    }

    bool ok = false;

private:
    snd_rawmidi_t* input = nullptr;
    snd_rawmidi_t* output = nullptr;
    std::atomic<bool> stop{false};
    std::thread reader;
    std::mutex mutex;
    Bytes received;
};

// Runs where a USB MIDI device "Ostrel Kelva" is plugged in whose other end this process can read:
// the kernel tests make one from a USB gadget and name its raw MIDI device in
// MIDIUPDATER_TEST_DEVICE_END (for example hw:KelvaDev).
TEST(AlsaUsbDelivery, OneMebibyteReachesTheDeviceByteIdenticalThroughRawMidiAndItsAnswerComesBack) {
    SKIP_WITHOUT_SEQUENCER();
    const char* deviceEndName = std::getenv("MIDIUPDATER_TEST_DEVICE_END");
    if (deviceEndName == nullptr)
        GTEST_SKIP() << "no USB MIDI device to test with (MIDIUPDATER_TEST_DEVICE_END names the raw MIDI "
                        "device of its other end; the kernel tests set it)";
    DeviceEnd deviceEnd(deviceEndName);
    ASSERT_TRUE(deviceEnd.ok) << "cannot open " << deviceEndName;
    auto service = OpenService();
    ScopedLogCapture log;
    CoreMidiPort port(*service, {"Ostrel Kelva"});
    ASSERT_TRUE(port.IsConnected());
    EXPECT_EQ(port.IdealChunkSize(), alsa::rawMidiPacketBytes) << "the raw MIDI road takes large packets";

    // Rounds of 16 KiB packets, then one of the port's largest packets (each one write of its own).
    for (unsigned int round = 0; round < 3; ++round) {
        const std::size_t packet = round < 2 ? 16384 : port.MaxChunkSize();
        Bytes sent;
        for (unsigned int i = 0; sent.size() + packet <= 1024 * 1024; ++i) {
            Bytes chunk = SysExMessage(packet, round * 100 + i);
            port.Send(chunk.data(), chunk.size());
            sent.insert(sent.end(), chunk.begin(), chunk.end());
        }
        const Bytes got = deviceEnd.Take(sent.size(), 60s);
        ASSERT_EQ(got.size(), sent.size()) << "round " << round;
        EXPECT_TRUE(got == sent) << "round " << round << ": bytes changed on the way";
    }
    const auto lines = log.Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("through hw:") != std::string::npos;
    })) << "the USB device's port was not sent to through raw MIDI";

    const Bytes status = {0xF0, 0x00, 0x00, 0x3F, 0x73, 0, 0, 0, 0, 0, 0, 0x00, 0xF7};
    deviceEnd.Write(status);
    Bytes answer;
    for (int i = 0; i < 400 && answer.empty(); ++i) {
        std::this_thread::sleep_for(5ms);
        answer = port.LastSysEx();
    }
    EXPECT_EQ(answer, status);
}

// --- the USB device held, interrupted, unplugged -------------------------------------------------

// The USB Kelva as the service sees it, and the device end of the kernel tests' gadget. Skips (from
// the test's body) where there is none.
struct UsbKelva {
    MidiRef reference = 0;
    Address address;
    int card = -1;
    std::string deviceEnd;
};

#define FIND_USB_KELVA(service, kelva)                                                                       \
    do {                                                                                                     \
        const char* end = std::getenv("MIDIUPDATER_TEST_DEVICE_END");                                        \
        if (end == nullptr)                                                                                  \
            GTEST_SKIP() << "no USB MIDI device to test with (MIDIUPDATER_TEST_DEVICE_END names the raw "    \
                            "MIDI device of its other end; the kernel tests set it)";                        \
        kelva.deviceEnd = end;                                                                               \
        ASSERT_TRUE(FindUsbKelva(service, kelva)) << "no USB MIDI device \"Ostrel Kelva\"";                  \
    } while (0)

bool FindUsbKelva(MidiService& service, UsbKelva& kelva) {
    for (MidiRef reference : Destinations(service)) {
        std::string name;
        std::int32_t usb = 0;
        if (service.GetStringProperty(reference, MidiProperty::DisplayName, name) != 0 ||
            name != "Ostrel Kelva")
            continue;
        if (service.GetIntegerProperty(reference, MidiProperty::UsbDevice, usb) != 0 || usb <= 0)
            continue;
        kelva.reference = reference;
        kelva.address =
            Address{static_cast<int>((reference - 1) >> 8), static_cast<int>((reference - 1) & 0xFF)};
        kelva.card = usb - 1;
        return true;
    }
    return false;
}

// Our own client with one output port, sending through the service itself (to see each status).
struct Sender {
    explicit Sender(AlsaMidiService& service) : service(service) {
        EXPECT_EQ(service.ClientCreate("MIDI Updater", client), 0);
        EXPECT_EQ(service.OutputPortCreate(client, "MIDI Updater Port", port), 0);
    }
    ~Sender() { service.ClientDispose(client); }
    MidiStatus Send(MidiRef destination, const Bytes& bytes) {
        MidiPacket packet;
        packet.data = bytes;
        return service.Send(port, destination, packet);
    }
    AlsaMidiService& service;
    MidiRef client = 0;
    MidiRef port = 0;
};

int ClientNumberNamed(snd_seq_t* seq, const std::string& name) {
    snd_seq_client_info_t* info = nullptr;
    snd_seq_client_info_alloca(&info);
    snd_seq_client_info_set_client(info, -1);
    while (snd_seq_query_next_client(seq, info) >= 0)
        if (name == snd_seq_client_info_get_name(info))
            return snd_seq_client_info_get_client(info);
    return -1;
}

// Subscribes `sender` to write to `dest`, as aconnect does, for the lifetime of the object.
class Subscription {
public:
    Subscription(snd_seq_t* seq, Address sender, Address dest) : seq(seq), sender(sender), dest(dest) {
        made = Change(true) == 0;
    }
    ~Subscription() {
        if (made)
            Change(false);
    }
    bool made = false;

private:
    int Change(bool subscribe) {
        snd_seq_port_subscribe_t* subscription = nullptr;
        snd_seq_port_subscribe_alloca(&subscription);
        snd_seq_addr_t from{static_cast<unsigned char>(sender.client),
                            static_cast<unsigned char>(sender.port)};
        snd_seq_addr_t to{static_cast<unsigned char>(dest.client), static_cast<unsigned char>(dest.port)};
        snd_seq_port_subscribe_set_sender(subscription, &from);
        snd_seq_port_subscribe_set_dest(subscription, &to);
        return subscribe ? snd_seq_subscribe_port(seq, subscription)
                         : snd_seq_unsubscribe_port(seq, subscription);
    }
    snd_seq_t* seq;
    Address sender;
    Address dest;
};

enum class Holder { MidiThrough, MidiThroughAndAClient, RawMidiOpenedDirectly };

struct BusyCase {
    const char* what;
    Holder holder;
};

class AlsaUsbBusyPort : public testing::TestWithParam<BusyCase> {};

// Another program holding the USB port: a write subscription makes the kernel's sequencer bridge
// open the device's raw MIDI output (as a DAW's or a sound server's connection does), or a program
// opened the raw MIDI device itself (amidi). Our send must fail at once, say who holds the port,
// and work again, byte-identical, once the port is let go.
TEST_P(AlsaUsbBusyPort, ASendFailsAtOnceNamingTheHolderAndWorksAgainOnceTheHolderLetsGo) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    UsbKelva kelva;
    FIND_USB_KELVA(*service, kelva);
    DeviceEnd deviceEnd(kelva.deviceEnd);
    ASSERT_TRUE(deviceEnd.ok) << "cannot open " << kelva.deviceEnd;
    ScopedLogCapture log;
    Sender sender(*service);
    const Bytes message = SysExMessage(16384, 11);

    {
        PeerClient peer("Kelva Holder", "Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
        const int through = ClientNumberNamed(peer.seq, "Midi Through");
        ASSERT_GE(through, 0) << "no \"Midi Through\" client (snd-seq-dummy)";
        std::vector<std::unique_ptr<Subscription>> subscriptions;
        snd_rawmidi_t* directly = nullptr;
        std::string expected;
        const std::string prefix = "The port \"Ostrel Kelva MIDI 1\" is in use by ";
        switch (GetParam().holder) {
        case Holder::MidiThrough:
            subscriptions.push_back(
                std::make_unique<Subscription>(peer.seq, Address{through, 0}, kelva.address));
            expected = prefix + "\"Midi Through\" (client " + std::to_string(through) +
                       "). Close that program or remove its connection, then try again.";
            break;
        case Holder::MidiThroughAndAClient:
            subscriptions.push_back(
                std::make_unique<Subscription>(peer.seq, Address{through, 0}, kelva.address));
            subscriptions.push_back(
                std::make_unique<Subscription>(peer.seq, Address{peer.client, peer.port}, kelva.address));
            expected = prefix + "\"Midi Through\" (client " + std::to_string(through) +
                       ") and \"Kelva Holder\" (client " + std::to_string(peer.client) +
                       "). Close those programs or remove their connections, then try again.";
            break;
        case Holder::RawMidiOpenedDirectly: {
            const std::string name = "hw:" + std::to_string(kelva.card) + ",0,0";
            ASSERT_EQ(snd_rawmidi_open(nullptr, &directly, name.c_str(), SND_RAWMIDI_NONBLOCK), 0) << name;
            std::string self;
            std::getline(std::ifstream("/proc/self/comm"), self);
            expected = prefix + "\"" + self + "\" (process " + std::to_string(getpid()) +
                       "). Close that program, then try again.";
            break;
        }
        }
        for (const auto& subscription : subscriptions)
            ASSERT_TRUE(subscription->made);

        const auto start = std::chrono::steady_clock::now();
        const MidiStatus status = sender.Send(kelva.reference, message);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(status, -EBUSY);
        EXPECT_LT(took, 1s) << "a busy port must fail at once";
        std::cout << "FIGURE: busy USB port (" << GetParam().what << "): Send failed in "
                  << std::chrono::duration_cast<std::chrono::microseconds>(took).count() << " us\n";
        EXPECT_EQ(service->DescribeSendFailure(kelva.reference, status), expected);
        if (directly != nullptr)
            snd_rawmidi_close(directly);
    }
    // Let go (the subscriptions removed, the device closed): the next send opens the device afresh.
    deviceEnd.Take(0, 0ms);
    ASSERT_EQ(sender.Send(kelva.reference, message), 0);
    const Bytes got = deviceEnd.Take(message.size(), 20s);
    EXPECT_TRUE(got == message) << got.size() << " of " << message.size() << " bytes, or changed";
}

INSTANTIATE_TEST_SUITE_P(AlsaHolders, AlsaUsbBusyPort,
                         testing::Values(BusyCase{"Midi Through", Holder::MidiThrough},
                                         BusyCase{"Midi Through and a client", Holder::MidiThroughAndAClient},
                                         BusyCase{"raw MIDI opened directly", Holder::RawMidiOpenedDirectly}),
                         [](const testing::TestParamInfo<BusyCase>& info) {
                             std::string name = info.param.what;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

// The command line's clock after Ctrl-C: real time until `sleeps` waits have been made, then every
// wait throws.
struct Interrupted {};
class InterruptingClock : public Clock {
public:
    explicit InterruptingClock(int sleeps) : left(sleeps) {}
    std::uint64_t NowMs() override { return real.NowMs(); }
    void SleepMs(std::uint64_t milliseconds) override {
        if (left-- <= 0)
            throw Interrupted{};
        real.SleepMs(milliseconds);
    }

private:
    SystemClock real;
    int left;
};

TEST(AlsaUsbDelivery, AnInterruptedSendLetsTheDeviceGoAndTheNextSendStartsAfresh) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    UsbKelva kelva;
    FIND_USB_KELVA(*service, kelva);
    DeviceEnd deviceEnd(kelva.deviceEnd);
    ASSERT_TRUE(deviceEnd.ok) << "cannot open " << kelva.deviceEnd;
    ScopedLogCapture log;
    Sender sender(*service);
    // Five buffers full: each waits on the clock at least once to leave, so the send meets the
    // interruption however long the three real sleeps before it take.
    const std::size_t interruptedSize = 5 * alsa::rawMidiBufferBytes;
    {
        InterruptingClock clock(3);
        ScopedClock installed(clock);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(sender.Send(kelva.reference, SysExMessage(interruptedSize, 21)), Interrupted);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    }
    // Nothing of ours holds the device any more: another program can open it.
    snd_rawmidi_t* other = nullptr;
    const std::string name = "hw:" + std::to_string(kelva.card) + ",0,0";
    ASSERT_EQ(snd_rawmidi_open(nullptr, &other, name.c_str(), SND_RAWMIDI_NONBLOCK), 0) << name;
    snd_rawmidi_close(other);

    deviceEnd.Take(interruptedSize, 2s); // what left before the interruption
    const Bytes message = SysExMessage(16384, 22);
    ASSERT_EQ(sender.Send(kelva.reference, message), 0);
    const Bytes got = deviceEnd.Take(message.size(), 20s);
    EXPECT_TRUE(got == message) << got.size() << " of " << message.size() << " bytes, or changed";
}

// The kernel tests' gadget (configfs) whose product is "Ostrel Kelva": unplugged and plugged in
// again by unbinding it from its UDC and binding it back, as lib.sh's gadget_unplug/gadget_plug do.
class KelvaGadget {
public:
    KelvaGadget() {
        const std::string root = "/sys/kernel/config/usb_gadget";
        DIR* folder = opendir(root.c_str());
        if (folder == nullptr)
            return;
        while (const dirent* entry = readdir(folder)) {
            const std::string dir = root + "/" + entry->d_name;
            std::string product, bound;
            std::getline(std::ifstream(dir + "/strings/0x409/product"), product);
            std::getline(std::ifstream(dir + "/UDC"), bound);
            if (product == "Ostrel Kelva" && !bound.empty()) {
                udcFile = dir + "/UDC";
                udc = bound;
            }
        }
        closedir(folder);
    }
    ~KelvaGadget() { Plug(); }
    bool Found() const { return !udc.empty(); }
    bool Unplug() {
        unplugged = Write("");
        return unplugged;
    }
    bool Plug() {
        if (!unplugged)
            return true;
        unplugged = !Write(udc);
        return !unplugged;
    }

private:
    bool Write(const std::string& value) {
        std::ofstream file(udcFile);
        file << value << "\n";
        file.flush();
        return static_cast<bool>(file);
    }
    std::string udcFile;
    std::string udc;
    bool unplugged = false;
};

TEST(AlsaUsbUnplug, ASendToADeviceUnpluggedMidDeliveryFailsPromptlyAndTheNextAfterItCameBackOpensAfresh) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    UsbKelva kelva;
    FIND_USB_KELVA(*service, kelva);
    KelvaGadget gadget;
    if (!gadget.Found())
        GTEST_SKIP() << "the USB device is not the kernel tests' gadget; it cannot be unplugged from here";
    ScopedLogCapture log;
    Sender sender(*service);
    {
        DeviceEnd deviceEnd(kelva.deviceEnd);
        ASSERT_TRUE(deviceEnd.ok) << "cannot open " << kelva.deviceEnd;
        // Unplugged once 64 KiB have arrived, in the middle of the packets below.
        std::atomic<bool> stop{false};
        std::atomic<std::int64_t> unpluggedAt{0};
        std::thread unplugger([&] {
            for (std::size_t seen = 0; seen < 65536 && !stop;)
                seen += deviceEnd.Take(65536 - seen, 50ms).size();
            if (stop)
                return;
            unpluggedAt = std::chrono::steady_clock::now().time_since_epoch().count();
            gadget.Unplug();
        });
        MidiStatus status = 0;
        std::int64_t failedAt = 0;
        for (unsigned int i = 0; i < 256 && status == 0; ++i) {
            status = sender.Send(kelva.reference, SysExMessage(16384, 30 + i));
            failedAt = std::chrono::steady_clock::now().time_since_epoch().count();
        }
        stop = true;
        unplugger.join();
        ASSERT_NE(status, 0) << "4 MiB went out although the device was unplugged";
        ASSERT_NE(unpluggedAt.load(), 0);
        const auto delay = std::chrono::steady_clock::duration(failedAt - unpluggedAt.load());
        EXPECT_LT(delay, 3s) << "the send did not fail promptly";
        std::cout << "FIGURE: unplugged mid-delivery: Send answered " << status << " ("
                  << service->StatusText(status) << ") "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(delay).count()
                  << " ms after the unplug\n";
        EXPECT_EQ(
            service->DescribeSendFailure(kelva.reference, status),
            "The device of the port \"Ostrel Kelva MIDI 1\" was disconnected. Connect it again to go on.");
    }
    // Back, under the same client number (and maybe another card): the next send opens afresh.
    ASSERT_TRUE(gadget.Plug());
    UsbKelva back;
    for (int i = 0; i < 300 && !FindUsbKelva(*service, back); ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_EQ(back.reference, kelva.reference) << "the device did not come back under its client number";
    DeviceEnd deviceEnd(kelva.deviceEnd);
    ASSERT_TRUE(deviceEnd.ok) << "cannot open " << kelva.deviceEnd << " again";
    const Bytes message = SysExMessage(65536, 40);
    ASSERT_EQ(sender.Send(kelva.reference, message), 0);
    const Bytes got = deviceEnd.Take(message.size(), 20s);
    EXPECT_TRUE(got == message) << got.size() << " of " << message.size() << " bytes, or changed";
}

TEST(AlsaSequencerListing, TheListingWalksTheRealDestinations) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    PeerClient kelva(peerName, peerName + " MIDI 1", duplexCaps);
    ScopedLogCapture log;
    ListInterfaces(*service);
    const auto lines = log.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Name=Ostrel Kelva MIDI 1"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ListInterfaces: # external devices=0"), lines.end());
    EXPECT_EQ(lines.back(), "Found all interfaces");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Done"),
              std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                  return line.find("destination index") != std::string::npos;
              }));
}

// --- setup watches --------------------------------------------------------------------------------

// What a setup watch told, and what the service answered about the endpoint while the callback ran.
struct Told {
    SetupChange change = SetupChange::EndpointChanged;
    MidiRef endpoint = 0;
    bool listed = false;     // among the service's sources or destinations
    std::string name;        // the endpoint's name, empty when the service knows none
    std::string displayName; // its client's name
    std::chrono::steady_clock::time_point at;
};

const char* ChangeName(SetupChange change) {
    switch (change) {
    case SetupChange::EndpointAdded:
        return "added";
    case SetupChange::EndpointRemoved:
        return "removed";
    case SetupChange::EndpointChanged:
        return "changed";
    }
    return "?";
}

std::string Describe(const std::vector<Told>& told) {
    std::string text;
    for (const Told& t : told)
        text += std::string(ChangeName(t.change)) + " " + std::to_string(t.endpoint) + " \"" + t.name + "\"" +
                (t.listed ? " listed" : "") + "; ";
    return text;
}

// A setup watch on the service that keeps what it is told.
class SetupRecorder {
public:
    explicit SetupRecorder(MidiService& service, std::function<void()> whileCalled = {})
        : service(service), whileCalled(std::move(whileCalled)) {
        watch = service.WatchSetup([this](const SetupNotification& notification) { Record(notification); });
    }
    bool Watching() const { return watch != nullptr; }
    void Stop() { watch.reset(); }

    std::optional<Told> WaitFor(SetupChange change, MidiRef endpoint, std::chrono::milliseconds timeout) {
        return WaitFor([&](const Told& t) { return t.change == change && t.endpoint == endpoint; }, timeout);
    }
    std::optional<Told> WaitFor(const std::function<bool(const Told&)>& match,
                                std::chrono::milliseconds timeout, std::size_t from = 0) {
        std::unique_lock<std::mutex> lock(mutex);
        std::optional<Told> found;
        cv.wait_for(lock, timeout, [&] {
            for (std::size_t i = from; i < told.size() && !found; ++i)
                if (match(told[i]))
                    found = told[i];
            return found.has_value();
        });
        return found;
    }
    std::vector<Told> All() {
        std::lock_guard<std::mutex> lock(mutex);
        return told;
    }
    std::vector<Told> About(MidiRef endpoint) {
        std::vector<Told> about;
        for (const Told& t : All())
            if (t.endpoint == endpoint)
                about.push_back(t);
        return about;
    }

private:
    void Record(const SetupNotification& notification) {
        Told t;
        t.at = std::chrono::steady_clock::now();
        t.change = notification.change;
        t.endpoint = notification.endpoint;
        if (t.endpoint != 0) {
            t.listed = Has(Sources(service), t.endpoint) || Has(Destinations(service), t.endpoint);
            service.GetStringProperty(t.endpoint, MidiProperty::Name, t.name);
            service.GetStringProperty(t.endpoint, MidiProperty::DisplayName, t.displayName);
        }
        if (whileCalled)
            whileCalled();
        std::lock_guard<std::mutex> lock(mutex);
        told.push_back(t);
        cv.notify_all();
    }

    MidiService& service;
    std::function<void()> whileCalled;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Told> told;
    std::unique_ptr<SetupWatch> watch; // last: stopped before the rest goes
};

// What the kernel announced, as any program subscribed to the system's announce port reads it.
class AnnounceListener {
public:
    AnnounceListener() {
        EXPECT_EQ(snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0), 0);
        snd_seq_set_client_name(seq, "Announce Listener");
        const int port = snd_seq_create_simple_port(
            seq, "In", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
            SND_SEQ_PORT_TYPE_APPLICATION);
        EXPECT_GE(port, 0);
        EXPECT_EQ(snd_seq_connect_from(seq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE), 0);
        reader = std::thread([this] { Read(); });
    }
    ~AnnounceListener() {
        stop = true;
        reader.join();
        snd_seq_close(seq);
    }
    bool WaitFor(int type, Address about, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return Seen(type, about); });
    }
    bool Saw(int type, Address about) {
        std::lock_guard<std::mutex> lock(mutex);
        return Seen(type, about);
    }

private:
    bool Seen(int type, Address about) {
        return std::find(heard.begin(), heard.end(), std::make_pair(type, about)) != heard.end();
    }
    void Read() {
        pollfd fd{};
        snd_seq_poll_descriptors(seq, &fd, 1, POLLIN);
        while (!stop) {
            if (poll(&fd, 1, 20) <= 0)
                continue;
            do {
                snd_seq_event_t* event = nullptr;
                if (snd_seq_event_input(seq, &event) < 0 || event == nullptr)
                    break;
                std::lock_guard<std::mutex> lock(mutex);
                heard.emplace_back(event->type, Address{event->data.addr.client, event->data.addr.port});
                cv.notify_all();
            } while (snd_seq_event_input_pending(seq, 0) > 0);
        }
    }
    snd_seq_t* seq = nullptr;
    std::atomic<bool> stop{false};
    std::thread reader;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::pair<int, Address>> heard;
};

void RenamePort(PeerClient& peer, const std::string& name) {
    snd_seq_port_info_t* info = nullptr;
    snd_seq_port_info_alloca(&info);
    ASSERT_EQ(snd_seq_get_port_info(peer.seq, peer.port, info), 0);
    snd_seq_port_info_set_name(info, name.c_str());
    ASSERT_EQ(snd_seq_set_port_info(peer.seq, peer.port, info), 0);
}

std::vector<SetupChange> Changes(const std::vector<Told>& told) {
    std::vector<SetupChange> changes;
    for (const Told& t : told)
        changes.push_back(t.change);
    return changes;
}

TEST(AlsaSetupWatch, AnotherClientsPortAppearingRenamedAndGoingAwayIsToldInThatOrder) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    AnnounceListener kernel;
    SetupRecorder watch(*service);
    ASSERT_TRUE(watch.Watching());

    PeerClient peer(peerName, peerName + " MIDI 1", duplexCaps);
    const MidiRef endpoint = peer.Ref();
    const Address address{peer.client, peer.port};
    ASSERT_TRUE(watch.WaitFor(SetupChange::EndpointAdded, endpoint, 5s)) << Describe(watch.All());
    RenamePort(peer, peerName + " Renamed");

    // Whether this kernel announces a changed port (Linux 6.13 and later do, 6.1 does not): a port
    // made after the rename is announced after the change, if there is one.
    const int fence =
        snd_seq_create_simple_port(peer.seq, "Fence", duplexCaps, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    ASSERT_GE(fence, 0);
    ASSERT_TRUE(kernel.WaitFor(SND_SEQ_EVENT_PORT_START, Address{peer.client, fence}, 5s));
    const bool changeAnnounced = kernel.Saw(SND_SEQ_EVENT_PORT_CHANGE, address);
    if (changeAnnounced)
        ASSERT_TRUE(watch.WaitFor(SetupChange::EndpointChanged, endpoint, 5s)) << Describe(watch.All());
    else
        std::cout << "NOTE: this kernel does not announce a changed port; no change to be told\n";

    peer.DeletePort();
    ASSERT_TRUE(watch.WaitFor(SetupChange::EndpointRemoved, endpoint, 5s)) << Describe(watch.All());

    const auto told = watch.About(endpoint);
    std::vector<SetupChange> expected{SetupChange::EndpointAdded};
    if (changeAnnounced)
        expected.push_back(SetupChange::EndpointChanged);
    expected.push_back(SetupChange::EndpointRemoved);
    ASSERT_EQ(Changes(told), expected) << Describe(told);

    // What the service answered while each callback ran.
    EXPECT_TRUE(told.front().listed) << "an added port must be listed when it is told";
    EXPECT_EQ(told.front().name, peerName + " MIDI 1");
    EXPECT_EQ(told.front().displayName, peerName);
    if (changeAnnounced) {
        EXPECT_TRUE(told[1].listed);
        EXPECT_EQ(told[1].name, peerName + " Renamed");
    }
    EXPECT_FALSE(told.back().listed) << "a removed port must not be listed when it is told";
    EXPECT_EQ(told.back().name, "");
}

TEST(AlsaSetupWatch, TheServicesOwnClientsAndWatchesAreNotTold) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    SetupRecorder watch(*service);
    ASSERT_TRUE(watch.Watching());
    // Clients of ours come and go faster than the watch reads their announcements: each is still
    // known as ours when its ports' announcements are read after it has gone.
    for (int round = 0; round < 3; ++round) {
        MidiRef client = 0, output = 0, input = 0;
        ASSERT_EQ(service->ClientCreate("MIDI Updater", client), 0);
        ASSERT_EQ(service->OutputPortCreate(client, "MIDI Updater Port", output), 0);
        ASSERT_EQ(
            service->InputPortCreate(
                client, "MIDI Updater Input", [](const MidiPacketList&, void*, void*) {}, nullptr, input),
            0);
        ASSERT_EQ(service->ClientDispose(client), 0);
        SetupRecorder another(*service);
        ASSERT_TRUE(another.Watching());
    }
    // The announcements are read in order: once the marker's port is told, all of the above has been
    // read. (The marker keeps the name alsa-lib gave it: naming a client is announced too, on newer
    // kernels.)
    snd_seq_t* marker = nullptr;
    ASSERT_EQ(snd_seq_open(&marker, "default", SND_SEQ_OPEN_DUPLEX, 0), 0);
    const int markerPort =
        snd_seq_create_simple_port(marker, "Marker", duplexCaps, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    const MidiRef markerEndpoint =
        ((static_cast<MidiRef>(snd_seq_client_id(marker)) << 8) | static_cast<MidiRef>(markerPort)) + 1;
    const auto markerTold = watch.WaitFor(SetupChange::EndpointAdded, markerEndpoint, 5s);
    snd_seq_close(marker);
    ASSERT_TRUE(markerTold) << Describe(watch.All());
    const auto told = watch.All();
    ASSERT_EQ(told.size(), 1u) << Describe(told);
}

TEST(AlsaSetupWatch, ADestroyedWatchWaitsForItsRunningCallbackAndIsNeverCalledAgain) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    std::atomic<bool> inside{false};
    std::atomic<int> calls{0};
    SetupRecorder slow(*service, [&] {
        ++calls;
        inside = true;
        std::this_thread::sleep_for(200ms);
        inside = false;
    });
    SetupRecorder witness(*service);
    ASSERT_TRUE(slow.Watching());
    ASSERT_TRUE(witness.Watching());

    auto first = std::make_unique<PeerClient>(peerName, peerName + " MIDI 1", duplexCaps);
    for (int i = 0; i < 500 && calls == 0; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_GT(calls.load(), 0) << "the watch was not called within 5 s";
    slow.Stop(); // while its callback sleeps
    EXPECT_FALSE(inside) << "the destructor returned while the callback ran";
    const int before = calls;

    // More changes: the witness is told of them, the destroyed watch is not.
    first.reset();
    PeerClient second(peerName, peerName + " MIDI 2", duplexCaps);
    const MidiRef endpoint = second.Ref();
    ASSERT_TRUE(witness.WaitFor(SetupChange::EndpointAdded, endpoint, 5s)) << Describe(witness.All());
    second.DeletePort();
    ASSERT_TRUE(witness.WaitFor(SetupChange::EndpointRemoved, endpoint, 5s)) << Describe(witness.All());
    EXPECT_EQ(calls.load(), before);
}

// Unplugging the kernel tests' gadget and plugging it in again, a few times: each unplug is told as
// the device's port removed, each replug as a port of a client "Ostrel Kelva" added, already listed.
TEST(AlsaUsbUnplug, TheSetupWatchIsToldOfEachUnplugAndReplugPromptly) {
    SKIP_WITHOUT_SEQUENCER();
    auto service = OpenService();
    UsbKelva kelva;
    FIND_USB_KELVA(*service, kelva);
    KelvaGadget gadget;
    if (!gadget.Found())
        GTEST_SKIP() << "the USB device is not the kernel tests' gadget; it cannot be unplugged from here";
    SetupRecorder watch(*service);
    ASSERT_TRUE(watch.Watching());
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;

    MidiRef endpoint = kelva.reference;
    for (int round = 1; round <= 3; ++round) {
        std::size_t seen = watch.All().size();
        const auto unplug = std::chrono::steady_clock::now();
        ASSERT_TRUE(gadget.Unplug());
        const auto unbound = std::chrono::steady_clock::now();
        const auto removed = watch.WaitFor(
            [&](const Told& t) { return t.change == SetupChange::EndpointRemoved && t.endpoint == endpoint; },
            10s, seen);
        ASSERT_TRUE(removed) << "round " << round << ": " << Describe(watch.All());
        EXPECT_FALSE(removed->listed);
        const auto delay = removed->at - unplug;
        std::cout << "FIGURE: unplug " << round << ": told removed "
                  << duration_cast<milliseconds>(delay).count()
                  << " ms after the unbind began (the unbind took "
                  << duration_cast<milliseconds>(unbound - unplug).count() << " ms)\n";
        EXPECT_LT(delay, 3s) << "round " << round;

        seen = watch.All().size();
        const auto plug = std::chrono::steady_clock::now();
        ASSERT_TRUE(gadget.Plug());
        const auto added = watch.WaitFor(
            [](const Told& t) {
                return t.change == SetupChange::EndpointAdded && t.displayName == "Ostrel Kelva";
            },
            30s, seen);
        ASSERT_TRUE(added) << "round " << round << ": " << Describe(watch.All());
        EXPECT_TRUE(added->listed);
        EXPECT_EQ(added->name, "Ostrel Kelva MIDI 1");
        std::cout << "FIGURE: replug " << round << ": told added "
                  << duration_cast<milliseconds>(added->at - plug).count() << " ms after the bind began\n";
        endpoint = added->endpoint;
    }
}

} // namespace
