#pragma once

#include "MidiService.h"

#include <set>
#include <string>

// An update that names no port goes to the one USB MIDI device there is. While several are
// connected the command line does not guess: it answers the text that names them and asks for
// --port; it answers an empty text when there is nothing to choose (names given, one device or
// none).
std::string DeviceChoiceNeeded(MidiService& service, const std::set<std::string>& portNames);
