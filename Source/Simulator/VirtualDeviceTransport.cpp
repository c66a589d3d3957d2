// The simulated device's endpoints on the in-process virtual MIDI service.
#include "VirtualDeviceTransport.h"

VirtualDeviceTransport::~VirtualDeviceTransport() {
    RemoveEndpoints();
}

void VirtualDeviceTransport::CreateEndpoints(const Names& names, bool withSource, DataHandler handler) {
    RemoveEndpoints();
    VirtualMidiService::EndpointInfo info;
    info.name = names.name;
    info.displayName = names.displayName;
    info.manufacturer = names.manufacturer;
    info.usbDevice = names.usbDevice;
    destination = service.AddDestination(info, std::move(handler));
    if (withSource)
        source = service.AddSource(info);
}

void VirtualDeviceTransport::RemoveEndpoints() {
    if (source != 0)
        service.RemoveEndpoint(source);
    if (destination != 0)
        service.RemoveEndpoint(destination);
    source = 0;
    destination = 0;
}

void VirtualDeviceTransport::SetOffline(std::int32_t offline) {
    if (destination != 0)
        service.SetOffline(destination, offline);
    if (source != 0)
        service.SetOffline(source, offline);
}

void VirtualDeviceTransport::Emit(const std::vector<unsigned char>& bytes,
                                  const std::vector<std::size_t>& packetSizes) {
    if (source != 0)
        service.Emit(source, bytes, packetSizes);
}
