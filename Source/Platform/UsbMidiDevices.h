#pragma once

#include "MidiService.h"

#include <cstdint>
#include <string>
#include <vector>

// A USB MIDI device as seen through the service: the endpoints whose UsbDevice property shares one
// number. An update that names no port goes to such a device, and only when there is exactly one.
struct UsbMidiDevice {
    std::int32_t id = 0;     // the UsbDevice property of its endpoints
    std::string name;        // the display name of its first destination (ALSA: the client's name)
    std::string portName;    // the name of its first destination
    MidiRef destination = 0; // its first destination
    MidiRef source = 0;      // its first source; 0 when it has none
};

// The USB MIDI devices among the service's destinations, in the order of their first destinations.
// Endpoints whose properties cannot be read are left out.
std::vector<UsbMidiDevice> FindUsbMidiDevices(MidiService& service);

// "Ostrel Kelva (port "Ostrel Kelva MIDI 1")": how a device is named to the user.
std::string DescribeUsbMidiDevice(const UsbMidiDevice& device);
