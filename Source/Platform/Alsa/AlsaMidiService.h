#pragma once

#include "MidiService.h"

#include <memory>
#include <string>

// The MIDI service on the ALSA sequencer.
//
// Destinations are other clients' ports that can be written and subscribed to, sources those that
// can be read and subscribed to; the system client and our own clients are never listed. An
// endpoint's name is the port's name, its display name the client's name, its manufacturer the
// card's long name up to " at " (empty for a software client). A port that has gone away answers
// every query with the sequencer's error (-ENOENT for a deleted port, -ENXIO when its client has
// gone), which is a non-zero status. Devices are the clients that own listed ports; ALSA knows of
// no external devices.
//
// Sending: a destination that is a port of the kernel's raw MIDI bridge (a sound card such as a
// USB MIDI device) gets the bytes through the raw MIDI device behind it, opened non-blocking (a port
// held by another program fails at once with -EBUSY) with a 64 KiB buffer, each write to an idle
// (drained) output and drained before the next, every wait on the program's clock and bounded; such a
// destination prefers 32 KiB packets (PreferredPacketBytes); any other destination gets sequencer SysEx
// events through a subscription, each small enough for the receiver and sent only once the receiver's input
// pool has room. See docs/alsa-delivery.md.
//
// Setup watches (WatchSetup) each open a sequencer client of their own, subscribed to the system's
// announce port, and tell the callback on that client's reader thread, in the sequencer's order: a port
// started, exited or changed is an endpoint added, removed or changed (its reference given), a client
// that exited or changed an endpoint removed or changed (no reference: a client's ports announce their
// own exits first). The service's own clients (its query handle, those made by ClientCreate, the
// watches') are left out. The listing reads the sequencer as it is, so while the callback runs an added
// port is listed and a removed one is not. Linux announces a port's or a client's change (a new name)
// only since 6.13 (and the stable kernels that took that change back); Debian 12's 6.1 tells of ports
// and clients coming and going only.
//
// Each client has a receive thread of its own, running while the client has an input port; it
// turns incoming events back into bytes and calls the input port's read procedure, one packet per
// event, in arrival order, for events from connected sources only.
class AlsaMidiService : public MidiService {
public:
    // Opens the sequencer; null with the reason when there is none (and what usually fixes it).
    static std::unique_ptr<AlsaMidiService> Open(std::string& whyNot);
    ~AlsaMidiService() override;
    AlsaMidiService(const AlsaMidiService&) = delete;
    AlsaMidiService& operator=(const AlsaMidiService&) = delete;

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
    // Large packets (alsa::rawMidiPacketBytes) for a port of a card's raw MIDI bridge, which is sent
    // to through raw MIDI with a drain per packet; no preference for any other destination.
    std::size_t PreferredPacketBytes(MidiRef destination) override;
    std::unique_ptr<SetupWatch> WatchSetup(SetupCallback callback) override;
    std::string StatusText(MidiStatus status) override;
    // Says who holds a busy port (the clients subscribed to write to it, or the processes that
    // opened its raw MIDI device), that a device was disconnected, and what to do.
    std::string DescribeSendFailure(MidiRef destination, MidiStatus status) override;

    // The sequencer client numbers of the clients this service made (for tests and the listing).
    int ClientNumber(MidiRef client);
    int PortNumber(MidiRef port);

private:
    AlsaMidiService();
    struct State;
    std::unique_ptr<State> state;
};
