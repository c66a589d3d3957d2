#pragma once

#include "MidiService.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// An in-process MIDI service whose endpoints are made by code: for tests, the demo and the
// simulated device. Everything a real service would do is here, including a receive thread of its
// own that delivers what a source emits to the input ports connected to it, and failures on demand.
class VirtualMidiService : public MidiService {
public:
    // The calls that can be made to fail.
    enum class Call {
        ClientCreate,
        ClientDispose,
        OutputPortCreate,
        InputPortCreate,
        PortDispose,
        GetName,
        GetManufacturer,
        GetDisplayName,
        GetOffline,
        GetUsbDevice,
        GetProperties,
        GetEntity,
        PortConnectSource,
        Send,
    };

    // Receives every packet sent to a destination, on the sending thread.
    using DestinationHandler = std::function<void(const std::vector<unsigned char>& bytes)>;

    struct EndpointInfo {
        std::string name;
        std::string displayName;
        std::string manufacturer;
        bool hasEntity = true;
        // The USB MIDI device the endpoint belongs to (its UsbDevice property); 0 for none.
        std::int32_t usbDevice = 0;
    };

    // Status codes the service answers with when a call is not failed on purpose (the values of
    // the platform service this one stands in for).
    static constexpr MidiStatus invalidClient = -10830;
    static constexpr MidiStatus invalidPort = -10831;
    static constexpr MidiStatus wrongEndpointType = -10832;
    static constexpr MidiStatus noConnection = -10833;
    static constexpr MidiStatus unknownProperty = -10835;
    static constexpr MidiStatus wrongPropertyType = -10836;
    static constexpr MidiStatus objectNotFound = -10842;

    VirtualMidiService();
    ~VirtualMidiService() override;

    // --- Building the virtual world (any thread) ---
    MidiRef AddDestination(const EndpointInfo& info, DestinationHandler handler);
    MidiRef AddSource(const EndpointInfo& info);
    // Removes an endpoint: it leaves the lists and every query about it fails (it "went away").
    void RemoveEndpoint(MidiRef endpoint);
    void SetOffline(MidiRef endpoint, std::int32_t offline);
    // Adding, removing and taking an endpoint offline (or back) are told to the setup watchers, on
    // the receive thread, in order with each other and with the packets emitted.
    void AddDevice(const std::string& name);
    void AddExternalDevice(const std::string& name);

    // Makes every later call of this kind fail with the status, until cleared (status 0).
    void FailCall(Call call, MidiStatus status);
    // Makes only the next call of this kind fail.
    void FailNextCall(Call call, MidiStatus status);

    // Delivers bytes from a source to every input port connected to it, on the receive thread,
    // cut into packets at the given sizes (the last packet takes the rest; empty = one packet).
    // Returns once the receive thread has handed every packet to the read callbacks, so a caller
    // on a virtual clock sees the bytes delivered before its next step.
    void Emit(MidiRef source, const std::vector<unsigned char>& bytes,
              const std::vector<std::size_t>& packetSizes = {});

    // Counts of calls made, for tests.
    std::size_t CallCount(Call call) const;
    // How many sources an input port is connected to right now, over all ports.
    std::size_t ConnectionCount() const;
    // References that are still alive (clients and ports not disposed).
    std::size_t LiveClientCount() const;
    std::size_t LivePortCount() const;

    // --- MidiService ---
    MidiStatus ClientCreate(const std::string& name, MidiRef& client) override;
    MidiStatus ClientDispose(MidiRef client) override;
    MidiStatus OutputPortCreate(MidiRef client, const std::string& name, MidiRef& port) override;
    MidiStatus InputPortCreate(MidiRef client, const std::string& name, MidiReadProc readProc,
                               void* readContext, MidiRef& port) override;
    MidiStatus PortDispose(MidiRef port) override;
    std::uint32_t NumberOfDestinations() override;
    MidiRef GetDestination(std::uint32_t index) override;
    std::uint32_t NumberOfSources() override;
    MidiRef GetSource(std::uint32_t index) override;
    std::uint32_t NumberOfDevices() override;
    MidiRef GetDevice(std::uint32_t index) override;
    std::uint32_t NumberOfExternalDevices() override;
    MidiRef GetExternalDevice(std::uint32_t index) override;
    MidiStatus GetStringProperty(MidiRef object, MidiProperty property, std::string& value) override;
    MidiStatus GetIntegerProperty(MidiRef object, MidiProperty property, std::int32_t& value) override;
    MidiStatus GetProperties(MidiRef object, std::string& text) override;
    MidiStatus EndpointGetEntity(MidiRef endpoint, MidiRef& entity) override;
    MidiStatus PortConnectSource(MidiRef inputPort, MidiRef source, void* connectionContext) override;
    MidiStatus PortDisconnectSource(MidiRef inputPort, MidiRef source) override;
    MidiStatus Send(MidiRef outputPort, MidiRef destination, const MidiPacket& packet) override;
    std::string StatusText(MidiStatus status) override;
    std::unique_ptr<SetupWatch> WatchSetup(SetupCallback callback) override;

private:
    struct State;
    std::unique_ptr<State> state;
};
