#include "ListInterfaces.h"

#include "Log.h"
#include "Utilities.h"

#include <string>

namespace {

void LogError(MidiService& service, const char* step, MidiStatus status) {
    LogLine(Format("Error (%s): %u:%s", step, static_cast<unsigned int>(status),
                   service.StatusText(status).c_str()));
}

} // namespace

void ListInterfaces(MidiService& service) {
    LogLine(Format("%s: # external devices=%u", "ListInterfaces", service.NumberOfExternalDevices()));
    LogLine(Format("%s: # devices=%u", "ListInterfaces", service.NumberOfDevices()));
    LogLine(Format("%s: # sources=%u", "ListInterfaces", service.NumberOfSources()));
    LogLine(Format("%s: # destinations=%u", "ListInterfaces", service.NumberOfDestinations()));

    MidiRef client = 0;
    if (MidiStatus status = service.ClientCreate("MIDI Updater", client))
        LogError(service, "Creating MIDI client", status);

    for (std::uint32_t index = 0; index < service.NumberOfExternalDevices(); ++index)
        LogLine(Format("%s: index %u", "ListInterfaces", index));

    for (std::uint32_t index = 0; index < service.NumberOfDestinations(); ++index) {
        MidiRef destination = service.GetDestination(index);
        if (destination == 0)
            continue;
        LogLine(Format("%s:   destination index %u", "ListInterfaces", index));

        // Property texts can be long: they are appended, not formatted, so that none is cut.
        std::string name;
        if (MidiStatus status = service.GetStringProperty(destination, MidiProperty::Name, name))
            LogError(service, "Getting dest name", status);
        else
            LogLine("Name=" + name);

        std::string properties;
        if (MidiStatus status = service.GetProperties(destination, properties))
            LogError(service, "Getting properties", status);
        else
            LogLine("Properties=" + properties);

        MidiRef entity = 0;
        service.EndpointGetEntity(destination, entity); // status not looked at: entity stays 0
        std::string entityProperties;
        if (MidiStatus status = service.GetProperties(entity, entityProperties))
            LogError(service, "Getting entity properties", status);
        else
            LogLine("Entity properties=" + entityProperties);

        // Read from the destination itself, although the line says "Entity".
        std::int32_t offline = 0;
        if (MidiStatus status = service.GetIntegerProperty(destination, MidiProperty::Offline, offline))
            LogError(service, "Getting offline properties", status);
        else
            LogLine(Format("Entity offline=%d", offline));

        LogLine("Done");
    }

    if (client != 0)
        service.ClientDispose(client); // status not looked at
    LogLine("Found all interfaces");
}
