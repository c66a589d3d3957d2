#include "PortNames.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

using Names = std::set<std::string>;
using Items = std::vector<std::string>;

TEST(Split, EdgesLikeRepeatedGetline) {
    const std::vector<std::pair<std::string, Items>> cases = {
        {"", {}},
        {"a", {"a"}},
        {"a:b", {"a", "b"}},
        {"a:", {"a"}},
        {":a", {"", "a"}},
        {"a::b", {"a", "", "b"}},
        {":", {""}},
        {"::", {"", ""}},
        {"a::", {"a", ""}},
        {" a : b ", {" a ", " b "}},
    };
    for (const auto& [text, items] : cases)
        EXPECT_EQ(Split(text, ':'), items) << '"' << text << '"';
    EXPECT_EQ(Split("x$y:z", '$'), (Items{"x", "y:z"}));
}

TEST(ToLowerTest, OnlyAsciiLettersChange) {
    EXPECT_EQ(ToLower("YeS TRUE 1x"), "yes true 1x");
    EXPECT_EQ(ToLower(std::string("\xC4\xE4\0Z", 4)), std::string("\xC4\xE4\0z", 4));
}

TEST(PortNameList, BuiltInListGivesTwoNamesInSetOrder) {
    Names names;
    PutPortNamesIntoSet(names, KELVAPN);
    EXPECT_EQ(names, (Names{"Ostrel Dramlin", "Ostrel Kelva"}));
    EXPECT_EQ(*names.begin(), "Ostrel Dramlin");
    EXPECT_STREQ(KELVAPRODUCTNAME, "Ostrel Kelva");
}

TEST(PortNameList, EmptyItemsAreSkipped) {
    const std::vector<std::pair<std::string, Names>> cases = {
        {"", {}},
        {"$", {}},
        {"$$", {}},
        {"A", {"A"}},
        {"A$$B", {"A", "B"}},
        {"$A$B$", {"A", "B"}},
        {"A$A", {"A"}},
        {" A $A", {" A ", "A"}},
        {"a$A", {"A", "a"}},
        {"x:y$z", {"x:y", "z"}},
    };
    for (const auto& [list, expected] : cases) {
        Names names;
        PutPortNamesIntoSet(names, list);
        EXPECT_EQ(names, expected) << '"' << list << '"';
    }
}

TEST(PortNameList, AddsToTheSetAndNeverRemoves) {
    Names names{"B", "Z"};
    PutPortNamesIntoSet(names, "A$B");
    EXPECT_EQ(names, (Names{"A", "B", "Z"}));
    PutPortNamesIntoSet(names, "");
    EXPECT_EQ(names, (Names{"A", "B", "Z"}));
}

TEST(ParseYesNoTest, YesTrueOrNonZeroNumber) {
    for (const char* text : {"yes", "YES", "Yes", "true", "TRUE", "tRuE", "1", "-1", "2", "7x", " 1", "+3"})
        EXPECT_TRUE(ParseYesNo(text)) << '"' << text << '"';
    for (const char* text : {"no", "false", "0", "", "abc", " yes", "yes ", "yess", "x1", "0x10", "-0"})
        EXPECT_FALSE(ParseYesNo(text)) << '"' << text << '"';
}

namespace {
MidiPortWindowsParameters Parsed(const std::string& text,
                                 MidiPortWindowsParameters start = defaultMidiPortWindowsParameters) {
    ParseMidiPortWindowsParameters(start, text);
    return start;
}

void ExpectSame(const MidiPortWindowsParameters& a, const MidiPortWindowsParameters& b,
                const std::string& text) {
    EXPECT_EQ(a.names, b.names) << text;
    EXPECT_EQ(a.ideal, b.ideal) << text;
    EXPECT_EQ(a.max, b.max) << text;
    EXPECT_EQ(a.delay, b.delay) << text;
    EXPECT_EQ(a.unprepDelay, b.unprepDelay) << text;
    EXPECT_EQ(a.chunks, b.chunks) << text;
}
} // namespace

TEST(WindowsParameters, Defaults) {
    const auto& d = defaultMidiPortWindowsParameters;
    EXPECT_TRUE(d.names.empty());
    EXPECT_EQ(d.ideal, 1024);
    EXPECT_EQ(d.max, 3072);
    EXPECT_EQ(d.delay, 200);
    EXPECT_EQ(d.unprepDelay, 100);
    EXPECT_TRUE(d.chunks);
}

TEST(WindowsParameters, AllNumberKeysAndChunks) {
    MidiPortWindowsParameters start = defaultMidiPortWindowsParameters;
    start.names = {"Keep"};
    const auto p = Parsed("win:anything:ideal:512:max:2048:delay:50:unprepdelay:20:chunks:no", start);
    EXPECT_EQ(p.ideal, 512);
    EXPECT_EQ(p.max, 2048);
    EXPECT_EQ(p.delay, 50);
    EXPECT_EQ(p.unprepDelay, 20);
    EXPECT_FALSE(p.chunks);
    EXPECT_EQ(p.names, (Names{"Keep"}));
    EXPECT_TRUE(Parsed("win:x:chunks:no:chunks:YES").chunks);
}

TEST(WindowsParameters, NamesAccumulate) {
    auto p = Parsed("win:anything:name:A$B");
    EXPECT_EQ(p.names, (Names{"A", "B"}));
    p = Parsed("win:anything:name:C", p);
    EXPECT_EQ(p.names, (Names{"A", "B", "C"}));
    EXPECT_EQ(Parsed("win:x:name:$D$$E$:name:D").names, (Names{"D", "E"}));
}

TEST(WindowsParameters, TextsThatChangeNothing) {
    MidiPortWindowsParameters start = defaultMidiPortWindowsParameters;
    start.ideal = 77;
    start.names = {"N"};
    for (const char* text : {"", "WIN:anything:ideal:5", "Win:a:ideal:5", " win:a:ideal:5", "no colon", "win",
                             "win:anything", "win:", "win:anything:ideal", "win:anything:chunks:",
                             "win:ideal:9:max:1", "win:x:colour:red", "win:x:Ideal:5:IDEAL:6"})
        ExpectSame(Parsed(text, start), start, text);
}

TEST(WindowsParameters, NumberValuesAreReadLikeAtoi) {
    EXPECT_EQ(Parsed("win:anything:ideal:abc").ideal, 0);
    EXPECT_EQ(Parsed("win:anything:ideal:12ab").ideal, 12);
    EXPECT_EQ(Parsed("win:anything:ideal:-3").ideal, -3);
    EXPECT_EQ(Parsed("win:anything:ideal:  +8").ideal, 8);
    EXPECT_EQ(Parsed("win:anything:max:").max, 3072); // empty last item is dropped: a lone key
    EXPECT_EQ(Parsed("win:anything:delay::max:4").delay, 0);
    EXPECT_EQ(Parsed("win:anything:delay::max:4").max, 4);
    EXPECT_EQ(Parsed("win:a:ideal:1:ideal:2").ideal, 2);
}

TEST(WindowsParameters, UnknownKeysAndLoneKeysAreSkipped) {
    const auto p = Parsed("win:anything:colour:red:ideal:7");
    EXPECT_EQ(p.ideal, 7);
    const auto q = Parsed("win:anything:chunks::ideal:5");
    EXPECT_FALSE(q.chunks);
    EXPECT_EQ(q.ideal, 5);
    // After "win" and the skipped item, pairs are (9, max) and a lone 1.
    ExpectSame(Parsed("win:ideal:9:max:1"), defaultMidiPortWindowsParameters, "win:ideal:9:max:1");
    EXPECT_EQ(Parsed("win:x:delay:5:ideal").delay, 5);
}
