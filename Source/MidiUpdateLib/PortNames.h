#pragma once

#include <set>
#include <string>
#include <vector>

// The device's own port-name list, as the video-mode switch looks for it.
extern const char* const KELVAPN;
extern const char* const KELVAPRODUCTNAME;

// Port names and per-port settings carried for the Windows updater. Only the names are read here;
// the numbers are parsed and kept with the update.
struct MidiPortWindowsParameters {
    std::set<std::string> names;
    int ideal;
    int max;
    int delay;
    int unprepDelay;
    bool chunks;
};

extern const MidiPortWindowsParameters defaultMidiPortWindowsParameters;

// Each byte through the C library's tolower.
std::string ToLower(const std::string& text);

// The items between separators; an empty text gives none and a trailing separator opens no item.
std::vector<std::string> Split(const std::string& text, char separator);

// Adds the non-empty names of a '$'-separated list to the set.
void PutPortNamesIntoSet(std::set<std::string>& names, const std::string& list);

// "yes" and "true" in any case, or any text that atoi reads as non-zero.
bool ParseYesNo(const std::string& text);

// Reads "win:<anything>:key:value:key:value..." into the parameters; never fails.
void ParseMidiPortWindowsParameters(MidiPortWindowsParameters& parameters, const std::string& text);
