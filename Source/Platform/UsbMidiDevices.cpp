#include "UsbMidiDevices.h"

#include <algorithm>

namespace {

std::int32_t UsbDeviceOf(MidiService& service, MidiRef endpoint) {
    std::int32_t id = 0;
    if (service.GetIntegerProperty(endpoint, MidiProperty::UsbDevice, id) != midiNoError)
        return 0;
    return id > 0 ? id : 0;
}

} // namespace

std::vector<UsbMidiDevice> FindUsbMidiDevices(MidiService& service) {
    std::vector<UsbMidiDevice> devices;
    for (std::uint32_t i = 0; i < service.NumberOfDestinations(); ++i) {
        const MidiRef destination = service.GetDestination(i);
        const std::int32_t id = UsbDeviceOf(service, destination);
        if (id == 0 ||
            std::any_of(devices.begin(), devices.end(), [id](const UsbMidiDevice& d) { return d.id == id; }))
            continue;
        UsbMidiDevice device;
        device.id = id;
        device.destination = destination;
        if (service.GetStringProperty(destination, MidiProperty::Name, device.portName) != midiNoError ||
            service.GetStringProperty(destination, MidiProperty::DisplayName, device.name) != midiNoError)
            continue;
        devices.push_back(device);
    }
    for (std::uint32_t i = 0; i < service.NumberOfSources(); ++i) {
        const MidiRef source = service.GetSource(i);
        const std::int32_t id = UsbDeviceOf(service, source);
        for (UsbMidiDevice& device : devices)
            if (id != 0 && device.id == id && device.source == 0)
                device.source = source;
    }
    return devices;
}

std::string DescribeUsbMidiDevice(const UsbMidiDevice& device) {
    if (device.name.empty() || device.name == device.portName)
        return "\"" + device.portName + "\"";
    return "\"" + device.name + "\" (port \"" + device.portName + "\")";
}
