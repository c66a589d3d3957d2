// The simulated Kelva on the virtual MIDI service, in virtual time: seen from a bare port, and in whole
// updates (SimpleSysExSender on the platform port), with the port's identity exchange.
// Catches: replies at the wrong time or cut wrongly into packets, a wrong byte rate, portions not
// reaching the device whole and in order (4 MiB; a device absent, late, vanishing, offline, without
// source), an updater misled or swamped by a fault mode or an odd identity reply, a broken identity
// exchange, races with the service's receive thread.
// Designated initializers below leave the other settings at their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include "AllocationTracking.h"
#include "Clock.h"
#include "CoreMidiPort.h"
#include "DeviceStatus.h"
#include "Log.h"
#include "SimulatedDevice.h"
#include "SysExSender.h"

#include <gtest/gtest.h>

#include <thread>

using Bytes = std::vector<unsigned char>;
using Answer = DeviceProtocol::Answer;
using Options = SimulatedDevice::Options;
using P = DeviceProtocol::Settings;

namespace {

const std::string accepted = "completed: The 'Ostrel Kelva' was updated sucessfully to version 1.05.";
const std::string sent = "completed: The update has been sent.";
const std::string unconfirmed = "completed: The update has been sent, but the device has not yet confirmed "
                                "that the update process was successful.";
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

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// `messages` SysEx messages of `size` bytes, their content depending on seed.
Bytes MakePortion(std::size_t messages, std::size_t size, unsigned int seed) {
    Bytes bytes;
    unsigned int x = seed * 2654435761u + 1;
    for (std::size_t m = 0; m < messages; ++m) {
        bytes.insert(bytes.end(), {0xF0, 0x00, 0x00, 0x0E});
        for (std::size_t i = 0; i < size - 5; ++i) {
            x = x * 1103515245u + 12345u;
            bytes.push_back(static_cast<unsigned char>((x >> 16) & 0x7F));
        }
        bytes.push_back(0xF7);
    }
    return bytes;
}

// The virtual world of one update: clock, log capture, service and device, made and torn down in order.
struct Rig {
    explicit Rig(Options options = {}) : device(std::make_unique<SimulatedDevice>(service, options)) {}
    ~Rig() { device.reset(); }
    // Runs the whole update on a fresh port and sender, as the update job does.
    void Send(const std::vector<Bytes>& portions, bool askIdentity = false) {
        Update update(Bytes{0xF0, 0x01, 0xF7}, "Ostrel Kelva", "Ostrel Kelva$Ostrel Dramlin", "");
        update.version = Version{1, 5};
        update.sysExPortions.clear();
        for (const auto& data : portions)
            update.sysExPortions.push_back(Update::SysExPortion{data, 0});
        CoreMidiPort port(service, update.macPortNames);
        port.SetRequestIdentity(askIdentity);
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
    std::vector<std::pair<std::uint64_t, Bytes>> packets; // (arrival, bytes)
};

} // namespace

TEST(SimulatedDevice, AnswersAtTheVirtualTimesInTheChosenPackets) {
    Rig rig({.protocol = {.busyCount = 2, .busyIntervalMs = 300}, .replyPacketSizes = {1, 5, 4}});
    rig.Listen();
    ASSERT_EQ(rig.Deliver({0xF0, 0x00, 0x00, 0x0E, 0x01, 0x02, 0xF7}), midiNoError);
    for (std::uint64_t step : {99, 1, 300, 300, 5000})
        rig.clock.Advance(step);
    std::vector<std::pair<std::uint64_t, Bytes>> expected;
    for (std::uint64_t at : {100, 400, 700}) {
        const Bytes status = DeviceProtocol::StatusMessage(at < 700 ? 0x20 : 0x00);
        for (auto [from, to] : {std::pair{0, 1}, {1, 6}, {6, 10}, {10, 13}})
            expected.emplace_back(at, Bytes(status.begin() + from, status.begin() + to));
    }
    EXPECT_EQ(rig.packets, expected);
}

TEST(SimulatedDevice, ShowsUpAtTheChosenTimeWithTheEndpointsAskedFor) {
    Rig rig({.appearAfterMs = 20'000, .withoutSource = true});
    rig.clock.Advance(19'999);
    EXPECT_EQ(rig.service.NumberOfDestinations(), 0u);
    rig.clock.Advance(1);
    EXPECT_EQ(rig.service.NumberOfDestinations(), 1u);
    EXPECT_EQ(rig.service.NumberOfSources(), 0u); // it hears but cannot answer
}

TEST(SimulatedDevice, ByteRateHoldsTheSenderBackWithinOnePortion) {
    Rig rig({.bytesPerSecond = 1000});
    rig.Listen();
    Bytes first(500, 0x01), second(250, 0x02);
    first.front() = 0xF0;
    second.back() = 0xF7;
    ASSERT_EQ(rig.Deliver(first), midiNoError);
    EXPECT_EQ(rig.ElapsedMs(), 500u);
    ASSERT_EQ(rig.Deliver(second), midiNoError);
    EXPECT_EQ(rig.ElapsedMs(), 750u);
    EXPECT_EQ(rig.device->EndedPortions(), 0u); // waits far past the quiet gap, yet one portion
    rig.clock.Advance(100);
    EXPECT_EQ(rig.device->Portions(), std::vector<Bytes>{Cat(first, second)});
    EXPECT_EQ(rig.packets,
              (std::vector<std::pair<std::uint64_t, Bytes>>{{850, DeviceProtocol::StatusMessage(0)}}));
    rig.clock.Advance(1000); // idle time is not banked for later data
    rig.Deliver(Bytes(100, 0x00));
    EXPECT_EQ(rig.ElapsedMs(), 1950u);
}

// One row per behaviour of the device: the verdict, how many of the three portions reached it, the
// virtual time the update took.
TEST(EndToEnd, FaultMatrix) {
    struct Row {
        std::string name, verdict;
        std::size_t seen;
        std::uint64_t ms;
        Options options;
    };
    const std::size_t fast = DeviceProtocol::fastEndlessChunkSize; // 3 MiB a portion
    std::vector<Row> rows{
        {"silent", sent, 3, 36'000, {.protocol = {.answer = Answer::Silent}}},
        {"busy for ever: 201 answers", sent, 3, 3 * 201 * 500, {.protocol = {.answer = Answer::BusyForever}}},
        {"absent: 6 + 1 + 1 attempts of 15 s", error, 0, 120'000, {.absent = true}},
        {"present after 20 s", accepted, 3, 21'500, {.appearAfterMs = 20'000}},
        {"vanishes after portion 1", error, 1, 90'500, {.vanishAfterPortion = 1}},
        {"vanishes and returns", accepted, 3, 31'500, {.vanishAfterPortion = 1, .returnAfterMs = 30'000}},
        {"no source: six silent polls of 2 s", sent, 3, 36'000, {.withoutSource = true}},
        {"offline", error, 0, 120'000, {.offline = 1}},
        {"garbage", sent, 3, 31'500, {.protocol = {.answer = Answer::Garbage}}},
        {"endless F0", sent, 3, 36'000, {.protocol = {.answer = Answer::EndlessSysEx}}},
        {"endless F0, fast",
         sent,
         3,
         36'000,
         {.protocol = {.answer = Answer::EndlessSysEx, .endlessChunkSize = fast}}},
        {"noisy", accepted, 3, 3'000, {.protocol = {.answer = Answer::Noisy, .busyCount = 1}}},
        {"flood",
         accepted,
         3,
         6'000,
         {.protocol = {.answer = Answer::Flood, .busyCount = 3, .floodSize = 20'000}}},
    };
    // Identity replies from a silent device: shorter than its header F0 7E dd 06 02 they are no
    // reply (a wait of 5 s); without the 16 bytes of text from byte 20 on they cannot be read.
    for (std::size_t size : {1, 5, 6, 35, 36, 256}) {
        const std::string verdict = size < 6 ? sent : size < 36 ? unconfirmed : accepted;
        const P protocol{.answer = Answer::Silent, .firmwareVersion = {1, 5}, .identityReplySize = size};
        rows.push_back({"identity reply of " + std::to_string(size),
                        verdict,
                        3,
                        size < 6 ? 41'000u : 36'010u,
                        {.protocol = protocol}});
    }

    const std::vector<Bytes> portions{MakePortion(2, 1500, 11), MakePortion(1, 700, 12),
                                      MakePortion(3, 900, 13)};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig(row.options);
        SetLogSink([](const std::string&) {}); // a flood would fill the capture; it puts back the sink
        allocations::Reset();
        const bool askIdentity = row.options.protocol.identityReplySize != 0;
        rig.Send(portions, askIdentity);
        // The updater holds one message of at most the collector's limit, never all the device sent.
        if (allocations::Tracked()) {
            EXPECT_LE(allocations::Largest(), SysExCollector::maxSysExSize);
            EXPECT_LE(allocations::PeakGrowth(), 3 * SysExCollector::maxSysExSize);
        }
        EXPECT_EQ(rig.sink.verdicts, std::vector<std::string>{row.verdict});
        auto seen = rig.device->Portions(); // whole portions, in order, then the identity request
        if (askIdentity) {
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen.back(), DeviceProtocol::identityRequest);
            seen.pop_back();
        }
        EXPECT_EQ(seen, std::vector<Bytes>(portions.begin(), portions.begin() + row.seen));
        EXPECT_EQ(rig.ElapsedMs(), row.ms);
    }
}

TEST(EndToEnd, FourMiBInSixtyFourPortionsArriveByteIdentical) {
    Rig rig;
    std::vector<Bytes> portions;
    for (unsigned int i = 0; i < 64; ++i)
        portions.push_back(MakePortion(16, 4096, 100 + i)); // 64 KiB each
    rig.Send(portions);
    EXPECT_EQ(rig.sink.verdicts, std::vector<std::string>{accepted});
    EXPECT_EQ(rig.device->Portions(), portions);
}

// The port's identity exchange (what --verify-identity turns on): off by default, else the request
// and the reply, or an empty answer after the 5 s time-out.
TEST(EndToEnd, IdentityExchange) {
    struct Row {
        const char* name;
        bool ask;
        Options options;
        Bytes reply;
        std::uint64_t minMs, maxMs;
        unsigned int requests;
    };
    const Row rows[] = {
        {"off by default", false, {}, {}, 0, 0, 0},
        {"answered", true, {}, DeviceProtocol::IdentityReply({2, 31}), 0, 99, 1},
        {"not answered", true, {.protocol = {.answerIdentity = false}}, {}, 5000, 5099, 1},
        {"no source", true, {.withoutSource = true}, {}, 5000, 5099, 1},
        {"no device", true, {.absent = true}, {}, 0, 100'000, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Options options = row.options;
        options.protocol.firmwareVersion = {2, 31};
        Rig rig(options);
        CoreMidiPort port(rig.service, {"Ostrel Kelva"});
        port.SetRequestIdentity(row.ask);
        const Bytes& request = DeviceProtocol::identityRequest;
        EXPECT_EQ(port.ReceiveSysEx(5000, request.data(), request.size()), row.reply);
        EXPECT_GE(rig.ElapsedMs(), row.minMs);
        EXPECT_LE(rig.ElapsedMs(), row.maxMs);
        EXPECT_EQ(rig.device->IdentityRequests(), row.requests);
    }
}

// The sender on a thread of its own, the service's receive thread delivering the device's answers
// (in many small packets) while the sender polls: the run for the thread sanitizer.
TEST(EndToEndConcurrency, SenderThreadAgainstReceiveThread) {
    Options options;
    options.protocol.busyCount = 3;
    options.protocol.busyIntervalMs = 200; // several answers land between two polls
    options.replyPacketSizes = std::vector<std::size_t>(12, 1);
    Rig rig(options);
    std::vector<Bytes> portions;
    for (unsigned int i = 0; i < 8; ++i)
        portions.push_back(MakePortion(4, 5000, i));
    std::thread sender([&] { rig.Send(portions); });
    for (int i = 0; i < 200; ++i) { // this thread moves the clock too and reads the device's records
        rig.clock.Advance(0);
        (void)rig.device->EndedPortions();
        std::this_thread::yield();
    }
    sender.join();
    EXPECT_EQ(rig.sink.verdicts, std::vector<std::string>{accepted});
    EXPECT_EQ(rig.device->Portions(), portions);
}
