#include "Commands.h"
#include "ExitCodes.h"
#include "ListInterfaces.h"
#include "MidiEnvironment.h"
#include "RunClock.h"
#include "UpdateJson.h"
#include "Utilities.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct ListOptions {
    bool json = false;
    SimulationOptions simulation;
};

struct Endpoint {
    std::uint32_t index;
    MidiRef ref;
    std::string name;
    std::string displayName;
    std::string offline; // "yes", "no" or "?" when the service cannot tell
    bool usb = false;    // a port of a USB MIDI device (where an update without names may go)
};

std::vector<Endpoint> Endpoints(MidiService& service, bool destinations) {
    std::vector<Endpoint> endpoints;
    const std::uint32_t count = destinations ? service.NumberOfDestinations() : service.NumberOfSources();
    for (std::uint32_t index = 0; index < count; ++index) {
        const MidiRef ref = destinations ? service.GetDestination(index) : service.GetSource(index);
        if (ref == 0)
            continue;
        Endpoint endpoint{index, ref, {}, {}, "?"};
        service.GetStringProperty(ref, MidiProperty::Name, endpoint.name);
        service.GetStringProperty(ref, MidiProperty::DisplayName, endpoint.displayName);
        std::int32_t offline = 0;
        if (service.GetIntegerProperty(ref, MidiProperty::Offline, offline) == midiNoError)
            endpoint.offline = offline != 0 ? "yes" : "no";
        std::int32_t usbDevice = 0;
        endpoint.usb = service.GetIntegerProperty(ref, MidiProperty::UsbDevice, usbDevice) == midiNoError &&
                       usbDevice > 0;
        endpoints.push_back(endpoint);
    }
    return endpoints;
}

void PrintTable(const char* title, const std::vector<Endpoint>& endpoints) {
    std::cout << title << ":\n";
    if (endpoints.empty()) {
        std::cout << "  (none)\n";
        return;
    }
    std::size_t nameWidth = 4, displayWidth = 12;
    for (const Endpoint& e : endpoints) {
        nameWidth = std::max(nameWidth, e.name.size());
        displayWidth = std::max(displayWidth, e.displayName.size());
    }
    const auto pad = [](std::string text, std::size_t width) {
        text.resize(std::max(width, text.size()), ' ');
        return text;
    };
    std::cout << "  " << pad("#", 4) << pad("Reference", 12) << pad("Name", nameWidth + 2)
              << pad("Display name", displayWidth + 2) << pad("Offline", 9) << "USB MIDI device\n";
    for (const Endpoint& e : endpoints)
        std::cout << "  " << pad(std::to_string(e.index), 4) << pad(Format("0x%08x", e.ref), 12)
                  << pad(e.name, nameWidth + 2) << pad(e.displayName, displayWidth + 2) << pad(e.offline, 9)
                  << (e.usb ? "yes" : "no") << "\n";
}

nlohmann::ordered_json ToJson(const std::vector<Endpoint>& endpoints) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Endpoint& e : endpoints) {
        nlohmann::ordered_json offline = nullptr;
        if (e.offline != "?")
            offline = e.offline == "yes";
        list.push_back({{"index", e.index},
                        {"ref", e.ref},
                        {"name", e.name},
                        {"displayName", e.displayName},
                        {"offline", offline},
                        {"usbMidiDevice", e.usb}});
    }
    return list;
}

int RunList(const ListOptions& options) {
    RunClock clock(options.simulation.clockSpeed);
    ScopedClock scoped(clock);
    std::string whyNot;
    std::unique_ptr<MidiEnvironment> environment = MidiEnvironment::Create(options.simulation, whyNot);
    if (!environment) {
        if (options.json)
            std::cout << DumpJson({{"error", "midi-updater-cli: " + whyNot}}, 2) << "\n";
        std::cerr << "midi-updater-cli: " << whyNot << "\n";
        return EXIT_FAILED;
    }
    MidiService& service = environment->Service();
    // The diagnostic listing goes to the log (standard error); the table to standard output.
    ListInterfaces(service);
    const std::vector<Endpoint> destinations = Endpoints(service, true);
    const std::vector<Endpoint> sources = Endpoints(service, false);
    if (options.json) {
        std::cout << DumpJson({{"destinations", ToJson(destinations)}, {"sources", ToJson(sources)}}, 2)
                  << "\n";
        return EXIT_OK;
    }
    PrintTable("Destinations", destinations);
    PrintTable("Sources", sources);
    return EXIT_OK;
}

} // namespace

Command AddListCommand(CLI::App& app) {
    auto options = std::make_shared<ListOptions>();
    CLI::App* command = app.add_subcommand(
        "list",
        "Write the MIDI interface listing to standard error, then a table of the MIDI destinations and "
        "sources (index, reference, name, display name, offline flag, whether it is a port of a USB MIDI "
        "device) to standard output. An update that names no port goes to the one USB MIDI device.");
    command->add_flag("--json", options->json, "print the table as one JSON object");
    AddSimulationOptions(*command, options->simulation);
    return {command, [options] { return RunList(*options); }};
}
