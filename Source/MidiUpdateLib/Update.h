#pragma once

#include "PortNames.h"

#include <array>
#include <cstdint>
#include <exception>
#include <istream>
#include <set>
#include <string>
#include <vector>

// The magic at the start of every update file, and the only format version this reader knows.
extern const std::string FILE_HEADER;
constexpr unsigned short UPDATE_FILE_FORMAT_VERSION = 4;

// The note shown for raw SysEx files, and for update files whose note is "<sysex>".
extern const std::string SYSEX_MESSAGE;

// Record tags of the update file.
enum UpdateRecordTag : unsigned int {
    SYSEX_PORTION_RECORD = 1,
    IMAGE_RECORD = 2,
    WINDOWS_PARAMETERS_RECORD = 3,
    MAC_PORT_NAMES_RECORD = 5,
};

struct Version {
    unsigned short major = 0;
    unsigned short minor = 0;

    std::string ToString() const; // "%u.%02u"
    friend bool operator==(const Version&, const Version&) = default;
};

// 0.00: the version is not known.
extern const Version unknownVersion;

using UsbAddress = std::array<unsigned short, 3>;
extern const UsbAddress unknownUsbAddress;

// A file that cannot be read; what() is a complete sentence for the user.
class ParseError : public std::exception {
public:
    explicit ParseError(const std::string& message) : message(message) {}
    ~ParseError() override = default;
    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

class Update {
public:
    struct SysExPortion {
        std::vector<unsigned char> data; // whole SysEx messages, sent as they stand
        unsigned int delay = 0;          // pause after the portion, in milliseconds
    };

    // Reads an update file or a raw SysEx file from a seekable binary stream; throws ParseError.
    explicit Update(std::istream& stream);
    // An update of one SysEx message held in memory (no portion when the bytes are not framed).
    Update(std::vector<unsigned char> sysEx, std::string productName, std::string portNames,
           std::string message);
    ~Update();

    // Sum of all portions' sizes, in 32-bit arithmetic.
    unsigned int TotalSysExSize() const;

    std::string productName;
    std::string message;
    Version version = unknownVersion;
    std::set<std::string> macPortNames;
    MidiPortWindowsParameters windowsParameters = defaultMidiPortWindowsParameters;
    UsbAddress usbAddress = unknownUsbAddress;
    std::vector<unsigned char> image;
    std::vector<SysExPortion> sysExPortions;

private:
    void ReadUpdateFile(std::istream& stream);
    void ReadSysExFile(std::istream& stream);
    void ReadSysEx(std::vector<unsigned char> sysEx);
};

// Reader primitives. Each answers whether the stream is still good (no error, not at its end).
bool Read(std::istream& stream, unsigned int& value);
bool Read(std::istream& stream, unsigned short& value);
bool Read(std::istream& stream, unsigned char& value);
bool Read(std::istream& stream, std::string& value); // 32-bit length, then the bytes

// Appends count bytes to the target. Bytes the stream cannot deliver leave it failed and are
// appended as zeros, but at most maxZeroFill of them: a damaged length field never makes the
// reader allocate much more than the stream really holds.
template <class Target> bool Read(std::istream& stream, Target& target, unsigned long count);

constexpr std::size_t maxZeroFill = 64 * 1024;

// Size of a seekable stream in bytes; leaves the stream at its start.
std::uint64_t StreamSize(std::istream& stream);

// A stream starting with F0 that holds an F7 somewhere after it; left at its start when true.
bool IsSysExFile(std::istream& stream);

// One framed SysEx block: not empty, first byte F0, last byte F7.
bool isSysEx(std::vector<unsigned char> bytes);
