#include "ListInterfaces.h"
#include "Log.h"
#include "PlatformTestSupport.h"
#include "VirtualMidiService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace platformtest;
using Call = VirtualMidiService::Call;
using Lines = std::vector<std::string>;

namespace {

class ListInterfacesTest : public testing::Test {
protected:
    VirtualMidiService service;
    ScopedLogCapture log;
};

} // namespace

TEST_F(ListInterfacesTest, NoHardwareGivesTheCountsAndTheClosingLineOnly) {
    ListInterfaces(service);
    EXPECT_EQ(log.Lines(), (Lines{
                               "ListInterfaces: # external devices=0",
                               "ListInterfaces: # devices=0",
                               "ListInterfaces: # sources=0",
                               "ListInterfaces: # destinations=0",
                               "Found all interfaces",
                           }));
    EXPECT_EQ(service.CallCount(Call::ClientCreate), 1u);
    EXPECT_EQ(service.CallCount(Call::ClientDispose), 1u);
    EXPECT_EQ(service.LiveClientCount(), 0u);
}

TEST_F(ListInterfacesTest, TwoDestinationsGiveTwoBlocksInIndexOrder) {
    service.AddExternalDevice("Kelva (external)");
    service.AddExternalDevice("Synth");
    service.AddDevice("USB MIDI");
    service.AddSource(Named("Ostrel Kelva", "Ostrel Kelva"));
    MidiRef kelva = service.AddDestination(Named("Ostrel Kelva", "Ostrel Kelva", "Ostrel"), nullptr);
    service.AddDestination(VirtualMidiService::EndpointInfo{"Loop", "IAC Loop", "", false}, nullptr);
    service.SetOffline(kelva, 1);

    ListInterfaces(service);
    EXPECT_EQ(
        log.Lines(),
        (Lines{
            "ListInterfaces: # external devices=2",
            "ListInterfaces: # devices=1",
            "ListInterfaces: # sources=1",
            "ListInterfaces: # destinations=2",
            "ListInterfaces: index 0",
            "ListInterfaces: index 1",
            "ListInterfaces:   destination index 0",
            "Name=Ostrel Kelva",
            R"(Properties={ name = "Ostrel Kelva"; displayName = "Ostrel Kelva"; manufacturer = "Ostrel"; offline = 1; })",
            R"(Entity properties={ name = "Ostrel Kelva"; manufacturer = "Ostrel"; destinations = ( { name = "Ostrel Kelva"; offline = 1; } ); })",
            "Entity offline=1",
            "Done",
            "ListInterfaces:   destination index 1",
            "Name=Loop",
            R"(Properties={ name = "Loop"; displayName = "IAC Loop"; manufacturer = ""; offline = 0; })",
            // A free-standing endpoint has no entity: the entity reference stays 0.
            ErrorLine(service, "Getting entity properties", VirtualMidiService::objectNotFound),
            "Entity offline=0",
            "Done",
            "Found all interfaces",
        }));
}

TEST_F(ListInterfacesTest, FailedClientStillLetsTheWalkRunInFull) {
    service.AddDestination(Named("Ostrel Kelva", "Ostrel Kelva"), nullptr);
    service.FailNextCall(Call::ClientCreate, VirtualMidiService::invalidClient);
    ListInterfaces(service);
    const Lines lines = log.Lines();
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[4], ErrorLine(service, "Creating MIDI client", VirtualMidiService::invalidClient));
    EXPECT_EQ(lines[5], "ListInterfaces:   destination index 0");
    EXPECT_EQ(lines[6], "Name=Ostrel Kelva");
    EXPECT_EQ(lines[10], "Done");
    EXPECT_EQ(lines[11], "Found all interfaces");
    // No client was made, so none is disposed of.
    EXPECT_EQ(service.CallCount(Call::ClientDispose), 0u);
}

TEST_F(ListInterfacesTest, EachFailedQueryIsLoggedAndTheBlockGoesOn) {
    service.AddDestination(Named("Ostrel Kelva", "Ostrel Kelva"), nullptr);
    service.AddDestination(Named("Second", "Second"), nullptr);
    service.FailNextCall(Call::GetName, -1);
    service.FailNextCall(Call::GetProperties, -2);
    service.FailNextCall(Call::GetOffline, -3);
    ListInterfaces(service);
    const Lines lines = log.Lines();
    ASSERT_EQ(lines.size(), 4u + 6u + 6u + 1u);
    EXPECT_EQ(
        Lines(lines.begin() + 4, lines.begin() + 10),
        (Lines{
            "ListInterfaces:   destination index 0",
            ErrorLine(service, "Getting dest name", -1),
            ErrorLine(service, "Getting properties", -2),
            // The first GetProperties call failed; the entity's is the second and succeeds.
            R"(Entity properties={ name = "Ostrel Kelva"; manufacturer = "Ostrel"; destinations = ( { name = "Ostrel Kelva"; offline = 0; } ); })",
            ErrorLine(service, "Getting offline properties", -3),
            "Done",
        }));
    EXPECT_EQ(lines[10], "ListInterfaces:   destination index 1");
    EXPECT_EQ(lines[11], "Name=Second");
    EXPECT_EQ(lines[15], "Done");
}

TEST_F(ListInterfacesTest, FailedEntityPropertiesQueryIsLogged) {
    service.AddDestination(Named("Ostrel Kelva", "Ostrel Kelva"), nullptr);
    service.FailNextCall(Call::GetEntity, -4);
    ListInterfaces(service);
    // The entity lookup's status is not looked at: with no entity its properties cannot be read.
    EXPECT_TRUE(Contains(
        log.Lines(), ErrorLine(service, "Getting entity properties", VirtualMidiService::objectNotFound)));
    EXPECT_FALSE(Contains(log.Lines(), ErrorLine(service, "Getting entity properties", -4)));
}
