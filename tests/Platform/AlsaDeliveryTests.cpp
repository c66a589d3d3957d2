#include "AlsaDelivery.h"

#include <gtest/gtest.h>

#include <numeric>
#include <set>

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
}

} // namespace
