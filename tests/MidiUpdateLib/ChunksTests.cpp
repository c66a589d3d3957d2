// Catches: a chunk cut at the wrong byte or past max or the rest; chunks that are copies, out of order
// or go on after a failed send; wrong "Sent" texts or fractions; a wrong wait for the device (10 s);
// a skipped or shortened pause; a step's progress outside its share; a dropped precondition check.
#include "Chunks.h"
#include "ScriptedMidiPort.h"
#include "SysExSender.h"

#include <array>
#include <random>

namespace {

// count SysEx messages of the given size (F0, data bytes 11, F7).
Bytes Messages(std::size_t count, std::size_t size) {
    Bytes bytes;
    for (std::size_t i = 0; i < count; ++i) {
        bytes.push_back(0xF0);
        bytes.insert(bytes.end(), size - 2, 0x11);
        bytes.push_back(0xF7);
    }
    return bytes;
}

// The chunk rule as written: ideal bytes, then one more byte at a time until max bytes, the end of
// the rest, or a last byte of F7 or 0A.
unsigned long ByteByByteChunk(const Bytes& bytes, unsigned long ideal, unsigned long max) {
    unsigned long length = std::min<unsigned long>(ideal, bytes.size());
    while (length >= ideal && length < max && length < bytes.size() && bytes[length - 1] != 0xF7 &&
           bytes[length - 1] != 0x0A)
        ++length;
    return length;
}

} // namespace

TEST(NextSysExChunk, Lengths) {
    struct Row {
        const char* name;
        Bytes bytes;
        unsigned long ideal, max, length;
    };
    const std::vector<Row> rows{
        {"a rest shorter than ideal goes whole", Bytes(1000, 0x01), 2048, 16384, 1000},
        {"a rest of exactly ideal goes whole", Bytes(2048, 0x01), 2048, 16384, 2048},
        {"grows to the first F7", Bytes{0xF0, 1, 2, 3, 4, 5, 0xF7, 0xF0, 6, 7}, 4, 100, 7},
        {"ideal ending in F7 stops there", Bytes{0xF0, 1, 2, 0xF7, 0xF0, 3, 4, 0xF7}, 4, 100, 4},
        {"ideal ending in 0A stops there", Bytes{0xF0, 1, 2, 0x0A, 3, 4, 0xF7}, 4, 100, 4},
        {"a line feed ends a chunk like F7", Bytes{0xF0, 1, 2, 3, 0x0A, 5, 6, 0xF7, 0xF0}, 4, 100, 5},
        {"an end before ideal is not looked at", Bytes{0xF0, 0xF7, 0xF0, 1, 2, 3, 0xF7, 4}, 4, 100, 7},
        {"growth stops at max", Bytes(20, 0x01), 4, 6, 6},
        {"growth stops at the end of the rest", Bytes(9, 0x01), 4, 100, 9},
        {"ideal above max gives ideal", Bytes(20, 0x01), 8, 6, 8},
    };
    for (Row row : rows) {
        const Range<unsigned char> chunk =
            NextSysExChunk({row.bytes.data(), row.bytes.data() + row.bytes.size()}, row.ideal, row.max);
        EXPECT_EQ(chunk.start, row.bytes.data()) << row.name;
        EXPECT_EQ(chunk.Size(), row.length) << row.name;
    }
    // The rest ends before an F7 that follows it in memory: the chunk stops at the rest's end.
    Bytes bytes{1, 2, 3, 4, 5, 6, 0xF7};
    EXPECT_EQ(NextSysExChunk({bytes.data(), bytes.data() + 5}, 2, 100).end, bytes.data() + 5);
}

TEST(NextSysExChunk, AgreesWithTheByteByByteRuleOnRandomRests) {
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        // Few, many or no end bytes, in rests shorter and longer than the sizes.
        const unsigned int ends = random() % 3 == 0 ? 0 : 1 + random() % 40;
        Bytes bytes(random() % 120);
        for (auto& byte : bytes) {
            const unsigned int pick = random() % 100;
            byte = pick < ends ? (pick % 2 ? 0xF7 : 0x0A) : static_cast<unsigned char>(0x10 + pick);
        }
        const unsigned long ideal = 1 + random() % 40, max = random() % 80;
        ASSERT_EQ(NextSysExChunk({bytes.data(), bytes.data() + bytes.size()}, ideal, max).Size(),
                  ByteByByteChunk(bytes, ideal, max))
            << "round " << round << " ideal " << ideal << " max " << max;
    }
}

TEST(PercentageDone, FractionOfTheWholeAlreadySent) {
    Bytes bytes(200);
    const Range<unsigned char> total{bytes.data(), bytes.data() + 200};
    EXPECT_FLOAT_EQ(PercentageDone(total, {bytes.data() + 50, total.end}), 0.25f);
    EXPECT_FLOAT_EQ(PercentageDone(total, total), 0.0f);
    EXPECT_FLOAT_EQ(PercentageDone(total, {total.end, total.end}), 1.0f);
}

TEST_F(EngineTest, SendChunkedHandsThePortionOverInViewsWithSentLines) {
    Update::SysExPortion portion{Messages(5, 1000), 0};
    SimpleSysExSender sender(port);
    EXPECT_TRUE(sender.SendPortion(portion, progress));
    EXPECT_EQ(progress.lines,
              (Lines{"busy", "status: Sent 0 bytes of 4.9KB", "progress 0.6", "status: Sent 2.9KB of 4.9KB",
                     "progress 1", "status: Sent 4.9KB of 4.9KB"}));
    ASSERT_EQ(port.sent.size(), 2u);
    EXPECT_EQ(port.sent[0].data, portion.data.data());
    EXPECT_EQ(port.sent[0].bytes, Bytes(portion.data.begin(), portion.data.begin() + 3000));
    EXPECT_EQ(port.sent[1].data, portion.data.data() + 3000);
    EXPECT_EQ(port.sent[1].bytes, Bytes(portion.data.begin() + 3000, portion.data.end()));
    EXPECT_TRUE(clock.Sleeps().empty()) << "no pause between chunks";

    RecordingProgress empty;
    Update::SysExPortion nothing;
    EXPECT_TRUE(SysExSender::SendChunked(nothing, port, empty));
    EXPECT_EQ(empty.lines, (Lines{"progress 1", "status: Sent 0 bytes of 0 bytes"}));
    EXPECT_EQ(port.sent.size(), 2u);
}

TEST(SendChunked, StopsAtTheChunkThatFails) {
    for (std::size_t failing = 0; failing < 3; ++failing) {
        Rig rig;
        rig.port.ideal = rig.port.max = 1000;
        Update::SysExPortion portion{Messages(3, 1000), 0};
        rig.port.fails = [&](const unsigned char* data) {
            return data == portion.data.data() + failing * 1000;
        };
        EXPECT_FALSE(SysExSender::SendChunked(portion, rig.port, rig.progress));
        EXPECT_EQ(rig.port.sent.size(), failing);
        EXPECT_EQ(rig.port.failures, 1);
        EXPECT_EQ(rig.progress.Statuses().back(), "Sent " + BytesToHuman(failing * 1000) + " of 2.9KB");
        EXPECT_EQ(CountOf(rig.progress.lines, "progress 1"), 0);
    }
}

TEST_F(EngineTest, OneShotSenderHandsTheWholePortionOverAtOnce) {
    Update::SysExPortion portion{Messages(3, 512 * 1024), 0};
    OneShotSysExSender sender(port);
    EXPECT_TRUE(sender.SendPortion(portion, progress));
    ASSERT_EQ(port.sent.size(), 1u);
    EXPECT_EQ(port.sent[0].data, portion.data.data());
    EXPECT_EQ(port.sent[0].bytes.size(), portion.data.size());
    EXPECT_EQ(progress.lines, (Lines{"busy", "status: Sending update (1.5MB). Please wait...",
                                     "status: Sent 1.5MB", "progress 1"}));
    port.fails = [](const unsigned char*) { return true; };
    RecordingProgress failed;
    EXPECT_FALSE(sender.SendPortion(portion, failed));
    EXPECT_EQ(failed.Statuses(), Lines{"Sending update (1.5MB). Please wait..."});
}

TEST(CheckConnected, LooksForTenSecondsThenPermitsOthers) {
    struct Row {
        const char* name;
        std::vector<bool> answers;
        bool connected, connectsAfterPermit, found;
        std::uint64_t ms;
    };
    const std::vector<Row> rows{
        {"present", {}, true, false, true, 0},
        {"never there", {}, false, false, false, 10000},
        {"there once others are permitted", {}, false, true, true, 10000},
        {"shows up during the wait", {false, false, false}, true, false, true, 3000},
        {"the last look decides", {true, true, false}, true, false, false, 0},
    };
    for (const Row& row : rows) {
        Rig rig;
        rig.port.answers = row.answers;
        rig.port.connected = row.connected;
        rig.port.connectsAfterPermit = row.connectsAfterPermit;
        EXPECT_EQ(CheckConnected(rig.port), row.found) << row.name;
        EXPECT_EQ(rig.clock.Sleeps(), std::vector<std::uint64_t>(row.ms / 1000, 1000)) << row.name;
    }
}

TEST_F(EngineTest, DoDelayShowsBothTextsAroundThePortionsPause) {
    Update::SysExPortion portion{{0xF0, 0xF7}, 0};
    DoDelay(portion, progress);
    EXPECT_TRUE(progress.lines.empty());
    portion.delay = 250;
    clock.AddObserver([this](std::uint64_t now) { progress.Status("at " + std::to_string(now)); });
    DoDelay(portion, progress);
    EXPECT_EQ(progress.lines,
              (Lines{"status: Waiting for device to become ready for more data...", "busy", "status: at 250",
                     "status: Waiting for device to become active...", "progress 1"}));
}

TEST(UpdateProgressConverter, MapsAStepIntoItsShareAndPassesTheRestThrough) {
    // from, to, of; the step's fraction -> the whole's
    for (auto [from, to, of, step, whole] : std::vector<std::array<float, 5>>{{0, 50, 200, 0, 0},
                                                                              {0, 50, 200, .5f, .125f},
                                                                              {0, 50, 200, 1, .25f},
                                                                              {150, 200, 200, 0, .75f},
                                                                              {150, 200, 200, 1, 1},
                                                                              {100, 100, 400, .7f, .25f}}) {
        RecordingProgress parent;
        UpdateProgressConverter(parent, from, to, of).Progress(step);
        EXPECT_EQ(parent.fractions, std::vector<float>{whole})
            << from << " " << to << " " << of << " " << step;
    }
    RecordingProgress parent;
    UpdateProgressConverter converter(parent, 10, 20, 40);
    converter.ProgressIndeterminate();
    converter.Status("status");
    converter.Error("error");
    converter.Completed("completed");
    EXPECT_EQ(parent.lines, (Lines{"busy", "status: status", "error: error", "completed: completed"}));
}

TEST(EngineDeathTest, ViolatedPreconditionsStopTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Bytes bytes(10);
    Range<unsigned char> range{bytes.data(), bytes.data() + 10};
    EXPECT_DEATH(range.TrimFromFront(11), "start <= end.*TrimFromFront");
    EXPECT_DEATH(NextSysExChunk(range, 0, 16384), "ideal >= 1.*NextSysExChunk");
    EXPECT_DEATH(PercentageDone(range, {bytes.data(), bytes.data() + 5}), "total.end == remaining.end");
    RecordingProgress parent;
    EXPECT_DEATH(UpdateProgressConverter(parent, 10, 5, 200), "inFrom <= inTo.*UpdateProgressConverter");
    EXPECT_DEATH(UpdateProgressConverter(parent, 300, 300, 200), "inFrom <= inOutOf");
    EXPECT_DEATH(UpdateProgressConverter(parent, 0, 300, 200), "inTo <= inOutOf");
    ScriptedMidiPort port;
    port.Receive({0xF0, 0x01}, true);
    EXPECT_DEATH(port.GotSysEx(), "sysExCollector.HasSysEx\\(\\)");
}
