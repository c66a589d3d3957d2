// Catches: a wrong count, a destination left out or listed twice, a wrong or missing column (name,
// properties, entity properties, offline), a failed query stopping the walk, a client not disposed of.
#include "ListInterfaces.h"
#include "PlatformTestSupport.h"

using namespace platformtest;

namespace {

Lines List(VirtualMidiService& service) {
    ScopedLogCapture log;
    ListInterfaces(service);
    return log.Lines();
}

const std::string kelvaEntity = R"(Entity properties={ name = "Ostrel Kelva"; manufacturer = "Ostrel"; )"
                                R"(destinations = ( { name = "Ostrel Kelva"; offline = )";

} // namespace

TEST(ListInterfaces, WritesTheCountsAndABlockPerDestination) {
    VirtualMidiService service;
    service.AddExternalDevice("Kelva (external)");
    service.AddExternalDevice("Synth");
    service.AddDevice("USB MIDI");
    service.AddSource(Named("Ostrel Kelva"));
    service.SetOffline(service.AddDestination(Named("Ostrel Kelva"), nullptr), 1);
    service.AddDestination({"Loop", "IAC Loop", "", false}, nullptr);
    // A free-standing endpoint has no entity: the entity reference stays 0.
    EXPECT_EQ(
        List(service),
        (Lines{
            "ListInterfaces: # external devices=2", "ListInterfaces: # devices=1",
            "ListInterfaces: # sources=1", "ListInterfaces: # destinations=2", "ListInterfaces: index 0",
            "ListInterfaces: index 1", "ListInterfaces:   destination index 0", "Name=Ostrel Kelva",
            R"(Properties={ name = "Ostrel Kelva"; displayName = "Ostrel Kelva"; manufacturer = "Ostrel"; offline = 1; })",
            kelvaEntity + "1; } ); }", "Entity offline=1", "Done", "ListInterfaces:   destination index 1",
            "Name=Loop",
            R"(Properties={ name = "Loop"; displayName = "IAC Loop"; manufacturer = ""; offline = 0; })",
            "Error (Getting entity properties): 4294956454:The operation couldn't be completed. "
            "(kMIDIObjectNotFound, error -10842)",
            "Entity offline=0", "Done", "Found all interfaces"}));
    EXPECT_EQ(service.CallCount(Call::ClientDispose), 1u);
    EXPECT_EQ(service.LiveClientCount(), 0u);
}

TEST(ListInterfaces, EachFailedQueryIsLoggedAndTheWalkGoesOn) {
    VirtualMidiService service;
    service.AddDestination(Named("Ostrel Kelva"), nullptr);
    service.FailNextCall(Call::ClientCreate, VirtualMidiService::invalidClient);
    service.FailNextCall(Call::GetName, -1);
    service.FailNextCall(Call::GetProperties, -2); // the destination's; the entity's is the next
    service.FailNextCall(Call::GetOffline, -3);
    EXPECT_EQ(
        List(service),
        (Lines{"ListInterfaces: # external devices=0", "ListInterfaces: # devices=0",
               "ListInterfaces: # sources=0", "ListInterfaces: # destinations=1",
               ErrorLine(service, "Creating MIDI client", VirtualMidiService::invalidClient),
               "ListInterfaces:   destination index 0",
               "Error (Getting dest name): 4294967295:The operation couldn't be completed. (MIDI error -1)",
               ErrorLine(service, "Getting properties", -2), kelvaEntity + "0; } ); }",
               ErrorLine(service, "Getting offline properties", -3), "Done", "Found all interfaces"}));
    EXPECT_EQ(service.CallCount(Call::ClientDispose), 0u) << "no client was made";
}
