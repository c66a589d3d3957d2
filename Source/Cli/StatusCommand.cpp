#include "Commands.h"
#include "DevicePresence.h"
#include "ExitCodes.h"
#include "MidiEnvironment.h"
#include "PortNames.h"
#include "RunClock.h"
#include "SendRun.h"
#include "UpdateJson.h"

#include <condition_variable>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>

namespace {

struct StatusOptions {
    std::vector<std::string> ports;
    bool json = false;
    bool watch = false;
    SimulationOptions simulation;
};

std::string StateText(const DeviceState& state, bool json) {
    if (!json)
        return DeviceLine(state);
    nlohmann::ordered_json object{{"connected", state.connected},
                                  {"port", state.connected ? nlohmann::ordered_json(state.port) : nullptr},
                                  {"usb", state.connected && state.usb},
                                  {"firmware", state.firmware.empty()
                                                   ? nlohmann::ordered_json(nullptr)
                                                   : nlohmann::ordered_json(state.firmware)}};
    return DumpJson(object);
}

// The states the presence tells, in order, for the main thread to print.
struct StateQueue {
    std::mutex mutex;
    std::condition_variable told;
    std::deque<DeviceState> states;
};

int RunStatus(const StatusOptions& options) {
    RunClock clock(options.simulation.clockSpeed);
    ScopedClock scoped(clock);
    InstallInterruptHandler();
    std::string whyNot;
    std::unique_ptr<MidiEnvironment> environment = MidiEnvironment::Create(options.simulation, whyNot);
    if (!environment) {
        std::cerr << "midi-updater-cli: " << whyNot << "\n";
        return EXIT_FAILED;
    }
    std::set<std::string> names;
    for (const std::string& port : options.ports)
        PutPortNamesIntoSet(names, port);
    if (names.empty())
        PutPortNamesIntoSet(names, KELVAPN);

    StateQueue queue;
    DevicePresence presence(environment->Service(), names, [&queue](const DeviceState& state) {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.states.push_back(state);
        queue.told.notify_all();
    });

    bool connected = false;
    for (;;) {
        std::unique_lock<std::mutex> lock(queue.mutex);
        // Wakes for each state told; looks at Ctrl-C in between, which no notification brings.
        queue.told.wait_for(lock, std::chrono::milliseconds(100), [&] { return !queue.states.empty(); });
        if (RunClock::Interrupted())
            return EXIT_INTERRUPTED;
        if (queue.states.empty())
            continue;
        const DeviceState state = queue.states.front();
        queue.states.pop_front();
        lock.unlock();
        std::cout << StateText(state, options.json) << std::endl;
        connected = state.connected;
        if (!options.watch)
            break;
    }
    return connected ? EXIT_OK : EXIT_FAILED;
}

} // namespace

Command AddStatusCommand(CLI::App& app) {
    auto options = std::make_shared<StatusOptions>();
    CLI::App* command = app.add_subcommand(
        "status", "Say whether the device is connected, on which port, and the firmware version it reports "
                  "when asked (the universal identity request, answered within 2 s). Exit status 0 when it "
                  "is connected, 1 when not.");
    command->add_option(
        "--port", options->ports,
        "the device's MIDI port names, '$'-separated (repeatable; default: the Ostrel Kelva's "
        "and the Ostrel Dramlin's)");
    command->add_flag("--json", options->json, "print the state as one JSON object");
    command->add_flag(
        "--watch", options->watch,
        "keep going: print the state again each time it changes, until Ctrl-C (exit status 130)");
    AddSimulationOptions(*command, options->simulation);
    return {command, [options] { return RunStatus(*options); }};
}
