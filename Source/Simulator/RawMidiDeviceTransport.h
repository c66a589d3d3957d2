#pragma once

#include "DeviceTransport.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

typedef struct _snd_rawmidi snd_rawmidi_t;

// The simulated device on the device end of a raw MIDI device, such as the raw MIDI device of a USB
// MIDI gadget: what the host sends to the gadget is read here and handed to the device, and what
// the device sends is written there and reaches the host as the USB device's input.
//
// The device end drops data when its input buffer is full (a real device would hold the bus back),
// so the input is opened with the largest buffer the kernel allows (1 MiB) and read on a thread of its own at
// all times, also while the device is "away" (what arrives then is dropped, as a switched-off device does).
// The endpoints' names are the gadget's; CreateEndpoints and RemoveEndpoints only start and stop
// handing data to the device.
class RawMidiDeviceTransport : public DeviceTransport {
public:
    static constexpr std::size_t inputBufferBytes = 1024 * 1024; // the most the kernel allows

    // Opens the raw MIDI device (a name such as "hw:KelvaDev" or "hw:1,0,0") for input and output.
    static std::unique_ptr<RawMidiDeviceTransport> Open(const std::string& device, std::string& whyNot);
    ~RawMidiDeviceTransport() override;

    void CreateEndpoints(const Names& names, bool withSource, DataHandler handler) override;
    void RemoveEndpoints() override;
    void SetOffline(std::int32_t offline) override;
    void Emit(const std::vector<unsigned char>& bytes, const std::vector<std::size_t>& packetSizes) override;

    // Bytes read while the device was away.
    std::size_t DroppedBytes() const { return dropped.load(); }

private:
    RawMidiDeviceTransport() = default;
    void Run();

    snd_rawmidi_t* input = nullptr;
    snd_rawmidi_t* output = nullptr;
    std::mutex outputMutex;
    std::mutex mutex; // handler, withSource
    DataHandler handler;
    bool canSend = false;
    std::atomic<std::size_t> dropped{0};
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;
};
