#include "Log.h"
#include "Utilities.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

TEST(BytesToHuman, UnitsAndRounding) {
    const std::vector<std::pair<unsigned int, std::string>> cases = {
        {0, "0 bytes"},
        {1, "1 byte"},
        {2, "2 bytes"},
        {1023, "1023 bytes"},
        {1024, "1.0KB"},
        {1536, "1.5KB"},
        {1048575, "1024.0KB"},
        {1048576, "1.0MB"},
        {1572864, "1.5MB"},
        {16777217, "16.0MB"},
        {4294967295u, "4096.0MB"},
    };
    for (const auto& [count, text] : cases)
        EXPECT_EQ(BytesToHuman(count), text) << count;
}

TEST(ToStringOfBytes, ShowsAtMostTwentyBytesInLowerCaseHex) {
    EXPECT_EQ(ToString({}), "{ }");
    EXPECT_EQ(ToString({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}), "{ 0xf0 0x7e 0x7f 0x06 0x01 0xf7 }");

    std::vector<unsigned char> bytes;
    std::string expected = "{";
    for (unsigned char i = 0; i < 25; ++i) {
        bytes.push_back(static_cast<unsigned char>(0xA0 + i));
        if (i < 20)
            expected += Format(" 0x%02x", 0xA0 + i);
    }
    expected += " }";
    EXPECT_EQ(ToString(bytes), expected);
    EXPECT_EQ(expected.size(), 1 + 20 * 5 + 2u);
    EXPECT_EQ(ToString(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 20)), expected);
}

TEST(Format, FormatsLikePrintf) {
    EXPECT_EQ(Format("%s: %u bytes %s\n", "Send", 12u, "ok"), "Send: 12 bytes ok\n");
    EXPECT_EQ(Format("%s", ""), "");
}

TEST(Format, CutsAfter1055Characters) {
    const std::string longText(2000, 'x');
    EXPECT_EQ(Format("%s", longText.c_str()), longText.substr(0, 1055));

    const std::string exact = std::string(1054, 'a') + "z";
    EXPECT_EQ(Format("%s", exact.c_str()), exact);

    const std::string oneMore = exact + "!";
    EXPECT_EQ(Format("%s", oneMore.c_str()), exact);
}

TEST(Trace, WritesOneTraceRecordKeepingTheNewline) {
    ScopedLogCapture capture;
    Trace("%s: Disconnecting\n", "SendPortion");
    Trace("%d", 42);
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::string>{"Trace: SendPortion: Disconnecting\n", "Trace: 42"}));
}

TEST(Trace, CutsTheTextAfter1055Characters) {
    const std::string longText(2000, 'y');
    const std::string exact = std::string(1054, 'b') + "e";
    ScopedLogCapture capture;
    Trace("%s", longText.c_str());
    Trace("%s", exact.c_str());
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Trace: " + longText.substr(0, 1055));
    EXPECT_EQ(lines[1], "Trace: " + exact);
}

TEST(LibraryIdentification, VersionAndBuild) {
    EXPECT_STREQ(MidiUpdateLib_Version, "1.00");
    EXPECT_STREQ(MidiUpdateLib_Build, "GM");
}
