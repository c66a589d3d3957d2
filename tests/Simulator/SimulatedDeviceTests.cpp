// The simulated device on the virtual MIDI service, seen from a bare input port of the service:
// its endpoints, when they come and go, and what it sends when the virtual clock moves.
#include "Clock.h"
#include "DeviceStatus.h"
#include "SimulatedDevice.h"
#include "VirtualMidiService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

using Bytes = std::vector<unsigned char>;
using ::testing::ElementsAre;

namespace {

const Bytes portion{0xF0, 0x00, 0x00, 0x0E, 0x01, 0x02, 0xF7};

// A client with an input port that keeps every packet and the time it arrived.
struct Listener {
    struct Packet {
        Bytes bytes;
        std::uint64_t atMs;
    };
    VirtualMidiService& service;
    MidiRef client = 0, inPort = 0, outPort = 0;
    std::mutex mutex;
    std::vector<Packet> packets;

    explicit Listener(VirtualMidiService& service) : service(service) {
        EXPECT_EQ(service.ClientCreate("Listener", client), midiNoError);
        EXPECT_EQ(service.InputPortCreate(client, "In", &Read, this, inPort), midiNoError);
        EXPECT_EQ(service.OutputPortCreate(client, "Out", outPort), midiNoError);
    }
    ~Listener() {
        service.PortDispose(inPort);
        service.PortDispose(outPort);
        service.ClientDispose(client);
    }
    static void Read(const MidiPacketList& list, void* context, void*) {
        auto* self = static_cast<Listener*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        for (const auto& packet : list)
            self->packets.push_back({packet.data, CurrentClock().NowMs()});
    }
    void Connect(MidiRef source) { EXPECT_EQ(service.PortConnectSource(inPort, source, this), midiNoError); }
    MidiStatus Send(MidiRef destination, const Bytes& bytes) {
        return service.Send(outPort, destination, MidiPacket{0, bytes});
    }
    std::vector<Packet> Packets() {
        std::lock_guard<std::mutex> lock(mutex);
        return packets;
    }
    Bytes AllBytes() {
        Bytes all;
        for (const auto& p : Packets())
            all.insert(all.end(), p.bytes.begin(), p.bytes.end());
        return all;
    }
};

std::vector<std::string> Names(VirtualMidiService& service, bool destinations, MidiProperty property) {
    std::vector<std::string> names;
    const std::uint32_t count = destinations ? service.NumberOfDestinations() : service.NumberOfSources();
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string name;
        service.GetStringProperty(destinations ? service.GetDestination(i) : service.GetSource(i), property,
                                  name);
        names.push_back(name);
    }
    return names;
}

struct SimulatedDeviceTest : ::testing::Test {
    VirtualClock clock{0};
    ScopedClock scoped{clock};
    VirtualMidiService service;
};

} // namespace

TEST_F(SimulatedDeviceTest, OwnsADestinationAndASourceNamedOstrelKelva) {
    SimulatedDevice device(service);
    EXPECT_TRUE(device.Present());
    EXPECT_THAT(Names(service, true, MidiProperty::Name), ElementsAre("Ostrel Kelva"));
    EXPECT_THAT(Names(service, true, MidiProperty::DisplayName), ElementsAre("Ostrel Kelva"));
    EXPECT_THAT(Names(service, false, MidiProperty::Name), ElementsAre("Ostrel Kelva"));
    EXPECT_THAT(Names(service, false, MidiProperty::DisplayName), ElementsAre("Ostrel Kelva"));
}

TEST_F(SimulatedDeviceTest, TakesOtherNamesAndLeavesWithItsEndpoints) {
    {
        SimulatedDevice::Options options;
        options.name = "Ostrel Kelva MIDI 1";
        options.displayName = "Kelva";
        SimulatedDevice device(service, options);
        EXPECT_THAT(Names(service, true, MidiProperty::Name), ElementsAre("Ostrel Kelva MIDI 1"));
        EXPECT_THAT(Names(service, false, MidiProperty::DisplayName), ElementsAre("Kelva"));
    }
    EXPECT_EQ(service.NumberOfDestinations(), 0u);
    EXPECT_EQ(service.NumberOfSources(), 0u);
    clock.Advance(1000); // the clock still calls the device's observer, which must do nothing now
}

TEST_F(SimulatedDeviceTest, AnswersAtTheRightVirtualTimesInTheChosenPackets) {
    SimulatedDevice::Options options;
    options.protocol.busyCount = 2;
    options.protocol.busyIntervalMs = 300;
    options.replyPacketSizes = {1, 5, 4};
    SimulatedDevice device(service, options);
    auto& transport = static_cast<VirtualDeviceTransport&>(device.Transport());
    Listener listener(service);
    listener.Connect(transport.Source());

    ASSERT_EQ(listener.Send(transport.Destination(), portion), midiNoError);
    clock.Advance(99);
    EXPECT_TRUE(listener.Packets().empty());
    clock.Advance(1); // the quiet gap has passed: first busy
    clock.Advance(300);
    clock.Advance(300); // accepted
    clock.Advance(5000);

    const auto packets = listener.Packets();
    ASSERT_EQ(packets.size(), 12u); // three messages of four packets each
    std::vector<std::uint64_t> times;
    for (std::size_t i = 0; i < packets.size(); i += 4) {
        EXPECT_EQ(packets[i].bytes.size(), 1u);
        EXPECT_EQ(packets[i + 1].bytes.size(), 5u);
        EXPECT_EQ(packets[i + 2].bytes.size(), 4u);
        EXPECT_EQ(packets[i + 3].bytes.size(), 3u);
        times.push_back(packets[i].atMs);
    }
    EXPECT_THAT(times, ElementsAre(100u, 400u, 700u));
    Bytes expected = DeviceProtocol::StatusMessage(0x20);
    expected.insert(expected.end(), expected.begin(), expected.end());
    const Bytes accepted = DeviceProtocol::StatusMessage(0x00);
    expected.insert(expected.end(), accepted.begin(), accepted.end());
    EXPECT_EQ(listener.AllBytes(), expected);
    EXPECT_EQ(device.ReceivedBytes(), portion);
    EXPECT_EQ(device.SentMessages().size(), 3u);
}

TEST_F(SimulatedDeviceTest, AnswersTheIdentityRequestWhenTheClockNextMoves) {
    SimulatedDevice::Options options;
    options.protocol.firmwareVersion = Version{2, 31};
    SimulatedDevice device(service, options);
    auto& transport = static_cast<VirtualDeviceTransport&>(device.Transport());
    Listener listener(service);
    listener.Connect(transport.Source());
    listener.Send(transport.Destination(), DeviceProtocol::identityRequest);
    clock.Advance(1);
    EXPECT_EQ(listener.AllBytes(), DeviceProtocol::IdentityReply(Version{2, 31}));
    EXPECT_EQ(ParseDeviceEnquiryResponse(listener.AllBytes()).version, "2.31");
    clock.Advance(10'000);
    EXPECT_EQ(listener.Packets().size(), 1u); // and no status for it
}

TEST_F(SimulatedDeviceTest, AbsentDeviceNeverShowsUp) {
    SimulatedDevice::Options options;
    options.absent = true;
    SimulatedDevice device(service, options);
    clock.Advance(3'600'000);
    EXPECT_FALSE(device.Present());
    EXPECT_EQ(service.NumberOfDestinations(), 0u);
    EXPECT_EQ(device.Appearances(), 0u);
}

TEST_F(SimulatedDeviceTest, ShowsUpOnlyAfterTheChosenTime) {
    SimulatedDevice::Options options;
    options.appearAfterMs = 20'000;
    SimulatedDevice device(service, options);
    clock.Advance(19'999);
    EXPECT_EQ(service.NumberOfDestinations(), 0u);
    clock.Advance(1);
    EXPECT_EQ(service.NumberOfDestinations(), 1u);
    EXPECT_EQ(service.NumberOfSources(), 1u);
}

TEST_F(SimulatedDeviceTest, DestinationWithoutSource) {
    SimulatedDevice::Options options;
    options.withoutSource = true;
    SimulatedDevice device(service, options);
    auto& transport = static_cast<VirtualDeviceTransport&>(device.Transport());
    EXPECT_EQ(service.NumberOfDestinations(), 1u);
    EXPECT_EQ(service.NumberOfSources(), 0u);
    ASSERT_EQ(Listener(service).Send(transport.Destination(), portion), midiNoError);
    clock.Advance(1000);
    EXPECT_EQ(device.ReceivedBytes(), portion); // it hears, but has nowhere to answer
    EXPECT_TRUE(device.SentMessages().empty());
}

TEST_F(SimulatedDeviceTest, OfflineFlagOnItsEndpoints) {
    SimulatedDevice::Options options;
    options.offline = 1;
    SimulatedDevice device(service, options);
    std::int32_t offline = 0;
    EXPECT_EQ(service.GetIntegerProperty(service.GetDestination(0), MidiProperty::Offline, offline),
              midiNoError);
    EXPECT_EQ(offline, 1);
}

TEST_F(SimulatedDeviceTest, VanishesAfterItsAnswerToPortionKAndComesBack) {
    SimulatedDevice::Options options;
    options.vanishAfterPortion = 2;
    options.returnAfterMs = 30'000;
    SimulatedDevice device(service, options);
    auto* transport = static_cast<VirtualDeviceTransport*>(&device.Transport());
    Listener listener(service);
    listener.Connect(transport->Source());

    listener.Send(transport->Destination(), portion);
    clock.Advance(500);
    EXPECT_TRUE(device.Present());
    listener.Send(transport->Destination(), portion);
    clock.Advance(500); // answered portion 2 (accepted), then gone
    EXPECT_FALSE(device.Present());
    EXPECT_EQ(service.NumberOfDestinations(), 0u);
    EXPECT_EQ(listener.Packets().size(), 2u); // the answer to portion 2 did go out first
    clock.Advance(29'000);
    EXPECT_FALSE(device.Present());
    clock.Advance(1'000);
    EXPECT_TRUE(device.Present());
    EXPECT_EQ(device.Appearances(), 2u);
    EXPECT_EQ(device.Disappearances(), 1u);
    // It vanishes only once.
    listener.Connect(transport->Source());
    listener.Send(transport->Destination(), portion);
    clock.Advance(500);
    EXPECT_TRUE(device.Present());
    EXPECT_EQ(device.Portions().size(), 3u);
}

TEST_F(SimulatedDeviceTest, ByteRateHoldsTheSenderBackAndKeepsThePortionOpenMeanwhile) {
    SimulatedDevice::Options options;
    options.bytesPerSecond = 1000;
    SimulatedDevice device(service, options);
    auto& transport = static_cast<VirtualDeviceTransport&>(device.Transport());
    Listener listener(service);
    listener.Connect(transport.Source());

    Bytes first(500, 0x01), second(250, 0x02);
    first.front() = 0xF0;
    second.back() = 0xF7;
    const std::uint64_t start = clock.NowMs();
    ASSERT_EQ(listener.Send(transport.Destination(), first), midiNoError);
    EXPECT_EQ(clock.NowMs() - start, 500u); // 500 bytes at 1000 bytes a second
    ASSERT_EQ(listener.Send(transport.Destination(), second), midiNoError);
    EXPECT_EQ(clock.NowMs() - start, 750u);
    // The waits were far longer than the quiet gap, yet both packets make one portion.
    EXPECT_EQ(device.EndedPortions(), 0u);
    clock.Advance(100);
    EXPECT_EQ(device.EndedPortions(), 1u);
    ASSERT_EQ(device.Portions().size(), 1u);
    EXPECT_EQ(device.Portions()[0].size(), 750u);
    EXPECT_EQ(listener.AllBytes(), DeviceProtocol::StatusMessage(DeviceProtocol::flagsAccepted));
}

TEST_F(SimulatedDeviceTest, ByteRateCountsFromWhenTheDeviceIsIdleAgain) {
    SimulatedDevice::Options options;
    options.bytesPerSecond = 2000;
    SimulatedDevice device(service, options);
    auto& transport = static_cast<VirtualDeviceTransport&>(device.Transport());
    Listener listener(service);
    const std::uint64_t start = clock.NowMs();
    listener.Send(transport.Destination(), Bytes(100, 0x00));
    EXPECT_EQ(clock.NowMs() - start, 50u);
    clock.Advance(1000); // idle time is not banked for later data
    listener.Send(transport.Destination(), Bytes(100, 0x00));
    EXPECT_EQ(clock.NowMs() - start, 1100u);
}
