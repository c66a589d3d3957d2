#include "AlsaDeviceTransport.h"

#include "AlsaSequencer.h"

#include <algorithm>

std::unique_ptr<AlsaDeviceTransport> AlsaDeviceTransport::Open(std::string& whyNot) {
    std::unique_ptr<AlsaDeviceTransport> transport(new AlsaDeviceTransport());
    // Named properly when the device shows up.
    if (int err = alsa::OpenClient("Simulated device", transport->seq); err < 0) {
        whyNot = std::string("cannot open the ALSA sequencer: ") + snd_strerror(err);
        return nullptr;
    }
    AlsaDeviceTransport* self = transport.get();
    auto decoder = std::make_shared<alsa::EventDecoder>();
    transport->reader = std::make_unique<alsa::SequencerReader>(
        transport->seq, [self, decoder](const snd_seq_event_t& event) {
            std::vector<unsigned char> bytes;
            decoder->Decode(event, bytes);
            if (bytes.empty())
                return;
            DataHandler deliver;
            {
                std::lock_guard<std::mutex> lock(self->mutex);
                if (self->port < 0 || event.dest.port != self->port)
                    return;
                deliver = self->handler;
            }
            if (deliver)
                deliver(bytes);
        });
    return transport;
}

AlsaDeviceTransport::~AlsaDeviceTransport() {
    RemoveEndpoints();
    reader.reset();
    if (seq != nullptr)
        snd_seq_close(seq);
}

void AlsaDeviceTransport::CreateEndpoints(const Names& names, bool withSource, DataHandler dataHandler) {
    RemoveEndpoints();
    snd_seq_set_client_name(seq, names.displayName.c_str());
    unsigned int caps = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    if (withSource)
        caps |= SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_DUPLEX;
    const std::string portName = names.name + " MIDI 1";
    std::lock_guard<std::mutex> lock(mutex);
    handler = std::move(dataHandler);
    port = snd_seq_create_simple_port(seq, portName.c_str(), caps,
                                      SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
}

void AlsaDeviceTransport::RemoveEndpoints() {
    int gone = -1;
    {
        std::lock_guard<std::mutex> lock(mutex);
        gone = port;
        port = -1;
        handler = nullptr;
    }
    // Deleting the port is what an unplug looks like: queries about it answer -ENOENT.
    if (gone >= 0)
        snd_seq_delete_simple_port(seq, gone);
}

void AlsaDeviceTransport::SetOffline(std::int32_t /*offline*/) {}

void AlsaDeviceTransport::Emit(const std::vector<unsigned char>& bytes,
                               const std::vector<std::size_t>& packetSizes) {
    int from = -1;
    {
        std::lock_guard<std::mutex> lock(mutex);
        from = port;
    }
    if (from < 0)
        return;
    std::size_t offset = 0;
    std::size_t index = 0;
    while (offset < bytes.size()) {
        // The given sizes first, then one packet with the rest.
        std::size_t size = bytes.size() - offset;
        if (index < packetSizes.size() && packetSizes[index] > 0)
            size = std::min(size, packetSizes[index]);
        alsa::SendSysExEvents(seq, from, nullptr, bytes.data() + offset, size, emitEventBytes, nullptr);
        offset += size;
        ++index;
    }
}

int AlsaDeviceTransport::ClientNumber() const {
    return snd_seq_client_id(seq);
}

int AlsaDeviceTransport::PortNumber() const {
    std::lock_guard<std::mutex> lock(mutex);
    return port;
}
