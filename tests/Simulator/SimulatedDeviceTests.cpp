// The simulated Kelva on the virtual MIDI service, in virtual time, in whole updates (SimpleSysExSender
// on the platform port) and the port's identity exchange.
// Catches: replies late or lost in their packets, a wrong byte rate or appearance time,
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

// `messages` SysEx messages of `size` bytes, their data bytes depending on seed.
Bytes MakePortion(std::size_t messages, std::size_t size, unsigned int seed) {
    Bytes bytes(messages * size);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = i % size == 0 ? 0xF0 : i % size == size - 1 ? 0xF7 : (seed * 31 + i * i) % 0x80;
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

    VirtualClock clock{5'000'000};
    ScopedClock scoped{clock};
    ScopedLogCapture log;
    VirtualMidiService service;
    std::unique_ptr<SimulatedDevice> device;
    Sink sink;
};

} // namespace

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

// One row per presence, speed or packet size of the device: the verdict, how many of the three portions
// reached it (whole and in order, however slowly), the virtual time the update took (which shows how the
// device's rate held the sender back). How the updater meets each answer is the library's test.
TEST(EndToEnd, PresenceSpeedAndPackets) {
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
        {"taking 1000 bytes a second", accepted, 3, 7'900, {.bytesPerSecond = 1000}},
        {"busy twice, in packets of 1, 5, 4",
         accepted,
         3,
         4'500,
         {.protocol = {.busyCount = 2}, .replyPacketSizes = {1, 5, 4}}},
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
