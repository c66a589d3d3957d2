#include "PortNames.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

const char* const KELVAPN = "Ostrel Kelva$Ostrel Dramlin";
const char* const KELVAPRODUCTNAME = "Ostrel Kelva";

const MidiPortWindowsParameters defaultMidiPortWindowsParameters = {{}, 0x400, 0xC00, 200, 100, true};

std::string ToLower(const std::string& text) {
    std::string lower = text;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> items;
    std::istringstream stream(text);
    std::string item;
    while (std::getline(stream, item, separator))
        items.push_back(item);
    return items;
}

void PutPortNamesIntoSet(std::set<std::string>& names, const std::string& list) {
    for (const std::string& name : Split(list, '$')) {
        if (!name.empty())
            names.insert(name);
    }
}

bool ParseYesNo(const std::string& text) {
    const std::string lower = ToLower(text);
    if (lower == "yes")
        return true;
    if (lower == "true")
        return true;
    return std::strtoll(lower.c_str(), nullptr, 10) != 0;
}

namespace {
// atoi without its undefined behaviour for numbers outside the int range: those saturate.
int ReadNumber(const std::string& value) {
    const long long number = std::strtoll(value.c_str(), nullptr, 10);
    if (number > 0x7FFFFFFFLL)
        return 0x7FFFFFFF;
    if (number < -0x80000000LL)
        return static_cast<int>(-0x7FFFFFFFLL - 1);
    return static_cast<int>(number);
}
} // namespace

void ParseMidiPortWindowsParameters(MidiPortWindowsParameters& parameters, const std::string& text) {
    const std::vector<std::string> items = Split(text, ':');
    if (items.size() < 2 || items[0] != "win")
        return;
    for (std::size_t i = 2; i + 1 < items.size(); i += 2) {
        const std::string& key = items[i];
        const std::string& value = items[i + 1];
        if (key == "name")
            PutPortNamesIntoSet(parameters.names, value);
        else if (key == "ideal")
            parameters.ideal = ReadNumber(value);
        else if (key == "max")
            parameters.max = ReadNumber(value);
        else if (key == "delay")
            parameters.delay = ReadNumber(value);
        else if (key == "unprepdelay")
            parameters.unprepDelay = ReadNumber(value);
        else if (key == "chunks")
            parameters.chunks = ParseYesNo(value);
    }
}
