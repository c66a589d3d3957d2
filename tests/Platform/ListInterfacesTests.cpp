// Catches: a wrong count, a destination left out or listed twice, a wrong or missing column (name,
// properties, entity properties, offline), a failed query stopping the walk, a client not disposed of.
#include "ListInterfaces.h"
#include "PlatformTestSupport.h"

using namespace platformtest;

TEST(ListInterfaces, WritesTheCountsAndABlockPerDestinationLoggingEachFailedQueryAndGoingOn) {
    VirtualMidiService service;
    service.AddExternalDevice("Kelva (external)");
    service.AddExternalDevice("Synth");
    service.AddDevice("USB MIDI");
    service.AddSource(Named("Ostrel Kelva"));
    service.AddDestination(Named("Ostrel Kelva"), nullptr);
    service.SetOffline(service.AddDestination({"Loop", "IAC Loop", "", false}, nullptr), 1);
    // The client is not made, and each query about the first destination fails (its properties: the
    // entity's are the next).
    service.FailNextCall(Call::ClientCreate, VirtualMidiService::invalidClient);
    service.FailNextCall(Call::GetName, -1);
    service.FailNextCall(Call::GetProperties, -2);
    service.FailNextCall(Call::GetOffline, -3);
    ScopedLogCapture log;
    ListInterfaces(service);
    // A free-standing endpoint has no entity: the entity reference stays 0.
    EXPECT_EQ(
        log.Lines(),
        (Lines{"ListInterfaces: # external devices=2",
               "ListInterfaces: # devices=1",
               "ListInterfaces: # sources=1",
               "ListInterfaces: # destinations=2",
               ErrorLine(service, "Creating MIDI client", VirtualMidiService::invalidClient),
               "ListInterfaces: index 0",
               "ListInterfaces: index 1",
               "ListInterfaces:   destination index 0",
               "Error (Getting dest name): 4294967295:The operation couldn't be completed. (MIDI error -1)",
               ErrorLine(service, "Getting properties", -2),
               R"(Entity properties={ name = "Ostrel Kelva"; manufacturer = "Ostrel"; )"
               R"(destinations = ( { name = "Ostrel Kelva"; offline = 0; } ); })",
               ErrorLine(service, "Getting offline properties", -3),
               "Done",
               "ListInterfaces:   destination index 1",
               "Name=Loop",
               R"(Properties={ name = "Loop"; displayName = "IAC Loop"; manufacturer = ""; offline = 1; })",
               "Error (Getting entity properties): 4294956454:The operation couldn't be completed. "
               "(kMIDIObjectNotFound, error -10842)",
               "Entity offline=1",
               "Done",
               "Found all interfaces"}));
    // A clean listing disposes of its client, and only that one: none when no client was made.
    ListInterfaces(service);
    EXPECT_EQ(std::pair(service.CallCount(Call::ClientDispose), service.LiveClientCount()),
              std::pair(std::size_t{1}, std::size_t{0}));
}
