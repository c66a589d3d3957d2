#pragma once

#include "MidiService.h"
#include "SimulationOptions.h"

#include <memory>
#include <string>

class SimulatedDevice;
class VirtualMidiService;

// The MIDI service a command works on: the system's, or, when simulating, the in-process virtual
// service with a simulated Ostrel Kelva on it. The clock the device should run on must be installed
// before Create. Destroying the environment takes the device away before the service.
class MidiEnvironment {
public:
    // Answers nullptr, with a one-line reason in whyNot, when there is no service to use or the
    // simulation options cannot be used.
    static std::unique_ptr<MidiEnvironment> Create(const SimulationOptions& options, std::string& whyNot);
    ~MidiEnvironment();
    MidiEnvironment(const MidiEnvironment&) = delete;
    MidiEnvironment& operator=(const MidiEnvironment&) = delete;

    MidiService& Service();
    // The simulated device and its service; nullptr unless simulating.
    SimulatedDevice* Device();
    VirtualMidiService* Virtual();

    // Writes what the simulated device received to the --sim-record file, if one was asked for.
    // Answers false, with the reason in whyNot, when the file cannot be written.
    bool WriteRecord(std::string& whyNot);

private:
    MidiEnvironment() = default;

    SimulationOptions options;
    std::unique_ptr<MidiService> system;
    std::unique_ptr<VirtualMidiService> virtualService;
    std::unique_ptr<SimulatedDevice> device;
};
