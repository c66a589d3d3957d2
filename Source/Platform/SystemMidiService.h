#pragma once

#include "MidiService.h"

#include <memory>
#include <string>

// The MIDI service of the system the program runs on. Answers nullptr, with the reason in whyNot,
// when the program has no back end for it or the system's service cannot be opened.
std::unique_ptr<MidiService> CreateSystemMidiService(std::string& whyNot);
