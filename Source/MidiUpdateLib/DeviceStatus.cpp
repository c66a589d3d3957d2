#include "DeviceStatus.h"

#include "Utilities.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::size_t statusMessageSize = 13;
constexpr std::array<unsigned char, 5> statusHeader{0xF0, 0x00, 0x00, 0x3F, 0x73};
constexpr std::size_t statusFlagsOffset = 11;

constexpr unsigned int pollIntervalMs = 500;
constexpr unsigned int statusTimeoutMs = 2000;
constexpr int maxBusyRun = 200;
constexpr int maxSilences = 5;

constexpr std::array<unsigned char, 5> identityReplyHeader{0xF0, 0x7E, 0x00, 0x06, 0x02};
constexpr std::size_t identityTextLength = 16;

// Takes the message the port holds, if any, so that each message is looked at once.
std::vector<unsigned char> TakeMessage(MidiPort& port) {
    std::vector<unsigned char> message = port.LastSysEx();
    port.ClearLastSysEx();
    return message;
}

} // namespace

int CheckSysExUpdateStatus(const std::vector<unsigned char>& message) {
    if (message.size() != statusMessageSize ||
        !std::equal(statusHeader.begin(), statusHeader.end(), message.begin()))
        return statusNone;
    const unsigned char flags = message[statusFlagsOffset];
    Trace("%s: error=(0x%02x)\n", "CheckSysExUpdateStatus", flags);
    if (flags & 0x0F)
        return statusError;
    if (flags & 0x20)
        return statusBusy;
    return statusAccepted;
}

int GetUpdateStatus(MidiPort& port, unsigned int timeoutMs) {
    const unsigned int start = TimeNow();
    std::vector<unsigned char> message = TakeMessage(port);
    while (message.empty() && TimeNow() - start < timeoutMs) {
        SleepFor(pollIntervalMs);
        message = TakeMessage(port);
        if (!port.IsConnected())
            port.Disconnect();
        Trace("%s: sysEx=(%s)\n", "GetUpdateStatus", message.empty() ? "none" : "something");
    }
    return CheckSysExUpdateStatus(message);
}

int WaitForUpdateToFinish(MidiPort& port, UpdateProgress& progress) {
    Trace("%s >>\n", "WaitForUpdateToFinish");
    if (!port.IsConnected()) {
        Trace("%s: not connected\n", "WaitForUpdateToFinish");
        return statusNone;
    }
    progress.Status("Checking update status...");
    progress.ProgressIndeterminate();

    int silences = 0; // polls without a busy answer, over the whole wait
    bool shown = false;
    int run = 0; // busy answers since the start or the last silence
    int status;
    for (;;) {
        status = GetUpdateStatus(port, statusTimeoutMs);
        if (status == statusBusy) {
            if (run == maxBusyRun)
                break;
            if (!shown) {
                progress.Status("Waiting for device to complete update installation...");
                progress.ProgressIndeterminate();
                shown = true;
            }
            ++run;
            continue;
        }
        ++silences;
        if (silences > maxSilences || status != statusNone)
            break;
        run = 0;
    }

    progress.Status(status == statusAccepted ? "Device has accepted update."
                                             : "Device has not yet responded to update.");
    progress.Progress(1.0f);
    Trace("%s << (%d)\n", "WaitForUpdateToFinish", status);
    return status;
}

DeviceInfo ParseDeviceEnquiryResponse(const std::vector<unsigned char>& reply) {
    DeviceInfo info;
    if (reply.size() < identityReplyHeader.size()) {
        Trace("%s: MIDI sysex header short\n", "ParseDeviceEnquiryResponse");
        return info;
    }
    if (!std::equal(identityReplyHeader.begin(), identityReplyHeader.end(), reply.begin())) {
        Trace("%s: MIDI sysex header wrong\n", "ParseDeviceEnquiryResponse");
        return info;
    }
    // The manufacturer ID has three bytes when its first is 00; everything after it moves along.
    const std::size_t k = reply.size() > 5 && reply[5] == 0x00 ? 8 : 6;
    const std::size_t textStart = k + 12;
    if (reply.size() < textStart + identityTextLength) {
        Trace("%s: MIDI sysex reply too short (%u bytes)\n", "ParseDeviceEnquiryResponse",
              static_cast<unsigned int>(reply.size()));
        return info;
    }

    std::vector<int> manufacturer(reply.begin() + 5, reply.begin() + k);
    std::vector<int> family{reply[k]};
    const int a = reply[k + 3], b = reply[k + 4], c = reply[k + 5], d = reply[k + 6];
    // The device counts the number before the point in base 22.
    info.version = Format("%d.%d%d", a * 22 + b, c, d);

    std::string text;
    for (std::size_t i = textStart; i < textStart + identityTextLength; ++i) {
        const unsigned char byte = reply[i];
        if (byte == 0x00 || byte >= 0x7F)
            break;
        text.push_back(static_cast<char>(byte));
    }
    info.manufacturer = ToString(manufacturer);
    info.family = ToString(family);
    info.text = text;
    return info;
}

std::string ToString(std::vector<int> values) {
    std::string text;
    for (int value : values)
        text += Format("%02X ", value);
    return text;
}
