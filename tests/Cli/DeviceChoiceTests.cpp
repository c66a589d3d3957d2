// Which updates the command line refuses to send for want of a choice of device, and the text it shows.
// Catches: a choice asked for one device, software ports or an update that names a port; not asked
// for two; a wrong listing, example or warning about twins.
#include "DeviceChoice.h"
#include "VirtualMidiService.h"

#include <gtest/gtest.h>

TEST(DeviceChoice, AsksOnlyWhenAnUpdateWithoutNamesMeetsSeveralUsbDevices) {
    const std::string head = "the update names no MIDI port, and 2 USB MIDI devices are connected:\n"
                             "  \"Kelva\" (port \"Kelva MIDI 1\")\n";
    const std::string tail = "Nothing was sent. Choose the device to update with --port NAME, for example "
                             "--port \"Kelva\".";
    const std::string two = head + "  \"Brenna\" (port \"Brenna MIDI 1\")\n" + tail;
    const std::string twins =
        head + "  \"Kelva\" (port \"Kelva MIDI 1\")\n" + tail +
        "\nDevices of the same name cannot be told apart: unplug the ones not to update.";
    struct Row {
        const char* what;
        // One destination each: its UsbDevice number (0: a software port) and its device's name.
        std::vector<std::pair<std::int32_t, std::string>> destinations;
        std::set<std::string> portNames;
        std::string expected; // empty: nothing to choose
    };
    for (const Row& row : {
             Row{"none", {}, {}, ""},
             Row{"one", {{3, "Kelva"}}, {}, ""},
             Row{"one among software ports", {{0, "Midi Through"}, {3, "Kelva"}, {0, "VirMIDI"}}, {}, ""},
             Row{"one with two ports", {{3, "Kelva"}, {3, "Kelva"}}, {}, ""},
             Row{"two", {{3, "Kelva"}, {0, "Midi Through"}, {5, "Brenna"}}, {}, two},
             Row{"two but the update names a port", {{3, "Kelva"}, {5, "Brenna"}}, {"Kelva"}, ""},
             Row{"two of the same name", {{3, "Kelva"}, {4, "Kelva"}}, {}, twins},
         }) {
        VirtualMidiService service;
        for (const auto& [id, name] : row.destinations)
            service.AddDestination({name + " MIDI 1", name, "", true, id}, nullptr);
        EXPECT_EQ(DeviceChoiceNeeded(service, row.portNames), row.expected) << row.what;
    }
}
