#pragma once

#include <string>
#include <vector>

extern const char* const MidiUpdateLib_Version;
extern const char* const MidiUpdateLib_Build;

// One record "Trace: <text>" in the diagnostic log. The text is cut after 1055 characters.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf-style formatting; the result is cut after 1055 characters.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Milliseconds on the current clock, modulo 2^32. Only differences between readings mean anything.
unsigned int TimeNow();

// Blocks the calling thread for the given number of milliseconds on the current clock.
void SleepFor(unsigned int milliseconds);

// "0 bytes", "1 byte", "1023 bytes", "1.5KB", "4096.0MB" (units of 1024).
std::string BytesToHuman(unsigned int count);

// "{ 0xf0 0x7e ... }": the first 20 bytes in hexadecimal.
std::string ToString(const std::vector<unsigned char>& bytes);
