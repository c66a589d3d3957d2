// Whole updates, in process: SysExSender::Send with a SimpleSysExSender on the platform port, on the
// virtual MIDI service, against the simulated Kelva, all in virtual time.
#include "AllocationTracking.h"
#include "Clock.h"
#include "CoreMidiPort.h"
#include "Log.h"
#include "SimulatedDevice.h"
#include "SysExSender.h"
#include "Update.h"
#include "Utilities.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <thread>

using Bytes = std::vector<unsigned char>;
using Answer = DeviceProtocol::Answer;
using ::testing::ElementsAre;

namespace {

const std::string errorVerdict =
    "There was an error sending the update file.\nPlease restart the device and try again.";
const std::string acceptedVerdict = "The 'Ostrel Kelva' was updated sucessfully to version 1.05.";
const std::string sentVerdict = "The update has been sent.";
const std::string unconfirmedVerdict =
    "The update has been sent, but the device has not yet confirmed that the update process was successful.";

// Every report of a sink, in order, as text: "progress 0.25", "busy", "status: ...", "error: ...",
// "completed: ...".
class RecordingSink : public UpdateProgress {
public:
    void Progress(float fraction) override { Add("progress " + std::to_string(fraction)); }
    void ProgressIndeterminate() override { Add("busy"); }
    void Status(const std::string& text) override { Add("status: " + text); }
    void Error(const std::string& text) override { Add("error: " + text); }
    void Completed(const std::string& text) override { Add("completed: " + text); }

    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(mutex);
        return lines;
    }
    // The verdicts (error or completed) reported.
    std::vector<std::string> Verdicts() const {
        std::vector<std::string> verdicts;
        for (const auto& line : Lines())
            if (line.starts_with("error: ") || line.starts_with("completed: "))
                verdicts.push_back(line);
        return verdicts;
    }
    std::vector<std::string> Statuses() const {
        std::vector<std::string> statuses;
        for (const auto& line : Lines())
            if (line.starts_with("status: "))
                statuses.push_back(line.substr(8));
        return statuses;
    }

private:
    void Add(std::string line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(std::move(line));
    }
    mutable std::mutex mutex;
    std::vector<std::string> lines;
};

// A SysEx portion of `messages` messages of `messageSize` bytes each, its content depending on seed.
// Without lineFeeds no 0A byte occurs, so chunks end only after an F7.
Bytes MakePortion(std::size_t messages, std::size_t messageSize, unsigned int seed, bool lineFeeds = true) {
    Bytes bytes;
    bytes.reserve(messages * messageSize);
    unsigned int x = seed * 2654435761u + 1;
    for (std::size_t m = 0; m < messages; ++m) {
        bytes.insert(bytes.end(), {0xF0, 0x00, 0x00, 0x0E});
        for (std::size_t i = 0; i < messageSize - 5; ++i) {
            x = x * 1103515245u + 12345u;
            unsigned char byte = static_cast<unsigned char>((x >> 16) & 0x7F);
            if (!lineFeeds && byte == 0x0A)
                byte = 0x0B;
            bytes.push_back(byte);
        }
        bytes.push_back(0xF7);
    }
    return bytes;
}

Update MakeUpdate(const std::vector<Bytes>& portions, Version version = Version{1, 5}) {
    Update update(Bytes{0xF0, 0x01, 0xF7}, "Ostrel Kelva", "Ostrel Kelva$Ostrel Dramlin", "");
    update.version = version;
    update.sysExPortions.clear();
    for (const auto& data : portions)
        update.sysExPortions.push_back(Update::SysExPortion{data, 0});
    return update;
}

std::vector<std::string> PortLines(const std::vector<std::string>& records) {
    std::vector<std::string> lines;
    for (const auto& record : records)
        if (!record.starts_with("Trace: "))
            lines.push_back(record);
    return lines;
}

std::size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// The virtual world of one test: clock, log capture, service and device, made and torn down in order.
struct Rig {
    explicit Rig(SimulatedDevice::Options options = {}) {
        device = std::make_unique<SimulatedDevice>(service, std::move(options));
        startMs = clock.NowMs();
    }
    ~Rig() { device.reset(); }

    // Runs the whole update on a fresh port and sender, as the update job does.
    void Send(Update& update, bool askIdentity = false) {
        CoreMidiPort port(service, update.macPortNames);
        port.SetRequestIdentity(askIdentity);
        SimpleSysExSender sender(port);
        sender.Send(update, sink);
    }
    std::uint64_t ElapsedMs() { return clock.NowMs() - startMs; }

    VirtualClock clock{5'000'000};
    ScopedClock scoped{clock};
    ScopedLogCapture log;
    VirtualMidiService service;
    std::unique_ptr<SimulatedDevice> device;
    RecordingSink sink;
    std::uint64_t startMs = 0;
};

SimulatedDevice::Options Behaviour(Answer answer, unsigned int busyCount = 0) {
    SimulatedDevice::Options options;
    options.protocol.answer = answer;
    options.protocol.busyCount = busyCount;
    return options;
}

} // namespace

TEST(EndToEnd, OnePortionAcceptedAfterBusyReportsInOrder) {
    Rig rig(Behaviour(Answer::Accept, 2));
    const Bytes data = MakePortion(3, 1000, 1, false); // one chunk: the first F7 past 2048 bytes ends it
    Update update = MakeUpdate({data});
    rig.Send(update);

    EXPECT_EQ(rig.sink.Lines(), (std::vector<std::string>{
                                    "progress 0.000000",
                                    "busy",
                                    "status: Started update",
                                    "status: Looking for Ostrel Kelva to update...",
                                    "busy",
                                    // the portion: one chunk of the three messages
                                    "busy",
                                    "status: Sent 0 bytes of 2.9KB",
                                    "progress 1.000000",
                                    "status: Sent 2.9KB of 2.9KB",
                                    // the status wait
                                    "status: Checking update status...",
                                    "busy",
                                    "status: Waiting for device to complete update installation...",
                                    "busy",
                                    "status: Device has accepted update.",
                                    "progress 1.000000",
                                    // the verdict
                                    "progress 1.000000",
                                    "status: MIDI update sent successfully.",
                                    "completed: " + acceptedVerdict,
                                }))
        << ::testing::PrintToString(rig.sink.Lines());

    ASSERT_EQ(rig.device->Portions().size(), 1u);
    EXPECT_EQ(rig.device->Portions()[0], data);
    // busy at +100 and +600, accepted at +1100: seen by the polls at 500, 1000 and 1500 ms.
    EXPECT_EQ(rig.ElapsedMs(), 1500u);

    const auto lines = PortLines(rig.log.Lines());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "CoreMidiPort",
                         "FindEndpoint: Looking for output port",
                         "EndpointHasRightName:   Name=Ostrel Kelva:Ostrel Kelva recognised",
                         "FindEndpoint: Looking for input port",
                         "EndpointHasRightName:   Name=Ostrel Kelva:Ostrel Kelva recognised",
                         "FindEndpoint: Connecting input port",
                         "Connected Input port",
                         "Send(3000 bytes to core MIDI)",
                         "GotSysEx: 13 bytes",
                         "GotSysEx: 13 bytes",
                         "GotSysEx: 13 bytes",
                         "~CoreMidiPort",
                     }))
        << ::testing::PrintToString(lines);
}

TEST(EndToEnd, ThreePortionsReachTheDeviceInOrderWithTheirStatusLines) {
    SimulatedDevice::Options options;
    options.replyPacketSizes = {3, 3, 3}; // status messages in four packets each
    Rig rig(options);
    const std::vector<Bytes> portions{MakePortion(1, 1000, 1), MakePortion(2, 1000, 2),
                                      MakePortion(1, 1000, 3)};
    Update update = MakeUpdate(portions);
    update.sysExPortions[1].delay = 250;
    rig.Send(update);

    EXPECT_EQ(rig.device->Portions(), portions);
    EXPECT_EQ(rig.sink.Verdicts(), (std::vector<std::string>{"completed: " + acceptedVerdict}));
    const auto statuses = rig.sink.Statuses();
    EXPECT_EQ(CountOf(statuses, "Looking for Ostrel Kelva to update..."), 1u);
    EXPECT_EQ(CountOf(statuses, "Sending chunk #2 of 3"), 1u);
    EXPECT_EQ(CountOf(statuses, "Sending chunk #3 of 3"), 1u);
    EXPECT_EQ(CountOf(statuses, "Device has accepted update."), 3u);
    EXPECT_EQ(CountOf(PortLines(rig.log.Lines()), "Connected Input port"), 3u); // found afresh each time
    EXPECT_EQ(rig.ElapsedMs(), 500u + 500u + 250u + 500u);
}

// One row per device behaviour: what the user is told, and what reached the device.
struct FaultRow {
    std::string name;
    SimulatedDevice::Options options;
    std::string verdict;        // "completed: ..." or "error: ..."
    std::size_t firstSeen;      // the first portion that reached the device
    std::size_t portionsSeen;   // how many reached it (of the three sent)
    std::uint64_t maxElapsedMs; // virtual time the update may take at most
    bool askIdentity = false;   // the port asks a device that was silent or busy at the end
};

std::vector<FaultRow> FaultRows() {
    std::vector<FaultRow> rows;
    auto add = [&](std::string name, SimulatedDevice::Options options, std::string verdict, std::size_t seen,
                   std::uint64_t maxMs, std::size_t first = 0) {
        rows.push_back({std::move(name), std::move(options), std::move(verdict), first, seen, maxMs});
    };

    add("accept", Behaviour(Answer::Accept, 1), "completed: " + acceptedVerdict, 3, 5'000);
    add("error", Behaviour(Answer::Error, 1), "error: " + errorVerdict, 3, 5'000);
    {
        auto options = Behaviour(Answer::Accept);
        options.protocol.errorOnPortion = 2; // an earlier portion refused spoils the update
        add("error on portion 2", options, "error: " + errorVerdict, 3, 5'000);
    }
    {
        auto options = Behaviour(Answer::Accept);
        options.protocol.errorOnPortion = 3;
        add("error on the last portion", options, "error: " + errorVerdict, 3, 5'000);
    }
    add("silent", Behaviour(Answer::Silent), "completed: " + sentVerdict, 3, 3 * 12'000);
    add("busy for ever", Behaviour(Answer::BusyForever), "completed: " + sentVerdict, 3, 3 * 100'500);
    {
        SimulatedDevice::Options options;
        options.absent = true;
        add("absent", options, "error: " + errorVerdict, 0, 3 * 90'000);
    }
    {
        SimulatedDevice::Options options;
        options.appearAfterMs = 20'000;
        add("present after 20 s", options, "completed: " + acceptedVerdict, 3, 40'000);
    }
    {
        SimulatedDevice::Options options;
        options.appearAfterMs = 100'000; // after the six attempts the first portion may take
        // The first portion is given up after six attempts (90 s); the single attempt left for the
        // second finds the device at 100 s.
        add("present after 100 s", options, "error: " + errorVerdict, 2, 200'000, 1);
    }
    {
        SimulatedDevice::Options options;
        options.vanishAfterPortion = 1;
        add("vanishes after portion 1", options, "error: " + errorVerdict, 1, 200'000);
    }
    {
        SimulatedDevice::Options options;
        options.vanishAfterPortion = 1;
        options.returnAfterMs = 30'000;
        add("vanishes after portion 1 and returns", options, "completed: " + acceptedVerdict, 3, 60'000);
    }
    {
        SimulatedDevice::Options options;
        options.withoutSource = true;
        add("no source", options, "completed: " + sentVerdict, 3, 3 * 12'000);
    }
    {
        SimulatedDevice::Options options;
        options.offline = 1;
        add("offline", options, "error: " + errorVerdict, 0, 3 * 90'000);
    }
    add("garbage", Behaviour(Answer::Garbage), "completed: " + sentVerdict, 3, 3 * 12'000);
    add("endless F0", Behaviour(Answer::EndlessSysEx), "completed: " + sentVerdict, 3, 3 * 12'000);
    {
        auto options = Behaviour(Answer::EndlessSysEx);
        options.protocol.endlessChunkSize = DeviceProtocol::fastEndlessChunkSize; // 3 MiB a portion
        add("endless F0, fast", options, "completed: " + sentVerdict, 3, 3 * 12'000);
    }
    add("noisy", Behaviour(Answer::Noisy, 1), "completed: " + acceptedVerdict, 3, 5'000);
    {
        auto options = Behaviour(Answer::Flood, 3);
        options.protocol.floodSize = 20'000; // 240,000 status messages in all, 3 MiB
        add("flood of busy messages", options, "completed: " + acceptedVerdict, 3, 8'000);
    }
    // Identity replies of every size short of the 37 bytes, and some longer, from a silent device.
    // Too short for the header F0 7E dd 06 02, it is no reply: the exchange waits its 5 s in vain.
    // Too short for the 16 bytes of text from byte 20 on, it cannot be read. From 36 bytes on the
    // version is read (its text ends at the F7) and compared.
    for (std::size_t size = 1; size <= 256; size += size < 40 ? 1 : size) {
        if (size == DeviceProtocol::IdentityReply(Version{1, 5}).size())
            continue;
        auto options = Behaviour(Answer::Silent);
        options.protocol.firmwareVersion = Version{1, 5};
        options.protocol.identityReplySize = size;
        const std::string verdict = size < 6 ? sentVerdict : size < 36 ? unconfirmedVerdict : acceptedVerdict;
        add("identity reply of " + std::to_string(size) + " bytes", options, "completed: " + verdict, 3,
            3 * 12'000 + 5'000);
        rows.back().askIdentity = true;
    }
    return rows;
}

TEST(EndToEnd, FaultMatrix) {
    const std::vector<Bytes> portions{MakePortion(2, 1500, 11), MakePortion(1, 700, 12),
                                      MakePortion(3, 900, 13)};
    for (const FaultRow& row : FaultRows()) {
        SCOPED_TRACE(row.name);
        Rig rig(row.options);
        SetLogSink([](const std::string&) {}); // not kept (a flood would fill it); the rig's capture
                                               // puts back the sink before it when it ends
        Update update = MakeUpdate(portions);
        allocations::Reset();
        rig.Send(update, row.askIdentity);

        // Whatever the device sends, the updater holds one message of at most the collector's limit.
        // The heap grows by that (twice over while the message's buffer moves to a larger one) and
        // by the device's output in flight, never by what the device sent in all.
        if (allocations::Tracked()) {
            EXPECT_LE(allocations::Largest(), SysExCollector::maxSysExSize);
            EXPECT_LE(allocations::PeakGrowth(), 3 * SysExCollector::maxSysExSize);
        }

        // Exactly one verdict, and it is the last report, just after the "sent" line, which only
        // an update whose every portion reached the device shows.
        const auto lines = rig.sink.Lines();
        EXPECT_EQ(rig.sink.Verdicts(), (std::vector<std::string>{row.verdict}));
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines.back(), row.verdict);
        const bool verifying = row.askIdentity || row.verdict == "completed: " + sentVerdict;
        const bool allReached = row.portionsSeen == portions.size();
        EXPECT_EQ(lines[lines.size() - (verifying ? 3 : 2)],
                  allReached ? "status: MIDI update sent successfully." : "progress 1.000000");

        // What reached the device: whole portions, byte for byte, in order (then the request).
        auto seen = rig.device->Portions();
        if (row.askIdentity) {
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen.back(), DeviceProtocol::identityRequest);
            seen.pop_back();
        }
        ASSERT_EQ(seen.size(), row.portionsSeen);
        for (std::size_t i = 0; i < seen.size(); ++i)
            EXPECT_EQ(seen[i], portions[row.firstSeen + i]) << "portion " << i;

        EXPECT_LE(rig.ElapsedMs(), row.maxElapsedMs);
    }
}

TEST(EndToEnd, AbsentDeviceCostsSixAttemptsOfFifteenSeconds) {
    SimulatedDevice::Options options;
    options.absent = true;
    Rig rig(options);
    Update update = MakeUpdate({MakePortion(1, 100, 1)});
    rig.Send(update);
    EXPECT_EQ(rig.ElapsedMs(), 90'000u);
    EXPECT_EQ(rig.sink.Verdicts(), (std::vector<std::string>{"error: " + errorVerdict}));
    // Each attempt searches twelve times: ten in the wait, one after it, one after permitting others.
    const auto lines = PortLines(rig.log.Lines());
    EXPECT_EQ(CountOf(lines, "FindEndpoint: Looking for output port"), 6u * 12u);
    EXPECT_EQ(CountOf(lines, "FindEndpoint: Looking for input port"), 0u);
}

TEST(EndToEnd, OfflineDeviceIsFoundAndDroppedEachTime) {
    SimulatedDevice::Options options;
    options.offline = 1;
    Rig rig(options);
    Update update = MakeUpdate({MakePortion(1, 100, 1)});
    rig.Send(update);
    const auto lines = PortLines(rig.log.Lines());
    EXPECT_GE(CountOf(lines, "Entity offline=1"), 6u);
    EXPECT_EQ(CountOf(lines, "Send(100 bytes to core MIDI)"), 0u);
    EXPECT_TRUE(rig.device->ReceivedBytes().empty());
}

TEST(EndToEnd, VanishingAfterTheFirstOfTwoPortionsShowsFiveRetryLines) {
    SimulatedDevice::Options options;
    options.vanishAfterPortion = 1;
    Rig rig(options);
    Update update = MakeUpdate({MakePortion(1, 500, 1), MakePortion(1, 500, 2)});
    rig.Send(update);
    EXPECT_EQ(CountOf(rig.sink.Statuses(), "Could not send chunk #2 of 2. Retrying..."), 5u);
    EXPECT_EQ(rig.sink.Verdicts(), (std::vector<std::string>{"error: " + errorVerdict}));
    EXPECT_EQ(rig.device->Portions().size(), 1u);
}

TEST(EndToEnd, NoSourceSendsButHearsNothing) {
    SimulatedDevice::Options options;
    options.withoutSource = true;
    Rig rig(options);
    Update update = MakeUpdate({MakePortion(1, 500, 1)});
    rig.Send(update);
    const auto lines = PortLines(rig.log.Lines());
    EXPECT_EQ(CountOf(lines, "Couldn't find a matching input endpoint"), 1u);
    EXPECT_EQ(CountOf(lines, "GotSysEx: 13 bytes"), 0u);
    EXPECT_EQ(rig.ElapsedMs(), 12'000u); // six silent polls of 2000 ms
}

TEST(EndToEnd, BusyForEverEndsAfter201BusyAnswers) {
    Rig rig(Behaviour(Answer::BusyForever));
    Update update = MakeUpdate({MakePortion(1, 500, 1)});
    rig.Send(update);
    EXPECT_EQ(rig.ElapsedMs(), 201u * 500u);
    EXPECT_EQ(CountOf(PortLines(rig.log.Lines()), "GotSysEx: 13 bytes"), 201u);
    EXPECT_EQ(rig.sink.Verdicts(), (std::vector<std::string>{"completed: " + sentVerdict}));
}

TEST(EndToEnd, VideoModeMessageIsRememberedAndAccepted) {
    Rig rig;
    Update update(Bytes{0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x01, 0x01, 0xF7}, "Ostrel Kelva",
                  "Ostrel Kelva$Ostrel Dramlin", "");
    rig.Send(update);
    EXPECT_EQ(rig.device->VideoMode(), 1);
    // The toggle's update carries no version: 0.00.
    EXPECT_EQ(
        rig.sink.Verdicts(),
        (std::vector<std::string>{"completed: The 'Ostrel Kelva' was updated sucessfully to version 0.00."}));
}

TEST(EndToEnd, FourMiBInSixtyFourPortionsArriveByteIdentical) {
    Rig rig;
    std::vector<Bytes> portions;
    for (unsigned int i = 0; i < 64; ++i)
        portions.push_back(MakePortion(16, 4096, 100 + i)); // 64 KiB each
    Update update = MakeUpdate(portions);
    ASSERT_EQ(update.TotalSysExSize(), 4u * 1024u * 1024u);
    rig.Send(update);

    EXPECT_EQ(rig.sink.Verdicts(), (std::vector<std::string>{"completed: " + acceptedVerdict}));
    const auto seen = rig.device->Portions();
    ASSERT_EQ(seen.size(), 64u);
    for (std::size_t i = 0; i < seen.size(); ++i)
        ASSERT_EQ(seen[i], portions[i]) << "portion " << i;
    Bytes all;
    for (const auto& p : portions)
        all.insert(all.end(), p.begin(), p.end());
    EXPECT_EQ(rig.device->ReceivedBytes(), all);
    EXPECT_EQ(CountOf(rig.sink.Statuses(), "Device has accepted update."), 64u);
}

// The sender on a thread of its own, the service's receive thread delivering the device's answers
// (in many small packets) while the sender polls: the run for the thread sanitizer.
TEST(EndToEndConcurrency, SenderThreadAgainstReceiveThread) {
    SimulatedDevice::Options options;
    options.protocol.busyCount = 3;
    options.protocol.busyIntervalMs = 200; // several answers land between two polls
    options.replyPacketSizes = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    Rig rig(options);
    std::vector<Bytes> portions;
    for (unsigned int i = 0; i < 8; ++i)
        portions.push_back(MakePortion(4, 5000, i));
    Update update = MakeUpdate(portions);

    std::thread sender([&] { rig.Send(update); });
    // Meanwhile this thread moves the clock too and reads the device's records.
    for (int i = 0; i < 200; ++i) {
        rig.clock.Advance(0); // time moves only with the sender: portions stay whole
        (void)rig.device->EndedPortions();
        std::this_thread::yield();
    }
    sender.join();

    EXPECT_EQ(rig.sink.Verdicts(), (std::vector<std::string>{"completed: " + acceptedVerdict}));
    EXPECT_EQ(rig.device->Portions(), portions);
}
