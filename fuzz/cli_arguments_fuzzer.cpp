// libFuzzer target for the command line's own parsers: pack's --version, --usb-address,
// --portion FILE@DELAY and --win-params, and the simulated device's --sim-version. Each either
// answers or throws the usage error that the command turns into a message; nothing else.
#include "PackArguments.h"
#include "SimulationOptions.h"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// A usage error's message quotes the argument it rejects.
template <class Parse> void ExpectAnswerOrUsageError(const std::string& text, Parse parse) {
    try {
        parse(text);
    } catch (const PackUsageError& error) {
        Check(std::string(error.what()).find("'" + text + "'") != std::string::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An argument is a C string: it ends at the first NUL.
    std::string text(reinterpret_cast<const char*>(data), size);
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));

    ExpectAnswerOrUsageError(text, [](const std::string& argument) {
        const Version version = ParseVersion(argument);
        // Read back, the numbers give the text again unless it had leading zeros.
        const std::string again = std::to_string(version.major) + "." + std::to_string(version.minor);
        if (argument.find(".0") == std::string::npos && !argument.starts_with("0"))
            Check(again == argument);
    });
    ExpectAnswerOrUsageError(text, [](const std::string& argument) {
        const UsbAddress address = ParseUsbAddress(argument);
        if (argument.empty())
            Check(address == unknownUsbAddress);
    });
    ExpectAnswerOrUsageError(text, [](const std::string& argument) {
        CheckWindowsParameters(argument);
        Check(argument.starts_with("win:"));
    });

    // A portion is a path and a pause: the path is the argument, or what stands before its last '@'
    // when a number follows it.
    const PortionSource portion = ParsePortionSource(text);
    if (portion.path != text) {
        Check(!portion.path.empty() && text.starts_with(portion.path) && text[portion.path.size()] == '@');
        Check(std::to_string(portion.delay) == text.substr(portion.path.size() + 1) ||
              text[portion.path.size() + 1] == '0');
    } else {
        Check(portion.delay == 0);
    }

    try {
        const Version version = ParseSimulatedVersion(text);
        Check(version.ToString() == text.substr(text.find('.') - std::to_string(version.major).size()) ||
              text.starts_with("0"));
    } catch (const std::invalid_argument& error) {
        Check(std::string(error.what()).starts_with("--sim-version: "));
    }
    return 0;
}
