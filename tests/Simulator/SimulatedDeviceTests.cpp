// The simulated Kelva on the virtual MIDI service, in virtual time: seen from a bare port, and in whole
// updates (SimpleSysExSender on the platform port), with the port's identity exchange.
// Catches: replies at the wrong time or cut wrongly into packets, a wrong byte rate or appearance time,
// portions not reaching the device whole and in order (4 MiB; a device absent, late, vanishing, offline,
// without source), a broken identity exchange, races with the service's receive thread.
// Designated initializers below leave the other settings at their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include "Clock.h"
#include "CoreMidiPort.h"
#include "Log.h"
#include "SimulatedDevice.h"
#include "SysExSender.h"

#include <gtest/gtest.h>

#include <thread>

using Bytes = std::vector<unsigned char>;
using Options = SimulatedDevice::Options;
using Packets = std::vector<std::pair<std::uint64_t, Bytes>>; // (arrival, bytes)

namespace {

const std::string accepted = "completed: The 'Ostrel Kelva' was updated sucessfully to version 1.05.";
const std::string sent = "completed: The update has been sent.";
const std::string error =
    "error: There was an error sending the update file.\nPlease restart the device and try again.";

// The verdicts reported, as "completed: ..." or "error: ...".
struct Sink : UpdateProgress {
    void Progress(float) override {}
    void ProgressIndeterminate() override {}
    void Status(const std::string&) override {}
    void Error(const std::string& text) override { verdicts.push_back("error: " + text); }
    void Completed(const std::string& text) override { verdicts.push_back("completed: " + text); }
    std::vector<std::string> verdicts;
};

// `messages` SysEx messages of `size` bytes, their content depending on seed.
Bytes MakePortion(std::size_t messages, std::size_t size, unsigned int seed) {
    Bytes bytes;
    for (std::size_t m = 0; m < messages; ++m) {
        bytes.insert(bytes.end(), {0xF0, 0x00, 0x00, 0x0E});
        for (std::size_t i = 0; i < size - 5; ++i)
            bytes.push_back(static_cast<unsigned char>((seed * 31 + m * 7 + i * i) % 0x80));
        bytes.push_back(0xF7);
    }
    return bytes;
}

// The virtual world of one update: clock, log capture, service and device, made and torn down in order
// (the members' order).
struct Rig {
    explicit Rig(Options options = {}) : device(std::make_unique<SimulatedDevice>(service, options)) {}
    // Runs the whole update on a fresh port and sender, as the update job does.
    void Send(const std::vector<Bytes>& portions) {
        Update update(Bytes{0xF0, 0x01, 0xF7}, "Ostrel Kelva", "Ostrel Kelva$Ostrel Dramlin", "");
        update.version = Version{1, 5};
        update.sysExPortions.clear();
        for (const auto& data : portions)
            update.sysExPortions.push_back(Update::SysExPortion{data, 0});
        CoreMidiPort port(service, update.macPortNames);
        SimpleSysExSender(port).Send(update, sink);
    }
    std::uint64_t ElapsedMs() { return clock.NowMs() - 5'000'000; }
    // A bare client that keeps what the device sends, with arrival times, and sends to it.
    void Listen() {
        service.ClientCreate("Listener", client);
        service.InputPortCreate(client, "In", &Read, this, in);
        service.OutputPortCreate(client, "Out", out);
        service.PortConnectSource(in, Transport().Source(), this);
    }
    static void Read(const MidiPacketList& list, void* context, void*) {
        for (const auto& packet : list)
            static_cast<Rig*>(context)->packets.emplace_back(CurrentClock().NowMs() - 5'000'000, packet.data);
    }
    MidiStatus Deliver(const Bytes& bytes) {
        return service.Send(out, Transport().Destination(), {0, bytes});
    }
    VirtualDeviceTransport& Transport() { return static_cast<VirtualDeviceTransport&>(device->Transport()); }

    VirtualClock clock{5'000'000};
    ScopedClock scoped{clock};
    ScopedLogCapture log;
    VirtualMidiService service;
    std::unique_ptr<SimulatedDevice> device;
    Sink sink;
    MidiRef client = 0, in = 0, out = 0;
    Packets packets;
};

} // namespace

// Bytes taken at the device's rate (a wait within a portion does not end it, idle time is not banked),
// the answers at their virtual times, cut into the chosen packets.
TEST(SimulatedDevice, TakesBytesAtItsRateAndAnswersInTheChosenPackets) {
    Rig rig({.protocol = {.busyCount = 2, .busyIntervalMs = 300},
             .replyPacketSizes = {1, 5, 4},
             .bytesPerSecond = 1000});
    rig.Listen();
    Bytes first(500, 0x01), second(250, 0x02);
    first.front() = 0xF0;
    second.back() = 0xF7;
    ASSERT_EQ(rig.Deliver(first), midiNoError);
    EXPECT_EQ(rig.ElapsedMs(), 500u);
    ASSERT_EQ(rig.Deliver(second), midiNoError);
    EXPECT_EQ(rig.ElapsedMs(), 750u);
    EXPECT_EQ(rig.device->EndedPortions(), 0u); // waits far past the quiet gap, yet one portion
    for (std::uint64_t step : {100, 300, 300, 5000})
        rig.clock.Advance(step);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(rig.device->Portions(), std::vector<Bytes>{first});
    Packets expected;
    for (std::uint64_t at : {850, 1150, 1450}) {
        const Bytes status = DeviceProtocol::StatusMessage(at < 1450 ? 0x20 : 0x00);
        for (auto [from, to] : {std::pair{0, 1}, {1, 6}, {6, 10}, {10, 13}})
            expected.emplace_back(at, Bytes(status.begin() + from, status.begin() + to));
    }
    EXPECT_EQ(rig.packets, expected);
    rig.Deliver(Bytes(100, 0x00));
    EXPECT_EQ(rig.ElapsedMs(), 6550u);
}

// Endpoints made at the chosen time (a destination only when without source); the identity request
// through the platform port counted and answered with the device's version.
TEST(SimulatedDevice, ShowsUpAtTheChosenTimeAndAnswersTheIdentityRequest) {
    Rig rig({.protocol = {.firmwareVersion = {2, 31}}, .appearAfterMs = 20'000});
    rig.clock.Advance(19'999);
    EXPECT_EQ(rig.service.NumberOfDestinations(), 0u);
    rig.clock.Advance(1);
    EXPECT_EQ(rig.service.NumberOfDestinations() + rig.service.NumberOfSources(), 2u);
    CoreMidiPort port(rig.service, {"Ostrel Kelva"});
    port.SetRequestIdentity(true);
    const Bytes& request = DeviceProtocol::identityRequest;
    EXPECT_EQ(port.ReceiveSysEx(5000, request.data(), request.size()),
              DeviceProtocol::IdentityReply({2, 31}));
    EXPECT_EQ(rig.ElapsedMs(), 20'010u); // answered in 10 ms
    EXPECT_EQ(rig.device->IdentityRequests(), 1u);
    EXPECT_EQ(Rig({.withoutSource = true}).service.NumberOfSources(), 0u); // last: it sets the clock
}

// One row per presence of the device: the verdict, how many of the three portions reached it (whole and
// in order), the virtual time the update took. How the updater meets each answer is the library's test.
TEST(EndToEnd, PresenceMatrix) {
    struct Row {
        const char* name;
        std::string verdict;
        std::size_t seen;
        std::uint64_t ms;
        Options options;
    };
    const Row rows[] = {
        {"absent: 6 + 1 + 1 attempts of 15 s", error, 0, 120'000, {.absent = true}},
        {"present after 20 s", accepted, 3, 21'500, {.appearAfterMs = 20'000}},
        {"vanishes after portion 1", error, 1, 90'500, {.vanishAfterPortion = 1}},
        {"vanishes and returns", accepted, 3, 31'500, {.vanishAfterPortion = 1, .returnAfterMs = 30'000}},
        {"no source: six silent polls of 2 s", sent, 3, 36'000, {.withoutSource = true}},
        {"offline", error, 0, 120'000, {.offline = 1}},
    };
    const std::vector<Bytes> portions{MakePortion(2, 1500, 11), MakePortion(1, 700, 12),
                                      MakePortion(3, 900, 13)};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig(row.options);
        rig.Send(portions);
        EXPECT_EQ(rig.sink.verdicts, std::vector<std::string>{row.verdict});
        EXPECT_EQ(rig.device->Portions(), std::vector<Bytes>(portions.begin(), portions.begin() + row.seen));
        EXPECT_EQ(rig.ElapsedMs(), row.ms);
    }
}

// 4 MiB in 64 portions from a sender on a thread of its own, while the service's receive thread delivers
// the device's answers in one-byte packets and this thread moves the clock and reads the device's
// records: byte-identical at the device, and the run for the thread sanitizer.
TEST(EndToEndConcurrency, FourMiBFromASenderThreadArriveByteIdentical) {
    Rig rig({.protocol = {.busyCount = 3, .busyIntervalMs = 200}, // several answers between two polls
             .replyPacketSizes = std::vector<std::size_t>(12, 1)});
    std::vector<Bytes> portions;
    for (unsigned int i = 0; i < 64; ++i)
        portions.push_back(MakePortion(16, 4096, 100 + i)); // 64 KiB each
    std::thread sender([&] { rig.Send(portions); });
    for (int i = 0; i < 200; ++i) {
        rig.clock.Advance(0);
        (void)rig.device->EndedPortions();
        std::this_thread::yield();
    }
    sender.join();
    EXPECT_EQ(rig.sink.verdicts, std::vector<std::string>{accepted});
    EXPECT_EQ(rig.device->Portions(), portions);
}
