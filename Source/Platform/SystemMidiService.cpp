#include "SystemMidiService.h"

// The build without a system back end: every command that needs the system's MIDI fails with this
// reason (the simulated device still works).
std::unique_ptr<MidiService> CreateSystemMidiService(std::string& whyNot) {
    whyNot = "no system MIDI back end is built in";
    return nullptr;
}
