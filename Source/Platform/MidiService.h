#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The system's MIDI service as the platform port and the interface listing use it: clients, ports,
// endpoints and their properties, connections, sending and a receive callback. References are
// unsigned 32-bit values with 0 meaning none; a status of 0 is success, anything else an error code.
using MidiRef = std::uint32_t;
using MidiStatus = std::int32_t;

constexpr MidiStatus midiNoError = 0;

enum class MidiProperty {
    Name,         // string
    Manufacturer, // string
    DisplayName,  // string
    Offline,      // integer, non-zero when offline
    // integer: 0 when the endpoint is not a port of a USB MIDI device; otherwise a positive number
    // that every endpoint of the same device shares (and no other device's endpoints)
    UsbDevice,
};

struct MidiPacket {
    std::uint64_t timeStamp = 0;
    std::vector<unsigned char> data;
};

using MidiPacketList = std::vector<MidiPacket>;

// Runs on the service's own receive thread, once per arriving packet list, packets in arrival order.
// readContext is the one given when the input port was created, connectionContext the one given
// when the source was connected.
using MidiReadProc = void (*)(const MidiPacketList& packets, void* readContext, void* connectionContext);

// A change of the system's MIDI setup, as the service tells it.
enum class SetupChange {
    EndpointAdded,   // a source or destination appeared (a device was plugged in, a program started)
    EndpointRemoved, // one went away
    EndpointChanged, // one changed (its name, its client, going offline)
};

struct SetupNotification {
    SetupChange change = SetupChange::EndpointChanged;
    MidiRef endpoint = 0; // the endpoint concerned, when the service can name it; 0 otherwise
};

using SetupCallback = std::function<void(const SetupNotification& notification)>;

// Keeps a setup callback registered while it lives (see MidiService::WatchSetup).
class SetupWatch {
public:
    virtual ~SetupWatch() = default;
};

class MidiService {
public:
    virtual ~MidiService() = default;

    virtual MidiStatus ClientCreate(const std::string& name, MidiRef& client) = 0;
    virtual MidiStatus ClientDispose(MidiRef client) = 0;
    virtual MidiStatus OutputPortCreate(MidiRef client, const std::string& name, MidiRef& port) = 0;
    virtual MidiStatus InputPortCreate(MidiRef client, const std::string& name, MidiReadProc readProc,
                                       void* readContext, MidiRef& port) = 0;
    virtual MidiStatus PortDispose(MidiRef port) = 0;

    virtual std::uint32_t NumberOfDestinations() = 0;
    virtual MidiRef GetDestination(std::uint32_t index) = 0;
    virtual std::uint32_t NumberOfSources() = 0;
    virtual MidiRef GetSource(std::uint32_t index) = 0;
    virtual std::uint32_t NumberOfDevices() = 0;
    virtual MidiRef GetDevice(std::uint32_t index) = 0;
    virtual std::uint32_t NumberOfExternalDevices() = 0;
    virtual MidiRef GetExternalDevice(std::uint32_t index) = 0;

    virtual MidiStatus GetStringProperty(MidiRef object, MidiProperty property, std::string& value) = 0;
    virtual MidiStatus GetIntegerProperty(MidiRef object, MidiProperty property, std::int32_t& value) = 0;
    // All of an object's properties (deep), rendered as readable text.
    virtual MidiStatus GetProperties(MidiRef object, std::string& text) = 0;
    virtual MidiStatus EndpointGetEntity(MidiRef endpoint, MidiRef& entity) = 0;

    virtual MidiStatus PortConnectSource(MidiRef inputPort, MidiRef source, void* connectionContext) = 0;
    virtual MidiStatus PortDisconnectSource(MidiRef inputPort, MidiRef source) = 0;

    // Sends one packet to a destination.
    virtual MidiStatus Send(MidiRef outputPort, MidiRef destination, const MidiPacket& packet) = 0;

    // The packet size that suits a destination best, when it has one (0: no preference). Senders
    // that cut data into packets may take it instead of their own.
    virtual std::size_t PreferredPacketBytes(MidiRef destination) {
        (void)destination;
        return 0;
    }

    // Calls the callback on the service's own thread, one notification at a time and in the order of
    // the changes, each time the setup changes, until the returned watch is destroyed. Once the
    // watch's destructor has returned, the callback is not running and never runs again; the watch
    // must not be destroyed from within its own callback. Null when the service cannot tell of
    // changes (callers then see the setup as it was when they last looked).
    virtual std::unique_ptr<SetupWatch> WatchSetup(SetupCallback callback) {
        (void)callback;
        return nullptr;
    }

    // A readable description of a status code, for error lines.
    virtual std::string StatusText(MidiStatus status) = 0;

    // Why sending to a destination failed with the status, as one or two sentences for the user
    // (who holds a busy port, what to do). By default the port's name and the status text.
    virtual std::string DescribeSendFailure(MidiRef destination, MidiStatus status) {
        std::string name;
        if (GetStringProperty(destination, MidiProperty::Name, name) != midiNoError || name.empty())
            return "Could not send to the MIDI port: " + StatusText(status) + ".";
        return "Could not send to the MIDI port \"" + name + "\": " + StatusText(status) + ".";
    }
};
