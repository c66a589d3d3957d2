// Catches: Format/Trace cutting at the wrong length; a wrong stamp, program name or pid on log lines, or
// captures that do not nest; the virtual clock's time, sleeps and observers; byte counts shown wrongly;
// port-name splitting, lower-casing and yes/no parsing (Windows parameters: UpdateFileTests).
#include "Clock.h"
#include "Log.h"
#include "PortNames.h"
#include "Utilities.h"

#include <gmock/gmock.h>

#include <unistd.h>

using Texts = std::vector<std::string>;

TEST(Utilities, FormatTraceLogLinesAndBytesShownToTheUser) {
    testing::internal::CaptureStderr();
    LogLine("Trace: hello");
    Trace("%s: %u\n", "Step", 7u);
    const std::string stamp =
        R"([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} MidiUpdateLibTests\[)" +
        std::to_string(getpid()) + R"(\] )";
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                testing::MatchesRegex(stamp + "Trace: hello\n" + stamp + "Trace: Step: 7\n"));
    const std::string exact = std::string(1054, 'a') + "z"; // Format keeps 1055 characters
    EXPECT_EQ(Format("%s!", exact.c_str()), exact);
    const std::vector<std::pair<unsigned int, std::string>> sizes = {
        {0, "0 bytes"},        {1, "1 byte"},      {1023, "1023 bytes"}, {1024, "1.0KB"},
        {1048575, "1024.0KB"}, {1048576, "1.0MB"}, {1572864, "1.5MB"},   {4294967295u, "4096.0MB"}};
    for (const auto& [count, text] : sizes)
        EXPECT_EQ(BytesToHuman(count), text) << count;
    EXPECT_EQ(ToString({0xF0, 0x7E, 0x0A}), "{ 0xf0 0x7e 0x0a }");
    EXPECT_EQ(ToString(std::vector<unsigned char>(21, 0xAB)).size(), 1 + 20 * 5 + 2u); // 20 bytes at most
    ScopedLogCapture outer;
    Trace("%s!", exact.c_str());
    {
        ScopedLogCapture inner;
        LogLine("b");
        EXPECT_EQ(inner.Lines(), Texts{"b"});
    }
    Trace("%d\n", 42);
    EXPECT_EQ(outer.Lines(), (Texts{"Trace: " + exact, "Trace: 42\n"}));
}

TEST(Utilities, VirtualClock) {
    VirtualClock clock((1ull << 32) - 700);
    std::vector<std::uint64_t> seen;
    // Observers run outside the lock: they may read the clock.
    clock.AddObserver([&](std::uint64_t now) { seen.push_back(clock.NowMs() == now ? now : 0); });
    {
        ScopedClock installed(clock);
        EXPECT_EQ(TimeNow(), 0xFFFFFFFFu - 699);
        SleepFor(1500);
        EXPECT_EQ(TimeNow(), 800u); // wrapped: the difference, 1500, still works
        SleepFor(0);
        SleepFor(0xFFFFFFFFu);
        clock.Advance(7);
    }
    const std::uint64_t start = (1ull << 32) + 800;
    EXPECT_EQ(clock.Sleeps(), (std::vector<std::uint64_t>{1500, 0, 0xFFFFFFFFu})); // Advance is not a sleep
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{start, start, start + 0xFFFFFFFFu, start + 0xFFFFFFFFu + 7}));
    EXPECT_EQ(dynamic_cast<VirtualClock*>(&CurrentClock()), nullptr); // the system clock again
}

TEST(PortNames, SplitLowerCaseAndNameLists) {
    EXPECT_EQ(Split(":a::b c:", ':'), (Texts{"", "a", "", "b c"})); // no item after the last separator
    EXPECT_TRUE(Split("", ',').empty());
    EXPECT_EQ(ToLower(std::string("YeS 1x\xC4\0Z", 9)), std::string("yes 1x\xC4\0z", 9));
    std::set<std::string> names = {"Z"}; // names are added, never removed; empty ones are skipped
    PutPortNamesIntoSet(names, "$A$$B$A$ A $x:y$");
    PutPortNamesIntoSet(names, KELVAPN);
    EXPECT_EQ(names, (std::set<std::string>{" A ", "A", "B", "Ostrel Dramlin", "Ostrel Kelva", "x:y", "Z"}));
    for (const char* text : {"yes", "YES", "Yes", "true", "tRuE", "1", "-1", "7x", " 1", "+3"})
        EXPECT_TRUE(ParseYesNo(text)) << text;
    for (const char* text : {"no", "false", "0", "", "abc", " yes", "yes ", "yess", "x1", "0x10", "-0"})
        EXPECT_FALSE(ParseYesNo(text)) << text;
}
