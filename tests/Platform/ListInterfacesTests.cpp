// Catches: a wrong count, a destination left out or listed twice, a wrong or missing column (name,
// properties, entity properties, offline), a failed query stopping the walk, a client not disposed of.
#include "ListInterfaces.h"
#include "Log.h"
#include "PlatformTestSupport.h"
#include "VirtualMidiService.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace platformtest;
using Call = VirtualMidiService::Call;
using Lines = std::vector<std::string>;

TEST(ListInterfaces, WritesTheCountsAndABlockPerDestination) {
    struct Row {
        const char* what;
        std::function<void(VirtualMidiService&)> setup;
        std::function<Lines(VirtualMidiService&)> lines;
        std::size_t disposals; // of the listing's client
    };
    const std::string kelvaEntity = R"(Entity properties={ name = "Ostrel Kelva"; manufacturer = "Ostrel"; )"
                                    R"(destinations = ( { name = "Ostrel Kelva"; offline = )";
    const Row rows[] = {
        {"nothing", [](VirtualMidiService&) {},
         [](VirtualMidiService&) {
             return Lines{"ListInterfaces: # external devices=0", "ListInterfaces: # devices=0",
                          "ListInterfaces: # sources=0", "ListInterfaces: # destinations=0",
                          "Found all interfaces"};
         },
         1},
        {"two destinations",
         [](VirtualMidiService& service) {
             service.AddExternalDevice("Kelva (external)");
             service.AddExternalDevice("Synth");
             service.AddDevice("USB MIDI");
             service.AddSource(Named("Ostrel Kelva"));
             service.SetOffline(service.AddDestination(Named("Ostrel Kelva"), nullptr), 1);
             service.AddDestination({"Loop", "IAC Loop", "", false}, nullptr);
         },
         [&](VirtualMidiService& service) {
             return Lines{
                 "ListInterfaces: # external devices=2",
                 "ListInterfaces: # devices=1",
                 "ListInterfaces: # sources=1",
                 "ListInterfaces: # destinations=2",
                 "ListInterfaces: index 0",
                 "ListInterfaces: index 1",
                 "ListInterfaces:   destination index 0",
                 "Name=Ostrel Kelva",
                 R"(Properties={ name = "Ostrel Kelva"; displayName = "Ostrel Kelva"; manufacturer = "Ostrel"; offline = 1; })",
                 kelvaEntity + "1; } ); }",
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
             };
         },
         1},
        {"failed queries",
         [](VirtualMidiService& service) {
             service.AddDestination(Named("Ostrel Kelva"), nullptr);
             service.FailNextCall(Call::ClientCreate, VirtualMidiService::invalidClient);
             service.FailNextCall(Call::GetName, -1);
             service.FailNextCall(Call::GetProperties, -2); // the destination's; the entity's is the next
             service.FailNextCall(Call::GetOffline, -3);
         },
         [&](VirtualMidiService& service) {
             return Lines{"ListInterfaces: # external devices=0",
                          "ListInterfaces: # devices=0",
                          "ListInterfaces: # sources=0",
                          "ListInterfaces: # destinations=1",
                          ErrorLine(service, "Creating MIDI client", VirtualMidiService::invalidClient),
                          "ListInterfaces:   destination index 0",
                          ErrorLine(service, "Getting dest name", -1),
                          ErrorLine(service, "Getting properties", -2),
                          kelvaEntity + "0; } ); }",
                          ErrorLine(service, "Getting offline properties", -3),
                          "Done",
                          "Found all interfaces"};
         },
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        VirtualMidiService service;
        ScopedLogCapture log;
        row.setup(service);
        ListInterfaces(service);
        EXPECT_EQ(log.Lines(), row.lines(service));
        EXPECT_EQ(service.CallCount(Call::ClientDispose), row.disposals);
        EXPECT_EQ(service.LiveClientCount(), 0u);
    }
}
