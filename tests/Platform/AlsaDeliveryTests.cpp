#include "AlsaDelivery.h"
#include "Clock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <numeric>
#include <set>
#include <unistd.h>

using namespace alsa;

namespace {

TEST(AlsaReferences, EveryAddressHasItsOwnNonZeroEndpointReferenceThatDecodesBack) {
    std::set<MidiRef> seen;
    for (int client = 0; client <= 255; ++client) {
        for (int port = 0; port <= 255; ++port) {
            auto reference = EndpointRef({client, port});
            ASSERT_TRUE(reference.has_value());
            ASSERT_NE(*reference, 0u);
            ASSERT_LE(*reference, endpointLimit);
            ASSERT_TRUE(seen.insert(*reference).second) << client << ":" << port;
            auto address = EndpointAddress(*reference);
            ASSERT_TRUE(address.has_value());
            ASSERT_EQ(*address, (Address{client, port}));
        }
    }
}

TEST(AlsaReferences, AddressesOutsideTheSequencersRangeHaveNoReference) {
    EXPECT_FALSE(EndpointRef({256, 0}));
    EXPECT_FALSE(EndpointRef({0, 256}));
    EXPECT_FALSE(EndpointRef({-1, 0}));
    EXPECT_FALSE(EndpointRef({0, -1}));
}

TEST(AlsaReferences, NoKindOfReferenceIsTakenForAnother) {
    EXPECT_FALSE(EndpointAddress(0));
    EXPECT_FALSE(EndpointAddress(endpointLimit + 1));
    const MidiRef clientObject = *ClientObjectRef(24);
    EXPECT_FALSE(EndpointAddress(clientObject));
    EXPECT_EQ(ClientObjectClient(clientObject), 24);
    EXPECT_FALSE(EndpointAddress(ownClientBase | 1));
    EXPECT_FALSE(EndpointAddress(ownPortBase | 2));
    EXPECT_FALSE(ClientObjectClient(ownClientBase | 24));
    EXPECT_FALSE(ClientObjectClient(*EndpointRef({24, 0})));
    EXPECT_FALSE(ClientObjectRef(256));
}

TEST(AlsaEventSizes, CellsAreOneForTheEventAndOnePerStarted28BytesOfData) {
    EXPECT_EQ(CellsForEvent(0), 1u);
    EXPECT_EQ(CellsForEvent(1), 2u);
    EXPECT_EQ(CellsForEvent(28), 2u);
    EXPECT_EQ(CellsForEvent(29), 3u);
    EXPECT_EQ(CellsForEvent(4096), 148u);
    // The largest event a user client can hold (pool of at most 2000 cells) takes 1999 data cells.
    EXPECT_EQ(CellsForEvent(55972), 2000u);
    EXPECT_EQ(CellsForEvent(55973), 2001u);
}

TEST(AlsaEventSizes, TheLimitForAPoolAlwaysFitsThatPoolWhenEmpty) {
    EXPECT_EQ(EventLimitForPool(200), maxSequencerEventBytes); // the default pool
    EXPECT_EQ(EventLimitForPool(2000), maxSequencerEventBytes);
    EXPECT_EQ(EventLimitForPool(100), 98u * 28u);
    EXPECT_EQ(EventLimitForPool(0), 0u);
    EXPECT_EQ(EventLimitForPool(2), 0u);
    for (int pool = 3; pool <= 2000; ++pool) {
        const std::size_t limit = EventLimitForPool(pool);
        ASSERT_GT(limit, 0u) << pool;
        // The kernel takes an event whose data cells are fewer than the pool's, and its own cell on top.
        ASSERT_LT(CellsForEvent(limit) - 1, static_cast<std::size_t>(pool)) << pool;
        ASSERT_LE(CellsForEvent(limit), static_cast<std::size_t>(pool)) << pool;
        ASSERT_LE(limit, maxSequencerEventBytes);
    }
    // Below the receiver's default alsa-lib input buffer of 14000 bytes.
    EXPECT_LT(maxSequencerEventBytes + 28, 14000u);
}

TEST(AlsaEventSizes, CuttingKeepsEveryByteInOrderInPiecesNoLargerThanTheLimit) {
    EXPECT_EQ(CutIntoEvents(16384, 4096), (std::vector<std::size_t>{4096, 4096, 4096, 4096}));
    EXPECT_EQ(CutIntoEvents(16385, 4096), (std::vector<std::size_t>{4096, 4096, 4096, 4096, 1}));
    EXPECT_EQ(CutIntoEvents(13, 256), (std::vector<std::size_t>{13}));
    EXPECT_TRUE(CutIntoEvents(0, 256).empty());
    EXPECT_TRUE(CutIntoEvents(100, 0).empty());
    for (std::size_t size : {1u, 255u, 256u, 257u, 65535u}) {
        for (std::size_t limit : {1u, 28u, 256u, 4096u}) {
            auto pieces = CutIntoEvents(size, limit);
            ASSERT_EQ(std::accumulate(pieces.begin(), pieces.end(), std::size_t{0}), size);
            for (std::size_t piece : pieces) {
                ASSERT_GT(piece, 0u);
                ASSERT_LE(piece, limit);
            }
        }
    }
}

TEST(AlsaDeliveryChooser, OnlyAHardwarePortOfACardWithARawMidiOutputGoesThroughRawMidi) {
    DestinationFacts usb{1, true, true, true};
    EXPECT_EQ(ChooseDelivery(usb), Delivery::RawMidi);

    DestinationFacts virmidi{2, true, false, true}; // card kernel client, software port
    EXPECT_EQ(ChooseDelivery(virmidi), Delivery::Sequencer);

    DestinationFacts software{-1, false, false, false};
    EXPECT_EQ(ChooseDelivery(software), Delivery::Sequencer);

    DestinationFacts noOutput{1, true, true, false}; // an input-only raw MIDI device behind it
    EXPECT_EQ(ChooseDelivery(noOutput), Delivery::Sequencer);

    DestinationFacts userClientClaimingHardware{-1, false, true, false};
    EXPECT_EQ(ChooseDelivery(userClientClaimingHardware), Delivery::Sequencer);
}

TEST(AlsaRawMidiMapping, TheBridgeNumbersPortsDeviceTimes32PlusSubdevice) {
    EXPECT_EQ(RawMidiLocationForPort(1, 0), (RawMidiLocation{1, 0, 0}));
    EXPECT_EQ(RawMidiLocationForPort(1, 1), (RawMidiLocation{1, 0, 1}));
    EXPECT_EQ(RawMidiLocationForPort(1, 31), (RawMidiLocation{1, 0, 31}));
    EXPECT_EQ(RawMidiLocationForPort(1, 32), (RawMidiLocation{1, 1, 0}));
    EXPECT_EQ(RawMidiLocationForPort(3, 65), (RawMidiLocation{3, 2, 1}));
    EXPECT_EQ(RawMidiDeviceName({1, 0, 0}), "hw:1,0,0");
    EXPECT_EQ(RawMidiDeviceName(RawMidiLocationForPort(3, 65)), "hw:3,2,1");
    EXPECT_EQ(RawMidiNodePath(3, RawMidiLocationForPort(3, 65).device), "/dev/snd/midiC3D2");
}

// --- waits --------------------------------------------------------------------------------------

// A raw MIDI output whose device takes `bytesPerStep` bytes from the buffer every `stepMs` of the
// clock (never when bytesPerStep is 0). It keeps what reached the device and what each call saw.
class FakeRawMidi : public RawMidiOutput {
public:
    FakeRawMidi(std::size_t bufferBytes, std::size_t bytesPerStep, std::uint64_t stepMs = 1)
        : bufferBytes(bufferBytes), bytesPerStep(bytesPerStep), stepMs(stepMs), last(CurrentClock().NowMs()) {
    }

    long Write(const unsigned char* data, std::size_t size) override {
        Move();
        ++calls;
        if (writeError != 0)
            return writeError;
        const std::size_t taken = std::min(size, bufferBytes - queued.size());
        if (taken == 0)
            return -EAGAIN;
        // The kernel's USB MIDI driver keeps sending from the buffer until it is drained; a write
        // that meets it sending can lose bytes.
        if (writtenSinceDrain > 0)
            ++writesWhileSending;
        queued.insert(queued.end(), data, data + taken);
        writtenSinceDrain += taken;
        return static_cast<long>(taken);
    }
    long Available() override {
        Move();
        ++calls;
        if (availableError != 0)
            return availableError;
        return static_cast<long>(bufferBytes - queued.size());
    }
    std::size_t BufferSize() override { return bufferBytes; }
    int Drain() override {
        Move();
        ++calls;
        if (drainError != 0)
            return drainError;
        queuedAtDrain.push_back(queued.size());
        pieces.push_back(writtenSinceDrain);
        writtenSinceDrain = 0;
        device.insert(device.end(), queued.begin(), queued.end());
        queued.clear();
        return 0;
    }

    std::vector<unsigned char> device;
    std::vector<std::size_t> queuedAtDrain; // bytes still in the buffer when each drain began
    std::vector<std::size_t> pieces;        // bytes written before each drain
    int writesWhileSending = 0;             // writes after others with no drain in between
    int calls = 0;
    long writeError = 0;
    long availableError = 0;
    int drainError = 0;

private:
    void Move() {
        const std::uint64_t now = CurrentClock().NowMs();
        if (bytesPerStep == 0) {
            last = now;
            return;
        }
        for (; last + stepMs <= now; last += stepMs) {
            const std::size_t moved = std::min(bytesPerStep, queued.size());
            device.insert(device.end(), queued.begin(), queued.begin() + static_cast<long>(moved));
            queued.erase(queued.begin(), queued.begin() + static_cast<long>(moved));
        }
    }

    std::size_t bufferBytes;
    std::size_t bytesPerStep;
    std::uint64_t stepMs;
    std::uint64_t last;
    std::deque<unsigned char> queued;
    std::size_t writtenSinceDrain = 0;
};

std::vector<unsigned char> Pattern(std::size_t size) {
    std::vector<unsigned char> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0x7F);
    return bytes;
}

struct WriteCase {
    const char* what;
    std::size_t size;
    std::size_t bufferBytes;
    std::size_t bytesPerMs;
};

class AlsaRawMidiWrite : public testing::TestWithParam<WriteCase> {};

TEST_P(AlsaRawMidiWrite, EachBufferFullIsOneWriteToAnIdleOutputDrainedOnlyOnceTheBufferIsEmpty) {
    VirtualClock clock;
    ScopedClock installed(clock);
    const WriteCase& c = GetParam();
    FakeRawMidi output(c.bufferBytes, c.bytesPerMs);
    const auto data = Pattern(c.size);
    ASSERT_EQ(WriteRawMidi(output, data.data(), data.size()), 0);
    EXPECT_EQ(output.device, data);
    EXPECT_EQ(output.pieces, CutIntoEvents(c.size, c.bufferBytes));
    EXPECT_EQ(output.writesWhileSending, 0) << "wrote while the driver was still sending";
    for (std::size_t queued : output.queuedAtDrain)
        EXPECT_EQ(queued, 0u) << "drained before the buffer was empty";
    const auto sleeps = clock.Sleeps();
    EXPECT_FALSE(sleeps.empty()) << "the fake device needs time; nothing waited on the clock";
    for (std::uint64_t sleep : sleeps)
        ASSERT_EQ(sleep, deliveryWaitSliceMs);
}

INSTANTIATE_TEST_SUITE_P(
    AlsaSizes, AlsaRawMidiWrite,
    testing::Values(WriteCase{"one byte", 1, 4096, 1}, WriteCase{"one whole buffer", 4096, 4096, 300},
                    // More than the buffer holds: a buffer full at a time, each drained before the next.
                    WriteCase{"buffers and a rest", 10000, 4096, 400},
                    WriteCase{"small buffer", 10000, 1000, 50},
                    // The platform port's largest packet to a raw MIDI destination, in the buffer
                    // the output is opened with: one write, one drain.
                    WriteCase{"preferred packet", rawMidiPacketBytes + 14336, rawMidiBufferBytes, 2000}),
    [](const testing::TestParamInfo<WriteCase>& info) {
        std::string name = info.param.what;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST(AlsaRawMidiWaits, AStalledDeviceTimesOutAfterTheBoundWithoutProgressWhetherTheBufferIsFullOrDraining) {
    // Buffer 1000: the packet does not fit, a buffer full waits to leave before the rest; buffer
    // 4096: the packet fits and waits to leave.
    for (std::size_t buffer : {1000u, 4096u}) {
        VirtualClock clock;
        ScopedClock installed(clock);
        FakeRawMidi output(buffer, 0);
        const auto data = Pattern(4096);
        const std::uint64_t start = clock.NowMs();
        EXPECT_EQ(WriteRawMidi(output, data.data(), data.size(), 500), -ETIMEDOUT) << buffer;
        EXPECT_GE(clock.NowMs() - start, 500u) << buffer;
        EXPECT_LE(clock.NowMs() - start, 500u + deliveryWaitSliceMs) << buffer;
        EXPECT_TRUE(output.device.empty()) << buffer;
    }
}

TEST(AlsaRawMidiWaits, ASlowDeviceThatKeepsMovingNeverTimesOut) {
    VirtualClock clock;
    ScopedClock installed(clock);
    // One byte every 400 ms against a bound of 500 ms: 20 bytes take 8 s in all.
    FakeRawMidi output(8, 1, 400);
    const auto data = Pattern(20);
    EXPECT_EQ(WriteRawMidi(output, data.data(), data.size(), 500), 0);
    EXPECT_EQ(output.device, data);
}

struct ErrorCase {
    const char* where;
    long FakeRawMidi::*error;
};

TEST(AlsaRawMidiWaits, AnErrorOfTheOutputIsAnsweredAtOnceAndNothingMoreIsTried) {
    const ErrorCase cases[] = {{"write", &FakeRawMidi::writeError}, {"status", &FakeRawMidi::availableError}};
    for (const ErrorCase& c : cases) {
        for (long error : {-ENODEV, -EIO}) {
            VirtualClock clock;
            ScopedClock installed(clock);
            FakeRawMidi output(4096, 100);
            output.*c.error = error;
            const auto data = Pattern(10000);
            EXPECT_EQ(WriteRawMidi(output, data.data(), data.size()), error) << c.where;
            EXPECT_EQ(output.calls, c.error == &FakeRawMidi::writeError ? 1 : 2) << c.where;
            EXPECT_TRUE(clock.Sleeps().empty()) << c.where;
        }
    }
    VirtualClock clock;
    ScopedClock installed(clock);
    FakeRawMidi output(4096, 4096);
    output.drainError = -ENODEV;
    const auto data = Pattern(10000);
    EXPECT_EQ(WriteRawMidi(output, data.data(), data.size()), -ENODEV);
    EXPECT_TRUE(output.pieces.empty()) << "went on after the failed drain";
}

// A clock whose sleeps are interrupted, as the command line's clock is after Ctrl-C.
struct Interrupted {};
class InterruptedClock : public Clock {
public:
    std::uint64_t NowMs() override { return 5000; }
    void SleepMs(std::uint64_t) override { throw Interrupted{}; }
};

TEST(AlsaRawMidiWaits, EveryWaitEndsWithTheClocksInterruption) {
    InterruptedClock clock;
    ScopedClock installed(clock);
    for (std::size_t buffer : {1000u, 4096u}) {
        FakeRawMidi output(buffer, 0);
        const auto data = Pattern(4096);
        EXPECT_THROW(WriteRawMidi(output, data.data(), data.size()), Interrupted) << buffer;
    }
    EXPECT_THROW(WaitForRoom([](int& free) { return free = 0; }, 10), Interrupted);
}

TEST(AlsaPoolWait, RoomThatIsThereNeedsNoWait) {
    VirtualClock clock;
    ScopedClock installed(clock);
    EXPECT_EQ(WaitForRoom([](int& free) { return free = 148, 0; }, 148), 0);
    EXPECT_TRUE(clock.Sleeps().empty());
}

TEST(AlsaPoolWait, WaitsInSlicesWhileTheReaderFreesCellsAndTimesOutOnlyWhenItStops) {
    struct Case {
        std::uint64_t msPerCell; // 0: the reader never frees a cell
        int expected;
    };
    for (const Case& c : {Case{300, 0}, Case{0, -ETIMEDOUT}}) {
        VirtualClock clock;
        ScopedClock installed(clock);
        const std::uint64_t start = clock.NowMs();
        // 10 free cells, 40 needed: at one cell per 300 ms it takes 9 s against a 500 ms bound.
        auto freeCells = [&](int& free) {
            free = 10 + (c.msPerCell == 0 ? 0 : static_cast<int>((clock.NowMs() - start) / c.msPerCell));
            return 0;
        };
        EXPECT_EQ(WaitForRoom(freeCells, 40, 500), c.expected) << c.msPerCell;
        if (c.expected == -ETIMEDOUT) {
            EXPECT_GE(clock.NowMs() - start, 500u);
            EXPECT_LE(clock.NowMs() - start, 500u + deliveryWaitSliceMs);
        } else {
            EXPECT_EQ(clock.NowMs() - start, 30u * c.msPerCell);
        }
        for (std::uint64_t sleep : clock.Sleeps())
            ASSERT_EQ(sleep, deliveryWaitSliceMs);
    }
}

TEST(AlsaPoolWait, AnErrorReadingThePoolIsAnswered) {
    VirtualClock clock;
    ScopedClock installed(clock);
    int reads = 0;
    EXPECT_EQ(WaitForRoom([&](int& free) { return free = 0, ++reads < 3 ? 0 : -ENXIO; }, 10), -ENXIO);
    EXPECT_EQ(reads, 3);
}

// --- what the user is told -------------------------------------------------------------------------

struct TextCase {
    const char* what;
    std::string port;
    int status;
    std::vector<PortHolder> holders;
    std::string expected;
};

class AlsaSendFailureText : public testing::TestWithParam<TextCase> {};

TEST_P(AlsaSendFailureText, SaysWhatHappenedAndWhatToDo) {
    const TextCase& c = GetParam();
    EXPECT_EQ(SendFailureText(c.port, c.status, c.holders, std::strerror(-c.status)), c.expected);
}

const std::string kelvaPort = "Ostrel Kelva MIDI 1";

INSTANTIATE_TEST_SUITE_P(
    AlsaFailures, AlsaSendFailureText,
    testing::Values(
        TextCase{"busy one client",
                 kelvaPort,
                 -EBUSY,
                 {{"Midi Through", 14, -1}},
                 "The port \"Ostrel Kelva MIDI 1\" is in use by \"Midi Through\" (client 14). Close that "
                 "program or remove its connection, then try again."},
        TextCase{"busy three clients",
                 kelvaPort,
                 -EBUSY,
                 {{"Midi Through", 14, -1}, {"Bitwig Studio", 130, -1}, {"PipeWire-System", 131, -1}},
                 "The port \"Ostrel Kelva MIDI 1\" is in use by \"Midi Through\" (client 14), \"Bitwig "
                 "Studio\" (client 130) and \"PipeWire-System\" (client 131). Close those programs or remove "
                 "their connections, then try again."},
        TextCase{"busy one process",
                 kelvaPort,
                 -EBUSY,
                 {{"amidi", -1, 4321}},
                 "The port \"Ostrel Kelva MIDI 1\" is in use by \"amidi\" (process 4321). Close that "
                 "program, then try again."},
        TextCase{"busy two processes",
                 kelvaPort,
                 -EBUSY,
                 {{"amidi", -1, 4321}, {"mididings", -1, 99}},
                 "The port \"Ostrel Kelva MIDI 1\" is in use by \"amidi\" (process 4321) and \"mididings\" "
                 "(process 99). Close those programs, then try again."},
        TextCase{"busy nobody found",
                 kelvaPort,
                 -EBUSY,
                 {},
                 "The port \"Ostrel Kelva MIDI 1\" is in use by another program. Close the program that "
                 "uses it (a MIDI tool, a sound server or a music program), then try again."},
        TextCase{
            "unplugged",
            kelvaPort,
            -ENODEV,
            {},
            "The device of the port \"Ostrel Kelva MIDI 1\" was disconnected. Connect it again to go on."},
        TextCase{
            "port gone",
            kelvaPort,
            -ENOENT,
            {},
            "The device of the port \"Ostrel Kelva MIDI 1\" was disconnected. Connect it again to go on."},
        TextCase{"client gone, name unknown",
                 "",
                 -ENXIO,
                 {},
                 "The device of the MIDI port was disconnected. Connect it again to go on."},
        TextCase{"stalled",
                 kelvaPort,
                 -ETIMEDOUT,
                 {},
                 "The device of the port \"Ostrel Kelva MIDI 1\" stopped taking data (nothing moved for 10 "
                 "seconds). Check the device and its cable, then try again."},
        TextCase{"no permission",
                 kelvaPort,
                 -EACCES,
                 {},
                 "No permission to use the port \"Ostrel Kelva MIDI 1\". Add the user to the \"audio\" group "
                 "and log in again, or use a local desktop session."},
        TextCase{"anything else",
                 kelvaPort,
                 -ENOMEM,
                 {},
                 "Could not send to the MIDI port \"Ostrel Kelva MIDI 1\": " +
                     std::string(std::strerror(ENOMEM)) + "."}),
    [](const testing::TestParamInfo<TextCase>& info) {
        std::string name = info.param.what;
        std::replace(name.begin(), name.end(), ' ', '_');
        std::replace(name.begin(), name.end(), ',', '_');
        return name;
    });

TEST(AlsaSequencerOpenFailure, SaysWhichAndWhatUsuallyFixesIt) {
    const std::pair<int, std::string> cases[] = {
        {-ENOENT, "cannot open the ALSA sequencer: No such file or directory. /dev/snd/seq is missing: the "
                  "kernel's sequencer is not loaded. Load it with \"sudo modprobe snd-seq\" (the snd-seq "
                  "module)."},
        {-EACCES,
         "cannot open the ALSA sequencer: Permission denied. This user has no access to /dev/snd: add "
         "the user to the \"audio\" group and log in again, or use a local desktop session."},
        {-EPERM,
         "cannot open the ALSA sequencer: Operation not permitted. This user has no access to /dev/snd: "
         "add the user to the \"audio\" group and log in again, or use a local desktop session."},
        {-EBUSY, "cannot open the ALSA sequencer: Device or resource busy"},
    };
    for (const auto& [error, expected] : cases)
        EXPECT_EQ(SequencerOpenFailureText(error), expected) << error;
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
