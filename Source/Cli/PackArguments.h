#pragma once

#include "Update.h"

#include <charconv>
#include <stdexcept>
#include <string>

// The texts `pack` takes on its command line, checked before anything is read or written.

// Thrown for arguments that cannot make a good update file; what() is the message for the user.
class PackUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A whole decimal number that fits the type: no sign, blank or other character around it. The
// value is left alone unless the whole text is the number.
template <class Number> bool ParseNumber(const std::string& text, Number& value) {
    Number number{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return false;
    value = number;
    return true;
}

// --version MAJOR.MINOR: two whole numbers below 65536 ("1.5" is shown as 1.05).
Version ParseVersion(const std::string& text);

// --usb-address W1,W2,W3: three whole numbers below 65536; empty for the unknown address.
UsbAddress ParseUsbAddress(const std::string& text);

struct PortionSource {
    std::string path;
    unsigned int delay = 0; // milliseconds
};

// --portion FILE.syx@250 is FILE.syx with a pause of 250 ms; a name whose last '@' is not followed
// by a number (or that starts with it) is a plain file name.
PortionSource ParsePortionSource(const std::string& argument);

// --win-params must start with "win:", or the updater ignores the record.
void CheckWindowsParameters(const std::string& text);
