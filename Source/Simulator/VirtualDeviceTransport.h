// The simulated device's endpoints on the in-process virtual MIDI service.
#pragma once

#include "DeviceTransport.h"
#include "VirtualMidiService.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The device's endpoints on the in-process virtual MIDI service.
class VirtualDeviceTransport : public DeviceTransport {
public:
    explicit VirtualDeviceTransport(VirtualMidiService& service) : service(service) {}
    ~VirtualDeviceTransport() override;

    void CreateEndpoints(const Names& names, bool withSource, DataHandler handler) override;
    void RemoveEndpoints() override;
    void SetOffline(std::int32_t offline) override;
    void Emit(const std::vector<unsigned char>& bytes, const std::vector<std::size_t>& packetSizes) override;

    MidiRef Destination() const { return destination; }
    MidiRef Source() const { return source; }

private:
    VirtualMidiService& service;
    MidiRef destination = 0;
    MidiRef source = 0;
};
