// libFuzzer target for the update reader: any byte string, read as an update file or a raw SysEx
// file, must either give an Update or a ParseError; never a crash, a hang or a huge allocation. Raw
// SysEx files are recognised by their framing and read byte for byte.
#include "PortNames.h"
#include "Update.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace {

// A read-only, seekable stream buffer over the fuzzer's bytes (no copy).
class MemoryBuffer : public std::streambuf {
public:
    MemoryBuffer(const std::uint8_t* data, std::size_t size) {
        char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
        setg(begin, begin, begin + size);
    }

protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode) override {
        char* base = direction == std::ios_base::beg   ? eback()
                     : direction == std::ios_base::cur ? gptr()
                                                       : egptr();
        return Seek(base + offset);
    }
    pos_type seekpos(pos_type position, std::ios_base::openmode) override {
        return Seek(eback() + static_cast<off_type>(position));
    }

private:
    pos_type Seek(char* target) {
        if (target < eback() || target > egptr())
            return pos_type(off_type(-1));
        setg(eback(), target, egptr());
        return pos_type(target - eback());
    }
};

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// Properties every successfully read update has.
void CheckUpdate(const Update& update) {
    Check(!update.sysExPortions.empty() || update.productName != "<SysEx Update Device>");
    unsigned int total = 0;
    for (const Update::SysExPortion& portion : update.sysExPortions)
        total += static_cast<unsigned int>(portion.data.size());
    Check(total == update.TotalSysExSize());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The whole reader, through a seekable memory stream.
    {
        MemoryBuffer buffer(data, size);
        std::istream stream(&buffer);
        try {
            Update update(stream);
            CheckUpdate(update);
            // An update file keeps its product name as a port name when it names none.
            if (update.productName != "<SysEx Update Device>")
                Check(!update.macPortNames.empty() && !update.windowsParameters.names.empty());
        } catch (const ParseError& error) {
            Check(error.what() != nullptr && error.what()[0] != '\0');
        }
    }

    // Raw SysEx detection: an F0 first and an F7 somewhere after it. Such a file is read whole, as
    // one portion of the file's own bytes, from the start of the stream.
    {
        MemoryBuffer buffer(data, size);
        std::istream stream(&buffer);
        const bool expected = size > 1 && data[0] == 0xF0 && std::memchr(data + 1, 0xF7, size - 1) != nullptr;
        Check(IsSysExFile(stream) == expected);
        if (expected) {
            Check(stream.tellg() == 0);
            Update update(stream);
            Check(update.productName == "<SysEx Update Device>" && update.message == SYSEX_MESSAGE);
            Check(update.sysExPortions.size() == 1 && update.sysExPortions[0].delay == 0);
            Check(std::equal(data, data + size, update.sysExPortions[0].data.begin(),
                             update.sysExPortions[0].data.end()));
        }
    }

    // The same bytes through a string stream, which the CLI's files resemble more closely.
    {
        std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size), std::ios::binary);
        try {
            Update update(stream);
            CheckUpdate(update);
        } catch (const ParseError&) {
        }
    }

    const std::string text(reinterpret_cast<const char*>(data), size);

    // The text of a Windows parameter record and of a port-name record.
    MidiPortWindowsParameters parameters = defaultMidiPortWindowsParameters;
    ParseMidiPortWindowsParameters(parameters, text);
    std::set<std::string> names;
    PutPortNamesIntoSet(names, text);
    for (const std::string& name : names)
        Check(!name.empty() && name.find('$') == std::string::npos);

    // An update built from one message in memory.
    std::vector<unsigned char> bytes(data, data + size);
    const bool framed = isSysEx(bytes);
    Update fromMessage(std::move(bytes), "Fuzz", text, "note");
    Check(fromMessage.sysExPortions.size() == (framed ? 1u : 0u));
    Check(fromMessage.TotalSysExSize() == (framed ? size : 0u));
    return 0;
}
