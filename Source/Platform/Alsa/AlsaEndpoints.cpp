// The ALSA service's listing of endpoints and devices, and their properties (with the flags' texts).
#include "AlsaMidiService.h"

#include "AlsaServiceState.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace {

std::string CardManufacturer(int card) {
    if (card < 0)
        return {};
    char* longName = nullptr;
    if (snd_card_get_longname(card, &longName) < 0 || longName == nullptr)
        return {};
    std::string text(longName);
    free(longName);
    // "Ostrel Ostrel Kelva at usb-dummy_hcd.0-1, full speed": the maker and product, not the bus.
    if (std::size_t at = text.find(" at "); at != std::string::npos)
        text.resize(at);
    return text;
}

struct FlagName {
    unsigned int bit;
    const char* name;
};

// The names of the set bits, comma-separated, in table order.
template <std::size_t N> std::string FlagsText(unsigned int flags, const FlagName (&names)[N]) {
    std::string text;
    for (const FlagName& flag : names) {
        if (flags & flag.bit)
            text += text.empty() ? flag.name : std::string(",") + flag.name;
    }
    return text;
}

std::string CapabilityText(unsigned int caps) {
    static const FlagName names[] = {
        {SND_SEQ_PORT_CAP_READ, "read"},           {SND_SEQ_PORT_CAP_WRITE, "write"},
        {SND_SEQ_PORT_CAP_SUBS_READ, "subs-read"}, {SND_SEQ_PORT_CAP_SUBS_WRITE, "subs-write"},
        {SND_SEQ_PORT_CAP_DUPLEX, "duplex"},       {SND_SEQ_PORT_CAP_NO_EXPORT, "no-export"},
    };
    return FlagsText(caps, names);
}

std::string TypeText(unsigned int type) {
    static const FlagName names[] = {
        {SND_SEQ_PORT_TYPE_SPECIFIC, "specific"},       {SND_SEQ_PORT_TYPE_MIDI_GENERIC, "midi-generic"},
        {SND_SEQ_PORT_TYPE_MIDI_GM, "midi-gm"},         {SND_SEQ_PORT_TYPE_SYNTH, "synth"},
        {SND_SEQ_PORT_TYPE_HARDWARE, "hardware"},       {SND_SEQ_PORT_TYPE_SOFTWARE, "software"},
        {SND_SEQ_PORT_TYPE_SYNTHESIZER, "synthesizer"}, {SND_SEQ_PORT_TYPE_PORT, "port"},
        {SND_SEQ_PORT_TYPE_APPLICATION, "application"},
    };
    return FlagsText(type, names);
}

// Whether the card's driver is the USB audio/MIDI driver (snd-usb-audio), whose cards are the
// USB MIDI devices plugged into this machine.
bool IsUsbMidiCard(int card) {
    if (card < 0)
        return false;
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, ("hw:" + std::to_string(card)).c_str(), 0) < 0)
        return false;
    snd_ctl_card_info_t* info = nullptr;
    snd_ctl_card_info_alloca(&info);
    const bool usb = snd_ctl_card_info(ctl, info) >= 0 &&
                     std::string(snd_ctl_card_info_get_driver(info)) == alsa::usbMidiCardDriver;
    snd_ctl_close(ctl);
    return usb;
}

} // namespace

std::vector<MidiRef> AlsaMidiService::State::Enumerate(unsigned int caps) {
    std::set<int> own;
    {
        std::lock_guard<std::mutex> lock(mutex);
        own = OwnClientNumbers();
    }
    std::vector<MidiRef> found;
    std::lock_guard<std::mutex> lock(queryMutex);
    snd_seq_client_info_t* clientInfo = nullptr;
    snd_seq_port_info_t* portInfo = nullptr;
    snd_seq_client_info_alloca(&clientInfo);
    snd_seq_port_info_alloca(&portInfo);
    snd_seq_client_info_set_client(clientInfo, -1);
    while (snd_seq_query_next_client(query, clientInfo) >= 0) {
        const int client = snd_seq_client_info_get_client(clientInfo);
        if (client == SND_SEQ_CLIENT_SYSTEM || own.count(client) != 0)
            continue;
        snd_seq_port_info_set_client(portInfo, client);
        snd_seq_port_info_set_port(portInfo, -1);
        while (snd_seq_query_next_port(query, portInfo) >= 0) {
            const unsigned int portCaps = snd_seq_port_info_get_capability(portInfo);
            if ((portCaps & caps) != caps || (portCaps & SND_SEQ_PORT_CAP_NO_EXPORT) != 0)
                continue;
            if (auto reference = alsa::EndpointRef({client, snd_seq_port_info_get_port(portInfo)}))
                found.push_back(*reference);
        }
    }
    return found;
}

std::vector<MidiRef> AlsaMidiService::State::EnumerateClients() {
    std::set<int> withPorts;
    for (MidiRef reference : Enumerate(0))
        withPorts.insert(alsa::EndpointAddress(reference)->client);
    std::vector<MidiRef> found;
    for (int client : withPorts)
        found.push_back(*alsa::ClientObjectRef(client));
    return found;
}

int AlsaMidiService::State::PortInfo(Address address, snd_seq_port_info_t* info) {
    std::lock_guard<std::mutex> lock(queryMutex);
    return snd_seq_get_any_port_info(query, address.client, address.port, info);
}

int AlsaMidiService::State::ClientInfo(int client, snd_seq_client_info_t* info) {
    std::lock_guard<std::mutex> lock(queryMutex);
    return snd_seq_get_any_client_info(query, client, info);
}

std::uint32_t AlsaMidiService::NumberOfDestinations() {
    auto found = state->Enumerate(SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->destinations = std::move(found);
    return static_cast<std::uint32_t>(state->destinations.size());
}

MidiRef AlsaMidiService::GetDestination(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->destinations.size() ? state->destinations[index] : 0;
}

std::uint32_t AlsaMidiService::NumberOfSources() {
    auto found = state->Enumerate(SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->sources = std::move(found);
    return static_cast<std::uint32_t>(state->sources.size());
}

MidiRef AlsaMidiService::GetSource(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->sources.size() ? state->sources[index] : 0;
}

std::uint32_t AlsaMidiService::NumberOfDevices() {
    auto found = state->EnumerateClients();
    std::lock_guard<std::mutex> lock(state->mutex);
    state->devices = std::move(found);
    return static_cast<std::uint32_t>(state->devices.size());
}

MidiRef AlsaMidiService::GetDevice(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->devices.size() ? state->devices[index] : 0;
}

std::uint32_t AlsaMidiService::NumberOfExternalDevices() {
    return 0; // ALSA does not know what is plugged into a MIDI socket
}

MidiRef AlsaMidiService::GetExternalDevice(std::uint32_t /*index*/) {
    return 0;
}

MidiStatus AlsaMidiService::GetStringProperty(MidiRef object, MidiProperty property, std::string& value) {
    if (property == MidiProperty::Offline || property == MidiProperty::UsbDevice)
        return -EINVAL;
    if (auto address = alsa::EndpointAddress(object)) {
        snd_seq_port_info_t* port = nullptr;
        snd_seq_client_info_t* client = nullptr;
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_alloca(&client);
        if (int err = state->PortInfo(*address, port); err < 0)
            return err;
        if (property == MidiProperty::Name) {
            value = snd_seq_port_info_get_name(port);
            return midiNoError;
        }
        if (int err = state->ClientInfo(address->client, client); err < 0)
            return err;
        value = property == MidiProperty::DisplayName
                    ? std::string(snd_seq_client_info_get_name(client))
                    : CardManufacturer(snd_seq_client_info_get_card(client));
        return midiNoError;
    }
    if (auto clientNumber = alsa::ClientObjectClient(object)) {
        snd_seq_client_info_t* client = nullptr;
        snd_seq_client_info_alloca(&client);
        if (int err = state->ClientInfo(*clientNumber, client); err < 0)
            return err;
        value = property == MidiProperty::Manufacturer
                    ? CardManufacturer(snd_seq_client_info_get_card(client))
                    : std::string(snd_seq_client_info_get_name(client));
        return midiNoError;
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    if (auto it = state->clients.find(object); it != state->clients.end()) {
        value = property == MidiProperty::Manufacturer ? std::string() : it->second->name;
        return midiNoError;
    }
    if (auto it = state->ports.find(object); it != state->ports.end()) {
        value = property == MidiProperty::Manufacturer ? std::string()
                : property == MidiProperty::Name       ? it->second->name
                                                       : it->second->client->name;
        return midiNoError;
    }
    return -ENOENT;
}

MidiStatus AlsaMidiService::GetIntegerProperty(MidiRef object, MidiProperty property, std::int32_t& value) {
    if (property == MidiProperty::UsbDevice) {
        // A USB MIDI device is a kernel client of a card of the USB audio/MIDI driver; its number
        // is the card's, plus one.
        auto address = alsa::EndpointAddress(object);
        if (!address)
            return -EINVAL;
        snd_seq_port_info_t* port = nullptr;
        snd_seq_client_info_t* client = nullptr;
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_alloca(&client);
        if (int err = state->PortInfo(*address, port); err < 0)
            return err;
        if (int err = state->ClientInfo(address->client, client); err < 0)
            return err;
        const int card = snd_seq_client_info_get_card(client);
        const bool usb = snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT && IsUsbMidiCard(card);
        value = usb ? card + 1 : 0;
        return midiNoError;
    }
    if (property != MidiProperty::Offline)
        return -EINVAL;
    // ALSA has no offline flag: a port that is there is online, one that has gone answers its error.
    if (auto address = alsa::EndpointAddress(object)) {
        snd_seq_port_info_t* port = nullptr;
        snd_seq_port_info_alloca(&port);
        if (int err = state->PortInfo(*address, port); err < 0)
            return err;
        value = 0;
        return midiNoError;
    }
    if (auto clientNumber = alsa::ClientObjectClient(object)) {
        snd_seq_client_info_t* client = nullptr;
        snd_seq_client_info_alloca(&client);
        if (int err = state->ClientInfo(*clientNumber, client); err < 0)
            return err;
        value = 0;
        return midiNoError;
    }
    return -ENOENT;
}

MidiStatus AlsaMidiService::GetProperties(MidiRef object, std::string& text) {
    snd_seq_client_info_t* client = nullptr;
    snd_seq_client_info_alloca(&client);
    std::ostringstream out;
    int clientNumber = -1;
    if (auto address = alsa::EndpointAddress(object)) {
        snd_seq_port_info_t* port = nullptr;
        snd_seq_port_info_alloca(&port);
        if (int err = state->PortInfo(*address, port); err < 0)
            return err;
        clientNumber = address->client;
        out << "{address=" << address->client << ":" << address->port << ", port name=\""
            << snd_seq_port_info_get_name(port)
            << "\", capability=" << CapabilityText(snd_seq_port_info_get_capability(port))
            << ", type=" << TypeText(snd_seq_port_info_get_type(port))
            << ", midi channels=" << snd_seq_port_info_get_midi_channels(port)
            << ", read subscribers=" << snd_seq_port_info_get_read_use(port)
            << ", write subscribers=" << snd_seq_port_info_get_write_use(port) << ", ";
    } else if (auto number = alsa::ClientObjectClient(object)) {
        clientNumber = *number;
        out << "{";
    } else {
        return -ENOENT;
    }
    if (int err = state->ClientInfo(clientNumber, client); err < 0)
        return err;
    const int card = snd_seq_client_info_get_card(client);
    out << "client=" << clientNumber << ", client name=\"" << snd_seq_client_info_get_name(client)
        << "\", client type="
        << (snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT ? "kernel" : "user")
        << ", ports=" << snd_seq_client_info_get_num_ports(client) << ", card=" << card;
    if (card >= 0) {
        char* name = nullptr;
        if (snd_card_get_longname(card, &name) >= 0 && name != nullptr) {
            out << ", card name=\"" << name << "\"";
            free(name);
        }
    }
    if (const int pid = snd_seq_client_info_get_pid(client); pid > 0)
        out << ", pid=" << pid;
    out << "}";
    text = out.str();
    return midiNoError;
}

MidiStatus AlsaMidiService::EndpointGetEntity(MidiRef endpoint, MidiRef& entity) {
    auto address = alsa::EndpointAddress(endpoint);
    if (!address)
        return -ENOENT;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_port_info_alloca(&port);
    if (int err = state->PortInfo(*address, port); err < 0)
        return err;
    entity = *alsa::ClientObjectRef(address->client);
    return midiNoError;
}
