#pragma once

#include "MidiService.h"

// Writes to the log what the MIDI service sees: the counts of external devices, devices, sources
// and destinations, and for each destination its name, its properties, its entity's properties and
// its offline flag. A diagnostic only: errors are logged and the walk goes on.
void ListInterfaces(MidiService& service);
