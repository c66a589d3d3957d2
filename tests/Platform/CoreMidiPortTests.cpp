// Catches: the wrong destination or source chosen (names, USB devices, software, through and virtual
// ports, the chosen device), wrong chunk sizes, bytes not sent as one packet, a lost failure text, an
// offline or vanished device kept, a failed step stopping the rest, received messages lost or mixed up;
// under ThreadSanitizer (CoreMidiPortConcurrency): a message store or teardown racing the receive thread.
#include "CoreMidiPort.h"
#include "Log.h"
#include "PlatformTestSupport.h"
#include "VirtualMidiService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace platformtest;
using Call = VirtualMidiService::Call;

namespace {

const Bytes chunk = {0xF0, 0x01, 0xF7};
const Bytes reply = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x00, 0x0E, 0x01, 0x02, 0x03, 0x04, 0xF7};
const Bytes status = {0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x20, 0x00, 0x00, 0x00, 0xF7};

// The device (a destination and a source named "Ostrel Kelva") on a virtual service, and a port.
struct Rig {
    ScopedLogCapture log;
    VirtualMidiService service;
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
    // Whether the bytes went out as one packet (and nothing went out when not).
    bool Sends(const Bytes& bytes = chunk) {
        sent.clear();
        const bool ok = port->Send(bytes.data(), bytes.size());
        EXPECT_EQ(sent, ok ? std::vector<Bytes>{bytes} : std::vector<Bytes>{});
        return ok;
    }
    bool Hears() {
        service.Emit(source, status);
        return port->LastSysEx() == status;
    }
};

struct Endpoint {
    bool destination;
    std::string name, displayName;
    std::int32_t usb = 0;
};

Endpoint Dest(const std::string& name, const std::string& displayName = "", std::int32_t usb = 0) {
    return {true, name, displayName, usb};
}
Endpoint Src(const std::string& name, const std::string& displayName = "", std::int32_t usb = 0) {
    return {false, name, displayName, usb};
}

struct ChoiceRow {
    ChoiceRow(const char* what, std::set<std::string> names, std::int32_t chosen,
              std::vector<Endpoint> endpoints, int destination, int source, std::string line)
        : what(what), names(std::move(names)), chosen(chosen), endpoints(std::move(endpoints)),
          destination(destination), source(source), line(std::move(line)) {}
    const char* what;
    std::set<std::string> names;
    std::int32_t chosen; // TakeUsbDevice
    std::vector<Endpoint> endpoints;
    int destination, source; // the endpoints (indexes) the port sends to and hears; -1: none
    std::string line;        // the log line (shown with --verbose) that tells what was chosen
};

} // namespace

TEST(CoreMidiPort, ChoosesTheEndpointsByNameOrTheOnlyOrChosenUsbDevice) {
    const std::set<std::string> kelva = {"Ostrel Kelva"};
    const std::vector<Endpoint> twoKelvas = {
        Dest("Ostrel Kelva MIDI 1", "Ostrel Kelva", 4), Src("Ostrel Kelva MIDI 1", "Ostrel Kelva", 4),
        Dest("Ostrel Kelva MIDI 1", "Ostrel Kelva", 7), Src("Ostrel Kelva MIDI 1", "Ostrel Kelva", 7)};
    const std::string recognised = "EndpointHasRightName:   Name=";
    const std::string noUsb = "FindEndpoint: No USB MIDI device found";
    const std::string only = "FindEndpoint: Using the only USB MIDI device, ";
    const std::string chosen = "FindEndpoint: Using the chosen USB MIDI device, ";
    const ChoiceRow rows[] = {
        ChoiceRow("name", kelva, 0,
                  {Dest("Ostrel Kelva", "Other"), Src("Stranger"), Src("In", "Ostrel Kelva")}, 0, 2,
                  recognised + "Ostrel Kelva:Other recognised"),
        ChoiceRow("display name, no source", kelva, 0, {Dest("USB MIDI", "Ostrel Kelva"), Src("Stranger")}, 0,
                  -1, "Couldn't find a matching input endpoint"),
        ChoiceRow("near names", kelva, 0,
                  {Dest("ostrel kelva"), Dest("OSTREL KELVA", "Ostrel kelva"), Dest("Ostrel Kelva 2"),
                   Dest("Ostrel Kelv", "Ostrel"), Dest(" Ostrel Kelva", "Ostrel Kelva "), Dest("", ""),
                   Src("Ostrel Kelva")},
                  -1, -1, "EndpointHasRightName:   (Ostrel Kelva 2:Ostrel:Ostrel Kelva 2) not recognised"),
        ChoiceRow("first of several", kelva, 0,
                  {Dest("Ostrel Kelva 2"), Dest("Ostrel Kelva"), Dest("Ostrel Kelva"), Src("Ostrel Kelva"),
                   Src("Ostrel Kelva")},
                  1, 3, recognised + "Ostrel Kelva:Ostrel Kelva recognised"),
        ChoiceRow("any name of the set", {"Ostrel Kelva", "Ostrel Dramlin"}, 0, {Dest("Ostrel Dramlin")}, 0,
                  -1, recognised + "Ostrel Dramlin:Ostrel Dramlin recognised"),
        ChoiceRow("the only USB device", {}, 0,
                  {Dest("Midi Through Port-0", "Midi Through"), Src("Midi Through Port-0", "Midi Through"),
                   Dest("Virtual Raw MIDI 1-0"), Dest("Ostrel Kelva MIDI 1", "Ostrel Kelva", 3),
                   Dest("Ostrel Kelva MIDI 2", "Ostrel Kelva", 3),
                   Src("Ostrel Kelva MIDI 1", "Ostrel Kelva", 3)},
                  3, 5, only + "\"Ostrel Kelva\" (port \"Ostrel Kelva MIDI 1\")"),
        ChoiceRow("nothing", {}, 0, {}, -1, -1, noUsb),
        ChoiceRow("software ports only", {}, 0, {Dest("Ostrel Kelva"), Dest("Midi Through Port-0")}, -1, -1,
                  noUsb),
        ChoiceRow("two USB devices", {}, 0,
                  {Dest("Device 4", "", 4), Dest("Software"), Dest("Device 7", "", 7)}, -1, -1,
                  "FindEndpoint: 2 USB MIDI devices, not choosing one of them: \"Device 4\", \"Device 7\""),
        ChoiceRow("the chosen USB device", {}, 7, twoKelvas, 2, 3,
                  chosen + "\"Ostrel Kelva\" (port \"Ostrel Kelva MIDI 1\")"),
        ChoiceRow("the chosen device gone", {}, 9, twoKelvas, -1, -1,
                  "FindEndpoint: The chosen USB MIDI device is not there"),
    };
    for (const ChoiceRow& row : rows) {
        SCOPED_TRACE(row.what);
        ScopedLogCapture log;
        VirtualMidiService service;
        int sentTo = -1, heard = -1;
        std::vector<MidiRef> sources(row.endpoints.size());
        for (int i = 0; i < static_cast<int>(row.endpoints.size()); ++i) {
            const Endpoint& e = row.endpoints[static_cast<std::size_t>(i)];
            if (e.destination)
                service.AddDestination(Named(e.name, e.displayName, e.usb),
                                       [&sentTo, i](const Bytes&) { sentTo = i; });
            else
                sources[static_cast<std::size_t>(i)] = service.AddSource(Named(e.name, e.displayName, e.usb));
        }
        CoreMidiPort port(service, row.names);
        port.TakeUsbDevice(row.chosen);
        EXPECT_EQ(port.IsConnected(), row.destination >= 0);
        EXPECT_EQ(port.Send(chunk.data(), chunk.size()), row.destination >= 0);
        for (std::size_t i = 0; i < sources.size(); ++i) {
            service.Emit(sources[i], status);
            if (sources[i] != 0 && !port.LastSysEx().empty())
                heard = heard < 0 ? static_cast<int>(i) : 99; // 99: heard more than one
        }
        EXPECT_EQ(std::pair(sentTo, heard), std::pair(row.destination, row.source));
        EXPECT_TRUE(Contains(log.Lines(), row.line)) << testing::PrintToString(log.Lines());
    }
}

// A service that prefers one packet size for every destination, as the ALSA one does for raw MIDI.
class PreferringService : public VirtualMidiService {
public:
    explicit PreferringService(std::size_t bytes) : bytes(bytes) {}
    std::size_t PreferredPacketBytes(MidiRef) override { return bytes; }

private:
    std::size_t bytes;
};

TEST(CoreMidiPort, ChunksAre2KiBAnd16KiBOrTheDestinationsPreferredSizeWithinThePacketLimit) {
    struct Row {
        std::size_t preferred, ideal, max;
    };
    for (const Row& row : {Row{0, 2048, 16384}, Row{32768, 32768, 47104}, Row{100000, 49151, 63487}}) {
        PreferringService service(row.preferred);
        service.AddDestination(Named("Ostrel Kelva"), nullptr);
        CoreMidiPort port(service, {"Ostrel Kelva"});
        EXPECT_EQ(std::pair(port.IdealChunkSize(), port.MaxChunkSize()),
                  (std::pair<std::size_t, std::size_t>(2048, 16384)))
            << "no destination yet";
        ASSERT_TRUE(port.IsConnected());
        EXPECT_EQ(std::pair(port.IdealChunkSize(), port.MaxChunkSize()), std::pair(row.ideal, row.max))
            << row.preferred;
    }
}

TEST(CoreMidiPort, AFailedStepIsPassedOverAndDestructionReleasesWhatWasMade) {
    struct Row {
        const char* what;
        Call call;
        MidiStatus status; // 0: nothing fails
        std::size_t ports;
        bool sends, hears;
    };
    const Row rows[] = {
        {"nothing", Call::Send, 0, 2, true, true},
        {"client", Call::ClientCreate, VirtualMidiService::invalidClient, 0, false, false},
        {"output port", Call::OutputPortCreate, 12, 1, false, true},
        {"input port", Call::InputPortCreate, 13, 1, true, false},
        {"connecting the source", Call::PortConnectSource, VirtualMidiService::noConnection, 2, true, false},
        // Only the display name's answer counts.
        {"name", Call::GetName, -1, 2, true, true},
        {"manufacturer", Call::GetManufacturer, -2, 2, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Rig rig(row.call, row.status);
        CoreMidiPort& port = *rig.port;
        EXPECT_EQ(rig.service.LivePortCount(), row.ports);
        EXPECT_EQ(rig.service.CallCount(Call::GetDisplayName), 0u) << "looked before asked";
        ASSERT_TRUE(port.IsConnected());
        // Once found, the port only asks whether the destination went offline.
        const std::size_t looks = rig.service.CallCount(Call::GetDisplayName);
        ASSERT_TRUE(port.IsConnected());
        EXPECT_EQ(rig.service.CallCount(Call::GetDisplayName), looks);
        EXPECT_EQ(rig.service.CallCount(Call::GetOffline), 2u);
        EXPECT_EQ(rig.Sends(), row.sends);
        EXPECT_EQ(rig.Hears(), row.hears);
        rig.service.FailNextCall(Call::PortDispose, 21); // destruction goes on
        rig.port.reset();
        EXPECT_EQ(rig.service.CallCount(Call::PortDispose), row.ports);
        EXPECT_EQ(rig.service.CallCount(Call::ClientDispose), row.ports == 0 ? 0u : 1u);
        EXPECT_EQ(rig.service.LiveClientCount() + rig.service.LivePortCount() + rig.service.ConnectionCount(),
                  0u);
    }
}

TEST(CoreMidiPort, AnOfflineOrVanishedDestinationIsLetGoWithItsMessageAndFoundAgainWhenBack) {
    struct Row {
        const char* what;
        std::function<void(Rig&)> change, undo;
        bool stays, hears; // still connected after the change; hears the device once back
    };
    auto offline = [](int value) {
        return [value](Rig& rig) { rig.service.SetOffline(rig.destination, value); };
    };
    auto nothing = [](Rig&) {};
    const Row rows[] = {
        {"offline", offline(7), offline(0), false, true},
        {"offline below 0", offline(-1), offline(0), false, true},
        {"offline unknown",
         [](Rig& rig) { rig.service.FailCall(Call::GetOffline, VirtualMidiService::unknownProperty); },
         [](Rig& rig) { rig.service.FailCall(Call::GetOffline, 0); }, false, true},
        {"removed",
         [](Rig& rig) {
             rig.service.RemoveEndpoint(rig.destination);
             rig.service.RemoveEndpoint(rig.source);
         },
         [](Rig& rig) { rig.AddKelva(); }, false, true},
        {"source offline", [](Rig& rig) { rig.service.SetOffline(rig.source, 1); }, nothing, true, true},
        {"source removed", [](Rig& rig) { rig.service.RemoveEndpoint(rig.source); }, nothing, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Rig rig;
        CoreMidiPort& port = *rig.port;
        ASSERT_TRUE(port.IsConnected());
        rig.service.Emit(rig.source, status);
        row.change(rig);
        EXPECT_EQ(port.IsConnected(), row.stays);
        if (!row.stays) {
            EXPECT_EQ(rig.service.ConnectionCount(), 0u);
            EXPECT_TRUE(port.LastSysEx().empty()) << "the message of a device let go";
            EXPECT_FALSE(port.IsConnected()) << "still there before it is back";
        } else {
            EXPECT_EQ(port.LastSysEx(), status);
        }
        row.undo(rig);
        EXPECT_TRUE(port.IsConnected());
        EXPECT_TRUE(rig.Sends());
        EXPECT_EQ(rig.Hears(), row.hears);
    }
}

TEST(CoreMidiPort, SendsEachChunkAsOnePacketOrSaysWhyNot) {
    Rig rig;
    CoreMidiPort& port = *rig.port;
    EXPECT_EQ(port.SendFailure(), "");
    EXPECT_FALSE(rig.Sends()) << "sent before looking for the device";
    ASSERT_TRUE(port.IsConnected());
    Bytes largest(65535);
    for (std::size_t i = 0; i < largest.size(); ++i)
        largest[i] = static_cast<unsigned char>(i * 7);
    EXPECT_TRUE(rig.Sends(largest));
    rig.service.FailNextCall(Call::Send, -16);
    EXPECT_FALSE(rig.Sends());
    EXPECT_EQ(port.SendFailure(),
              "Could not send to the MIDI port \"Ostrel Kelva\": " + rig.service.StatusText(-16) + ".");
    EXPECT_TRUE(Contains(rig.log.Lines(), ErrorLine(rig.service, "Sending MIDI", -16)));
    EXPECT_TRUE(rig.Sends());

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Bytes tooLarge(65536);
    EXPECT_DEATH(port.Send(tooLarge.data(), tooLarge.size()), "size < 65536");
}

TEST(CoreMidiPort, KeepsTheNewestMessageUntilTakenAndLosesItToADisconnect) {
    Rig rig;
    CoreMidiPort& port = *rig.port;
    ASSERT_TRUE(port.IsConnected());
    // Unless asked to, ReceiveSysEx neither asks the device nor answers.
    const Bytes request = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    EXPECT_TRUE(port.ReceiveSysEx(5000, request.data(), request.size()).empty());
    EXPECT_EQ(rig.service.CallCount(Call::Send), 0u);

    rig.service.Emit(rig.source, status);
    rig.service.Emit(rig.source, reply);
    port.ClearLastSysEx(); // leaves the port's own store alone
    EXPECT_EQ(port.LastSysEx(), reply);
    EXPECT_TRUE(port.LastSysEx().empty()) << "taken twice";
    // Every byte of every packet goes to the collector in order (which passes over other traffic), and
    // a message cut anywhere, into packets or deliveries, arrives whole.
    for (std::size_t a = 1; a < reply.size(); ++a) {
        rig.service.Emit(rig.source, reply, {a, 2});
        ASSERT_EQ(port.LastSysEx(), reply) << a;
        rig.service.Emit(rig.source, Bytes(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(a)));
        ASSERT_TRUE(port.LastSysEx().empty()) << a;
        rig.service.Emit(rig.source, Bytes(reply.begin() + static_cast<std::ptrdiff_t>(a), reply.end()));
        ASSERT_EQ(port.LastSysEx(), reply) << a;
    }
    rig.service.Emit(rig.source, {0x90, 0x40, 0x7F});
    EXPECT_TRUE(port.LastSysEx().empty());

    rig.service.Emit(rig.source, status);
    port.Disconnect();
    EXPECT_EQ(rig.service.ConnectionCount(), 0u);
    EXPECT_TRUE(port.LastSysEx().empty());
    EXPECT_FALSE(rig.Hears()) << "heard while disconnected";
    ASSERT_TRUE(port.IsConnected());
    EXPECT_TRUE(rig.Hears());
}

// The receive thread feeds the port while the sender's thread polls, takes messages and disconnects.
TEST(CoreMidiPortConcurrency, ReceiveThreadAgainstSenderThread) {
    VirtualMidiService service;
    ScopedLogCapture log;
    service.AddDestination(Named("Ostrel Kelva"), nullptr);
    const MidiRef source = service.AddSource(Named("Ostrel Kelva"));
    // Messages of different lengths, each recognisable as whole: F0, n, n copies of n, F7.
    auto message = [](unsigned char n) {
        Bytes bytes = {0xF0, n};
        bytes.insert(bytes.end(), n, n);
        bytes.push_back(0xF7);
        return bytes;
    };
    auto port = std::make_unique<CoreMidiPort>(service, std::set<std::string>{"Ostrel Kelva"});
    ASSERT_TRUE(port->IsConnected());

    std::atomic<bool> done{false};
    std::thread device([&] {
        for (int i = 0; i < 400; ++i) // whole messages, cut into packets at varying places
            service.Emit(source, message(static_cast<unsigned char>(1 + i % 60)),
                         {static_cast<std::size_t>(1 + i % 5), 2});
        done = true;
    });
    int broken = 0;
    for (int round = 0; !done || round < 10; ++round) {
        if (!port->IsConnected())
            continue;
        const Bytes bytes = port->LastSysEx();
        if (!bytes.empty() && (bytes.size() < 3 || bytes != message(bytes[1])))
            ++broken;
        port->ClearLastSysEx();
        if (round % 7 == 3)
            port->Disconnect();
    }
    device.join();
    // Nothing emitted after the last search is lost: the port still hears the device.
    ASSERT_TRUE(port->IsConnected());
    service.Emit(source, message(9));
    EXPECT_EQ(port->LastSysEx(), message(9));
    port.reset();
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_EQ(service.LivePortCount(), 0u);
}
