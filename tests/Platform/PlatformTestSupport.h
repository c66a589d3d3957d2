#pragma once

#include "VirtualMidiService.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace platformtest {

using Bytes = std::vector<unsigned char>;

// A destination whose received packets are kept, and (optionally) a source beside it.
struct FakeEndpoints {
    std::mutex mutex;
    std::vector<Bytes> packets;
    MidiRef destination = 0;
    MidiRef source = 0;

    std::vector<Bytes> Packets() {
        std::lock_guard<std::mutex> lock(mutex);
        return packets;
    }

    void AddDestination(VirtualMidiService& service, const VirtualMidiService::EndpointInfo& info) {
        destination = service.AddDestination(info, [this](const Bytes& bytes) {
            std::lock_guard<std::mutex> lock(mutex);
            packets.push_back(bytes);
        });
    }
};

inline VirtualMidiService::EndpointInfo Named(const std::string& name, const std::string& displayName,
                                              const std::string& manufacturer = "Ostrel") {
    return VirtualMidiService::EndpointInfo{name, displayName, manufacturer, true};
}

// An endpoint of USB MIDI device number `usbDevice` (its UsbDevice property).
inline VirtualMidiService::EndpointInfo Usb(const std::string& name, const std::string& displayName,
                                            std::int32_t usbDevice) {
    VirtualMidiService::EndpointInfo info{name, displayName, "Ostrel", true};
    info.usbDevice = usbDevice;
    return info;
}

// The error line the port and the listing write for a failed step.
inline std::string ErrorLine(VirtualMidiService& service, const std::string& step, MidiStatus status) {
    return "Error (" + step + "): " + std::to_string(static_cast<unsigned int>(status)) + ":" +
           service.StatusText(status);
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

inline std::size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// The lines written after the first occurrence of `from` (all lines when it is absent).
inline std::vector<std::string> LinesAfter(const std::vector<std::string>& lines, const std::string& from) {
    auto it = std::find(lines.begin(), lines.end(), from);
    if (it == lines.end())
        return lines;
    return std::vector<std::string>(it + 1, lines.end());
}

} // namespace platformtest
