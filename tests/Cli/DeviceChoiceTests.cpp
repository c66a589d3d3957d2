// Which updates the command line refuses to send for want of a choice of device.
#include "DeviceChoice.h"
#include "VirtualMidiService.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

struct ChoiceCase {
    const char* what;
    // One destination each: its UsbDevice number (0: a software port) and its device's name.
    std::vector<std::pair<std::int32_t, std::string>> destinations;
    std::set<std::string> portNames;
    std::string expected; // empty: nothing to choose
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
    *os << c.what;
}

class DeviceChoice : public testing::TestWithParam<ChoiceCase> {};

TEST_P(DeviceChoice, AsksOnlyWhenAnUpdateWithoutNamesMeetsSeveralUsbDevices) {
    VirtualMidiService service;
    for (const auto& [id, name] : GetParam().destinations) {
        VirtualMidiService::EndpointInfo info;
        info.name = name + " MIDI 1";
        info.displayName = name;
        info.usbDevice = id;
        service.AddDestination(info, nullptr);
    }
    EXPECT_EQ(DeviceChoiceNeeded(service, GetParam().portNames), GetParam().expected);
}

const std::string twoDevices = "the update names no MIDI port, and 2 USB MIDI devices are connected:\n"
                               "  \"Kelva\" (port \"Kelva MIDI 1\")\n"
                               "  \"Brenna\" (port \"Brenna MIDI 1\")\n"
                               "Nothing was sent. Choose the device to update with --port NAME, for example "
                               "--port \"Kelva\".";
const std::string twins = "the update names no MIDI port, and 2 USB MIDI devices are connected:\n"
                          "  \"Kelva\" (port \"Kelva MIDI 1\")\n"
                          "  \"Kelva\" (port \"Kelva MIDI 1\")\n"
                          "Nothing was sent. Choose the device to update with --port NAME, for example "
                          "--port \"Kelva\".\n"
                          "Devices of the same name cannot be told apart: unplug the ones not to update.";

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceChoice,
    testing::Values(
        ChoiceCase{"none", {}, {}, ""}, ChoiceCase{"one", {{3, "Kelva"}}, {}, ""},
        ChoiceCase{"one among software ports", {{0, "Midi Through"}, {3, "Kelva"}, {0, "VirMIDI"}}, {}, ""},
        ChoiceCase{"one with two ports", {{3, "Kelva"}, {3, "Kelva"}}, {}, ""},
        ChoiceCase{"two", {{3, "Kelva"}, {0, "Midi Through"}, {5, "Brenna"}}, {}, twoDevices},
        ChoiceCase{"two but the update names a port", {{3, "Kelva"}, {5, "Brenna"}}, {"Kelva"}, ""},
        ChoiceCase{"two of the same name", {{3, "Kelva"}, {4, "Kelva"}}, {}, twins}),
    [](const testing::TestParamInfo<ChoiceCase>& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (c == ' ')
                c = '_';
        return name;
    });

} // namespace
