#include "UpdateTestSupport.h"

#include <gtest/gtest.h>

using Names = std::set<std::string>;

TEST(IsSysExTest, FramedBlocks) {
    EXPECT_TRUE(isSysEx({0xF0, 0xF7}));
    EXPECT_TRUE(isSysEx({0xF0, 0x7E, 0xF7}));
    EXPECT_TRUE(isSysEx({0xF0, 0x01, 0x02, 0xF7, 0xF0, 0x03, 0xF7}));
    EXPECT_TRUE(isSysEx({0xF0, 0xF7, 0xF0, 0xF7}));
    EXPECT_FALSE(isSysEx({}));
    EXPECT_FALSE(isSysEx({0xF0}));
    EXPECT_FALSE(isSysEx({0xF7}));
    EXPECT_FALSE(isSysEx({0xF0, 0x12, 0x34}));
    EXPECT_FALSE(isSysEx({0xF7, 0xF0}));
    EXPECT_FALSE(isSysEx({0x00, 0xF0, 0xF7}));
}

TEST(UpdateFromSysEx, FramedMessageGivesOnePortion) {
    const Update update({0xF0, 0x7E, 0xF7}, "P", "A$B", "");
    ASSERT_EQ(update.sysExPortions.size(), 1u);
    EXPECT_EQ(update.sysExPortions[0].data, (Bytes{0xF0, 0x7E, 0xF7}));
    EXPECT_EQ(update.sysExPortions[0].delay, 0u);
    EXPECT_EQ(update.productName, "P");
    EXPECT_EQ(update.macPortNames, (Names{"A", "B"}));
    EXPECT_EQ(update.message, "");
    EXPECT_TRUE(update.windowsParameters.names.empty());
    EXPECT_EQ(update.windowsParameters.ideal, 1024);
    EXPECT_EQ(update.version, unknownVersion);
    EXPECT_EQ(update.usbAddress, unknownUsbAddress);
    EXPECT_TRUE(update.image.empty());
    EXPECT_EQ(update.TotalSysExSize(), 3u);
}

TEST(UpdateFromSysEx, UnframedMessagesGiveNoPortionAndNoError) {
    for (const Bytes& bytes : {Bytes{}, Bytes{0xF0, 0x12, 0x34}, Bytes{0xF0}, Bytes{0xF7}}) {
        const Update update(bytes, "P", "", "note");
        EXPECT_TRUE(update.sysExPortions.empty()) << ToString(bytes);
        EXPECT_EQ(update.message, "note");
        EXPECT_TRUE(update.macPortNames.empty()); // no default to the product name here
    }
}

TEST(UpdateFromSysEx, SeveralMessagesStayOnePortion) {
    const Bytes two = {0xF0, 0x01, 0x02, 0xF7, 0xF0, 0x03, 0xF7};
    const Update update(two, KELVAPRODUCTNAME, KELVAPN, "");
    ASSERT_EQ(update.sysExPortions.size(), 1u);
    EXPECT_EQ(update.sysExPortions[0].data, two);
    EXPECT_EQ(update.macPortNames, (Names{"Ostrel Dramlin", "Ostrel Kelva"}));
}

TEST(UpdateFromSysEx, NoteIsKeptAsGiven) {
    const Update update({0xF0, 0xF7}, "", "$$", "<sysex>");
    EXPECT_EQ(update.message, "<sysex>");
    EXPECT_TRUE(update.macPortNames.empty());
}
