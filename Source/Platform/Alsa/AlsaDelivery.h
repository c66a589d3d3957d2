#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
    RawMidi,   // through the raw MIDI device behind the port: non-blocking writes to an idle output
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

// The raw MIDI output's buffer, asked for when the output is opened: it holds a whole packet of the
// platform port (its packets are shorter than 64 KiB), so that a packet goes to the driver in one
// write.
constexpr std::size_t rawMidiBufferBytes = 65536;
// The packet size a raw MIDI destination prefers (MidiService::PreferredPacketBytes): every packet
// costs one drain, during which the USB pipe runs dry, so the packets are large.
constexpr std::size_t rawMidiPacketBytes = 32768;

// Every wait of a delivery sleeps on the program's clock (SleepFor) in slices this short, so that an
// interruption of the clock ends it within a slice, and gives up with -ETIMEDOUT when the receiver
// has taken nothing for deliveryStallMs (the kernel's own raw MIDI drain gives up after 10 s too).
constexpr unsigned int deliveryWaitSliceMs = 1;
constexpr unsigned int deliveryStallMs = 10000;

// An open raw MIDI output, non-blocking (alsa-lib behind it; a fake in the tests).
class RawMidiOutput {
public:
    virtual ~RawMidiOutput() = default;
    // Takes what fits in the output buffer: the bytes taken, -EAGAIN when it is full, or an error.
    virtual long Write(const unsigned char* data, std::size_t size) = 0;
    // The free bytes in the output buffer, or an error.
    virtual long Available() = 0;
    // The output buffer's size: Available() answers this when nothing is left to send.
    virtual std::size_t BufferSize() = 0;
    // Waits until what already left the buffer has left the device's driver (snd_rawmidi_drain).
    virtual int Drain() = 0;
};

// Writes the bytes so that no write ever meets the driver still sending: every write goes to an idle
// output (just opened, or drained), takes as much as the buffer holds, and is followed by a wait on
// the clock until the buffer is empty and a drain (which then only waits for the bytes in flight).
// Writing while the driver sends can corrupt the bytes: the kernel (6.1) counts a write's bytes as
// queued before it copies them, and a USB MIDI driver sending at that moment takes the buffer's
// stale bytes instead (docs/alsa-delivery.md). Returns 0, the first error of the output, or
// -ETIMEDOUT when the buffer did not move for `stallMs`. Whatever the clock throws (an
// interruption) goes through unchanged.
int WriteRawMidi(RawMidiOutput& output, const unsigned char* data, std::size_t size,
                 unsigned int stallMs = deliveryStallMs);

// Waits on the clock until `freeCells` reports at least `cells` free (0 at once when it does
// already). Gives up with -ETIMEDOUT when the free count has not grown for `stallMs`; an error of
// `freeCells` is returned as it is.
int WaitForRoom(const std::function<int(int& freeCells)>& freeCells, std::size_t cells,
                unsigned int stallMs = deliveryStallMs);

// The device node of a card's raw MIDI device: /dev/snd/midiC<card>D<device>.
std::string RawMidiNodePath(int card, int device);

// Someone who holds a port that we could not open: a sequencer client subscribed to write to it
// (client >= 0) or a process with the raw MIDI device open (process >= 0).
struct PortHolder {
    std::string name;
    int client = -1;
    int process = -1;
    bool operator==(const PortHolder&) const = default;
};

// The processes that have `path` open, with their command names (/proc/PID/comm), found through
// /proc/*/fd. Processes whose descriptors this user may not read are not found.
std::vector<PortHolder> ProcessesWithFileOpen(const std::string& path);

// What the user is told when sending to the port named `portName` (empty when unknown) failed
// with `status`: who holds a busy port (`holders`) and what to do, a device that was disconnected,
// a device that stopped taking data, no permission; otherwise the port and `statusText`.
std::string SendFailureText(const std::string& portName, int status, const std::vector<PortHolder>& holders,
                            const std::string& statusText);

// Why the sequencer could not be opened (snd_seq_open's error) and what usually fixes it.
std::string SequencerOpenFailureText(int error);

} // namespace alsa
