// The virtual service's endpoints and devices: made, removed, taken offline, listed, and their properties.
#include "VirtualServiceState.h"

namespace {

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

MidiRef VirtualMidiService::State::Add(Kind kind, const EndpointInfo& info) {
    MidiRef ref = NewRef();
    Object object;
    object.kind = kind;
    object.name = info.name;
    object.displayName = info.displayName;
    object.manufacturer = info.manufacturer;
    object.usbDevice = info.usbDevice;
    if (info.hasEntity) {
        MidiRef entity = NewRef();
        Object entityObject;
        entityObject.kind = Kind::Entity;
        entityObject.name = info.name;
        entityObject.manufacturer = info.manufacturer;
        entityObject.owner = ref;
        objects.emplace(entity, std::move(entityObject));
        object.entity = entity;
    }
    objects.emplace(ref, std::move(object));
    return ref;
}

// --- Building the virtual world ---

MidiRef VirtualMidiService::AddDestination(const EndpointInfo& info, DestinationHandler handler) {
    std::lock_guard<std::mutex> lock(state->mutex);
    MidiRef ref = state->Add(Kind::Destination, info);
    state->objects[ref].handler = std::move(handler);
    state->destinations.push_back(ref);
    state->Announce(SetupChange::EndpointAdded, ref);
    return ref;
}

MidiRef VirtualMidiService::AddSource(const EndpointInfo& info) {
    std::lock_guard<std::mutex> lock(state->mutex);
    MidiRef ref = state->Add(Kind::Source, info);
    state->sources.push_back(ref);
    state->Announce(SetupChange::EndpointAdded, ref);
    return ref;
}

void VirtualMidiService::RemoveEndpoint(MidiRef endpoint) {
    std::unique_lock<std::mutex> lock(state->mutex);
    Object* object = state->Find(endpoint, {Kind::Destination, Kind::Source});
    if (object == nullptr)
        return;
    if (object->entity != 0)
        state->objects.erase(object->entity);
    state->objects.erase(endpoint);
    std::erase(state->destinations, endpoint);
    std::erase(state->sources, endpoint);
    state->DropConnections([&](const Connection& c) { return c.source == endpoint; });
    state->Announce(SetupChange::EndpointRemoved, endpoint);
}

void VirtualMidiService::SetOffline(MidiRef endpoint, std::int32_t offline) {
    std::lock_guard<std::mutex> lock(state->mutex);
    Object* object = state->Find(endpoint, {Kind::Destination, Kind::Source});
    if (object == nullptr || object->offline == offline)
        return;
    object->offline = offline;
    state->Announce(SetupChange::EndpointChanged, endpoint);
}

void VirtualMidiService::AddDevice(const std::string& name) {
    std::lock_guard<std::mutex> lock(state->mutex);
    MidiRef ref = state->Add(Kind::Device, EndpointInfo{name, name, "", false});
    state->devices.push_back(ref);
}

void VirtualMidiService::AddExternalDevice(const std::string& name) {
    std::lock_guard<std::mutex> lock(state->mutex);
    MidiRef ref = state->Add(Kind::ExternalDevice, EndpointInfo{name, name, "", false});
    state->externalDevices.push_back(ref);
}

std::uint32_t VirtualMidiService::NumberOfDestinations() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return static_cast<std::uint32_t>(state->destinations.size());
}

MidiRef VirtualMidiService::GetDestination(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->destinations.size() ? state->destinations[index] : 0;
}

std::uint32_t VirtualMidiService::NumberOfSources() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return static_cast<std::uint32_t>(state->sources.size());
}

MidiRef VirtualMidiService::GetSource(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->sources.size() ? state->sources[index] : 0;
}

std::uint32_t VirtualMidiService::NumberOfDevices() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return static_cast<std::uint32_t>(state->devices.size());
}

MidiRef VirtualMidiService::GetDevice(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->devices.size() ? state->devices[index] : 0;
}

std::uint32_t VirtualMidiService::NumberOfExternalDevices() {
    std::lock_guard<std::mutex> lock(state->mutex);
    return static_cast<std::uint32_t>(state->externalDevices.size());
}

MidiRef VirtualMidiService::GetExternalDevice(std::uint32_t index) {
    std::lock_guard<std::mutex> lock(state->mutex);
    return index < state->externalDevices.size() ? state->externalDevices[index] : 0;
}

MidiStatus VirtualMidiService::GetStringProperty(MidiRef object, MidiProperty property, std::string& value) {
    std::lock_guard<std::mutex> lock(state->mutex);
    Call call = Call::GetName;
    switch (property) {
    case MidiProperty::Name:
        call = Call::GetName;
        break;
    case MidiProperty::Manufacturer:
        call = Call::GetManufacturer;
        break;
    case MidiProperty::DisplayName:
        call = Call::GetDisplayName;
        break;
    case MidiProperty::Offline:
    case MidiProperty::UsbDevice:
        return wrongPropertyType;
    }
    if (MidiStatus status = state->Check(call))
        return status;
    const Object* found = state->Find(
        object, {Kind::Destination, Kind::Source, Kind::Entity, Kind::Device, Kind::ExternalDevice});
    if (found == nullptr)
        return objectNotFound;
    switch (property) {
    case MidiProperty::Name:
        value = found->name;
        break;
    case MidiProperty::Manufacturer:
        value = found->manufacturer;
        break;
    case MidiProperty::DisplayName:
        value = found->displayName;
        break;
    case MidiProperty::Offline:
    case MidiProperty::UsbDevice:
        break;
    }
    return midiNoError;
}

MidiStatus VirtualMidiService::GetIntegerProperty(MidiRef object, MidiProperty property,
                                                  std::int32_t& value) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (property != MidiProperty::Offline && property != MidiProperty::UsbDevice)
        return wrongPropertyType;
    if (MidiStatus status =
            state->Check(property == MidiProperty::Offline ? Call::GetOffline : Call::GetUsbDevice))
        return status;
    const Object* found = state->Find(
        object, {Kind::Destination, Kind::Source, Kind::Entity, Kind::Device, Kind::ExternalDevice});
    if (found == nullptr)
        return objectNotFound;
    value = property == MidiProperty::Offline ? found->offline : found->usbDevice;
    return midiNoError;
}

MidiStatus VirtualMidiService::GetProperties(MidiRef object, std::string& text) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (MidiStatus status = state->Check(Call::GetProperties))
        return status;
    const Object* found = state->Find(
        object, {Kind::Destination, Kind::Source, Kind::Entity, Kind::Device, Kind::ExternalDevice});
    if (found == nullptr)
        return objectNotFound;
    switch (found->kind) {
    case Kind::Destination:
    case Kind::Source:
        text = "{ name = " + Quote(found->name) + "; displayName = " + Quote(found->displayName) +
               "; manufacturer = " + Quote(found->manufacturer) +
               "; offline = " + std::to_string(found->offline) + "; }";
        break;
    case Kind::Entity: {
        const Object* endpoint = state->Find(found->owner, {Kind::Destination, Kind::Source});
        text = "{ name = " + Quote(found->name) + "; manufacturer = " + Quote(found->manufacturer) + "; " +
               (endpoint && endpoint->kind == Kind::Source ? "sources" : "destinations") +
               " = ( { name = " + Quote(endpoint ? endpoint->name : "") +
               "; offline = " + std::to_string(endpoint ? endpoint->offline : 0) + "; } ); }";
        break;
    }
    default:
        text = "{ name = " + Quote(found->name) + "; offline = " + std::to_string(found->offline) + "; }";
        break;
    }
    return midiNoError;
}

MidiStatus VirtualMidiService::EndpointGetEntity(MidiRef endpoint, MidiRef& entity) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (MidiStatus status = state->Check(Call::GetEntity))
        return status;
    const Object* found = state->Find(endpoint, {Kind::Destination, Kind::Source});
    if (found == nullptr)
        return objectNotFound;
    if (found->entity == 0)
        return objectNotFound; // a free-standing endpoint belongs to no entity
    entity = found->entity;
    return midiNoError;
}
