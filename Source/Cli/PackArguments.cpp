#include "PackArguments.h"

#include <vector>

Version ParseVersion(const std::string& text) {
    const auto dot = text.find('.');
    Version version;
    if (dot == std::string::npos || !ParseNumber(text.substr(0, dot), version.major) ||
        !ParseNumber(text.substr(dot + 1), version.minor))
        throw PackUsageError("--version takes MAJOR.MINOR, two whole numbers below 65536 (for example 1.5, "
                             "shown as 1.05); got '" +
                             text + "'");
    return version;
}

UsbAddress ParseUsbAddress(const std::string& text) {
    UsbAddress address = unknownUsbAddress;
    if (text.empty())
        return address;
    const std::vector<std::string> words = Split(text, ',');
    bool good = words.size() == address.size() && text.back() != ',';
    for (std::size_t i = 0; good && i < address.size(); ++i)
        good = ParseNumber(words[i], address[i]);
    if (!good)
        throw PackUsageError("--usb-address takes three whole numbers below 65536, as W1,W2,W3; got '" +
                             text + "'");
    return address;
}

PortionSource ParsePortionSource(const std::string& argument) {
    const auto at = argument.rfind('@');
    PortionSource source{argument, 0};
    if (at != std::string::npos && at > 0 && ParseNumber(argument.substr(at + 1), source.delay))
        source.path = argument.substr(0, at);
    return source;
}

void CheckWindowsParameters(const std::string& text) {
    if (text.rfind("win:", 0) != 0)
        throw PackUsageError("--win-params must start with 'win:' (win:ANY:key:value...), or the updater "
                             "ignores it; got '" +
                             text + "'");
}
