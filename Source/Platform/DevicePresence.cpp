#include "DevicePresence.h"

#include "CoreMidiPort.h"
#include "DeviceStatus.h"
#include "Log.h"

#include <array>

namespace {

constexpr std::array<unsigned char, 6> identityRequest{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

} // namespace

std::string DeviceLine(const DeviceState& state) {
    if (!state.connected)
        return "Device: not connected - connect it and put it into update mode";
    std::string line = "Device: " + state.port + (state.usb ? " (USB)" : "") + " - connected";
    if (!state.firmware.empty())
        line += ", firmware " + state.firmware;
    return line;
}

DevicePresence::DevicePresence(MidiService& service, const std::set<std::string>& portNames,
                               Listener listener, std::function<bool()> mayAsk)
    : service(service), portNames(portNames), listener(std::move(listener)), mayAsk(std::move(mayAsk)) {
    watch = service.WatchSetup([this](const SetupNotification&) {
        std::lock_guard<std::mutex> lock(mutex);
        changed = true;
        wake.notify_all();
    });
    thread = std::thread([this] { Run(); });
}

DevicePresence::~DevicePresence() {
    watch.reset(); // no notification runs from here on
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    thread.join();
}

DeviceState DevicePresence::State() const {
    std::lock_guard<std::mutex> lock(mutex);
    return state;
}

void DevicePresence::Run() {
    for (;;) {
        DeviceState before;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [&] { return stopping || changed; });
            if (stopping)
                return;
            changed = false;
            before = state;
        }
        DeviceState now;
        try {
            now = Look(before);
        } catch (...) {
            // The program's clock ends its waits when the run is interrupted (Ctrl-C): stop looking.
            LogLine("DevicePresence: stopped while looking for the device");
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (told && now == state)
                continue;
            state = now;
            told = true;
        }
        if (listener)
            listener(now);
    }
}

DeviceState DevicePresence::Look(const DeviceState& before) {
    DeviceState found;
    CoreMidiPort port(service, portNames);
    if (!port.IsConnected())
        return found;
    found.connected = true;
    const MidiRef destination = port.Destination();
    service.GetStringProperty(destination, MidiProperty::Name, found.port);
    std::int32_t usbDevice = 0;
    found.usb = service.GetIntegerProperty(destination, MidiProperty::UsbDevice, usbDevice) == midiNoError &&
                usbDevice > 0;
    const bool appeared = !before.connected || before.port != found.port;
    if (!appeared) {
        found.firmware = before.firmware; // what it said when it appeared still holds
    } else if (!mayAsk || mayAsk()) {
        port.SetRequestIdentity(true);
        const std::vector<unsigned char> reply =
            port.ReceiveSysEx(identityTimeoutMs, identityRequest.data(), identityRequest.size());
        found.firmware = ParseDeviceEnquiryResponse(reply).version;
    }
    return found;
}
