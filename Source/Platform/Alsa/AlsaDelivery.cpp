#include "AlsaDelivery.h"

#include "Utilities.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <unistd.h>

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

namespace {

// Waits for the buffer to take more: the slice, or -ETIMEDOUT once nothing moved for stallMs.
int WaitSlice(unsigned int lastProgress, unsigned int stallMs) {
    if (TimeNow() - lastProgress >= stallMs)
        return -ETIMEDOUT;
    SleepFor(deliveryWaitSliceMs);
    return 0;
}

} // namespace

int WriteRawMidi(RawMidiOutput& output, const unsigned char* data, std::size_t size, unsigned int stallMs) {
    const std::size_t bufferSize = output.BufferSize();
    unsigned int lastProgress = TimeNow();
    for (std::size_t done = 0; done < size;) {
        // The output is idle here, so the driver cannot take the bytes before they are copied in.
        const long n = output.Write(data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            lastProgress = TimeNow();
        } else if (n < 0 && n != -EAGAIN) {
            return static_cast<int>(n);
        } else if (int err = WaitSlice(lastProgress, stallMs); err < 0) {
            return err;
        }
        // The buffer empties at the device's pace; waiting for that here, on the clock, leaves the
        // drain only the bytes in flight.
        for (long lastAvailable = -1;;) {
            const long available = output.Available();
            if (available < 0)
                return static_cast<int>(available);
            if (static_cast<std::size_t>(available) >= bufferSize)
                break;
            if (available > lastAvailable && lastAvailable >= 0)
                lastProgress = TimeNow();
            lastAvailable = available;
            if (int err = WaitSlice(lastProgress, stallMs); err < 0)
                return err;
        }
        // Only the drain stops the driver: after it, the next write is safe again.
        if (int err = output.Drain(); err < 0)
            return err;
    }
    return 0;
}

int WaitForRoom(const std::function<int(int& freeCells)>& freeCells, std::size_t cells,
                unsigned int stallMs) {
    int free = 0;
    if (int err = freeCells(free); err < 0)
        return err;
    unsigned int lastProgress = TimeNow();
    while (free < 0 || static_cast<std::size_t>(free) < cells) {
        // The receiver's reader frees cells as it takes events; there is nothing to wait on but time.
        if (int err = WaitSlice(lastProgress, stallMs); err < 0)
            return err;
        const int before = free;
        if (int err = freeCells(free); err < 0)
            return err;
        if (free > before)
            lastProgress = TimeNow();
    }
    return 0;
}

std::string RawMidiNodePath(int card, int device) {
    return "/dev/snd/midiC" + std::to_string(card) + "D" + std::to_string(device);
}

std::vector<PortHolder> ProcessesWithFileOpen(const std::string& path) {
    std::vector<PortHolder> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return found;
    while (const dirent* entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](char c) { return std::isdigit(c); }))
            continue;
        const std::string fdFolder = "/proc/" + pid + "/fd";
        // Another user's process: its descriptors cannot be read, and it cannot be named.
        DIR* fds = opendir(fdFolder.c_str());
        if (fds == nullptr)
            continue;
        bool holds = false;
        while (const dirent* fd = readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            char target[PATH_MAX];
            const ssize_t length = readlink((fdFolder + "/" + fd->d_name).c_str(), target, sizeof target - 1);
            if (length > 0 &&
                path.compare(0, std::string::npos, target, static_cast<std::size_t>(length)) == 0) {
                holds = true;
                break;
            }
        }
        closedir(fds);
        if (!holds)
            continue;
        std::string name;
        std::ifstream comm("/proc/" + pid + "/comm");
        std::getline(comm, name);
        found.push_back(PortHolder{name, -1, std::stoi(pid)});
    }
    closedir(proc);
    return found;
}

namespace {

// "A", "A and B", "A, B and C".
std::string Enumeration(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            text += i + 1 == items.size() ? " and " : ", ";
        text += items[i];
    }
    return text;
}

std::string BusyText(const std::string& port, const std::vector<PortHolder>& holders) {
    if (holders.empty())
        return "The " + port +
               " is in use by another program. Close the program that uses it (a MIDI tool, a sound "
               "server or a music program), then try again.";
    std::vector<std::string> names;
    bool connections = false;
    for (const PortHolder& holder : holders) {
        if (holder.client >= 0) {
            names.push_back("\"" + holder.name + "\" (client " + std::to_string(holder.client) + ")");
            connections = true;
        } else {
            names.push_back("\"" + holder.name + "\" (process " + std::to_string(holder.process) + ")");
        }
    }
    const bool one = holders.size() == 1;
    std::string advice = one ? "Close that program" : "Close those programs";
    if (connections)
        advice += one ? " or remove its connection" : " or remove their connections";
    return "The " + port + " is in use by " + Enumeration(names) + ". " + advice + ", then try again.";
}

} // namespace

std::string SendFailureText(const std::string& portName, int status, const std::vector<PortHolder>& holders,
                            const std::string& statusText) {
    const std::string port = portName.empty() ? "MIDI port" : "port \"" + portName + "\"";
    switch (status) {
    case -EBUSY:
        return BusyText(port, holders);
    case -ENODEV:
    case -ENXIO:
    case -ENOENT:
    case -ESHUTDOWN:
        return "The device of the " + port + " was disconnected. Connect it again to go on.";
    case -ETIMEDOUT:
        return "The device of the " + port + " stopped taking data (nothing moved for " +
               std::to_string(deliveryStallMs / 1000) +
               " seconds). Check the device and its cable, then try again.";
    case -EACCES:
    case -EPERM:
        return "No permission to use the " + port +
               ". Add the user to the \"audio\" group and log in again, or use a local desktop session.";
    default:
        // As the other back ends say it.
        return "Could not send to the MIDI port" + (portName.empty() ? "" : " \"" + portName + "\"") + ": " +
               statusText + ".";
    }
}

std::string SequencerOpenFailureText(int error) {
    const std::string what = std::string("cannot open the ALSA sequencer: ") + std::strerror(-error);
    switch (error) {
    case -ENOENT:
    case -ENODEV:
        return what + ". /dev/snd/seq is missing: the kernel's sequencer is not loaded. Load it with "
                      "\"sudo modprobe snd-seq\" (the snd-seq module).";
    case -EACCES:
    case -EPERM:
        return what + ". This user has no access to /dev/snd: add the user to the \"audio\" group and log in "
                      "again, or use a local desktop session.";
    default:
        return what;
    }
}

} // namespace alsa
