#include "CoreMidiPort.h"
#include "Log.h"
#include "PlatformTestSupport.h"
#include "VirtualMidiService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace platformtest;
using testing::ElementsAre;
using testing::IsEmpty;
using Call = VirtualMidiService::Call;

namespace {

const Bytes identityReply = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x00, 0x0E, 0x01, 0x02, 0x03, 0x04, 0xF7};
const Bytes statusMessage = {0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x20, 0x00, 0x00, 0x00, 0xF7};

class CoreMidiPortTest : public testing::Test {
protected:
    // The device as the port should find it: destination and source both named "Ostrel Kelva".
    void AddKelva(const std::string& name = "Ostrel Kelva", const std::string& displayName = "Ostrel Kelva") {
        kelva.AddDestination(service, Named(name, displayName));
        kelva.source = service.AddSource(Named(name, displayName));
    }

    std::unique_ptr<CoreMidiPort> MakePort(std::set<std::string> names = {"Ostrel Kelva"}) {
        return std::make_unique<CoreMidiPort>(service, names);
    }

    VirtualMidiService service;
    ScopedLogCapture log;
    FakeEndpoints kelva;
};

} // namespace

// --- Construction, sizes and destruction ---

TEST_F(CoreMidiPortTest, ConstructionCreatesClientAndBothPortsAndLooksForNothingYet) {
    auto port = MakePort();
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"CoreMidiPort"}));
    EXPECT_EQ(service.LiveClientCount(), 1u);
    EXPECT_EQ(service.LivePortCount(), 2u);
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_EQ(port->IdealChunkSize(), 2048u);
    EXPECT_EQ(port->MaxChunkSize(), 16384u);
}

// A service that prefers one packet size for every destination, as the ALSA back end does for a
// port of a card's raw MIDI bridge.
class PreferringService : public VirtualMidiService {
public:
    explicit PreferringService(std::size_t bytes) : bytes(bytes) {}
    std::size_t PreferredPacketBytes(MidiRef) override { return bytes; }

private:
    std::size_t bytes;
};

TEST(CoreMidiPortChunks,
     TheServicesPreferredPacketSizeTakesOverOnceTheDestinationIsFoundWithinThePacketLimit) {
    struct Case {
        std::size_t preferred, ideal, max;
    };
    // The largest chunk stays below the 16-bit packet length, however large the preference.
    for (const Case& c : {Case{32768, 32768, 47104}, Case{100000, 49151, 63487}}) {
        PreferringService service(c.preferred);
        FakeEndpoints kelva;
        kelva.AddDestination(service, Named("Ostrel Kelva", "Ostrel Kelva"));
        kelva.source = service.AddSource(Named("Ostrel Kelva", "Ostrel Kelva"));
        CoreMidiPort port(service, {"Ostrel Kelva"});
        EXPECT_EQ(port.IdealChunkSize(), 2048u) << "no destination yet";
        ASSERT_TRUE(port.IsConnected());
        EXPECT_EQ(port.IdealChunkSize(), c.ideal) << c.preferred;
        EXPECT_EQ(port.MaxChunkSize(), c.max) << c.preferred;
        EXPECT_LT(port.MaxChunkSize(), 65536u);
    }
}

TEST_F(CoreMidiPortTest, DestructorReleasesEveryClientPortAndConnection) {
    AddKelva();
    {
        auto port = MakePort();
        ASSERT_TRUE(port->IsConnected());
        EXPECT_EQ(service.ConnectionCount(), 1u);
        EXPECT_EQ(service.LivePortCount(), 2u);
    }
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_EQ(service.LivePortCount(), 0u);
    EXPECT_EQ(service.LiveClientCount(), 0u);
    EXPECT_EQ(service.CallCount(Call::PortDispose), 2u);
    EXPECT_EQ(service.CallCount(Call::ClientDispose), 1u);
    EXPECT_EQ(log.Lines().back(), "~CoreMidiPort");
}

TEST_F(CoreMidiPortTest, ConnectedLogShowsEachStepOfTheSearch) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "CoreMidiPort",
                               "FindEndpoint: Looking for output port",
                               "EndpointHasRightName:   Name=Ostrel Kelva:Ostrel Kelva recognised",
                               "FindEndpoint: Looking for input port",
                               "EndpointHasRightName:   Name=Ostrel Kelva:Ostrel Kelva recognised",
                               "FindEndpoint: Connecting input port",
                               "Connected Input port",
                           }));
    // Once bound, IsConnected only asks about the offline flag.
    ASSERT_TRUE(port->IsConnected());
    EXPECT_EQ(log.Lines().size(), 7u);
    EXPECT_EQ(service.CallCount(Call::GetOffline), 2u);
}

// --- Name matching ---

struct NameCase {
    const char* name;
    const char* displayName;
    bool taken;
};

class CoreMidiPortNameTest : public CoreMidiPortTest, public testing::WithParamInterface<NameCase> {};

TEST_P(CoreMidiPortNameTest, MatchesTheWholeNameOrDisplayNameCaseSensitively) {
    const NameCase& c = GetParam();
    kelva.AddDestination(service, Named(c.name, c.displayName, "Maker"));
    auto port = MakePort({"Ostrel Kelva"});
    EXPECT_EQ(port->IsConnected(), c.taken);
    const std::string recognised =
        std::string("EndpointHasRightName:   Name=") + c.name + ":" + c.displayName + " recognised";
    const std::string rejected =
        std::string("EndpointHasRightName:   (") + c.name + ":Maker:" + c.displayName + ") not recognised";
    EXPECT_EQ(Contains(log.Lines(), recognised), c.taken);
    EXPECT_EQ(Contains(log.Lines(), rejected), !c.taken);
}

INSTANTIATE_TEST_SUITE_P(Names, CoreMidiPortNameTest,
                         testing::Values(NameCase{"Ostrel Kelva", "Something else", true},
                                         NameCase{"USB MIDI Interface", "Ostrel Kelva", true},
                                         NameCase{"ostrel kelva", "ostrel kelva", false},
                                         NameCase{"OSTREL KELVA", "Ostrel kelva", false},
                                         NameCase{"Ostrel Kelva 2", "Ostrel Kelva 2", false},
                                         NameCase{"Ostrel Kelv", "Ostrel", false},
                                         NameCase{" Ostrel Kelva", "Ostrel Kelva ", false},
                                         NameCase{"", "", false}));

TEST_F(CoreMidiPortTest, TakesTheFirstMatchingDestinationAmongSeveral) {
    FakeEndpoints lowerCase, longer, second;
    lowerCase.AddDestination(service, Named("ostrel kelva", "ostrel kelva"));
    longer.AddDestination(service, Named("Ostrel Kelva 2", "Ostrel Kelva 2"));
    AddKelva();
    second.AddDestination(service, Named("Ostrel Kelva", "Ostrel Kelva"));
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    const Bytes bytes = {0xF0, 0x01, 0xF7};
    port->Send(bytes.data(), bytes.size());
    EXPECT_THAT(kelva.Packets(), ElementsAre(bytes));
    EXPECT_THAT(lowerCase.Packets(), IsEmpty());
    EXPECT_THAT(longer.Packets(), IsEmpty());
    EXPECT_THAT(second.Packets(), IsEmpty());
}

TEST_F(CoreMidiPortTest, AnyNameOfTheSetIsAccepted) {
    kelva.AddDestination(service, Named("Ostrel Dramlin", "Ostrel Dramlin"));
    auto port = MakePort({"Ostrel Kelva", "Ostrel Dramlin"});
    EXPECT_TRUE(port->IsConnected());
}

// --- An empty name set: the one USB MIDI device, never a software, through or virtual port ---

TEST_F(CoreMidiPortTest, EmptyNameSetTakesTheOnlyUsbDeviceAndItsOwnSource) {
    FakeEndpoints through, virmidi, usb;
    through.AddDestination(service, Named("Midi Through Port-0", "Midi Through"));
    MidiRef throughSource = service.AddSource(Named("Midi Through Port-0", "Midi Through"));
    virmidi.AddDestination(service, Named("Virtual Raw MIDI 1-0", "Virtual Raw MIDI 1-0"));
    usb.AddDestination(service, Usb("Ostrel Kelva MIDI 1", "Ostrel Kelva", 3));
    usb.AddDestination(service, Usb("Ostrel Kelva MIDI 2", "Ostrel Kelva", 3)); // its second port
    MidiRef usbSource = service.AddSource(Usb("Ostrel Kelva MIDI 1", "Ostrel Kelva", 3));
    auto port = MakePort({});
    ASSERT_TRUE(port->IsConnected());
    EXPECT_TRUE(Contains(log.Lines(), "FindEndpoint: Using the only USB MIDI device, \"Ostrel Kelva\" (port "
                                      "\"Ostrel Kelva MIDI 1\")"));
    const Bytes bytes = {0xF0, 0x02, 0xF7};
    ASSERT_TRUE(port->Send(bytes.data(), bytes.size()));
    EXPECT_THAT(through.Packets(), IsEmpty());
    EXPECT_THAT(virmidi.Packets(), IsEmpty());
    EXPECT_THAT(usb.Packets(), ElementsAre(bytes));

    service.Emit(throughSource, statusMessage);
    EXPECT_THAT(port->LastSysEx(), IsEmpty());
    service.Emit(usbSource, statusMessage);
    EXPECT_EQ(port->LastSysEx(), statusMessage);
}

struct CandidateCase {
    const char* what;
    std::vector<std::int32_t> usbDevices; // one destination each; 0 = not a USB MIDI device
    const char* logLine;
};

void PrintTo(const CandidateCase& c, std::ostream* os) {
    *os << c.what;
}

class EmptyNameSetWithout : public CoreMidiPortTest, public testing::WithParamInterface<CandidateCase> {};

TEST_P(EmptyNameSetWithout, ExactlyOneUsbDeviceConnectsNowhere) {
    std::vector<std::unique_ptr<FakeEndpoints>> endpoints;
    for (std::int32_t id : GetParam().usbDevices) {
        endpoints.push_back(std::make_unique<FakeEndpoints>());
        const std::string name = "Device " + std::to_string(id);
        endpoints.back()->AddDestination(service, Usb(name, name, id));
    }
    auto port = MakePort({});
    EXPECT_FALSE(port->IsConnected());
    EXPECT_TRUE(Contains(log.Lines(), GetParam().logLine)) << testing::PrintToString(log.Lines());
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, EmptyNameSetWithout,
    testing::Values(CandidateCase{"nothing", {}, "FindEndpoint: No USB MIDI device found"},
                    CandidateCase{"software ports only", {0, 0}, "FindEndpoint: No USB MIDI device found"},
                    CandidateCase{"two USB devices",
                                  {0, 4, 7},
                                  "FindEndpoint: 2 USB MIDI devices, not choosing one of them: \"Device 4\", "
                                  "\"Device 7\""}),
    [](const testing::TestParamInfo<CandidateCase>& info) {
        std::string name = info.param.what;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST_F(CoreMidiPortTest, AChosenUsbDeviceIsTakenAmongSeveralEvenUnderTheSameName) {
    FakeEndpoints first, second;
    first.AddDestination(service, Usb("Ostrel Kelva MIDI 1", "Ostrel Kelva", 4));
    service.AddSource(Usb("Ostrel Kelva MIDI 1", "Ostrel Kelva", 4));
    second.AddDestination(service, Usb("Ostrel Kelva MIDI 1", "Ostrel Kelva", 7));
    MidiRef secondSource = service.AddSource(Usb("Ostrel Kelva MIDI 1", "Ostrel Kelva", 7));
    auto port = MakePort({});
    port->TakeUsbDevice(7);
    ASSERT_TRUE(port->IsConnected());
    const Bytes bytes = {0xF0, 0x03, 0xF7};
    ASSERT_TRUE(port->Send(bytes.data(), bytes.size()));
    EXPECT_THAT(first.Packets(), IsEmpty());
    EXPECT_THAT(second.Packets(), ElementsAre(bytes));
    service.Emit(secondSource, statusMessage);
    EXPECT_EQ(port->LastSysEx(), statusMessage);

    port->TakeUsbDevice(9);
    port->Disconnect();
    EXPECT_FALSE(port->IsConnected());
    EXPECT_EQ(log.Lines().back(), "FindEndpoint: The chosen USB MIDI device is not there");
}

TEST_F(CoreMidiPortTest, AFailedSendIsAnsweredWithItsReason) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    EXPECT_EQ(port->SendFailure(), "");
    service.FailNextCall(Call::Send, -16);
    const Bytes bytes = {0xF0, 0x02, 0xF7};
    EXPECT_FALSE(port->Send(bytes.data(), bytes.size()));
    EXPECT_EQ(port->SendFailure(),
              "Could not send to the MIDI port \"Ostrel Kelva\": " + service.StatusText(-16) + ".");
    EXPECT_TRUE(Contains(log.Lines(), ErrorLine(service, "Sending MIDI", -16)));
    EXPECT_THAT(kelva.Packets(), IsEmpty());
    EXPECT_TRUE(port->Send(bytes.data(), bytes.size()));
}

TEST_F(CoreMidiPortTest, NoMatchingDestinationLogsEachRejectionAndSearchesNoSource) {
    FakeEndpoints a, b;
    a.AddDestination(service, Named("ostrel kelva", "ostrel kelva", "M1"));
    b.AddDestination(service, Named("Ostrel Kelva 2", "Kelva", "M2"));
    service.AddSource(Named("Ostrel Kelva", "Ostrel Kelva"));
    auto port = MakePort();
    EXPECT_FALSE(port->IsConnected());
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "CoreMidiPort",
                               "FindEndpoint: Looking for output port",
                               "EndpointHasRightName:   (ostrel kelva:M1:ostrel kelva) not recognised",
                               "EndpointHasRightName:   (Ostrel Kelva 2:M2:Kelva) not recognised",
                           }));
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_EQ(service.CallCount(Call::GetOffline), 0u);
}

TEST_F(CoreMidiPortTest, NoDestinationsAtAllThenOneAppears) {
    auto port = MakePort();
    EXPECT_FALSE(port->IsConnected());
    EXPECT_FALSE(port->IsConnected());
    EXPECT_EQ(CountOf(log.Lines(), "FindEndpoint: Looking for output port"), 2u);
    AddKelva();
    EXPECT_TRUE(port->IsConnected());
    EXPECT_EQ(service.ConnectionCount(), 1u);
}

TEST_F(CoreMidiPortTest, FailedDisplayNameQueryCountsAsNotRecognised) {
    FakeEndpoints first;
    first.AddDestination(service, Named("Ostrel Kelva", "Ostrel Kelva"));
    kelva.AddDestination(service, Named("Ostrel Kelva", "Ostrel Kelva"));
    service.FailNextCall(Call::GetDisplayName, VirtualMidiService::unknownProperty);
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    EXPECT_TRUE(
        Contains(log.Lines(), ErrorLine(service, "Getting dest name", VirtualMidiService::unknownProperty)));
    const Bytes bytes = {0xF8};
    port->Send(bytes.data(), bytes.size());
    EXPECT_THAT(first.Packets(), IsEmpty());
    EXPECT_THAT(kelva.Packets(), ElementsAre(bytes));
}

TEST_F(CoreMidiPortTest, FailedNameOrManufacturerQueryIsNotLookedAt) {
    kelva.AddDestination(service, Named("USB MIDI", "Ostrel Kelva"));
    service.FailNextCall(Call::GetName, -1);
    service.FailNextCall(Call::GetManufacturer, -2);
    auto port = MakePort();
    EXPECT_TRUE(port->IsConnected());
    EXPECT_TRUE(Contains(log.Lines(), "EndpointHasRightName:   Name=:Ostrel Kelva recognised"));
}

// --- Destination without a source ---

TEST_F(CoreMidiPortTest, DestinationWithoutSourceSendsButNeverReceives) {
    kelva.AddDestination(service, Named("Ostrel Kelva", "Ostrel Kelva"));
    MidiRef stranger = service.AddSource(Named("Stranger", "Stranger", "Other"));
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    EXPECT_EQ(LinesAfter(log.Lines(), "FindEndpoint: Looking for input port"),
              (std::vector<std::string>{"EndpointHasRightName:   (Stranger:Other:Stranger) not recognised",
                                        "Couldn't find a matching input endpoint"}));
    const Bytes bytes = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    port->Send(bytes.data(), bytes.size());
    EXPECT_THAT(kelva.Packets(), ElementsAre(bytes));
    service.Emit(stranger, statusMessage);
    EXPECT_THAT(port->LastSysEx(), IsEmpty());
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_TRUE(port->IsConnected());
}

// --- Offline ---

TEST_F(CoreMidiPortTest, OfflineDestinationIsForgottenAndTheNextCallSearchesAgain) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    service.Emit(kelva.source, statusMessage);

    service.SetOffline(kelva.destination, 7);
    const std::size_t before = log.Lines().size();
    EXPECT_FALSE(port->IsConnected());
    const std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end()),
              (std::vector<std::string>{"Entity offline=7"}));
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_THAT(port->LastSysEx(), IsEmpty()); // forgetting the device drops its unread message

    // Still offline: a fresh search finds it, and the check forgets it again.
    EXPECT_FALSE(port->IsConnected());
    EXPECT_EQ(CountOf(log.Lines(), "FindEndpoint: Looking for output port"), 2u);
    EXPECT_EQ(CountOf(log.Lines(), "Entity offline=7"), 2u);

    service.SetOffline(kelva.destination, 0);
    EXPECT_TRUE(port->IsConnected());
    EXPECT_EQ(CountOf(log.Lines(), "FindEndpoint: Looking for output port"), 3u);
    EXPECT_EQ(service.ConnectionCount(), 1u);
}

TEST_F(CoreMidiPortTest, NegativeOfflineValueAlsoCountsAsOffline) {
    AddKelva();
    service.SetOffline(kelva.destination, -1);
    auto port = MakePort();
    EXPECT_FALSE(port->IsConnected());
    EXPECT_TRUE(Contains(log.Lines(), "Entity offline=-1"));
}

TEST_F(CoreMidiPortTest, OfflineSourceDoesNotMatter) {
    AddKelva();
    service.SetOffline(kelva.source, 1);
    auto port = MakePort();
    EXPECT_TRUE(port->IsConnected());
}

TEST_F(CoreMidiPortTest, FailedOfflineQueryForgetsTheEndpoint) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    service.FailNextCall(Call::GetOffline, VirtualMidiService::unknownProperty);
    EXPECT_FALSE(port->IsConnected());
    EXPECT_EQ(log.Lines().back(),
              ErrorLine(service, "Getting offline properties", VirtualMidiService::unknownProperty));
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_TRUE(port->IsConnected());
    EXPECT_EQ(CountOf(log.Lines(), "FindEndpoint: Looking for output port"), 2u);
}

// --- Endpoints that go away ---

TEST_F(CoreMidiPortTest, DestinationRemovedWhileBoundIsForgotten) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    service.RemoveEndpoint(kelva.destination);
    EXPECT_FALSE(port->IsConnected());
    EXPECT_EQ(log.Lines().back(),
              ErrorLine(service, "Getting offline properties", VirtualMidiService::objectNotFound));
    EXPECT_EQ(service.ConnectionCount(), 0u);
    // Unbound now: the next call searches and finds nothing.
    EXPECT_FALSE(port->IsConnected());
    EXPECT_EQ(log.Lines().back(), "FindEndpoint: Looking for output port");
    // The device comes back under a new reference.
    AddKelva();
    EXPECT_TRUE(port->IsConnected());
}

TEST_F(CoreMidiPortTest, SendToARemovedDestinationLogsTheError) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    service.RemoveEndpoint(kelva.destination);
    const Bytes bytes = {0xF8};
    EXPECT_FALSE(port->Send(bytes.data(), bytes.size()));
    EXPECT_EQ(log.Lines().back(), ErrorLine(service, "Sending MIDI", VirtualMidiService::objectNotFound));
    EXPECT_THAT(kelva.Packets(), IsEmpty());
}

TEST_F(CoreMidiPortTest, SourceRemovedWhileBoundLeavesThePortConnectedButDeaf) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    MidiRef oldSource = kelva.source;
    service.RemoveEndpoint(oldSource);
    EXPECT_TRUE(port->IsConnected());
    service.Emit(oldSource, statusMessage);
    EXPECT_THAT(port->LastSysEx(), IsEmpty());
    // Disconnecting a source that is gone is harmless, and the port is clean afterwards.
    port->Disconnect();
    port.reset();
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_EQ(service.LivePortCount(), 0u);
}

// --- Receiving ---

TEST_F(CoreMidiPortTest, LastSysExTakesTheMessageOnce) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    EXPECT_THAT(port->LastSysEx(), IsEmpty());
    service.Emit(kelva.source, statusMessage);
    EXPECT_EQ(log.Lines().back(), "GotSysEx: 13 bytes");
    EXPECT_EQ(port->LastSysEx(), statusMessage);
    EXPECT_THAT(port->LastSysEx(), IsEmpty());
}

TEST_F(CoreMidiPortTest, OnlyTheNewestOfTwoUnreadMessagesSurvives) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    service.Emit(kelva.source, statusMessage);
    service.Emit(kelva.source, identityReply);
    EXPECT_EQ(port->LastSysEx(), identityReply);
    EXPECT_THAT(port->LastSysEx(), IsEmpty());
}

TEST_F(CoreMidiPortTest, ClearLastSysExLeavesTheReceivedMessageAlone) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    service.Emit(kelva.source, statusMessage);
    port->ClearLastSysEx();
    EXPECT_EQ(port->LastSysEx(), statusMessage);
}

TEST_F(CoreMidiPortTest, MessageIsLostToDisconnect) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    service.Emit(kelva.source, statusMessage);
    port->Disconnect();
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_THAT(port->LastSysEx(), IsEmpty());
    // Nothing arrives while disconnected; after the next search messages arrive again.
    service.Emit(kelva.source, identityReply);
    EXPECT_THAT(port->LastSysEx(), IsEmpty());
    ASSERT_TRUE(port->IsConnected());
    service.Emit(kelva.source, identityReply);
    EXPECT_EQ(port->LastSysEx(), identityReply);
}

TEST_F(CoreMidiPortTest, NonSysExTrafficAroundAMessageIsIgnored) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    const Bytes before = {0x90, 0x40, 0x7F, 0xF8, 0xF7};
    const Bytes after = {0xFE, 0x80, 0x40, 0x00};
    Bytes bytes;
    for (const Bytes* part : {&before, &statusMessage, &after})
        for (unsigned char byte : *part)
            bytes.push_back(byte);
    service.Emit(kelva.source, bytes, {2, 3, 1});
    EXPECT_EQ(port->LastSysEx(), statusMessage);
    service.Emit(kelva.source, {0x90, 0x40, 0x7F});
    EXPECT_THAT(port->LastSysEx(), IsEmpty());
}

TEST_F(CoreMidiPortTest, MessageSplitAtEveryPositionArrivesWhole) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    const std::size_t n = identityReply.size();
    for (std::size_t first = 1; first < n; ++first) {
        service.Emit(kelva.source, identityReply, {first});
        ASSERT_EQ(port->LastSysEx(), identityReply) << "split after byte " << first;
        for (std::size_t second = 1; first + second < n; ++second) {
            service.Emit(kelva.source, identityReply, {first, second});
            ASSERT_EQ(port->LastSysEx(), identityReply)
                << "split after bytes " << first << " and " << first + second;
        }
    }
    service.Emit(kelva.source, identityReply, std::vector<std::size_t>(n, 1));
    EXPECT_EQ(port->LastSysEx(), identityReply);
}

TEST_F(CoreMidiPortTest, MessageSplitAcrossSeparateDeliveriesArrivesWhole) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    for (std::size_t cut = 1; cut < statusMessage.size(); ++cut) {
        service.Emit(kelva.source,
                     Bytes(statusMessage.begin(), statusMessage.begin() + static_cast<std::ptrdiff_t>(cut)));
        ASSERT_THAT(port->LastSysEx(), IsEmpty()) << "cut " << cut;
        service.Emit(kelva.source,
                     Bytes(statusMessage.begin() + static_cast<std::ptrdiff_t>(cut), statusMessage.end()));
        ASSERT_EQ(port->LastSysEx(), statusMessage) << "cut " << cut;
    }
}

TEST_F(CoreMidiPortTest, ReceiveSysExAnswersEmptyAndSendsNothing) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    const Bytes request = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    EXPECT_THAT(port->ReceiveSysEx(5000, request.data(), request.size()), IsEmpty());
    EXPECT_THAT(kelva.Packets(), IsEmpty());
    EXPECT_EQ(service.CallCount(Call::Send), 0u);
}

// --- Sending ---

TEST_F(CoreMidiPortTest, SendHandsTheBytesOverAsOnePacketAndLogsTheSize) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    Bytes big(65535);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i * 7);
    port->Send(big.data(), big.size());
    EXPECT_EQ(log.Lines().back(), "Send(65535 bytes to core MIDI)");
    const Bytes small = {0xF0, 0x00, 0xF7};
    port->Send(small.data(), small.size());
    EXPECT_EQ(log.Lines().back(), "Send(3 bytes to core MIDI)");
    EXPECT_THAT(kelva.Packets(), ElementsAre(big, small));
}

TEST_F(CoreMidiPortTest, SendBeforeAnyEndpointIsFoundFailsAndIsLogged) {
    AddKelva();
    auto port = MakePort();
    const Bytes bytes = {0xF8};
    EXPECT_FALSE(port->Send(bytes.data(), bytes.size()));
    EXPECT_EQ(log.Lines().back(), ErrorLine(service, "Sending MIDI", VirtualMidiService::objectNotFound));
    EXPECT_THAT(kelva.Packets(), IsEmpty());
}

TEST_F(CoreMidiPortTest, SendOfTooManyBytesStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    Bytes tooBig(65536);
    EXPECT_DEATH(port->Send(tooBig.data(), tooBig.size()), "size < 65536");
}

// --- Errors at each step ---

TEST_F(CoreMidiPortTest, FailedClientCreationIsLoggedAndConstructionGoesOn) {
    AddKelva();
    service.FailNextCall(Call::ClientCreate, VirtualMidiService::invalidClient);
    {
        auto port = MakePort();
        const std::vector<std::string> lines = log.Lines();
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[0], "CoreMidiPort");
        EXPECT_EQ(lines[1], ErrorLine(service, "Creating MIDI client", VirtualMidiService::invalidClient));
        // Without a client the ports cannot be made either; each failure has its own line.
        EXPECT_EQ(lines[2], ErrorLine(service, "Create output MIDI port", VirtualMidiService::invalidClient));
        EXPECT_EQ(lines[3], ErrorLine(service, "Create input MIDI port", VirtualMidiService::invalidClient));
        EXPECT_EQ(service.LiveClientCount(), 0u);
        EXPECT_EQ(service.LivePortCount(), 0u);

        // The search still runs and finds the destination; sending and connecting fail with logs.
        EXPECT_TRUE(port->IsConnected());
        EXPECT_TRUE(
            Contains(log.Lines(), ErrorLine(service, "Connecting input", VirtualMidiService::invalidPort)));
        const Bytes bytes = {0xF8};
        port->Send(bytes.data(), bytes.size());
        EXPECT_EQ(log.Lines().back(), ErrorLine(service, "Sending MIDI", VirtualMidiService::invalidPort));
    }
    // Destroying it disposes only what exists: nothing.
    EXPECT_EQ(log.Lines().back(), "~CoreMidiPort");
    EXPECT_EQ(service.CallCount(Call::PortDispose), 0u);
    EXPECT_EQ(service.CallCount(Call::ClientDispose), 0u);
}

TEST_F(CoreMidiPortTest, FailedPortCreationsAreLoggedAndTheOtherPortIsStillMade) {
    service.FailNextCall(Call::OutputPortCreate, 12);
    auto port = MakePort();
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"CoreMidiPort", ErrorLine(service, "Create output MIDI port", 12)}));
    EXPECT_EQ(service.LivePortCount(), 1u);
    port.reset();
    EXPECT_EQ(service.CallCount(Call::PortDispose), 1u);
    EXPECT_EQ(service.LiveClientCount(), 0u);

    service.FailNextCall(Call::InputPortCreate, 13);
    port = MakePort();
    EXPECT_EQ(log.Lines().back(), ErrorLine(service, "Create input MIDI port", 13));
    EXPECT_EQ(service.LivePortCount(), 1u);
}

TEST_F(CoreMidiPortTest, FailedConnectKeepsTheDestinationButReceivesNothing) {
    AddKelva();
    service.FailNextCall(Call::PortConnectSource, VirtualMidiService::noConnection);
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    EXPECT_EQ(
        LinesAfter(log.Lines(), "FindEndpoint: Connecting input port"),
        (std::vector<std::string>{ErrorLine(service, "Connecting input", VirtualMidiService::noConnection)}));
    EXPECT_FALSE(Contains(log.Lines(), "Connected Input port"));
    const Bytes bytes = {0xF0, 0x05, 0xF7};
    port->Send(bytes.data(), bytes.size());
    EXPECT_THAT(kelva.Packets(), ElementsAre(bytes));
    service.Emit(kelva.source, statusMessage);
    EXPECT_THAT(port->LastSysEx(), IsEmpty());
    EXPECT_TRUE(port->IsConnected()); // bound and deaf: the source is not checked again
}

TEST_F(CoreMidiPortTest, FailedDisposalsAreLoggedAndDestructionGoesOn) {
    AddKelva();
    auto port = MakePort();
    ASSERT_TRUE(port->IsConnected());
    service.FailCall(Call::PortDispose, 21);
    service.FailNextCall(Call::ClientDispose, 22);
    const std::size_t before = log.Lines().size();
    port.reset();
    const std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end()),
              (std::vector<std::string>{"~CoreMidiPort", ErrorLine(service, "Dispose MIDI port", 21),
                                        ErrorLine(service, "Dispose MIDI port", 21),
                                        ErrorLine(service, "Dispose MIDI client", 22)}));
    EXPECT_EQ(service.ConnectionCount(), 0u);
    EXPECT_EQ(service.CallCount(Call::ClientDispose), 1u);
}
