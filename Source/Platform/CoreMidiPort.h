#pragma once

#include "MidiPort.h"
#include "MidiService.h"

#include <cstddef>
#include <set>
#include <string>
#include <vector>

// The port on the system's MIDI service: finds the device's destination and source among the
// service's endpoints by name, sends each chunk as one packet, and collects the SysEx messages that
// arrive from the source on the service's receive thread. Every service error is logged; failures
// reach the caller through IsConnected() and through Send's answer (with SendFailure()).
class CoreMidiPort : public MidiPort {
public:
    // An empty name set takes the one USB MIDI device there is (never a software port, a through
    // port or a virtual one), and none while there are several unless one was chosen
    // (TakeUsbDevice): see FindUsbMidiDevices.
    CoreMidiPort(MidiService& service, const std::set<std::string>& portNames);
    ~CoreMidiPort() override;

    // 2048 and 16384 bytes, or from the service's preferred packet size for the destination once
    // there is one (that size, and up to 16 KiB more to end on a message's end).
    std::size_t IdealChunkSize() override;
    std::size_t MaxChunkSize() override;
    bool IsConnected() override;
    void Disconnect() override;
    bool Send(const unsigned char* data, std::size_t size) override;
    std::string SendFailure() override { return sendFailure; }
    void Synchronise() override;
    std::vector<unsigned char> ReceiveSysEx(unsigned int timeoutMs, const unsigned char* request,
                                            std::size_t size) override;
    // Takes the last message received out of the store: a second call without a new message in
    // between returns an empty vector. ClearLastSysEx() (inherited) does not touch the store.
    std::vector<unsigned char> LastSysEx() override;

    // Which USB MIDI device an empty name set takes when there are several (the UsbDevice number
    // the user chose); 0, the default, takes only the one there is.
    void TakeUsbDevice(std::int32_t usbDevice) { chosenUsbDevice = usbDevice; }

    // Whether ReceiveSysEx really asks the device: sends the request (connecting first if need be)
    // and waits up to the time-out for its identity reply. Off by default: nothing is sent and the
    // answer is empty at once.
    void SetRequestIdentity(bool enabled) { requestIdentity = enabled; }

    // The destination the port has found (0 while it has none).
    MidiRef Destination() const { return endpoint; }

    bool IsRecognisedPort(const std::string& name) const;
    bool EndpointHasRightName(MidiRef e);
    void FindEndpoint();
    // The searches FindEndpoint makes, each taking a destination and perhaps a source: by the name
    // set, or, for an empty name set, the only (or the chosen) USB MIDI device's.
    void FindByName();
    void FindOnlyUsbDevice();
    void DisposeOfEndpoint();

    // Stores the own collector's completed message; runs on the service's receive thread.
    void GotSysEx();
    static void GotSysExFn(void* port);
    // The input port's read callback: feeds every byte of every packet, in order, to the collector.
    static void MIDIReadFn(const MidiPacketList& packets, void* readContext, void* connectionContext);

private:
    void LogError(const char* step, MidiStatus status);
    std::vector<unsigned char> ExchangeIdentity(unsigned int timeoutMs, const unsigned char* request,
                                                std::size_t size);

    MidiService& service;
    bool requestIdentity = false;
    std::set<std::string> recognisedPortNames;
    std::string sendFailure; // why the last failed Send failed
    std::int32_t chosenUsbDevice = 0;
    MidiRef client = 0;
    MidiRef outputPort = 0;
    MidiRef inputPort = 0;
    MidiRef endpoint = 0; // the destination; 0 = not connected
    MidiRef source = 0;
    // The only collector this port feeds (the inherited one stays empty); touched only by the
    // receive thread.
    SysExCollector sysExCollector;
    // The last complete message received and not yet taken; shared with the receive thread.
    ThreadSafe<std::vector<unsigned char>> receivedSysEx;
};
