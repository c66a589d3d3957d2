// Catches: the wrong destination or source chosen (names, USB devices, software, through and virtual
// ports, the chosen device), wrong chunk sizes, bytes not sent as one packet, a lost failure text, an
// offline or vanished device kept, a failed step stopping the rest, received messages lost or mixed up;
// under ThreadSanitizer (CoreMidiPortConcurrency): a message store or teardown racing the receive thread.
#include "PlatformTestSupport.h"

#include <numeric>
#include <sstream>

using namespace platformtest;

namespace {

const Bytes chunk = {0xF0, 0x01, 0xF7};
const Bytes reply = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x00, 0x0E, 0x01, 0x02, 0x03, 0x04, 0xF7};

// A service that prefers one packet size for every destination, as the ALSA one does for raw MIDI.
struct PreferringService : VirtualMidiService {
    std::size_t bytes = 0;
    std::size_t PreferredPacketBytes(MidiRef) override { return bytes; }
};

// The device (a destination and a source named "Ostrel Kelva") on a virtual service, and a port.
struct Rig {
    ScopedLogCapture log;
    PreferringService service;
    std::vector<Bytes> sent;
    MidiRef destination = 0, source = 0;
    std::unique_ptr<CoreMidiPort> port;

    // The device, then (the next call of a kind failing, if asked) the port.
    explicit Rig(Call call = Call::Send, MidiStatus failure = 0) {
        AddKelva();
        service.FailNextCall(call, failure);
        port = std::make_unique<CoreMidiPort>(service, std::set<std::string>{"Ostrel Kelva"});
    }
    void AddKelva() {
        destination =
            service.AddDestination(Named("Ostrel Kelva"), [this](const Bytes& b) { sent.push_back(b); });
        source = service.AddSource(Named("Ostrel Kelva"));
    }
    void Unplug() { service.RemoveEndpoint(destination), service.RemoveEndpoint(source); }
    // Whether the bytes went out as one packet (and nothing went out when not).
    bool Sends(const Bytes& bytes = chunk) {
        sent.clear();
        const bool ok = port->Send(bytes.data(), bytes.size());
        EXPECT_EQ(sent, ok ? std::vector<Bytes>{bytes} : std::vector<Bytes>{});
        return ok;
    }
    bool Hears() {
        service.Emit(source, reply);
        return port->LastSysEx() == reply;
    }
};

} // namespace

TEST(CoreMidiPort, ChoosesTheEndpointsByNameOrTheOnlyOrChosenUsbDevice) {
    // The ends of a row: ">name|display|usb" a destination, "<..." a source, separated by ";". The
    // expected pair: the ends (indexes) the port sends to and hears (-1: none); then the log line (shown
    // with --verbose) that tells what was chosen.
    auto check = [](const char* what, std::set<std::string> names, std::int32_t chosen,
                    const std::string& ends, std::pair<int, int> expected, const std::string& line) {
        SCOPED_TRACE(what);
        ScopedLogCapture log;
        VirtualMidiService service;
        std::pair<int, int> used = {-1, -1};
        std::vector<MidiRef> sources;
        std::istringstream list(ends);
        for (std::string e, name, display, usb; std::getline(list, e, ';'); display.clear(), usb.clear()) {
            std::istringstream fields(e.substr(1));
            std::getline(std::getline(std::getline(fields, name, '|'), display, '|'), usb);
            const auto info = Named(name, display, usb.empty() ? 0 : std::stoi(usb));
            const int i = static_cast<int>(sources.size());
            sources.push_back(e[0] == '>' ? 0 : service.AddSource(info));
            if (e[0] == '>')
                service.AddDestination(info, [&used, i](const Bytes&) { used.first = i; });
        }
        CoreMidiPort port(service, names);
        port.TakeUsbDevice(chosen);
        EXPECT_EQ(port.IsConnected(), expected.first >= 0);
        EXPECT_EQ(port.Send(chunk.data(), chunk.size()), expected.first >= 0);
        for (std::size_t i = 0; i < sources.size(); ++i) {
            service.Emit(sources[i], reply);
            if (sources[i] != 0 && !port.LastSysEx().empty())
                used.second = used.second < 0 ? static_cast<int>(i) : 99; // 99: heard more than one
        }
        EXPECT_EQ(used, expected);
        EXPECT_THAT(log.Lines(), testing::Contains(line));
    };
    const std::set<std::string> kelva = {"Ostrel Kelva"};
    const std::string twoKelvas = ">Ostrel Kelva MIDI 1|Ostrel Kelva|4;<Ostrel Kelva MIDI 1|Ostrel Kelva|4;"
                                  ">Ostrel Kelva MIDI 1|Ostrel Kelva|7;<Ostrel Kelva MIDI 1|Ostrel Kelva|7";
    const std::string named = "EndpointHasRightName:   Name=", find = "FindEndpoint: ";
    const std::string kelvaPort = "USB MIDI device, \"Ostrel Kelva\" (port \"Ostrel Kelva MIDI 1\")";
    const std::string noUsb = find + "No USB MIDI device found";
    const std::pair none(-1, -1);
    check("name", kelva, 0, ">Ostrel Kelva|Other;<Stranger;<In|Ostrel Kelva", {0, 2},
          named + "Ostrel Kelva:Other recognised");
    check("display name, no source", kelva, 0, ">USB MIDI|Ostrel Kelva;<Stranger", {0, -1},
          "Couldn't find a matching input endpoint");
    check("near names", kelva, 0,
          ">ostrel kelva;>OSTREL KELVA|Ostrel kelva;>Ostrel Kelva 2;>Ostrel Kelv|Ostrel;"
          "> Ostrel Kelva|Ostrel Kelva ;>;<Ostrel Kelva",
          none, "EndpointHasRightName:   (Ostrel Kelva 2:Ostrel:Ostrel Kelva 2) not recognised");
    check("first of several", kelva, 0,
          ">Ostrel Kelva 2;>Ostrel Kelva;>Ostrel Kelva;<Ostrel Kelva;<Ostrel Kelva", {1, 3},
          named + "Ostrel Kelva:Ostrel Kelva recognised");
    check("any name of the set", {"Ostrel Kelva", "Ostrel Dramlin"}, 0, ">Ostrel Dramlin", {0, -1},
          named + "Ostrel Dramlin:Ostrel Dramlin recognised");
    check("the only USB device", {}, 0,
          ">Midi Through Port-0;<Midi Through Port-0;>Ostrel Kelva MIDI 1|Ostrel Kelva|3;"
          ">Ostrel Kelva MIDI 2|Ostrel Kelva|3;<Ostrel Kelva MIDI 1|Ostrel Kelva|3",
          {2, 4}, find + "Using the only " + kelvaPort);
    check("software ports only", {}, 0, ">Ostrel Kelva;>Midi Through Port-0", none, noUsb);
    check("two USB devices", {}, 0, ">Device 4||4;>Software;>Device 7||7", none,
          find + "2 USB MIDI devices, not choosing one of them: \"Device 4\", \"Device 7\"");
    check("the chosen USB device", {}, 7, twoKelvas, {2, 3}, find + "Using the chosen " + kelvaPort);
    check("the chosen device gone", {}, 9, twoKelvas, none, find + "The chosen USB MIDI device is not there");
}

TEST(CoreMidiPort, AFailedStepIsPassedOverALostDestinationIsLetGoAndWhatWasMadeIsReleased) {
    // A call failing while the port is made (status 0: none); once it is found, a change to an end: offline
    // (or not), its offline state unreadable, removed (the destination with its source). Then the ports
    // made, whether the port is still connected after the change, and sends and hears once the device is
    // back (online and plugged in again). A failed name query does not count: only the display name's does.
    const auto destination = &Rig::destination, source = &Rig::source;
    const MidiStatus noClient = VirtualMidiService::invalidClient,
                     noConnection = VirtualMidiService::noConnection,
                     unknown = VirtualMidiService::unknownProperty;
    for (const auto& [call, status, end, offline, unreadable, removed, ports, stays, sends, hears] :
         std::vector<std::tuple<Call, MidiStatus, MidiRef Rig::*, std::int32_t, MidiStatus, bool, std::size_t,
                                bool, bool, bool>>{
             {Call::Send, 0, destination, 0, 0, false, 2, true, true, true},
             {Call::ClientCreate, noClient, destination, 0, 0, false, 0, true, false, false},
             {Call::OutputPortCreate, 12, destination, 0, 0, false, 1, true, false, true},
             {Call::InputPortCreate, 13, destination, 0, 0, false, 1, true, true, false},
             {Call::PortConnectSource, noConnection, destination, 0, 0, false, 2, true, true, false},
             {Call::GetName, -1, destination, 0, 0, false, 2, true, true, true},
             {Call::Send, 0, destination, 7, 0, false, 2, false, true, true},
             {Call::Send, 0, destination, -1, 0, false, 2, false, true, true},
             {Call::Send, 0, destination, 0, unknown, false, 2, false, true, true},
             {Call::Send, 0, destination, 0, 0, true, 2, false, true, true},
             {Call::Send, 0, source, 1, 0, false, 2, true, true, true},
             {Call::Send, 0, source, 0, 0, true, 2, true, true, false}}) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(call) << " " << offline << unreadable << removed);
        Rig rig(call, status);
        VirtualMidiService& service = rig.service;
        EXPECT_EQ(service.LivePortCount(), ports);
        EXPECT_EQ(service.CallCount(Call::GetDisplayName), 0u) << "looked before asked";
        ASSERT_TRUE(rig.port->IsConnected());
        const std::size_t looks = service.CallCount(Call::GetDisplayName);
        service.Emit(rig.source, reply);
        service.SetOffline(rig.*end, offline);
        service.FailCall(Call::GetOffline, unreadable);
        if (removed)
            end == source ? service.RemoveEndpoint(rig.source) : rig.Unplug();
        // Once found, the port only asks whether the destination went offline.
        EXPECT_EQ(rig.port->IsConnected(), stays);
        EXPECT_EQ(std::pair(service.CallCount(Call::GetDisplayName), service.CallCount(Call::GetOffline)),
                  std::pair(looks, std::size_t{2}));
        EXPECT_TRUE(stays || service.ConnectionCount() == 0);
        // The message of a device let go goes with it; it stays away until it is back.
        EXPECT_EQ(rig.port->LastSysEx(), stays && (hears || removed) ? reply : Bytes{});
        EXPECT_EQ(rig.port->IsConnected(), stays);
        service.SetOffline(rig.destination, 0);
        service.FailCall(Call::GetOffline, 0);
        if (removed && end == destination)
            rig.AddKelva();
        ASSERT_TRUE(rig.port->IsConnected());
        EXPECT_EQ(std::pair(rig.Sends(), rig.Hears()), std::pair(sends, hears));
        service.FailNextCall(Call::PortDispose, 21); // destruction goes on
        rig.port.reset();
        EXPECT_EQ(std::pair(service.CallCount(Call::PortDispose), service.CallCount(Call::ClientDispose)),
                  std::pair(ports, std::min<std::size_t>(ports, 1)));
        EXPECT_EQ(service.LiveClientCount() + service.LivePortCount() + service.ConnectionCount(), 0u);
    }
}

TEST(CoreMidiPort, SendsChunksOfTheDefaultOrPreferredSizeAsOnePacketOrSaysWhyNotAndKeepsTheNewestMessage) {
    Rig rig;
    rig.service.bytes = 100000;
    // The ideal and the largest chunk: 2 KiB and 16 KiB until the device is found (whatever it prefers),
    // then the same for no preference, or the destination's preferred size within the packet limit.
    std::vector<std::size_t> chunks = {rig.port->IdealChunkSize(), rig.port->MaxChunkSize()};
    EXPECT_EQ(rig.port->SendFailure(), "");
    EXPECT_FALSE(rig.Sends()) << "sent before looking for the device";
    ASSERT_TRUE(rig.port->IsConnected());
    for (const std::size_t preferred : {0, 32768, 100000}) {
        rig.service.bytes = preferred;
        chunks.insert(chunks.end(), {rig.port->IdealChunkSize(), rig.port->MaxChunkSize()});
    }
    EXPECT_EQ(chunks, (std::vector<std::size_t>{2048, 16384, 2048, 16384, 32768, 47104, 49151, 63487}));
    Bytes largest(65535);
    std::iota(largest.begin(), largest.end(), 7);
    EXPECT_TRUE(rig.Sends(largest));
    rig.service.FailNextCall(Call::Send, -16);
    EXPECT_FALSE(rig.Sends());
    EXPECT_EQ(rig.port->SendFailure(),
              "Could not send to the MIDI port \"Ostrel Kelva\": " + rig.service.StatusText(-16) + ".");
    EXPECT_THAT(rig.log.Lines(), testing::Contains(ErrorLine(rig.service, "Sending MIDI", -16)));
    EXPECT_TRUE(rig.Sends());
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(rig.port->Send(Bytes(65536).data(), 65536), "size < 65536");
    // Unless asked to, ReceiveSysEx neither asks the device nor answers.
    EXPECT_TRUE(rig.port->ReceiveSysEx(5000, chunk.data(), chunk.size()).empty());
    EXPECT_EQ(rig.sent, std::vector<Bytes>{chunk}) << "sent more than the last chunk";
    rig.service.Emit(rig.source, chunk);
    rig.service.Emit(rig.source, reply);
    rig.port->ClearLastSysEx(); // leaves the port's own store alone
    EXPECT_EQ(rig.port->LastSysEx(), reply);
    EXPECT_TRUE(rig.port->LastSysEx().empty()) << "taken twice";
    // Every byte of every packet goes to the collector in order (which passes over other traffic), and
    // a message cut anywhere, into packets or deliveries, arrives whole.
    for (auto a = reply.begin() + 1; a < reply.end(); ++a) {
        rig.service.Emit(rig.source, reply, {static_cast<std::size_t>(a - reply.begin()), 2});
        ASSERT_EQ(rig.port->LastSysEx(), reply);
        rig.service.Emit(rig.source, Bytes(reply.begin(), a));
        ASSERT_TRUE(rig.port->LastSysEx().empty());
        rig.service.Emit(rig.source, Bytes(a, reply.end()));
        ASSERT_EQ(rig.port->LastSysEx(), reply);
    }
    rig.service.Emit(rig.source, {0x90, 0x40, 0x7F});
    EXPECT_TRUE(rig.port->LastSysEx().empty());
    rig.service.Emit(rig.source, reply);
    rig.port->Disconnect();
    EXPECT_EQ(rig.service.ConnectionCount(), 0u);
    EXPECT_TRUE(rig.port->LastSysEx().empty());
    EXPECT_FALSE(rig.Hears()) << "heard while disconnected";
    EXPECT_TRUE(rig.port->IsConnected() && rig.Hears());
}

// The receive thread feeds the port while the sender's thread polls, takes messages and disconnects.
TEST(CoreMidiPortConcurrency, ReceiveThreadAgainstSenderThread) {
    Rig rig;
    // Messages of different lengths, each recognisable as whole: F0, n, n copies of n, F7.
    auto message = [](unsigned char n) {
        Bytes bytes(n + 3u, n);
        bytes.front() = 0xF0, bytes.back() = 0xF7;
        return bytes;
    };
    ASSERT_TRUE(rig.port->IsConnected());
    std::atomic<bool> done{false};
    std::thread device([&] {
        for (int i = 0; i < 400; ++i) // whole messages, cut into packets at varying places
            rig.service.Emit(rig.source, message(static_cast<unsigned char>(1 + i % 60)),
                             {static_cast<std::size_t>(1 + i % 5), 2});
        done = true;
    });
    int broken = 0;
    for (int round = 0; !done || round < 10; ++round) {
        if (!rig.port->IsConnected())
            continue;
        const Bytes bytes = rig.port->LastSysEx();
        broken += !bytes.empty() && (bytes.size() < 3 || bytes != message(bytes[1]));
        rig.port->ClearLastSysEx();
        if (round % 7 == 3)
            rig.port->Disconnect();
    }
    device.join();
    // Nothing emitted after the last search is lost: the port still hears the device.
    ASSERT_TRUE(rig.port->IsConnected());
    rig.service.Emit(rig.source, message(9));
    EXPECT_EQ(rig.port->LastSysEx(), message(9));
    rig.port.reset();
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(rig.service.ConnectionCount() + rig.service.LivePortCount(), 0u);
}
