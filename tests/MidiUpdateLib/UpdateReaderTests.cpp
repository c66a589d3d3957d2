#include "UpdateTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using Names = std::set<std::string>;

namespace {
// Header written by hand: product "AB", version 0x0102.3, note "hi", address 0x1234, 0xABCD, 7.
Bytes HandHeader() {
    Bytes out(FILE_HEADER.begin(), FILE_HEADER.end());
    const Bytes rest = {0x04, 0x00, 0x02, 0x00, 0x00, 0x00, 'A',  'B',  0x02, 0x01, 0x03, 0x00,
                        0x02, 0x00, 0x00, 0x00, 'h',  'i',  0x34, 0x12, 0xCD, 0xAB, 0x07, 0x00};
    return out + rest;
}

Bytes Cut(const Bytes& bytes, std::size_t size) {
    return Bytes(bytes.begin(), bytes.begin() + size);
}
} // namespace

TEST(UpdateFileReader, ReadsTheHeaderByteLayout) {
    const Bytes file = HandHeader();
    ASSERT_EQ(file.size(), 38u);
    const Update update = ReadBack(file);
    EXPECT_EQ(update.productName, "AB");
    EXPECT_EQ(update.version, (Version{0x0102, 3}));
    EXPECT_EQ(update.message, "hi");
    EXPECT_EQ(update.usbAddress, (UsbAddress{0x1234, 0xABCD, 7}));
    EXPECT_TRUE(update.sysExPortions.empty());
    EXPECT_TRUE(update.image.empty());
    // No port-name record: both sets default to the product name.
    EXPECT_EQ(update.macPortNames, (Names{"AB"}));
    EXPECT_EQ(update.windowsParameters.names, (Names{"AB"}));
    EXPECT_EQ(update.windowsParameters.ideal, 1024);
}

TEST(UpdateFileReader, ReadsRecordByteLayouts) {
    const Bytes records = {
        0x01, 0,   0,   0,   0x02, 0, 0, 0, 0xF0, 0xF7, 0x10, 0x27, 0,    0, // portion F0 F7, delay 10000
        0x02, 0,   0,   0,   0x03, 0, 0, 0, 0xAA, 0xBB, 0xCC,                // image
        0x05, 0,   0,   0,   0x03, 0, 0, 0, 'P',  '$',  'Q',                 // Mac names
        0x03, 0,   0,   0,   0x0E, 0, 0, 0, 'w',  'i',  'n',  ':',  ':',  'd',  'e',  'l',  'a', 'y',
        ':',  '-', '4', '2', 0x01, 0, 0, 0, 0x00, 0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, // empty portion,
                                                                                            // delay 2^32-1
    };
    const Update update = ReadBack(HandHeader() + records);
    ASSERT_EQ(update.sysExPortions.size(), 2u);
    EXPECT_EQ(update.sysExPortions[0].data, (Bytes{0xF0, 0xF7}));
    EXPECT_EQ(update.sysExPortions[0].delay, 10000u);
    EXPECT_TRUE(update.sysExPortions[1].data.empty());
    EXPECT_EQ(update.sysExPortions[1].delay, 0xFFFFFFFFu);
    EXPECT_EQ(update.image, (Bytes{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(update.macPortNames, (Names{"P", "Q"}));
    EXPECT_EQ(update.windowsParameters.delay, -42);
    EXPECT_EQ(update.windowsParameters.names, (Names{"AB"}));
}

TEST(UpdateFileReader, HeaderFailures) {
    const Bytes good = SmallHeader();
    EXPECT_EQ(ParseFailure(good), "");
    EXPECT_EQ(ParseFailure({}), badHeader);
    for (std::size_t i = 0; i < 14; ++i) {
        Bytes changed = good;
        changed[i] ^= (i % 2 ? 0x20 : 0x01); // case of a letter, or another character
        EXPECT_EQ(ParseFailure(changed), badHeader) << i;
    }
    for (unsigned short format : {0, 3, 5, 0x0400, 0xFFFF}) {
        Bytes changed = good;
        changed[14] = static_cast<unsigned char>(format);
        changed[15] = static_cast<unsigned char>(format >> 8);
        EXPECT_EQ(ParseFailure(changed), wrongVersion) << format;
    }
}

TEST(UpdateFileReader, CutInsideTheHeaderAtEveryLength) {
    // 0-13 magic, 14-15 format, 16-19 name length, 20-21 name, 22-25 version, 26-29 note length,
    // 30-32 note, 33-38 the three words.
    const Bytes file = SmallHeader();
    ASSERT_EQ(file.size(), 39u);
    for (std::size_t size = 0; size < file.size(); ++size) {
        const std::string expected = size < 14 ? badHeader : size < 16 ? wrongVersion : truncatedHeader;
        EXPECT_EQ(ParseFailure(Cut(file, size)), expected) << size;
    }
    EXPECT_EQ(ParseFailure(file), "");
}

TEST(UpdateFileReader, CutInsideAPortionRecord) {
    const Bytes header = SmallHeader();
    Bytes file = header;
    AddSysExPortion(file, {0xF0, 0x01, 0xF7}, 250); // tag 4, length 4, bytes 3, delay 4
    ASSERT_EQ(file.size(), header.size() + 15);
    for (std::size_t extra = 0; extra < 15; ++extra) {
        const Bytes cut = Cut(file, header.size() + extra);
        if (extra < 8) { // inside the tag or the length: the records are over
            ASSERT_EQ(ParseFailure(cut), "") << extra;
            EXPECT_TRUE(ReadBack(cut).sysExPortions.empty());
        } else { // inside the bytes or the delay
            EXPECT_EQ(ParseFailure(cut), truncatedSysEx) << extra;
        }
    }
    EXPECT_EQ(ReadBack(file).sysExPortions.size(), 1u);
}

TEST(UpdateFileReader, CutInsideAnImageZeroFills) {
    const Bytes header = SmallHeader();
    Bytes file = header;
    AddImage(file, {1, 2, 3, 4, 5}); // tag 4, length 4, bytes 5
    const std::vector<std::pair<std::size_t, Bytes>> cases = {
        {0, {}},
        {2, {}},
        {4, {}},
        {7, {}},
        {8, {0, 0, 0, 0, 0}},
        {9, {1, 0, 0, 0, 0}},
        {12, {1, 2, 3, 4, 0}},
        {13, {1, 2, 3, 4, 5}},
    };
    for (const auto& [extra, image] : cases) {
        const Bytes cut = Cut(file, header.size() + extra);
        ASSERT_EQ(ParseFailure(cut), "") << extra;
        EXPECT_EQ(ReadBack(cut).image, image) << extra;
    }
}

TEST(UpdateFileReader, CutInsideAPortNameString) {
    const Bytes header = SmallHeader();
    Bytes mac = header;
    AddMacPortName(mac, "A$B"); // the 4-byte tag, the 4-byte length, 3 bytes
    const std::vector<std::pair<std::size_t, Names>> macCases = {
        {4, {"AB"}},
        {7, {"AB"}},
        {8, {std::string(3, '\0')}},
        {9, {std::string("A\0\0", 3)}},
        {10, {"A", std::string(1, '\0')}},
        {11, {"A", "B"}},
    };
    for (const auto& [extra, names] : macCases)
        EXPECT_EQ(ReadBack(Cut(mac, header.size() + extra)).macPortNames, names) << extra;

    Bytes win = header;
    AddWindowsPortParameters(win, "win:x:ideal:77");
    EXPECT_EQ(ReadBack(Cut(win, win.size() - 1)).windowsParameters.ideal, 7);
    EXPECT_EQ(ReadBack(Cut(win, win.size() - 4)).windowsParameters.ideal, 1024);
    EXPECT_EQ(ReadBack(win).windowsParameters.ideal, 77);
}

TEST(UpdateFileReader, PartialTagAfterRecordsIsIgnored) {
    Bytes file = SmallHeader();
    AddSysExPortion(file, {0xF0, 0xF7}, 1);
    AddImage(file, {9});
    for (const Bytes& tail : {Bytes{0x01}, Bytes{0x01, 0x00}, Bytes{0x07, 0x00, 0x00}}) {
        const Bytes withTail = file + tail;
        ASSERT_EQ(ParseFailure(withTail), "");
        const Update update = ReadBack(withTail);
        EXPECT_EQ(update.sysExPortions.size(), 1u);
        EXPECT_EQ(update.image, Bytes{9});
    }
}

TEST(UpdateFileReader, UnrecognisedTagsWriteALineAndFail) {
    for (unsigned int tag : {0u, 4u, 6u, 7u, 0x100u, 0xFFFFFFFFu}) {
        Bytes file = SmallHeader();
        AddSysExPortion(file, {0xF0, 0xF7}, 0);
        file = file + U32(tag) + U32(0);
        testing::internal::CaptureStderr();
        const std::string failure = ParseFailure(file);
        const std::string written = testing::internal::GetCapturedStderr();
        EXPECT_EQ(failure, unrecognised) << tag;
        EXPECT_TRUE(std::regex_match(written, std::regex("[^\n:]*Update\\.cpp:[0-9]+\n"))) << written;
    }
}

TEST(UpdateFileReader, RecordsInAnyOrderAndNumber) {
    Bytes file;
    CreateUpdateFileHeader(file, "Prod", Version{2, 10}, "note", 0, 0, 0);
    AddImage(file, {1, 2, 3});
    AddMacPortName(file, "A$B");
    AddSysExPortion(file, {0xF0, 0x0A, 0xF7}, 5);
    AddWindowsPortParameters(file, "win:x:name:W1:ideal:1:chunks:no");
    AddImage(file, {4, 5, 6, 7, 8});
    AddMacPortName(file, "B$$C$");
    AddSysExPortion(file, {}, 6);
    AddWindowsPortParameters(file, "win:x:name:W2:ideal:2");
    AddSysExPortion(file, {0xF0, 0xF7}, 0);
    const Update update = ReadBack(file);
    EXPECT_EQ(update.image, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(update.macPortNames, (Names{"A", "B", "C"}));
    EXPECT_EQ(update.windowsParameters.names, (Names{"W1", "W2"}));
    EXPECT_EQ(update.windowsParameters.ideal, 2);
    EXPECT_FALSE(update.windowsParameters.chunks);
    ASSERT_EQ(update.sysExPortions.size(), 3u);
    EXPECT_EQ(update.sysExPortions[0].data, (Bytes{0xF0, 0x0A, 0xF7}));
    EXPECT_EQ(update.sysExPortions[0].delay, 5u);
    EXPECT_TRUE(update.sysExPortions[1].data.empty());
    EXPECT_EQ(update.sysExPortions[1].delay, 6u);
    EXPECT_EQ(update.sysExPortions[2].delay, 0u);
    EXPECT_EQ(update.TotalSysExSize(), 5u);
}

TEST(UpdateFileReader, PortNameDefaults) {
    Bytes file;
    CreateUpdateFileHeader(file, "", Version{}, "", 0, 0, 0);
    Update noName = ReadBack(file);
    EXPECT_EQ(noName.macPortNames, (Names{""}));
    EXPECT_EQ(noName.windowsParameters.names, (Names{""}));

    // Each set gets the default only when it is empty; parameters without names leave the Windows set empty.
    CreateUpdateFileHeader(file, "Prod", Version{}, "", 0, 0, 0);
    AddMacPortName(file, "M");
    AddWindowsPortParameters(file, "win:x:ideal:3");
    Update macOnly = ReadBack(file);
    EXPECT_EQ(macOnly.macPortNames, (Names{"M"}));
    EXPECT_EQ(macOnly.windowsParameters.names, (Names{"Prod"}));

    CreateUpdateFileHeader(file, "Prod", Version{}, "", 0, 0, 0);
    AddWindowsPortParameters(file, "win:x:name:W");
    AddMacPortName(file, "$$");
    Update winOnly = ReadBack(file);
    EXPECT_EQ(winOnly.macPortNames, (Names{"Prod"}));
    EXPECT_EQ(winOnly.windowsParameters.names, (Names{"W"}));
}

TEST(UpdateFileReader, SysExNoteStandsForTheFixedMessage) {
    EXPECT_EQ(
        SYSEX_MESSAGE,
        "To apply this update file, please detach all MIDI devices from your computer, and shut down all "
        "other MIDI applications.\n\nThen plug in your device and put it into update mode. Refer to the "
        "User's Manual for details on how to do this.\n\nWhen the device is ready to accept an update, you "
        "can start the update process.\n");
    EXPECT_EQ(SYSEX_MESSAGE.size(), 315u);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<sysex>", SYSEX_MESSAGE},
        {"<SysEx>", "<SysEx>"},
        {"<sysex> ", "<sysex> "},
        {" <sysex>", " <sysex>"},
        {"", ""},
    };
    for (const auto& [note, expected] : cases) {
        Bytes file;
        CreateUpdateFileHeader(file, "P", Version{1, 0}, note, 0, 0, 0);
        EXPECT_EQ(ReadBack(file).message, expected) << note;
    }
}

TEST(UpdateFileReader, HostileLengthsStayBounded) {
    const std::size_t limit = 16u << 20; // far below the 4 GiB that the length fields claim
    const Bytes header = SmallHeader();
    const Bytes tenBytes = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

    allocations::Reset();
    EXPECT_EQ(ParseFailure(header + U32(1) + U32(0xFFFFFFFF) + tenBytes), truncatedSysEx);
    EXPECT_TRUE(!allocations::Tracked() || allocations::Largest() < limit) << allocations::Largest();

    allocations::Reset();
    Bytes name(FILE_HEADER.begin(), FILE_HEADER.end());
    name = name + Bytes{4, 0} + U32(0xFFFFFFFF) + tenBytes;
    EXPECT_EQ(ParseFailure(name), truncatedHeader);
    EXPECT_TRUE(!allocations::Tracked() || allocations::Largest() < limit) << allocations::Largest();

    allocations::Reset();
    const Update image = ReadBack(header + U32(2) + U32(0xFFFFFFFF) + tenBytes);
    EXPECT_EQ(image.image.size(), tenBytes.size() + maxZeroFill);
    EXPECT_EQ(Bytes(image.image.begin(), image.image.begin() + 10), tenBytes);
    EXPECT_EQ(std::count(image.image.begin(), image.image.end(), 0), static_cast<long>(maxZeroFill));

    const Update mac = ReadBack(header + U32(5) + U32(0xFFFFFFFF) + Bytes{'A', '$', 'B'});
    EXPECT_EQ(mac.macPortNames, (Names{"A", "B" + std::string(maxZeroFill, '\0')}));

    const Update win =
        ReadBack(header + U32(3) + U32(0xFFFFFFFF) + Bytes{'w', 'i', 'n', ':', ':', 'm', 'a', 'x', ':', '9'});
    EXPECT_EQ(win.windowsParameters.max, 9);
    EXPECT_TRUE(!allocations::Tracked() || allocations::Largest() < limit) << allocations::Largest();
}

TEST(UpdateModel, VersionText) {
    const std::vector<std::pair<Version, std::string>> cases = {
        {{1, 5}, "1.05"},
        {{2, 10}, "2.10"},
        {{1, 100}, "1.100"},
        {{0, 0}, "0.00"},
        {{65535, 65535}, "65535.65535"},
    };
    for (const auto& [version, text] : cases)
        EXPECT_EQ(version.ToString(), text);
    EXPECT_EQ(unknownVersion, (Version{0, 0}));
    EXPECT_EQ(unknownUsbAddress, (UsbAddress{0, 0, 0}));
}

TEST(UpdateModel, TotalSysExSize) {
    Update update({}, "", "", "");
    EXPECT_EQ(update.TotalSysExSize(), 0u);
    update.sysExPortions = {{Bytes(10), 1}, {Bytes{}, 2}, {Bytes(5), 3}};
    EXPECT_EQ(update.TotalSysExSize(), 15u);
}

TEST(UpdateModel, ParseErrorIsAnExceptionWithItsText) {
    const ParseError error("Some sentence.");
    const std::exception& base = error;
    EXPECT_STREQ(base.what(), "Some sentence.");
}
