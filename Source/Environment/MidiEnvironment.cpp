#include "MidiEnvironment.h"

#include "SimulatedDevice.h"
#include "SystemMidiService.h"
#include "VirtualMidiService.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

std::unique_ptr<MidiEnvironment> MidiEnvironment::Create(const SimulationOptions& options,
                                                         std::string& whyNot) {
    std::unique_ptr<MidiEnvironment> environment(new MidiEnvironment());
    environment->options = options;
    if (!options.simulate) {
        environment->system = CreateSystemMidiService(whyNot);
        if (!environment->system)
            return nullptr;
        return environment;
    }
    SimulatedDevice::Options deviceOptions;
    try {
        deviceOptions = ToDeviceOptions(options);
    } catch (const std::invalid_argument& error) {
        whyNot = error.what();
        return nullptr;
    }
    environment->virtualService = std::make_unique<VirtualMidiService>();
    environment->device = std::make_unique<SimulatedDevice>(*environment->virtualService, deviceOptions);
    return environment;
}

MidiEnvironment::~MidiEnvironment() {
    device.reset();
    virtualService.reset();
    system.reset();
}

MidiService& MidiEnvironment::Service() {
    if (virtualService)
        return *virtualService;
    return *system;
}

SimulatedDevice* MidiEnvironment::Device() {
    return device.get();
}

VirtualMidiService* MidiEnvironment::Virtual() {
    return virtualService.get();
}

bool MidiEnvironment::WriteRecord(std::string& whyNot) {
    if (!device || options.recordFile.empty())
        return true;
    const std::vector<unsigned char> bytes = device->ReceivedBytes();
    std::ofstream out(options.recordFile, std::ios::binary | std::ios::trunc);
    if (out)
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out || !out.flush()) {
        whyNot = "cannot write " + options.recordFile + ": " + std::strerror(errno);
        return false;
    }
    return true;
}
