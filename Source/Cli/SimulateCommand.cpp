#include "AlsaDeviceTransport.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "RawMidiDeviceTransport.h"
#include "RunClock.h"
#include "SimulatedDevice.h"
#include "SimulationOptions.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <stdexcept>
#include <string>

namespace {

struct SimulateSettings {
    SimulationOptions simulation;
    std::string rawMidi;
};

std::string PortionSizes(const std::vector<std::vector<unsigned char>>& portions) {
    std::string text;
    for (const auto& portion : portions)
        text += (text.empty() ? "" : " ") + std::to_string(portion.size());
    return text.empty() ? "none" : text;
}

int RunSimulate(SimulateSettings& settings) {
    // Blocked before any thread starts, so that every thread inherits the mask and the signals wait
    // for sigwait below instead of ending the process under the device's feet.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    SimulatedDevice::Options deviceOptions;
    try {
        deviceOptions = ToDeviceOptions(settings.simulation);
    } catch (const std::invalid_argument& error) {
        std::cerr << "midi-updater-cli simulate: " << error.what() << "\n";
        return EXIT_USAGE;
    }

    RunClock clock(settings.simulation.clockSpeed);
    ScopedClock scopedClock(clock);

    std::string whyNot;
    std::unique_ptr<DeviceTransport> transport;
    AlsaDeviceTransport* sequencerTransport = nullptr;
    if (!settings.rawMidi.empty()) {
        transport = RawMidiDeviceTransport::Open(settings.rawMidi, whyNot);
    } else {
        auto alsaTransport = AlsaDeviceTransport::Open(whyNot);
        sequencerTransport = alsaTransport.get();
        transport = std::move(alsaTransport);
    }
    if (!transport) {
        std::cerr << "midi-updater-cli simulate: " << whyNot << "\n";
        return EXIT_FAILED;
    }

    int received = 0;
    {
        SimulatedDevice device(std::move(transport), deviceOptions);
        if (sequencerTransport != nullptr)
            std::cout << "simulate: \"" << deviceOptions.displayName << "\" is ALSA sequencer client "
                      << sequencerTransport->ClientNumber() << ", port \"" << deviceOptions.name
                      << " MIDI 1\"\n";
        else
            std::cout << "simulate: \"" << deviceOptions.name << "\" is on the device end of raw MIDI device "
                      << settings.rawMidi << "\n";
        std::cout << "simulate: running until interrupted (Ctrl-C or SIGTERM)" << std::endl;

        int signal = 0;
        while (sigwait(&signals, &signal) != 0) {
        }

        const auto portions = device.Portions();
        const auto bytes = device.ReceivedBytes();
        std::cout << "simulate: stopped by " << (signal == SIGINT ? "SIGINT" : "SIGTERM") << "\n"
                  << "simulate: received " << bytes.size() << " bytes in " << portions.size() << " portions ("
                  << PortionSizes(portions) << "), " << device.EndedPortions() << " ended\n"
                  << "simulate: " << device.Messages().size() << " messages, " << device.IdentityRequests()
                  << " identity requests, " << device.SentMessages().size() << " messages sent\n";
        if (auto mode = device.VideoMode())
            std::cout << "simulate: video mode " << static_cast<int>(*mode) << "\n";
        std::cout.flush();

        if (!settings.simulation.recordFile.empty()) {
            std::ofstream out(settings.simulation.recordFile, std::ios::binary | std::ios::trunc);
            if (out)
                out.write(reinterpret_cast<const char*>(bytes.data()),
                          static_cast<std::streamsize>(bytes.size()));
            if (!out || !out.flush()) {
                std::cerr << "midi-updater-cli simulate: cannot write " << settings.simulation.recordFile
                          << ": " << std::strerror(errno) << "\n";
                received = EXIT_FAILED;
            }
        }
    }
    return received;
}

} // namespace

Command AddSimulateCommand(CLI::App& app) {
    CLI::App* command = app.add_subcommand(
        "simulate",
        "Run the simulated Ostrel Kelva as an ALSA sequencer client of its own (or on the device end "
        "of a raw MIDI device) until interrupted, so that any MIDI program can update it.");
    auto settings = std::make_shared<SimulateSettings>();
    AddSimulationOptions(*command, settings->simulation);
    // Here the device is always simulated: the --sim-* options stand on their own.
    CLI::Option* simulateFlag = command->get_option("--simulate");
    for (CLI::Option* option : command->get_options())
        option->remove_needs(simulateFlag);
    command->remove_option(simulateFlag);
    settings->simulation.simulate = true;
    command
        ->add_option("--rawmidi", settings->rawMidi,
                     "run on the device end of this raw MIDI device (for example hw:KelvaDev, the raw MIDI "
                     "device of a USB MIDI gadget) instead of as a sequencer client")
        ->type_name("DEVICE");
    return Command{command, [settings] { return RunSimulate(*settings); }};
}
