#include "UpdateSummary.h"
#include "UpdateTestSupport.h"

#include <gtest/gtest.h>

TEST(UpdateSummary, LinesInOrder) {
    Bytes file;
    CreateUpdateFileHeader(file, "Ostrel Kelva", Version{1, 5}, "Read me", 0, 0, 0);
    AddMacPortName(file, "Zed$Alpha");
    AddWindowsPortParameters(file, "win:x:name:Win B$Win A$Win C");
    AddImage(file, Bytes(3000));
    AddSysExPortion(file, Bytes(10, 0xF0), 0);
    AddSysExPortion(file, Bytes(5, 0xF7), 100);
    EXPECT_EQ(UpdateSummaryLines(ReadBack(file)), (std::vector<std::string>{
                                                      "Product name:   Ostrel Kelva",
                                                      "Message:        Read me",
                                                      "Image:          3000 bytes",
                                                      "SysEx portions: 2",
                                                      "Mac port names: 2:Alpha",
                                                      "Win port names: 3:Win A",
                                                      "Port names    : 2",
                                                      "Total SysEx:    15 bytes",
                                                  }));
}

TEST(UpdateSummary, EmptyNameSetsOfARawSysExFile) {
    const auto lines = UpdateSummaryLines(ReadBack({0xF0, 0x01, 0xF7}));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "Product name:   <SysEx Update Device>");
    EXPECT_EQ(lines[1], "Message:        " + SYSEX_MESSAGE);
    EXPECT_EQ(lines[2], "Image:          0 bytes");
    EXPECT_EQ(lines[3], "SysEx portions: 1");
    EXPECT_EQ(lines[4], "Mac port names: 0:");
    EXPECT_EQ(lines[5], "Win port names: 0:");
    EXPECT_EQ(lines[6], "Port names    : 0");
    EXPECT_EQ(lines[7], "Total SysEx:    3 bytes");
}
