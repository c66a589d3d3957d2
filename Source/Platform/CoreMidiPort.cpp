#include "CoreMidiPort.h"

#include "Assert.h"
#include "Log.h"
#include "UsbMidiDevices.h"
#include "Utilities.h"

#include <algorithm>
#include <mutex>
#include <utility>

CoreMidiPort::CoreMidiPort(MidiService& midiService, const std::set<std::string>& portNames)
    : service(midiService), recognisedPortNames(portNames) {
    LogLine(Format("%s", "CoreMidiPort"));
    sysExCollector.callback = &CoreMidiPort::GotSysExFn;
    sysExCollector.callbackData = this;

    // Each step runs whatever happened before it; errors are logged and construction goes on.
    if (MidiStatus status = service.ClientCreate("MIDI Updater", client))
        LogError("Creating MIDI client", status);
    if (MidiStatus status = service.OutputPortCreate(client, "MIDI Updater Port", outputPort))
        LogError("Create output MIDI port", status);
    if (MidiStatus status = service.InputPortCreate(client, "MIDI Updater Input Port",
                                                    &CoreMidiPort::MIDIReadFn, this, inputPort))
        LogError("Create input MIDI port", status);
}

CoreMidiPort::~CoreMidiPort() {
    LogLine(Format("%s", "~CoreMidiPort"));
    DisposeOfEndpoint();
    if (outputPort != 0) {
        if (MidiStatus status = service.PortDispose(outputPort))
            LogError("Dispose MIDI port", status);
    }
    if (inputPort != 0) {
        if (MidiStatus status = service.PortDispose(inputPort))
            LogError("Dispose MIDI port", status);
    }
    if (client != 0) {
        if (MidiStatus status = service.ClientDispose(client))
            LogError("Dispose MIDI client", status);
    }
}

void CoreMidiPort::LogError(const char* step, MidiStatus status) {
    LogLine(Format("Error (%s): %u:%s", step, static_cast<unsigned int>(status),
                   service.StatusText(status).c_str()));
}

bool CoreMidiPort::IsRecognisedPort(const std::string& name) const {
    if (recognisedPortNames.empty())
        return true;
    return recognisedPortNames.count(name) != 0;
}

bool CoreMidiPort::EndpointHasRightName(MidiRef e) {
    if (e == 0)
        return false;
    std::string name;
    std::string manufacturer;
    std::string displayName;
    // Only the display name's status counts; a missing name or manufacturer reads as empty text.
    service.GetStringProperty(e, MidiProperty::Name, name);
    service.GetStringProperty(e, MidiProperty::Manufacturer, manufacturer);
    if (MidiStatus status = service.GetStringProperty(e, MidiProperty::DisplayName, displayName)) {
        LogError("Getting dest name", status);
        return false;
    }
    if (IsRecognisedPort(name) || IsRecognisedPort(displayName)) {
        LogLine(
            Format("%s:   Name=%s:%s recognised", "EndpointHasRightName", name.c_str(), displayName.c_str()));
        return true;
    }
    LogLine(Format("%s:   (%s:%s:%s) not recognised", "EndpointHasRightName", name.c_str(),
                   manufacturer.c_str(), displayName.c_str()));
    return false;
}

void CoreMidiPort::FindOnlyUsbDevice() {
    LogLine(Format("%s: The update names no port; looking for the USB MIDI device", "FindEndpoint"));
    std::vector<UsbMidiDevice> devices = FindUsbMidiDevices(service);
    if (chosenUsbDevice != 0) {
        std::erase_if(devices, [this](const UsbMidiDevice& device) { return device.id != chosenUsbDevice; });
        if (devices.empty()) {
            LogLine(Format("%s: The chosen USB MIDI device is not there", "FindEndpoint"));
            return;
        }
    }
    if (devices.empty()) {
        LogLine(Format("%s: No USB MIDI device found", "FindEndpoint"));
        return;
    }
    if (devices.size() > 1) {
        std::string names;
        for (const UsbMidiDevice& device : devices)
            names += (names.empty() ? "" : ", ") + DescribeUsbMidiDevice(device);
        LogLine(Format("%s: %u USB MIDI devices, not choosing one of them: %s", "FindEndpoint",
                       static_cast<unsigned int>(devices.size()), names.c_str()));
        return;
    }
    const UsbMidiDevice& device = devices.front();
    LogLine(Format("%s: Using the %s USB MIDI device, %s", "FindEndpoint",
                   chosenUsbDevice ? "chosen" : "only", DescribeUsbMidiDevice(device).c_str()));
    endpoint = device.destination;
    source = device.source;
}

void CoreMidiPort::FindByName() {
    LogLine(Format("%s: Looking for output port", "FindEndpoint"));
    for (std::uint32_t i = 0; i < service.NumberOfDestinations(); ++i) {
        MidiRef destination = service.GetDestination(i);
        if (EndpointHasRightName(destination)) {
            endpoint = destination;
            break;
        }
    }
    if (endpoint == 0)
        return;

    LogLine(Format("%s: Looking for input port", "FindEndpoint"));
    for (std::uint32_t i = 0; i < service.NumberOfSources(); ++i) {
        MidiRef candidate = service.GetSource(i);
        if (EndpointHasRightName(candidate)) {
            source = candidate;
            break;
        }
    }
}

void CoreMidiPort::FindEndpoint() {
    DisposeOfEndpoint();
    MIDIUPDATER_ASSERT(endpoint == 0);
    if (recognisedPortNames.empty())
        FindOnlyUsbDevice();
    else
        FindByName();
    if (endpoint == 0)
        return;
    if (source == 0) {
        // The destination stays taken: the port can send but will never receive.
        LogLine("Couldn't find a matching input endpoint");
        return;
    }
    LogLine(Format("%s: Connecting input port", "FindEndpoint"));
    if (MidiStatus status = service.PortConnectSource(inputPort, source, this))
        LogError("Connecting input", status);
    else
        LogLine("Connected Input port");
}

bool CoreMidiPort::IsConnected() {
    if (endpoint == 0) {
        FindEndpoint();
        if (endpoint == 0)
            return false;
    }
    std::int32_t offline = 0;
    if (MidiStatus status = service.GetIntegerProperty(endpoint, MidiProperty::Offline, offline)) {
        LogError("Getting offline properties", status);
        DisposeOfEndpoint();
        return false;
    }
    if (offline != 0) {
        LogLine(Format("Entity offline=%d", offline));
        DisposeOfEndpoint();
    }
    return endpoint != 0;
}

void CoreMidiPort::DisposeOfEndpoint() {
    if (source != 0) {
        service.PortDisconnectSource(inputPort, source); // status deliberately ignored
        source = 0;
    }
    endpoint = 0;
    std::lock_guard<std::mutex> lock(receivedSysEx.lock);
    receivedSysEx.value = std::vector<unsigned char>();
}

void CoreMidiPort::Disconnect() {
    DisposeOfEndpoint();
}

namespace {

constexpr std::size_t defaultIdealChunk = 2048;
constexpr std::size_t defaultMaxChunk = 16384;
// A packet's length is a 16-bit count.
constexpr std::size_t packetLimit = 65535;

} // namespace

std::size_t CoreMidiPort::IdealChunkSize() {
    const std::size_t preferred = endpoint != 0 ? service.PreferredPacketBytes(endpoint) : 0;
    return preferred != 0 ? std::min(preferred, packetLimit - defaultMaxChunk) : defaultIdealChunk;
}

std::size_t CoreMidiPort::MaxChunkSize() {
    return IdealChunkSize() + defaultMaxChunk - defaultIdealChunk;
}

bool CoreMidiPort::Send(const unsigned char* data, std::size_t size) {
    LogLine(Format("%s(%u bytes to core MIDI)", "Send", static_cast<unsigned int>(size)));
    // A packet's length is a 16-bit count.
    MIDIUPDATER_ASSERT(size < 65536);
    MidiPacket packet;
    packet.timeStamp = 0;
    packet.data.assign(data, data + size);
    // The destination is not tested first: the senders ask IsConnected() before sending.
    if (MidiStatus status = service.Send(outputPort, endpoint, packet)) {
        LogError("Sending MIDI", status);
        sendFailure = service.DescribeSendFailure(endpoint, status);
        return false;
    }
    return true;
}

void CoreMidiPort::Synchronise() {}

std::vector<unsigned char> CoreMidiPort::ReceiveSysEx(unsigned int timeoutMs, const unsigned char* request,
                                                      std::size_t size) {
    // Unless asked to, no request-and-reply exchange on this port: the caller takes an empty answer
    // as "no reply".
    if (!requestIdentity)
        return {};
    return ExchangeIdentity(timeoutMs, request, size);
}

std::vector<unsigned char> CoreMidiPort::ExchangeIdentity(unsigned int timeoutMs,
                                                          const unsigned char* request, std::size_t size) {
    constexpr unsigned int pollMs = 10;
    LogLine(Format("%s: asking for the identity, waiting up to %u ms", "ReceiveSysEx", timeoutMs));
    if (!IsConnected()) {
        LogLine(Format("%s: no device to ask", "ReceiveSysEx"));
        return {};
    }
    LastSysEx(); // what came before the request is no answer to it
    Send(request, size);
    const unsigned int start = TimeNow();
    for (;;) {
        std::vector<unsigned char> message = LastSysEx();
        // An identity reply: F0 7E, the device number, 06 02. Status messages are passed over.
        if (message.size() >= 5 && message[0] == 0xF0 && message[1] == 0x7E && message[3] == 0x06 &&
            message[4] == 0x02) {
            LogLine(Format("%s: identity reply of %u bytes", "ReceiveSysEx",
                           static_cast<unsigned int>(message.size())));
            return message;
        }
        if (TimeNow() - start >= timeoutMs) {
            LogLine(Format("%s: no identity reply", "ReceiveSysEx"));
            return {};
        }
        SleepFor(pollMs);
    }
}

std::vector<unsigned char> CoreMidiPort::LastSysEx() {
    std::vector<unsigned char> taken;
    std::lock_guard<std::mutex> lock(receivedSysEx.lock);
    taken.swap(receivedSysEx.value);
    return taken;
}

void CoreMidiPort::GotSysEx() {
    MIDIUPDATER_ASSERT(sysExCollector.HasSysEx());
    std::size_t size = 0;
    {
        std::lock_guard<std::mutex> lock(receivedSysEx.lock);
        receivedSysEx.value = sysExCollector.sysEx;
        size = receivedSysEx.value.size();
    }
    LogLine(Format("%s: %u bytes", "GotSysEx", static_cast<unsigned int>(size)));
}

void CoreMidiPort::GotSysExFn(void* port) {
    static_cast<CoreMidiPort*>(port)->GotSysEx();
}

void CoreMidiPort::MIDIReadFn(const MidiPacketList& packets, void* /*readContext*/, void* connectionContext) {
    auto* port = static_cast<CoreMidiPort*>(connectionContext);
    for (const MidiPacket& packet : packets)
        for (unsigned char byte : packet.data)
            port->sysExCollector.Add(byte);
}
