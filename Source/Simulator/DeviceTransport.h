#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Where a simulated device lives: its endpoints on some MIDI service and the bytes it sends from its
// source. The device's protocol and faults know nothing else of the service.
class DeviceTransport {
public:
    struct Names {
        std::string name;
        std::string displayName;
        std::string manufacturer;
        std::int32_t usbDevice = 0; // the endpoints' UsbDevice property where the transport sets it
    };
    // Called with every packet that reaches the device's destination.
    using DataHandler = std::function<void(const std::vector<unsigned char>& bytes)>;

    virtual ~DeviceTransport() = default;

    // Makes the device's destination and, when withSource, its source.
    virtual void CreateEndpoints(const Names& names, bool withSource, DataHandler handler) = 0;
    // Takes the endpoints away again (the device was unplugged).
    virtual void RemoveEndpoints() = 0;
    virtual void SetOffline(std::int32_t offline) = 0;
    // Sends bytes from the device's source, cut into packets of the given sizes (empty: one packet).
    // Returns once they have been delivered.
    virtual void Emit(const std::vector<unsigned char>& bytes,
                      const std::vector<std::size_t>& packetSizes) = 0;
};
