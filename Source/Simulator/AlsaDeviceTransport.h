#pragma once

#include "DeviceTransport.h"

#include <memory>
#include <mutex>
#include <string>

typedef struct _snd_seq snd_seq_t;
namespace alsa {
class SequencerReader;
}

// The simulated device as an ALSA sequencer client of its own, so that any program on the machine
// (this one's ALSA back end, aconnect, a DAW) sees it as it sees a USB device: the client is named
// after the device's display name and has one duplex port "<name> MIDI 1" (a USB Kelva is client
// "Ostrel Kelva" with port "Ostrel Kelva MIDI 1").
//
// What reaches the port is turned back into bytes on a receive thread of the transport and handed
// to the device, one call per event. What the device sends goes as SysEx events to the port's
// subscribers (whoever connected to it as a source). ALSA has no offline flag: SetOffline does
// nothing.
class AlsaDeviceTransport : public DeviceTransport {
public:
    // Opens the sequencer client; null with the reason when there is no sequencer.
    static std::unique_ptr<AlsaDeviceTransport> Open(std::string& whyNot);
    ~AlsaDeviceTransport() override;

    void CreateEndpoints(const Names& names, bool withSource, DataHandler handler) override;
    void RemoveEndpoints() override;
    void SetOffline(std::int32_t offline) override;
    void Emit(const std::vector<unsigned char>& bytes, const std::vector<std::size_t>& packetSizes) override;

    int ClientNumber() const;
    int PortNumber() const; // -1 while the device is away

    // Events the device sends are cut to at most this many bytes (what kernel clients send too).
    static constexpr std::size_t emitEventBytes = 256;

private:
    AlsaDeviceTransport() = default;

    snd_seq_t* seq = nullptr;
    std::unique_ptr<alsa::SequencerReader> reader;
    mutable std::mutex mutex; // port, handler
    int port = -1;
    DataHandler handler;
};
