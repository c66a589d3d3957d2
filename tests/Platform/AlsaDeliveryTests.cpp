// Catches: endpoint references that collide or decode wrongly, events too large for a receiver's pool or
// cut wrongly, raw MIDI chosen without a raw MIDI device, bytes lost or written while the driver sends,
// a wait that is unbounded, sliced wrongly or not interruptible, an error passed over, a wrong text.
#include "AlsaDelivery.h"
#include "Clock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <unistd.h>

using namespace alsa;
using Bytes = std::vector<unsigned char>;
using Sizes = std::vector<std::size_t>;

namespace {

TEST(AlsaReferences, EachKindLivesInARangeOfItsOwnAndEveryAddressDecodesBack) {
    std::set<MidiRef> seen;
    for (int client = 0; client <= 255; ++client)
        for (int port = 0; port <= 255; ++port) {
            const auto ref = EndpointRef({client, port});
            ASSERT_TRUE(ref && *ref != 0 && *ref <= endpointLimit && seen.insert(*ref).second) << client;
            ASSERT_EQ(EndpointAddress(*ref), (Address{client, port}));
        }
    for (const Address outside : {Address{256, 0}, Address{0, 256}, Address{-1, 0}, Address{0, -1}})
        EXPECT_FALSE(EndpointRef(outside)) << outside.client << ":" << outside.port;
    EXPECT_EQ(ClientObjectClient(*ClientObjectRef(24)), 24);
    for (const MidiRef other :
         {MidiRef{0}, endpointLimit + 1, *ClientObjectRef(24), ownClientBase | 1, ownPortBase | 2})
        EXPECT_FALSE(EndpointAddress(other)) << other;
    EXPECT_FALSE(ClientObjectClient(ownClientBase | 24) || ClientObjectClient(*EndpointRef({24, 0})) ||
                 ClientObjectRef(256));
}

TEST(AlsaEventSizes, AnEventFitsTheReceiversPoolAndIsCutIntoPiecesWithinTheLimit) {
    // The cells an event of each size takes, then the largest event for each pool.
    Sizes sizes;
    for (std::size_t bytes : {0, 1, 28, 29, 4096, 55972, 55973})
        sizes.push_back(CellsForEvent(bytes));
    for (int pool : {0, 2, 3, 100, 200, 2000})
        sizes.push_back(EventLimitForPool(pool));
    EXPECT_EQ(sizes, (Sizes{1, 2, 2, 3, 148, 2000, 2001, /* limits: */ 0, 0, 28, 98 * 28, 4096, 4096}));
    EXPECT_LT(maxSequencerEventBytes + 28, 14000u); // the receiver's default alsa-lib input buffer
    EXPECT_EQ(CutIntoEvents(16385, 4096), (Sizes{4096, 4096, 4096, 4096, 1}));
    EXPECT_EQ(CutIntoEvents(13, 256), (Sizes{13}));
    EXPECT_TRUE(CutIntoEvents(0, 256).empty() && CutIntoEvents(100, 0).empty());
}

TEST(AlsaDeliveryChooser, OnlyAHardwarePortOfACardWithARawMidiOutputGoesThroughRawMidi) {
    EXPECT_EQ(ChooseDelivery({1, true, true, true}), Delivery::RawMidi);
    // Each one missing: no card (a user client), a user client of a card, a software port of a card's
    // kernel client (virmidi), no raw MIDI output behind the port.
    for (const DestinationFacts f :
         {DestinationFacts{-1, true, true, true}, DestinationFacts{1, false, true, true},
          DestinationFacts{2, true, false, true}, DestinationFacts{1, true, true, false}})
        EXPECT_EQ(ChooseDelivery(f), Delivery::Sequencer) << f.card << f.kernelClient << f.hardwarePort;
    // The bridge numbers ports device * 32 + subdevice.
    EXPECT_EQ(RawMidiLocationForPort(1, 31), (RawMidiLocation{1, 0, 31}));
    EXPECT_EQ(RawMidiLocationForPort(1, 32), (RawMidiLocation{1, 1, 0}));
    EXPECT_EQ(RawMidiDeviceName(RawMidiLocationForPort(3, 65)), "hw:3,2,1");
    EXPECT_EQ(RawMidiNodePath(3, 2), "/dev/snd/midiC3D2");
}

// Thrown out of a sleep of the clock when the run is interrupted, as the command line's clock does after
// Ctrl-C.
struct Interrupted {};

// A raw MIDI output whose device takes `perStep` bytes from the buffer every `stepMs` of the clock
// (never when 0). It keeps every byte written (all but the last `queued` have reached the device), what
// was written between drains, and misuses.
struct FakeRawMidi : RawMidiOutput {
    FakeRawMidi(std::size_t buffer, std::size_t perStep, std::uint64_t stepMs, int full = 0)
        : buffer(buffer), perStep(perStep), stepMs(stepMs), last(CurrentClock().NowMs()), full(full) {}

    long Write(const unsigned char* data, std::size_t size) override {
        const std::size_t taken = std::min(size, buffer - Queued());
        if (writeError != 0 || full-- > 0 || taken == 0)
            return writeError != 0 ? writeError : -EAGAIN;
        // The USB MIDI driver sends from the buffer until it is drained: a write then can lose bytes.
        misuses += unDrained > 0;
        written.insert(written.end(), data, data + taken);
        queued += taken;
        unDrained += taken;
        return static_cast<long>(taken);
    }
    long Available() override {
        return availableError != 0 ? availableError : static_cast<long>(buffer - Queued());
    }
    std::size_t BufferSize() override { return buffer; }
    int Drain() override {
        if (drainError != 0)
            return static_cast<int>(drainError);
        misuses += Queued() != 0; // drained before the buffer was empty
        queued = 0;
        if (unDrained > 0)
            pieces.push_back(std::exchange(unDrained, 0));
        return 0;
    }
    std::size_t Queued() { // once the device has taken from the buffer what it had time for
        for (const std::uint64_t now = CurrentClock().NowMs(); last + stepMs <= now; last += stepMs)
            queued -= std::min(perStep, queued);
        return queued;
    }
    Bytes Device() const { return {written.begin(), written.end() - static_cast<long>(queued)}; }

    std::size_t buffer, perStep, queued = 0, unDrained = 0;
    std::uint64_t stepMs, last;
    Bytes written;
    Sizes pieces;          // bytes written before each drain
    int full, misuses = 0; // full: writes answered -EAGAIN first
    long writeError = 0, availableError = 0, drainError = 0;
};

TEST(AlsaRawMidiWrite, EachBufferFullIsOneWriteDrainedOnceEmptyAndAStallEndsAfterTheBound) {
    // ms: the time it takes, all of it waited in 1 ms slices; reached: the bytes that reached the device
    // when it fails.
    struct Row {
        const char* what;
        std::size_t size, buffer, perStep;
        std::uint64_t ms, stepMs = 1, bound = 500;
        int result = 0, full = 0;
        long FakeRawMidi::*error = nullptr;
        std::size_t reached = 0;
    };
    const Row rows[] = {
        {"one byte", 1, 4096, 1, 1},
        {"one whole buffer", 4096, 4096, 300, 14},
        {"buffers and a rest", 10000, 4096, 400, 11 + 11 + 5},
        {"small buffer", 10000, 1000, 50, 200},
        {"a full buffer is waited for", 100, 4096, 100, 2 + 1, 1, 500, 0, 2},
        // The platform port's largest packet to a raw MIDI destination, in the buffer it is opened with.
        {"preferred packet", rawMidiPacketBytes + 14336, rawMidiBufferBytes, 2000, 24},
        {"a byte every 400 ms", 20, 8, 1, 8000, 400},
        {"full buffer stalled", 4096, 1000, 0, 500, 1, 500, -ETIMEDOUT},
        {"draining stalled", 4096, 4096, 0, 500, 1, 500, -ETIMEDOUT},
        {"stalled for the default 10 s", 100, 4096, 0, 10000, 1, deliveryStallMs, -ETIMEDOUT},
        {"write error", 10000, 4096, 100, 0, 1, 500, -EIO, 0, &FakeRawMidi::writeError},
        {"status error", 10000, 4096, 100, 0, 1, 500, -ENODEV, 0, &FakeRawMidi::availableError},
        {"drain error", 10000, 4096, 4096, 1, 1, 500, -ENODEV, 0, &FakeRawMidi::drainError, 4096},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        VirtualClock clock;
        ScopedClock installed(clock);
        FakeRawMidi output(row.buffer, row.perStep, row.stepMs, row.full);
        if (row.error)
            output.*row.error = row.result;
        Bytes data(row.size);
        for (std::size_t i = 0; i < row.size; ++i)
            data[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0x7F);
        EXPECT_EQ(WriteRawMidi(output, data.data(), data.size(), row.bound), row.result);
        EXPECT_EQ(clock.Sleeps(), std::vector<std::uint64_t>(row.ms, 1));
        EXPECT_EQ(output.misuses, 0) << "wrote while the driver was sending, or drained too early";
        EXPECT_EQ(output.Device(),
                  Bytes(data.begin(), data.begin() + (row.result == 0 ? row.size : row.reached)));
        EXPECT_EQ(output.pieces, row.result == 0 ? CutIntoEvents(row.size, row.buffer) : Sizes{});
        if (row.result == -ETIMEDOUT) { // the same wait ends at once when the run is interrupted
            clock.AddObserver([](std::uint64_t) { throw Interrupted{}; });
            EXPECT_THROW(WriteRawMidi(output, data.data(), data.size()), Interrupted);
        }
    }
}

TEST(AlsaPoolWait, WaitsInSlicesUntilTheBoundWithoutProgressAndEndsWithTheClocksInterruption) {
    VirtualClock clock;
    ScopedClock installed(clock);
    EXPECT_EQ(WaitForRoom([](int& free) { return free = 148, 0; }, 148), 0); // room at once: no wait
    // 10 free cells, 40 needed: at one cell per 300 ms it takes 9 s against a 500 ms bound; with nothing
    // freed (0) the wait ends at the bound. All of it in 1 ms slices.
    for (const std::uint64_t msPerCell : {300, 0}) {
        const std::uint64_t start = clock.NowMs();
        auto freeCells = [&](int& free) {
            free = 10 + (msPerCell == 0 ? 0 : static_cast<int>((clock.NowMs() - start) / msPerCell));
            return 0;
        };
        EXPECT_EQ(WaitForRoom(freeCells, 40, 500), msPerCell == 0 ? -ETIMEDOUT : 0);
        EXPECT_EQ(clock.NowMs() - start, msPerCell == 0 ? 500u : 9000u);
    }
    EXPECT_EQ(clock.Sleeps(), std::vector<std::uint64_t>(9000 + 500, 1));
    int reads = 0;
    EXPECT_EQ(WaitForRoom([&](int& free) { return free = 0, ++reads < 3 ? 0 : -ENXIO; }, 10), -ENXIO);
    EXPECT_EQ(reads, 3);
    clock.AddObserver([](std::uint64_t) { throw Interrupted{}; });
    EXPECT_THROW(WaitForRoom([](int& free) { return free = 0; }, 10), Interrupted);
}

TEST(AlsaTexts, SaysWhatHappenedAndWhatToDo) {
    auto text = [](int status, std::vector<PortHolder> holders = {}) {
        return SendFailureText("Ostrel Kelva MIDI 1", status, holders, std::strerror(-status));
    };
    const std::string port = "the port \"Ostrel Kelva MIDI 1\"", again = ", then try again.";
    const std::string busy = "The port \"Ostrel Kelva MIDI 1\" is in use by ",
                      gone = "The device of " + port + " was disconnected. Connect it again to go on.";
    const std::string audio =
        "the user to the \"audio\" group and log in again, or use a local desktop session.";
    const PortHolder through{"Midi Through", 14, -1}, amidi{"amidi", -1, 4321};
    EXPECT_EQ(text(-EBUSY, {through}),
              busy + "\"Midi Through\" (client 14). Close that program or remove its connection" + again);
    EXPECT_EQ(text(-EBUSY, {through, {"Bitwig", 130, -1}, {"PipeWire", 131, -1}}),
              busy +
                  "\"Midi Through\" (client 14), \"Bitwig\" (client 130) and \"PipeWire\" (client 131). "
                  "Close those programs or remove their connections" +
                  again);
    EXPECT_EQ(text(-EBUSY, {amidi}), busy + "\"amidi\" (process 4321). Close that program" + again);
    EXPECT_EQ(text(-EBUSY, {amidi, {"mididings", -1, 99}}),
              busy + "\"amidi\" (process 4321) and \"mididings\" (process 99). Close those programs" + again);
    EXPECT_EQ(text(-EBUSY), busy +
                                "another program. Close the program that uses it (a MIDI tool, a sound "
                                "server or a music program)" +
                                again);
    EXPECT_EQ(std::pair(text(-ENODEV), text(-ENOENT)), std::pair(gone, gone));
    EXPECT_EQ(SendFailureText("", -ENXIO, {}, ""),
              "The device of the MIDI port was disconnected. Connect it again to go on.");
    EXPECT_EQ(text(-ETIMEDOUT),
              "The device of " + port +
                  " stopped taking data (nothing moved for 10 seconds). Check the device and its cable" +
                  again);
    EXPECT_EQ(text(-EACCES), "No permission to use " + port + ". Add " + audio);
    EXPECT_EQ(text(-ENOMEM),
              "Could not send to the MIDI port \"Ostrel Kelva MIDI 1\": Cannot allocate memory.");
    const std::string open = "cannot open the ALSA sequencer: ",
                      access = ". This user has no access to /dev/snd: add " + audio;
    EXPECT_EQ(SequencerOpenFailureText(-ENOENT),
              open + "No such file or directory. /dev/snd/seq is missing: the kernel's sequencer is not "
                     "loaded. Load it with \"sudo modprobe snd-seq\" (the snd-seq module).");
    EXPECT_EQ(SequencerOpenFailureText(-EACCES), open + "Permission denied" + access);
    EXPECT_EQ(SequencerOpenFailureText(-EPERM), open + "Operation not permitted" + access);
    EXPECT_EQ(SequencerOpenFailureText(-EBUSY), open + "Device or resource busy");
}

TEST(AlsaPortHolders, AProcessHoldingTheFileIsFoundWithItsNameUntilItLetsGo) {
    char path[] = "/tmp/midi-updater-holder-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string ownName;
    std::getline(std::ifstream("/proc/self/comm"), ownName);
    EXPECT_EQ(ProcessesWithFileOpen(path), (std::vector<PortHolder>{{ownName, -1, getpid()}}));
    close(fd);
    EXPECT_TRUE(ProcessesWithFileOpen(path).empty());
    std::remove(path);
}

} // namespace
