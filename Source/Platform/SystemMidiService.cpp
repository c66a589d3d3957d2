#include "SystemMidiService.h"

#include "AlsaMidiService.h"

// The system's MIDI on Linux is the ALSA sequencer.
std::unique_ptr<MidiService> CreateSystemMidiService(std::string& whyNot) {
    return AlsaMidiService::Open(whyNot);
}
