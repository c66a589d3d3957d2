// Catches: wrong byte order, record tags, magic, header size or format version in the .upd reader and
// writer; cut-short and hostile files (each verdict and error text, zero fill and its bound, memory use);
// raw SysEx detection and reading; updates from one SysEx message; Windows parameters; the summary lines;
// port-name splitting, lower-casing and yes/no parsing.
#include "Update.h"
#include "UpdateSummary.h"
#include "UpdateWriter.h"
#include "Utilities.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>
#include <numeric>
#include <regex>
#include <sstream>

// The largest block the test binary asks for, from a replaced operator new: it shows that a damaged
// length does not make the reader reserve gigabytes. Stays 0 in sanitizer builds, whose runtimes own new.
// (libstdc++'s operator delete frees with std::free.)
static std::atomic<std::size_t> largest{0};
#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !__has_feature(address_sanitizer) &&  \
    !__has_feature(thread_sanitizer)
void* operator new(std::size_t size) {
    for (std::size_t seen = largest; size > seen && !largest.compare_exchange_weak(seen, size);) {
    }
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}
#endif

using namespace std::string_literals;
using Bytes = std::vector<unsigned char>;

const std::string badFormat =
    "Update file is wrong version. Please check you have the latest version of the updater.";
const std::string unrecognised = "[line] File contains unrecognised data. Please Please check you have the "
                                 "latest version of the updater.";

std::string U32(std::size_t value) {
    return {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

// A record: tag, 32-bit length, body.
std::string R(unsigned int tag, const std::string& body) {
    return U32(tag) + U32(body.size()) + body;
}

// A format 4 header: version 258.3, USB address 0x1234 0xABCD 7.
std::string H(const std::string& product, const std::string& note) {
    return "OrvoUpdateFile\x04\0"s + U32(product.size()) + product + "\x02\x01\x03\0"s + U32(note.size()) +
           note + "\x34\x12\xCD\xAB\x07\0"s;
}

// At most 8 bytes are shown, then the full size.
std::string Short(const Bytes& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < 8; ++i)
        text += Format("%02x", bytes[i]);
    return bytes.size() > 8 ? text + Format("..(%zu)", bytes.size()) : text;
}

std::string Names(const std::set<std::string>& names) {
    return std::accumulate(
        names.begin(), names.end(), std::string(),
        [](const std::string& text, const std::string& name) { return text + name + ";"; });
}

// Every field of an update in one line (the fixed note shows as MSG), then the image when there is one
// and each portion with its delay.
std::string Describe(const Update& u) {
    const MidiPortWindowsParameters& w = u.windowsParameters;
    std::string text = u.productName + "|" + u.version.ToString() + "|" +
                       (u.message == SYSEX_MESSAGE ? "MSG" : u.message) +
                       Format("|%u.%u.%u|mac:", u.usbAddress[0], u.usbAddress[1], u.usbAddress[2]) +
                       Names(u.macPortNames) + "|win:" + Names(w.names) +
                       Format("|%d,%d,%d,%d,%d", w.ideal, w.max, w.delay, w.unprepDelay, w.chunks);
    if (!u.image.empty())
        text += "|img:" + Short(u.image);
    for (const Update::SysExPortion& portion : u.sysExPortions)
        text += "|" + Short(portion.data) + Format("/%u", portion.delay);
    return text;
}

// Describe() of what the reader makes of the stream, or the error text; "[line] " stands for the
// file:line that the reader writes to standard error.
std::string Outcome(std::istream&& stream) {
    testing::internal::CaptureStderr();
    std::string text;
    try {
        text = Describe(Update(stream));
    } catch (const ParseError& error) {
        text = error.what();
    }
    const std::string written = testing::internal::GetCapturedStderr();
    return std::regex_replace(written, std::regex(".*/Update\\.cpp:[0-9]+\n"), "[line] ") + text;
}

// 38 bytes of header; a portion F0 F7 (10000 ms; bytes 38-51), an image AA BB CC (52-62), Mac names "P$Q"
// (63-73), Windows parameters (74-95), an empty portion (0xFFFFFFFF ms; 96-107).
const std::string header = H("AB", "hi"), ab = "AB|258.03|hi|4660.43981.7|", dw = "|1024,3072,200,100,1",
                  file = header + R(1, "\xF0\xF7") + U32(10000) + R(2, "\xAA\xBB\xCC") + R(5, "P$Q") +
                         R(3, "win::delay:-42") + R(1, "") + U32(0xFFFFFFFF),
                  bare = ab + "mac:AB;|win:AB;" + dw, cutSysEx = "Trucated sysex",
                  img = "|img:aabbcc|f0f7/10000",
                  whole = ab + "mac:P;Q;|win:AB;|1024,3072,-42,100,1|img:aabbcc|f0f7/10000|/4294967295",
                  rawSysEx = "<SysEx Update Device>|0.00|MSG|0.0.0|mac:|win:" + dw + "|",
                  win = ab + "mac:AB;|win:", badHeader = "Update file was invalid (bad header).",
                  truncated = "Update file was truncated. Did it download correctly?";

TEST(UpdateFile, WriterLayoutAndReaderVerdicts) {
    // The writer gives the file the rows below cut and change.
    Bytes written = {0x99}; // a header starts the file afresh
    CreateUpdateFileHeader(written, "AB", Version{258, 3}, "hi", 0x1234, 0xABCD, 7);
    AddSysExPortion(written, {0xF0, 0xF7}, 10000);
    AddImage(written, {0xAA, 0xBB, 0xCC});
    AddMacPortName(written, "P$Q");
    AddWindowsPortParameters(written, "win::delay:-42");
    AddSysExPortion(written, {}, 0xFFFFFFFF);
    Append(written, static_cast<unsigned char>(0x7F));
    Append(written, static_cast<unsigned short>(0xBEEF));
    EXPECT_EQ(std::string(written.begin(), written.end()), file + "\x7F\xEF\xBE");
    // What the reader makes of them.
    const auto W = [](const std::string& text) { return header + R(3, text); };
    std::vector<std::pair<std::string, std::string>> rows = {
        {file, whole},
        {file + "\x01\0\0"s, whole},                                // a partial tag after the records
        {file.substr(0, 59), bare + "|f0f7/10000"},                 // in an image's length
        {file.substr(0, 61), bare + "|img:aa0000|f0f7/10000"},      // in the image: zero-filled
        {file.substr(0, 73), ab + "mac:\0;P;|win:AB;"s + dw + img}, // in Mac names
        {file.substr(0, 95), ab + "mac:P;Q;|win:AB;|1024,3072,-4,100,1" + img},
        {file.substr(0, 102), whole.substr(0, whole.size() - 12)}, // in the last portion's length
        {file.substr(0, 107), cutSysEx},                           // in its delay
        // Lengths of 0xFFFFFFFF: what is missing is zero-filled, 64 KiB at most.
        {header + U32(1) + U32(0xFFFFFFFF) + "0123456789", cutSysEx},
        {header.substr(0, 16) + U32(0xFFFFFFFF) + "0123456789", truncated},
        {header + U32(2) + U32(0xFFFFFFFF) + "\x01\x02", bare + "|img:0102000000000000..(65538)"},
        {header + U32(5) + U32(0xFFFFFFFF) + "A$B",
         ab + "mac:A;B" + std::string(65536, '\0') + ";|win:AB;" + dw},
        {header + U32(3) + U32(0xFFFFFFFF) + "win:x:max:9", win + "AB;|1024,9,200,100,1"},
        // Records in any order and number: images join, names gather, later numbers win.
        {header + R(2, "\x01\x02") + R(5, "A$B") + R(1, "\xF0\x0A\xF7") + U32(5) +
             R(3, "win:x:name:W1:ideal:1:chunks:no") + R(2, "\x03") + R(5, "B$$C$") + R(1, "") + U32(6) +
             R(3, "win:x:name:W2:ideal:2"),
         ab + "mac:A;B;C;|win:W1;W2;|2,3072,200,100,0|img:010203|f00af7/5|/6"},
        // The note "<sysex>" (only that, in lower case) stands for the fixed message.
        {H("", "<sysex>"), "|258.03|MSG|4660.43981.7|mac:;|win:;" + dw},
        {H("P", "<sysex> "), "P|258.03|<sysex> |4660.43981.7|mac:P;|win:P;" + dw},
        {H("P", "<SysEx>"), "P|258.03|<SysEx>|4660.43981.7|mac:P;|win:P;" + dw},
        // Windows parameters: "win", any word, then keys and values.
        {W("win:x:ideal:512:max:2048:delay:50:unprepdelay:20:chunks:no"), win + "AB;|512,2048,50,20,0"},
        {W("win:x:ideal:abc:max:12ab:delay:-3:unprepdelay:  +8"), win + "AB;|0,12,-3,8,1"},
        {W("win:x:ideal:99999999999:max:-99999999999"), win + "AB;|2147483647,-2147483648,200,100,1"},
        {W("win:x:delay::max:4:ideal"), win + "AB;|1024,4,0,100,1"}, // an empty value reads as 0
        // Raw SysEx files: F0 first and an F7 anywhere after it.
        {"\xF0\xF7", rawSysEx + "f0f7/0"},
    };
    for (std::size_t size = 0; size < header.size(); ++size)
        rows.push_back({header.substr(0, size), size < 14 ? badHeader : size < 16 ? badFormat : truncated});
    for (std::size_t size = 46; size < 52; ++size) // in a portion's bytes or delay
        rows.push_back({file.substr(0, size), cutSysEx});
    for (std::size_t i = 0; i < 14; ++i) // a letter's case, or another letter
        rows.push_back(
            {file.substr(0, i) + char(file[i] ^ (i % 2 ? 32 : 1)) + file.substr(i + 1), badHeader});
    for (unsigned int format : {0, 3, 5, 0x0400, 0xFFFF})
        rows.push_back({header.substr(0, 14) + U32(format).substr(0, 2) + header.substr(16), badFormat});
    for (unsigned int tag : {0u, 4u, 6u, 0x100u, 0xFFFFFFFFu})
        rows.push_back({header + R(1, "\xF0\xF7") + U32(2) + U32(tag) + U32(0), unrecognised});
    for (const char* text : {"", "WIN:x:ideal:5", " win:x:ideal:5", "win", "win:ideal:5", "win:ideal:9:max:1",
                             "win:x:Ideal:5:IDEAL:6", "win:x:max:", "win:x:chunks:no:chunks:YES"})
        rows.push_back({W(text), bare});                            // no change
    rows.push_back({"\xF0" + std::string(131074, 'u'), badHeader}); // F0 first, no F7
    for (std::size_t at : {65535, 65536, 65537, 131073}) // the F7 in the first block read or beyond
        rows.push_back({"\xF0" + std::string(at - 1, 'u') + "\xF7uu",
                        rawSysEx + "f075757575757575..(" + std::to_string(at + 3) + ")/0"});
    largest = 0;
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(Outcome(std::istringstream(rows[i].first)), rows[i].second) << "row " << i;
    // The hostile lengths claim 4 GiB; the reader never asks for much more than the files hold.
    EXPECT_LT(largest, 16u << 20);
}

TEST(UpdateFile, StreamsOfEveryKind) {
    // A stream buffer that cannot tell its position, and claims 10 bytes at its end whatever it holds, like
    // a file that shrinks while it is read; it goes back to the start.
    struct Buffer : std::stringbuf {
        explicit Buffer(const std::string& bytes) : std::stringbuf(bytes, std::ios::in) {}
        bool atEnd = false;
        pos_type seekoff(off_type off, std::ios::seekdir dir, std::ios::openmode mode) override {
            atEnd = dir == std::ios::end || (atEnd && dir == std::ios::cur);
            return dir == std::ios::beg ? std::stringbuf::seekoff(off, dir, mode) : pos_type(atEnd ? 10 : -1);
        }
    };
    // Large counts, read whole from a seekable and an unseekable stream, leave the position right after.
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 13 + i / 251);
    for (bool seekable : {true, false}) {
        std::stringbuf plain(big + '\xEE', std::ios::in);
        Buffer odd(big + '\xEE');
        std::istream stream(seekable ? &plain : &odd);
        std::string target = "x";
        unsigned char last = 0;
        EXPECT_TRUE(Read(stream, target, big.size()) && Read(stream, last) && last == 0xEE) << seekable;
        largest = 0;
        EXPECT_FALSE(Read(stream, target, 0xFFFFFFFF)); // at the end: only the zero fill
        EXPECT_TRUE(target == "x" + big + std::string(65536, '\0')) << seekable;
        EXPECT_LT(largest, 16u << 20);
    }
    Buffer shrinking("\xF0\x01\xF7\0"s);
    EXPECT_EQ(Outcome(std::istream(&shrinking)), "Failed to load all of the sysex file. (Got:4 was;10)");
    EXPECT_EQ(Outcome(std::ifstream("/nonexistent/dir/file.upd", std::ios::binary)), badHeader);
    std::istringstream atEof("\xF0\xF7"), midway("\xF0\x01\xF7");
    atEof.setstate(std::ios::eofbit);
    EXPECT_FALSE(IsSysExFile(atEof));
    midway.seekg(2);
    EXPECT_TRUE(IsSysExFile(midway));
    EXPECT_EQ(midway.tellg(), std::streampos(0));
}

TEST(UpdateFile, FromOneSysExMessage) {
    const std::vector<Bytes> rows = {
        {0xF0, 0xF7}, {0xF0, 1, 0xF7, 0xF0, 2, 0xF7}, {0xF0, 0xF7, 0xF0}, {0xF0}, {0xF7}, {0xF0, 1}, {}};
    for (const Bytes& bytes : rows) {
        const bool framed = &bytes < &rows[2]; // F0 first, F7 last: the first two rows only
        EXPECT_EQ(Describe(Update(bytes, KELVAPRODUCTNAME, KELVAPN, "<sysex>")),
                  "Ostrel Kelva|0.00|<sysex>|0.0.0|mac:Ostrel Dramlin;Ostrel Kelva;|win:" + dw +
                      (framed ? "|" + Short(bytes) + "/0" : ""));
    }
    EXPECT_EQ(Describe(Update({0xF0, 0xF7}, "P", "$$", "")), "P|0.00||0.0.0|mac:|win:" + dw + "|f0f7/0");
}

TEST(UpdateFile, SummaryLines) {
    // The names' counts and first names in order, all portions counted.
    std::istringstream stream(file + R(3, "win:x:name:W3$W1$W2") + R(1, "\x05\x06\x07") + U32(0)),
        raw("\xF0\x01\xF7");
    EXPECT_EQ(UpdateSummaryLines(Update(stream)),
              (std::vector<std::string>{"Product name:   AB", "Message:        hi", "Image:          3 bytes",
                                        "SysEx portions: 3", "Mac port names: 2:P", "Win port names: 3:W1",
                                        "Port names    : 2", "Total SysEx:    5 bytes"}));
    EXPECT_EQ(
        UpdateSummaryLines(Update(raw)),
        (std::vector<std::string>{
            "Product name:   <SysEx Update Device>",
            "Message:        To apply this update file, please detach all MIDI devices from your computer, "
            "and shut down all other MIDI applications.\n\nThen plug in your device and put it into update "
            "mode. Refer to the User's Manual for details on how to do this.\n\nWhen the device is ready to "
            "accept an update, you can start the update process.\n",
            "Image:          0 bytes", "SysEx portions: 1",
            "Mac port names: 0:", "Win port names: 0:", "Port names    : 0", "Total SysEx:    3 bytes"}));
}

// Port-name lists (separators doubled, leading or trailing, names gathered over records) are read in the
// reader's records row (WriterLayoutAndReaderVerdicts) and FromOneSysExMessage above.
TEST(PortNames, SplitLowerCaseAndYesNo) {
    // No item after the last separator.
    EXPECT_EQ(Split(":a::b c:", ':'), (std::vector<std::string>{"", "a", "", "b c"}));
    EXPECT_TRUE(Split("", ',').empty());
    EXPECT_EQ(ToLower(std::string("YeS 1x\xC4\0Z", 9)), std::string("yes 1x\xC4\0z", 9));
    for (const char* text : {"yes", "YES", "Yes", "true", "tRuE", "1", "-1", "7x", " 1", "+3"})
        EXPECT_TRUE(ParseYesNo(text)) << text;
    for (const char* text : {"no", "false", "0", "", "abc", " yes", "yes ", "yess", "x1", "0x10", "-0"})
        EXPECT_FALSE(ParseYesNo(text)) << text;
}
