#include "UpdateTestSupport.h"

#include <gtest/gtest.h>

#include <random>

using Names = std::set<std::string>;

TEST(WriterPrimitives, LittleEndianAndLengthPrefixed) {
    Bytes out;
    Append(out, 0x04030201u);
    Append(out, static_cast<unsigned short>(0xBEEF));
    Append(out, static_cast<unsigned char>(0x7F));
    Append(out, std::string("AB"));
    Append(out, Bytes{});
    Append(out, Bytes{0xF0, 0xF7});
    Append(out, std::string("\0x", 2));
    EXPECT_EQ(out, (Bytes{0x01, 0x02, 0x03, 0x04, 0xEF, 0xBE, 0x7F, 0x02, 0,    0, 0, 'A', 'B',  0,  0,
                          0,    0,    0x02, 0,    0,    0,    0xF0, 0xF7, 0x02, 0, 0, 0,   0x00, 'x'}));
}

TEST(UpdateWriter, HeaderExampleByteForByte) {
    Bytes out = {0x99};
    CreateUpdateFileHeader(out, "AB", Version{1, 2}, "", 3, 4, 5);
    const Bytes expected = Bytes{'O', 'r', 'v', 'o', 'U', 'p', 'd', 'a', 't', 'e', 'F', 'i', 'l', 'e'} +
                           Bytes{0x04, 0x00, 0x02, 0x00, 0x00, 0x00, 0x41, 0x42, 0x01, 0x00, 0x02,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x04, 0x00, 0x05, 0x00};
    EXPECT_EQ(expected.size(), 36u);
    EXPECT_EQ(out, expected);
}

TEST(UpdateWriter, PortionExample) {
    Bytes out;
    CreateUpdateFileHeader(out, "AB", Version{1, 2}, "", 3, 4, 5);
    const std::size_t headerSize = out.size();
    AddSysExPortion(out, {0xF0, 0x01, 0xF7}, 250);
    EXPECT_EQ(Bytes(out.begin() + headerSize, out.end()),
              (Bytes{0x01, 0, 0, 0, 0x03, 0, 0, 0, 0xF0, 0x01, 0xF7, 0xFA, 0, 0, 0}));
    const Update update = ReadBack(out);
    ASSERT_EQ(update.sysExPortions.size(), 1u);
    EXPECT_EQ(update.sysExPortions[0].data, (Bytes{0xF0, 0x01, 0xF7}));
    EXPECT_EQ(update.sysExPortions[0].delay, 250u);
}

TEST(UpdateWriter, RecordTagsAndBodies) {
    Bytes image, win, mac;
    AddImage(image, {9, 8});
    AddWindowsPortParameters(win, "win:x");
    AddMacPortName(mac, "A$B");
    EXPECT_EQ(image, (Bytes{2, 0, 0, 0, 2, 0, 0, 0, 9, 8}));
    EXPECT_EQ(win, (Bytes{3, 0, 0, 0, 5, 0, 0, 0, 'w', 'i', 'n', ':', 'x'}));
    EXPECT_EQ(mac, (Bytes{5, 0, 0, 0, 3, 0, 0, 0, 'A', '$', 'B'}));
}

TEST(UpdateWriter, SecondHeaderReplacesEverything) {
    Bytes out;
    CreateUpdateFileHeader(out, "First product", Version{9, 9}, "first note", 1, 1, 1);
    AddSysExPortion(out, {0xF0, 0xF7}, 1);
    AddImage(out, {1, 2, 3});
    CreateUpdateFileHeader(out, "AB", Version{1, 2}, "", 3, 4, 5);
    EXPECT_EQ(out.size(), 36u);
    const Update update = ReadBack(out);
    EXPECT_EQ(update.productName, "AB");
    EXPECT_TRUE(update.sysExPortions.empty());
    EXPECT_TRUE(update.image.empty());
}

namespace {
struct Expected {
    std::string productName, message;
    Version version;
    UsbAddress usb{};
    Names mac, winNames;
    int ideal = 1024, max = 3072, delay = 200, unprepDelay = 100;
    bool chunks = true;
    Bytes image;
    std::vector<Update::SysExPortion> portions;
};

std::string RandomText(std::mt19937& random, std::size_t maxLength, const std::string& alphabet) {
    std::string text(random() % (maxLength + 1), ' ');
    for (char& c : text)
        c = alphabet[random() % alphabet.size()];
    return text;
}

Bytes RandomBytes(std::mt19937& random, std::size_t size) {
    Bytes bytes(size);
    for (auto& b : bytes)
        b = static_cast<unsigned char>(random());
    return bytes;
}

// Composes a random file with the writer and records what the reader should make of it.
Bytes RandomFile(std::mt19937& random, Expected& e) {
    const std::string anyByte = [] {
        std::string all;
        for (int c = 0; c < 256; ++c)
            all.push_back(static_cast<char>(c));
        return all;
    }();
    const std::string nameChars = "abcXYZ 019-_.\x01\xC3\xA9";
    e.productName = RandomText(random, 12, anyByte);
    e.message = random() % 5 == 0 ? "<sysex>" : RandomText(random, 40, anyByte);
    e.version = Version{static_cast<unsigned short>(random()), static_cast<unsigned short>(random())};
    for (auto& word : e.usb)
        word = static_cast<unsigned short>(random());
    Bytes file;
    CreateUpdateFileHeader(file, e.productName, e.version, e.message, e.usb[0], e.usb[1], e.usb[2]);
    if (e.message == "<sysex>")
        e.message = SYSEX_MESSAGE;

    const int records = static_cast<int>(random() % 9);
    for (int r = 0; r < records; ++r) {
        switch (random() % 4) {
        case 0: {
            const std::size_t size = random() % 8 == 0 ? 70000 + random() % 100000 : random() % 40;
            Update::SysExPortion portion{RandomBytes(random, size), static_cast<unsigned int>(random())};
            AddSysExPortion(file, portion.data, portion.delay);
            e.portions.push_back(portion);
            break;
        }
        case 1: {
            const Bytes image =
                RandomBytes(random, random() % 4 == 0 ? 66000 + random() % 5000 : random() % 30);
            AddImage(file, image);
            e.image.insert(e.image.end(), image.begin(), image.end());
            break;
        }
        case 2: {
            std::string list = random() % 2 ? "$" : "";
            for (unsigned n = random() % 4; n > 0; --n) {
                const std::string name = RandomText(random, 10, nameChars);
                list += name + (random() % 3 ? "$" : "$$");
                if (!name.empty())
                    e.mac.insert(name);
            }
            AddMacPortName(file, list);
            break;
        }
        default: {
            const int ideal = static_cast<int>(random() % 100000) - 500;
            const int delay = static_cast<int>(random() % 1000);
            const bool chunks = random() % 2;
            const std::string name = RandomText(random, 8, nameChars);
            AddWindowsPortParameters(
                file, "win:skip:ideal:" + std::to_string(ideal) + ":delay:" + std::to_string(delay) +
                          ":chunks:" + (chunks ? "Yes" : "0") + ":name:" + name + ":unknown:1");
            e.ideal = ideal;
            e.delay = delay;
            e.chunks = chunks;
            if (!name.empty())
                e.winNames.insert(name);
        }
        }
    }
    if (e.mac.empty())
        e.mac.insert(e.productName);
    if (e.winNames.empty())
        e.winNames.insert(e.productName);
    return file;
}
} // namespace

TEST(UpdateWriter, RoundTripsThroughTheReader) {
    std::mt19937 random(20261206);
    for (int round = 0; round < 300; ++round) {
        Expected e;
        const Bytes file = RandomFile(random, e);
        SCOPED_TRACE(round);
        const Update update = ReadBack(file);
        EXPECT_EQ(update.productName, e.productName);
        EXPECT_EQ(update.message, e.message);
        EXPECT_EQ(update.version, e.version);
        EXPECT_EQ(update.usbAddress, e.usb);
        EXPECT_EQ(update.macPortNames, e.mac);
        EXPECT_EQ(update.windowsParameters.names, e.winNames);
        EXPECT_EQ(update.windowsParameters.ideal, e.ideal);
        EXPECT_EQ(update.windowsParameters.max, e.max);
        EXPECT_EQ(update.windowsParameters.delay, e.delay);
        EXPECT_EQ(update.windowsParameters.unprepDelay, e.unprepDelay);
        EXPECT_EQ(update.windowsParameters.chunks, e.chunks);
        EXPECT_EQ(update.image, e.image);
        ASSERT_EQ(update.sysExPortions.size(), e.portions.size());
        unsigned int total = 0;
        for (std::size_t i = 0; i < e.portions.size(); ++i) {
            EXPECT_EQ(update.sysExPortions[i].data, e.portions[i].data) << i;
            EXPECT_EQ(update.sysExPortions[i].delay, e.portions[i].delay) << i;
            total += static_cast<unsigned int>(e.portions[i].data.size());
        }
        EXPECT_EQ(update.TotalSysExSize(), total);
    }
}
