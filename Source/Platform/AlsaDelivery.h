#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "MidiService.h"

// The parts of the ALSA back end that need no sequencer: how ALSA addresses become references, how
// a packet is cut into sequencer events that a receiver can hold, and which way a packet is sent.
namespace alsa {

// A sequencer address: client and port number.
struct Address {
    int client = 0;
    int port = 0;
    bool operator==(const Address&) const = default;
};

// References. An endpoint is a port of another client: (client << 8 | port) + 1, never 0. A client
// seen as a device or as an endpoint's entity, and our own clients and ports, live in ranges of
// their own so that no reference can be taken for another kind.
constexpr MidiRef endpointLimit = 0x10000;       // endpoint references are 1 .. 0x10000
constexpr MidiRef clientObjectBase = 0x00100000; // | client number: a client as device or entity
constexpr MidiRef ownClientBase = 0x01000000;    // | serial: a client we created
constexpr MidiRef ownPortBase = 0x02000000;      // | serial: a port we created
constexpr MidiRef kindMask = 0xFF000000;

std::optional<MidiRef> EndpointRef(Address address);
std::optional<Address> EndpointAddress(MidiRef reference);
std::optional<MidiRef> ClientObjectRef(int client);
std::optional<int> ClientObjectClient(MidiRef reference);

// The sequencer's cells are the size of one event (28 bytes); a variable-length event of n bytes
// takes one cell for itself and one for each started 28 bytes of its data.
constexpr std::size_t sequencerCellBytes = 28;
std::size_t CellsForEvent(std::size_t dataBytes);

// The largest SysEx event sent to a user client. Kept well below the receiver's default alsa-lib
// input buffer (14000 bytes) and below its default input pool (200 cells = 5600 bytes).
constexpr std::size_t maxSequencerEventBytes = 4096;
// The largest event a receiver with `inputPool` cells can take while its pool is otherwise empty,
// capped at maxSequencerEventBytes; 0 when the pool cannot take even a small event.
std::size_t EventLimitForPool(int inputPool);
// Events for a kernel client (no input pool to look at): no more than the kernel clients send.
constexpr std::size_t kernelClientEventBytes = 256;

// Cuts `size` bytes into pieces of at most `limit` bytes (limit > 0), in order; no piece is empty.
std::vector<std::size_t> CutIntoEvents(std::size_t size, std::size_t limit);

// The way a packet travels to a destination.
enum class Delivery {
    RawMidi,   // through the raw MIDI device behind the port: blocking writes, drained
    Sequencer, // as sequencer SysEx events within the receiver's limits
};

// What the chooser needs to know about a destination port.
struct DestinationFacts {
    int card = -1;                   // snd_seq_client_info_get_card; -1 for a software client
    bool kernelClient = false;       // SND_SEQ_KERNEL_CLIENT
    bool hardwarePort = false;       // port type has SND_SEQ_PORT_TYPE_HARDWARE (snd-seq-midi's ports)
    bool rawMidiOutputFound = false; // the card has a raw MIDI output at the port's device/subdevice
};

Delivery ChooseDelivery(const DestinationFacts& facts);

// The raw MIDI device behind a port of the snd-seq-midi bridge: the bridge numbers the port of
// device d, subdevice s as d * 32 + s (256 ports / 8 raw MIDI devices per card).
struct RawMidiLocation {
    int card = 0;
    int device = 0;
    int subdevice = 0;
    bool operator==(const RawMidiLocation&) const = default;
};
constexpr int rawMidiPortsPerDevice = 32;
RawMidiLocation RawMidiLocationForPort(int card, int port);
// "hw:CARD,DEVICE,SUBDEVICE", the name snd_rawmidi_open takes.
std::string RawMidiDeviceName(const RawMidiLocation& location);

// The driver name (snd_ctl_card_info_get_driver) of the cards of USB audio and MIDI devices.
constexpr const char* usbMidiCardDriver = "USB-Audio";

// Raw MIDI output is written in pieces of at most this many bytes, each drained before the next.
constexpr std::size_t rawMidiWriteBytes = 4096;

} // namespace alsa
