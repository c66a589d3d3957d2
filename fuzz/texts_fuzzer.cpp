// libFuzzer target for the texts an update file or a device hands the updater: the Windows
// parameter text, '$'-separated port-name lists, yes/no values, and the two device messages that
// are decoded field by field (the status message and the identity reply).
#include "DeviceStatus.h"
#include "PortNames.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void CheckSplit(const std::string& text, char separator) {
    const std::vector<std::string> items = Split(text, separator);
    std::string joined;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Check(items[i].find(separator) == std::string::npos);
        joined += (i ? std::string(1, separator) : std::string()) + items[i];
    }
    // The items joined again give the text, but for one trailing separator, which opens no item.
    const bool trailing = !text.empty() && text.back() == separator;
    Check(joined == (trailing ? text.substr(0, text.size() - 1) : text));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    CheckSplit(text, '$');
    CheckSplit(text, ':');

    std::set<std::string> names;
    PutPortNamesIntoSet(names, text);
    for (const std::string& name : names)
        Check(!name.empty() && name.find('$') == std::string::npos && text.find(name) != std::string::npos);

    const std::string lower = ToLower(text);
    Check(lower.size() == text.size());
    Check(std::none_of(lower.begin(), lower.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
    const bool yes = ParseYesNo(text);
    if (lower == "yes" || lower == "true")
        Check(yes);
    if (lower == "no" || lower == "false" || lower.empty())
        Check(!yes);

    // The parameter text never fails; names come only from a "win:" text and never hold a '$'.
    MidiPortWindowsParameters parameters = defaultMidiPortWindowsParameters;
    ParseMidiPortWindowsParameters(parameters, text);
    if (!text.starts_with("win:")) {
        Check(parameters.names.empty() && parameters.ideal == defaultMidiPortWindowsParameters.ideal &&
              parameters.max == defaultMidiPortWindowsParameters.max &&
              parameters.chunks == defaultMidiPortWindowsParameters.chunks);
    }
    for (const std::string& name : parameters.names)
        Check(!name.empty() && name.find('$') == std::string::npos && text.find(name) != std::string::npos);

    // The same bytes as a message from the device.
    const std::vector<unsigned char> message(data, data + size);
    const int status = CheckSysExUpdateStatus(message);
    Check(status >= statusNone && status <= statusError);
    if (status != statusNone)
        Check(size == 13 && data[0] == 0xF0 && data[3] == 0x3F && data[4] == 0x73);

    const DeviceInfo info = ParseDeviceEnquiryResponse(message);
    if (info.version.empty()) {
        Check(info.manufacturer.empty() && info.family.empty() && info.text.empty());
    } else {
        Check(size >= 5 && data[0] == 0xF0 && data[1] == 0x7E && data[3] == 0x06 && data[4] == 0x02);
        Check(info.text.size() <= 16);
        Check(std::all_of(info.text.begin(), info.text.end(),
                          [](char c) { return c != '\0' && static_cast<unsigned char>(c) < 0x7F; }));
        // "A.BC": two or more digits before the point from the base-22 pair, each digit after it a byte.
        Check(info.version.find('.') != std::string::npos);
    }
    return 0;
}
