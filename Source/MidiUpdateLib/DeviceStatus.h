#pragma once

#include "MidiPort.h"
#include "Progress.h"

#include <string>
#include <vector>

// Device status codes. The send sequence adds notConnected for an attempt that found no device.
enum DeviceStatus : int {
    statusNone = 0,     // no (recognised) status message in time, or the port was not connected
    statusAccepted = 1, // the device has taken the update
    statusBusy = 2,     // the device is still installing
    statusError = 3,    // the device reports a failure
    statusNotConnected = 4,
};

// The status code of one received message: 0 unless it is the device's 13-byte status message.
int CheckSysExUpdateStatus(const std::vector<unsigned char>& message);

// Polls the port every 500 ms for a message until one comes or timeoutMs have passed.
int GetUpdateStatus(MidiPort& port, unsigned int timeoutMs);

// After a portion: waits until the device accepts or fails it, stays busy too long (201 busy
// answers in a row) or stays silent (six polls without a status in all).
int WaitForUpdateToFinish(MidiPort& port, UpdateProgress& progress);

// What the device says about itself in its identity reply; all empty when the reply is unreadable.
struct DeviceInfo {
    std::string manufacturer;
    std::string family;
    std::string version;
    std::string text;
};

DeviceInfo ParseDeviceEnquiryResponse(const std::vector<unsigned char>& reply);

// "00 01 02 ": each element as at least two upper-case hexadecimal digits and a blank.
std::string ToString(std::vector<int> values);
