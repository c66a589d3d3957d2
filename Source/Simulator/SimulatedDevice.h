#pragma once

#include "DeviceProtocol.h"
#include "DeviceTransport.h"
#include "VirtualDeviceTransport.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Clock;

// A simulated Ostrel Kelva: the device protocol on a transport, with the faults a real device and its
// cable show (absent, late, unplugged after a portion and perhaps back, offline, deaf and mute).
//
// It runs on the clock that is installed when it is made (CurrentClock()). On a VirtualClock it acts
// whenever that clock advances, on the advancing thread; on any other clock a thread of its own
// looks every few milliseconds. Incoming data is taken on the thread that sends it; replies go out
// only when the device acts on the clock, in the order the protocol made them.
class SimulatedDevice {
public:
    struct Options {
        std::string name = "Ostrel Kelva";
        std::string displayName = "Ostrel Kelva";
        std::string manufacturer = "Ostrel";
        // Plugged in by USB: the UsbDevice property of its endpoints on the virtual service (give
        // each simulated device its own number; 0 makes it a software port).
        std::int32_t usbDevice = 1;
        DeviceProtocol::Settings protocol;

        bool absent = false;                        // never shows up
        std::uint64_t appearAfterMs = 0;            // shows up this long after it was made
        unsigned int vanishAfterPortion = 0;        // 1-based: unplugged once it has answered this portion
        std::optional<std::uint64_t> returnAfterMs; // and plugged in again this long after that
        bool withoutSource = false;                 // a destination only: it hears but cannot answer
        std::int32_t offline = 0;                   // the offline property of its endpoints
        std::vector<std::size_t> replyPacketSizes;  // how each reply is cut into packets
        // How fast it takes data, in bytes per second (0: at once). A packet is taken only when the
        // device is through with the ones before it, so the sender is held back as by a slow cable.
        double bytesPerSecond = 0;
    };

    // Something the device sent. Only its size is kept, so that a device that sends without end
    // does not fill the memory with its own record.
    struct Sent {
        std::size_t size;
        std::uint64_t dueMs;  // when the protocol wanted it out
        std::uint64_t sentMs; // when it went out (the clock's time when the device acted)
        unsigned int portion; // 1-based portion it answers; 0 for an identity reply
    };

    SimulatedDevice(VirtualMidiService& service, Options options);
    explicit SimulatedDevice(VirtualMidiService& service);
    SimulatedDevice(std::unique_ptr<DeviceTransport> transport, Options options);
    ~SimulatedDevice();
    SimulatedDevice(const SimulatedDevice&) = delete;
    SimulatedDevice& operator=(const SimulatedDevice&) = delete;

    // Acts on the clock's current time: shows up, answers, vanishes or returns as due. Called by the
    // clock; tests may call it after feeding the device directly.
    void Tick();
    // Feeds bytes to the device as if they had reached its destination now. With a byte rate, first
    // waits on the clock until the device has taken them.
    void Deliver(const std::vector<unsigned char>& bytes);

    // --- what the device has seen and done ---
    std::vector<unsigned char> ReceivedBytes() const;
    std::vector<std::vector<unsigned char>> Portions() const;
    unsigned int EndedPortions() const;
    std::vector<std::vector<unsigned char>> Messages() const;
    std::optional<unsigned char> VideoMode() const;
    unsigned int IdentityRequests() const;
    std::vector<Sent> SentMessages() const;
    bool Present() const;
    unsigned int Appearances() const;    // times its endpoints were made
    unsigned int Disappearances() const; // times they were taken away
    // The transport, for tests that need its endpoint references.
    DeviceTransport& Transport();

private:
    struct Impl;
    std::shared_ptr<Impl> impl;
};
