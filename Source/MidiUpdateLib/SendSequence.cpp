// SysExSender::Send: the whole update, portion by portion, and its verdict.
#include "DeviceStatus.h"
#include "SysExSender.h"
#include "Utilities.h"

#include <array>

namespace {

// MIDI Universal Identity Request to all devices.
constexpr std::array<unsigned char, 6> deviceEnquiry{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

constexpr unsigned int retryPauseMs = 5000;
constexpr unsigned int identityTimeoutMs = 5000;
// Attempts, over the whole update, after which a portion that finds no device is given up.
constexpr unsigned int maxAttemptsBeforeGivingUp = 5;

const char* const errorVerdict =
    "There was an error sending the update file.\nPlease restart the device and try again.";

} // namespace

void SysExSender::Send(Update& update, UpdateProgress& progress) {
    Trace("%s(update,sender,progress)\n", "Send");
    progress.Progress(0.0f);
    progress.ProgressIndeterminate();
    progress.Status("Started update");

    const unsigned int total = update.TotalSysExSize();
    std::size_t sent = 0;
    int result = statusNone;
    unsigned int attempts = 0;
    // Any portion that the device refused or that could not be sent spoils the whole update,
    // whatever the last portion's answer.
    bool portionFailed = false;
    // Some portion never reached the device: not found, or the port could not send it.
    bool portionUndelivered = false;
    // The port's last reason for a failed send that was shown, so that a repeated one is not.
    std::string shownSendFailure;

    const unsigned int count = static_cast<unsigned int>(update.sysExPortions.size());
    for (unsigned int i = 0; i < count; ++i) {
        Update::SysExPortion& portion = update.sysExPortions[i];
        const std::size_t size = portion.data.size();
        UpdateProgressConverter converter(progress, static_cast<float>(sent), static_cast<float>(sent + size),
                                          static_cast<float>(total));

        if (i == 0 || result == statusNotConnected)
            progress.Status("Looking for " + update.productName + " to update...");
        else
            progress.Status(Format("Sending chunk #%u of %u", i + 1, count));

        do {
            progress.ProgressIndeterminate();
            bool delivered = false;
            if (CheckConnected(port)) {
                delivered = SendPortion(portion, converter);
                if (delivered)
                    result = WaitForUpdateToFinish(port, converter);
                Trace("%s: Disconnecting\n", "Send");
                port.Disconnect();
                if (delivered) {
                    DoDelay(portion, converter);
                } else {
                    // Not all of it left the machine: as good as a device that is not there.
                    const std::string failure = port.SendFailure();
                    Trace("%s: chunk #%u of %u could not be sent: %s\n", "Send", i + 1, count,
                          failure.c_str());
                    if (!failure.empty() && failure != shownSendFailure) {
                        progress.Status(failure);
                        shownSendFailure = failure;
                    }
                }
            }
            if (!delivered) {
                if (i != 0)
                    progress.Status(Format("Could not send chunk #%u of %u. Retrying...", i + 1, count));
                SleepFor(retryPauseMs);
                result = statusNotConnected;
            }
            ++attempts;
        } while (result == statusNotConnected && attempts <= maxAttemptsBeforeGivingUp);

        if (result == statusError || result == statusNotConnected)
            portionFailed = true;
        if (result == statusNotConnected)
            portionUndelivered = true;
        sent += size;
    }

    progress.Progress(1.0f);
    if (!portionUndelivered)
        progress.Status("MIDI update sent successfully.");

    const std::string updateVersion = update.version.ToString();
    const char* name = update.productName.c_str();
    if (portionFailed) {
        progress.Error(errorVerdict);
        return;
    }
    if (result == statusAccepted) {
        progress.Completed(
            Format("The '%s' was updated sucessfully to version %s.", name, updateVersion.c_str()));
        return;
    }

    // Silent or still busy: ask the device which version it now runs.
    progress.Status("Verifying update status...");
    const std::vector<unsigned char> reply =
        port.ReceiveSysEx(identityTimeoutMs, deviceEnquiry.data(), deviceEnquiry.size());
    if (reply.empty()) {
        progress.Completed("The update has been sent.");
        return;
    }
    const std::string deviceVersion = ParseDeviceEnquiryResponse(reply).version;
    if (deviceVersion.empty())
        progress.Completed("The update has been sent, but the device has not yet confirmed that the update "
                           "process was successful.");
    else if (update.version == unknownVersion)
        progress.Completed(
            Format("The update has been sent to the device sucessfully.\nIt is now at version firmware %s.",
                   deviceVersion.c_str()));
    else if (deviceVersion == updateVersion)
        progress.Completed(
            Format("The '%s' was updated sucessfully to version %s.", name, updateVersion.c_str()));
    else
        // The device runs another version than the file carries: the update did not take.
        progress.Error(
            Format("The '%s' firmware version is now %s.\nThe update file version was %s.\nThe update "
                   "process did not complete successfully.",
                   name, deviceVersion.c_str(), updateVersion.c_str()));
}
