#include "Utilities.h"

#include "Clock.h"
#include "Log.h"

#include <cstdarg>
#include <cstdio>

const char* const MidiUpdateLib_Version = "1.00";
const char* const MidiUpdateLib_Build = "GM";

namespace {
constexpr std::size_t formatBufferSize = 1056;
}

void Trace(const char* format, ...) {
    char buffer[formatBufferSize];
    buffer[0] = 0;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    LogLine(std::string("Trace: ") + buffer);
}

std::string Format(const char* format, ...) {
    char buffer[formatBufferSize];
    buffer[0] = 0;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(buffer, sizeof buffer, format, arguments);
    va_end(arguments);
    return buffer;
}

unsigned int TimeNow() {
    return static_cast<unsigned int>(CurrentClock().NowMs() & 0xFFFFFFFFu);
}

void SleepFor(unsigned int milliseconds) {
    // The whole 32-bit range is honoured: the clock takes a 64-bit count of milliseconds.
    CurrentClock().SleepMs(milliseconds);
}

std::string BytesToHuman(unsigned int count) {
    char buffer[12];
    if (count >= 0x100000)
        std::snprintf(buffer, sizeof buffer, "%.1fMB", static_cast<float>(count) * (1.0 / 1048576));
    else if (count >= 1024)
        std::snprintf(buffer, sizeof buffer, "%.1fKB", static_cast<float>(count) * (1.0 / 1024));
    else if (count == 1)
        std::snprintf(buffer, sizeof buffer, "1 byte");
    else
        std::snprintf(buffer, sizeof buffer, "%d bytes", static_cast<int>(count));
    return buffer;
}

std::string ToString(const std::vector<unsigned char>& bytes) {
    std::string text = "{";
    for (std::size_t i = 0; i < bytes.size() && i < 20; ++i)
        text += Format(" 0x%02x", bytes[i]);
    text += " }";
    return text;
}
