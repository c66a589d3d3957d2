#include "AlsaDelivery.h"

#include <algorithm>

namespace alsa {

std::optional<MidiRef> EndpointRef(Address address) {
    if (address.client < 0 || address.client > 255 || address.port < 0 || address.port > 255)
        return std::nullopt;
    return (static_cast<MidiRef>(address.client) << 8 | static_cast<MidiRef>(address.port)) + 1;
}

std::optional<Address> EndpointAddress(MidiRef reference) {
    if (reference == 0 || reference > endpointLimit)
        return std::nullopt;
    const MidiRef value = reference - 1;
    return Address{static_cast<int>(value >> 8), static_cast<int>(value & 0xFF)};
}

std::optional<MidiRef> ClientObjectRef(int client) {
    if (client < 0 || client > 255)
        return std::nullopt;
    return clientObjectBase | static_cast<MidiRef>(client);
}

std::optional<int> ClientObjectClient(MidiRef reference) {
    if ((reference & ~MidiRef{0xFF}) != clientObjectBase)
        return std::nullopt;
    return static_cast<int>(reference & 0xFF);
}

std::size_t CellsForEvent(std::size_t dataBytes) {
    return 1 + (dataBytes + sequencerCellBytes - 1) / sequencerCellBytes;
}

std::size_t EventLimitForPool(int inputPool) {
    // The kernel refuses an event whose data cells are not fewer than the pool's cells, and the
    // event's own cell comes on top: leave room for both.
    if (inputPool < 3)
        return 0;
    const std::size_t dataCells = static_cast<std::size_t>(inputPool) - 2;
    return std::min(maxSequencerEventBytes, dataCells * sequencerCellBytes);
}

std::vector<std::size_t> CutIntoEvents(std::size_t size, std::size_t limit) {
    std::vector<std::size_t> pieces;
    if (limit == 0)
        return pieces;
    for (std::size_t done = 0; done < size;) {
        const std::size_t piece = std::min(limit, size - done);
        pieces.push_back(piece);
        done += piece;
    }
    return pieces;
}

Delivery ChooseDelivery(const DestinationFacts& facts) {
    // Only the snd-seq-midi bridge's ports stand for a raw MIDI device that we can write ourselves;
    // a kernel client of a card that is not hardware (virmidi) has no such device behind its port.
    if (facts.card >= 0 && facts.kernelClient && facts.hardwarePort && facts.rawMidiOutputFound)
        return Delivery::RawMidi;
    return Delivery::Sequencer;
}

RawMidiLocation RawMidiLocationForPort(int card, int port) {
    return RawMidiLocation{card, port / rawMidiPortsPerDevice, port % rawMidiPortsPerDevice};
}

std::string RawMidiDeviceName(const RawMidiLocation& location) {
    return "hw:" + std::to_string(location.card) + "," + std::to_string(location.device) + "," +
           std::to_string(location.subdevice);
}

} // namespace alsa
