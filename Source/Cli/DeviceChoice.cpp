#include "DeviceChoice.h"

#include "UsbMidiDevices.h"

#include <vector>

std::string DeviceChoiceNeeded(MidiService& service, const std::set<std::string>& portNames) {
    if (!portNames.empty())
        return {};
    const std::vector<UsbMidiDevice> devices = FindUsbMidiDevices(service);
    if (devices.size() < 2)
        return {};
    std::string text = "the update names no MIDI port, and " + std::to_string(devices.size()) +
                       " USB MIDI devices are connected:\n";
    std::set<std::string> names;
    for (const UsbMidiDevice& device : devices) {
        text += "  " + DescribeUsbMidiDevice(device) + "\n";
        names.insert(device.name);
    }
    text += "Nothing was sent. Choose the device to update with --port NAME, for example --port \"" +
            devices.front().name + "\".";
    if (names.size() < devices.size())
        text += "\nDevices of the same name cannot be told apart: unplug the ones not to update.";
    return text;
}
