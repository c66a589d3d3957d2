#pragma once

#include "VirtualMidiService.h"

#include <algorithm>
#include <string>
#include <vector>

namespace platformtest {

using Bytes = std::vector<unsigned char>;

// An endpoint made by "Ostrel", of USB MIDI device `usb` (0: not a USB MIDI device); the display
// name is the name unless given.
inline VirtualMidiService::EndpointInfo Named(const std::string& name, const std::string& displayName = "",
                                              std::int32_t usb = 0) {
    return {name, displayName.empty() ? name : displayName, "Ostrel", true, usb};
}

// The error line the port and the listing write for a failed step.
inline std::string ErrorLine(VirtualMidiService& service, const std::string& step, MidiStatus status) {
    return "Error (" + step + "): " + std::to_string(static_cast<unsigned int>(status)) + ":" +
           service.StatusText(status);
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

} // namespace platformtest
