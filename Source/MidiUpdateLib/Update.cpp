#include "Update.h"

#include "Utilities.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

const std::string FILE_HEADER = "OrvoUpdateFile";

const std::string SYSEX_MESSAGE =
    "To apply this update file, please detach all MIDI devices from your computer, and shut down all other "
    "MIDI applications.\n\nThen plug in your device and put it into update mode. Refer to the User's Manual "
    "for details on how to do this.\n\nWhen the device is ready to accept an update, you can start the "
    "update "
    "process.\n";

const Version unknownVersion = {0, 0};
const UsbAddress unknownUsbAddress = {0, 0, 0};

std::string Version::ToString() const {
    return Format("%u.%02u", major, minor);
}

namespace {

constexpr unsigned char sysExStart = 0xF0;
constexpr unsigned char sysExEnd = 0xF7;

// Reads up to this many bytes without first asking the stream how much it holds.
constexpr unsigned long smallRead = 64 * 1024;
// Piece size for streams that cannot tell their size: memory grows only as bytes arrive.
constexpr unsigned long unknownSizePiece = 1024 * 1024;

// Bytes between the read position and the end, or -1 when the stream cannot tell.
std::int64_t RemainingBytes(std::istream& stream) {
    if (!stream.good())
        return -1;
    const std::streampos here = stream.tellg();
    if (here == std::streampos(-1))
        return -1;
    stream.seekg(0, std::ios::end);
    const std::streampos end = stream.tellg();
    stream.seekg(here);
    if (!stream.good() || end == std::streampos(-1)) {
        stream.clear();
        stream.seekg(here);
        return -1;
    }
    return static_cast<std::int64_t>(end - here);
}

template <class Target> char* BytesOf(Target& target, std::size_t offset) {
    return reinterpret_cast<char*>(target.data()) + offset;
}

bool ReadLittleEndian(std::istream& stream, unsigned char* bytes, std::size_t count) {
    std::memset(bytes, 0, count);
    stream.read(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(count));
    return stream.good();
}

} // namespace

bool Read(std::istream& stream, unsigned int& value) {
    unsigned char bytes[4];
    const bool good = ReadLittleEndian(stream, bytes, sizeof bytes);
    value = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<unsigned int>(bytes[3]) << 24);
    return good;
}

bool Read(std::istream& stream, unsigned short& value) {
    unsigned char bytes[2];
    const bool good = ReadLittleEndian(stream, bytes, sizeof bytes);
    value = static_cast<unsigned short>(bytes[0] | (bytes[1] << 8));
    return good;
}

bool Read(std::istream& stream, unsigned char& value) {
    unsigned char bytes[1];
    const bool good = ReadLittleEndian(stream, bytes, sizeof bytes);
    value = bytes[0];
    return good;
}

bool Read(std::istream& stream, std::string& value) {
    unsigned int length = 0;
    if (!Read(stream, length))
        return false;
    return Read<std::string>(stream, value, length);
}

template <class Target> bool Read(std::istream& stream, Target& target, unsigned long count) {
    if (count == 0)
        return stream.good();

    const std::size_t start = target.size();
    unsigned long wanted = count;
    unsigned long piece = count;
    if (count > smallRead) {
        const std::int64_t remaining = RemainingBytes(stream);
        if (remaining < 0) {
            piece = unknownSizePiece;
        } else {
            wanted = std::min<unsigned long>(count, static_cast<unsigned long>(remaining));
            target.reserve(start + wanted);
        }
    }

    unsigned long delivered = 0;
    while (delivered < wanted && stream.good()) {
        const unsigned long now = std::min(piece, wanted - delivered);
        target.resize(start + delivered + now);
        stream.read(BytesOf(target, start + delivered), static_cast<std::streamsize>(now));
        const auto got = static_cast<unsigned long>(stream.gcount());
        delivered += got;
        if (got < now)
            break;
    }
    target.resize(start + delivered);

    if (delivered < count) {
        // Cut short: the stream could not deliver everything that was declared.
        stream.setstate(std::ios::failbit | std::ios::eofbit);
        const std::size_t fill = std::min<unsigned long>(count - delivered, maxZeroFill);
        target.resize(start + delivered + fill, 0);
    }
    return stream.good();
}

template bool Read<std::string>(std::istream&, std::string&, unsigned long);
template bool Read<std::vector<unsigned char>>(std::istream&, std::vector<unsigned char>&, unsigned long);

std::uint64_t StreamSize(std::istream& stream) {
    stream.seekg(0, std::ios::end);
    const std::streampos end = stream.tellg();
    stream.seekg(0, std::ios::beg);
    return end == std::streampos(-1) ? 0 : static_cast<std::uint64_t>(end);
}

bool IsSysExFile(std::istream& stream) {
    const bool goodOnEntry = stream.good();
    stream.seekg(0, std::ios::beg);
    unsigned char first = 0;
    Read(stream, first);
    if (!goodOnEntry || stream.fail() || first != sysExStart) {
        stream.seekg(0, std::ios::beg);
        return false;
    }

    // Look for an F7 anywhere after the first byte, a block at a time.
    bool found = false;
    char block[64 * 1024];
    while (!found) {
        stream.read(block, sizeof block);
        const auto got = static_cast<std::size_t>(stream.gcount());
        found = got > 0 && std::memchr(block, sysExEnd, got) != nullptr;
        if (got < sizeof block)
            break;
    }
    if (found)
        stream.clear();
    stream.seekg(0, std::ios::beg);
    return found;
}

bool isSysEx(std::vector<unsigned char> bytes) {
    return !bytes.empty() && bytes.front() == sysExStart && bytes.back() == sysExEnd;
}

Update::Update(std::istream& stream) {
    if (IsSysExFile(stream))
        ReadSysExFile(stream);
    else
        ReadUpdateFile(stream);
}

Update::Update(std::vector<unsigned char> sysEx, std::string productName, std::string portNames,
               std::string message)
    : productName(std::move(productName)), message(std::move(message)) {
    PutPortNamesIntoSet(macPortNames, portNames);
    ReadSysEx(std::move(sysEx));
}

Update::~Update() = default;

unsigned int Update::TotalSysExSize() const {
    unsigned int total = 0;
    for (const SysExPortion& portion : sysExPortions)
        total += static_cast<unsigned int>(portion.data.size());
    return total;
}

void Update::ReadUpdateFile(std::istream& stream) {
    std::string header;
    Read<std::string>(stream, header, FILE_HEADER.size());
    if (header != FILE_HEADER)
        throw ParseError("Update file was invalid (bad header).");

    unsigned short formatVersion = 0;
    if (!Read(stream, formatVersion) || formatVersion != UPDATE_FILE_FORMAT_VERSION)
        throw ParseError(
            "Update file is wrong version. Please check you have the latest version of the updater.");

    Read(stream, productName);
    Read(stream, version.major);
    Read(stream, version.minor);
    Read(stream, message);
    for (unsigned short& word : usbAddress)
        Read(stream, word);
    if (message == "<sysex>")
        message = SYSEX_MESSAGE;
    // Ending exactly after the last header field is fine; ending inside it is not.
    if (stream.fail())
        throw ParseError("Update file was truncated. Did it download correctly?");

    while (!stream.fail()) {
        unsigned int tag = 0;
        if (!Read(stream, tag))
            break;
        if (tag == SYSEX_PORTION_RECORD) {
            unsigned int length = 0;
            if (!Read(stream, length))
                break;
            SysExPortion portion;
            Read(stream, portion.data, length);
            if (stream.fail())
                throw ParseError("Trucated sysex");
            if (!Read(stream, portion.delay))
                throw ParseError("Trucated sysex");
            sysExPortions.push_back(std::move(portion));
        } else if (tag == IMAGE_RECORD) {
            unsigned int length = 0;
            if (!Read(stream, length))
                break;
            Read(stream, image, length);
        } else if (tag == WINDOWS_PARAMETERS_RECORD || tag == MAC_PORT_NAMES_RECORD) {
            unsigned int length = 0;
            if (!Read(stream, length))
                break;
            std::string text;
            Read<std::string>(stream, text, length);
            if (tag == WINDOWS_PARAMETERS_RECORD)
                ParseMidiPortWindowsParameters(windowsParameters, text);
            else
                PutPortNamesIntoSet(macPortNames, text);
        } else {
            std::fprintf(stderr, "%s:%u\n", __FILE__, static_cast<unsigned int>(__LINE__));
            throw ParseError(
                "File contains unrecognised data. Please Please check you have the latest version "
                "of the updater.");
        }
    }

    if (windowsParameters.names.empty())
        windowsParameters.names.insert(productName);
    if (macPortNames.empty())
        macPortNames.insert(productName);
}

void Update::ReadSysExFile(std::istream& stream) {
    productName = "<SysEx Update Device>";
    const std::uint64_t size = StreamSize(stream);
    std::vector<unsigned char> data(size);
    stream.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size));
    const auto got = static_cast<std::uint64_t>(stream.gcount());
    if (got != size)
        throw ParseError(Format("Failed to load all of the sysex file. (Got:%u was;%u)",
                                static_cast<unsigned int>(got), static_cast<unsigned int>(size)));
    sysExPortions.push_back(SysExPortion{std::move(data), 0});
    message = SYSEX_MESSAGE;
}

void Update::ReadSysEx(std::vector<unsigned char> sysEx) {
    if (isSysEx(sysEx))
        sysExPortions.push_back(SysExPortion{std::move(sysEx), 0});
}
