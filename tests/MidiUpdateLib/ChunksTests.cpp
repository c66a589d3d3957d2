// Catches: a chunk cut at the wrong byte or past max or the rest; chunks out of order; wrong "Sent"
// texts or fractions; a dropped precondition check. (A send that fails mid-portion:
// EveryAttemptFailingAtTheSameChunk in SendSequenceTests.)
#include "Chunks.h"
#include "ScriptedMidiPort.h"
#include "SysExSender.h"

#include <random>

TEST(NextSysExChunk, AgreesWithTheByteByByteRule) {
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        // Few, many or no end bytes (their share in per cent), in rests shorter and longer than the sizes.
        const unsigned int ends = random() % 3 == 0 ? 0 : 1 + random() % 40;
        Bytes bytes(random() % 120);
        for (auto& byte : bytes)
            byte = random() % 100 < ends ? (random() % 2 ? 0xF7 : 0x0A) : 0x10;
        const unsigned long ideal = 1 + random() % 40, max = random() % 80;
        const auto chunk = NextSysExChunk({bytes.data(), bytes.data() + bytes.size()}, ideal, max);
        ASSERT_EQ(chunk.start, bytes.data());
        // The rule as written: ideal bytes (the whole rest when shorter), then one more byte at a time
        // until max bytes, the end of the rest, or a last byte of F7 or 0A.
        unsigned long length = std::min<unsigned long>(ideal, bytes.size());
        while (length >= ideal && length < max && length < bytes.size() && bytes[length - 1] != 0xF7 &&
               bytes[length - 1] != 0x0A)
            ++length;
        ASSERT_EQ(chunk.Size(), length) << round << ": " << ideal << " " << max;
    }
    // The rest ends before an F7 that follows it in memory: the chunk stops at the rest's end.
    Bytes bytes{1, 2, 3, 4, 5, 6, 0xF7};
    EXPECT_EQ(NextSysExChunk({bytes.data(), bytes.data() + 5}, 2, 100).end, bytes.data() + 5);
}

TEST_F(EngineTest, SendersHandThePortionOverWithSentLines) {
    Update::SysExPortion portion{Messages(5, 1000), 0}, big{Messages(3, 512 * 1024), 0}, nothing;
    EXPECT_TRUE(SimpleSysExSender(port).SendPortion(portion, progress));
    EXPECT_TRUE(SysExSender::SendChunked(nothing, port, progress));
    OneShotSysExSender oneShot(port);
    EXPECT_TRUE(oneShot.SendPortion(big, progress));
    port.device = [](const unsigned char*) { return false; };
    EXPECT_FALSE(oneShot.SendPortion(big, progress));
    EXPECT_EQ(
        Join(progress.lines),
        "busy | status: Sent 0 bytes of 4.9KB | progress 0.6 | status: Sent 2.9KB of 4.9KB | progress 1 | "
        "status: Sent 4.9KB of 4.9KB | progress 1 | status: Sent 0 bytes of 0 bytes | busy | "
        "status: Sending update (1.5MB). Please wait... | status: Sent 1.5MB | progress 1 | busy | "
        "status: Sending update (1.5MB). Please wait...");
    ASSERT_EQ(port.sent.size(), 3u); // the first portion cut after its third message, the big one whole
    EXPECT_EQ(port.sent[0], Bytes(portion.data.begin(), portion.data.begin() + 3000));
    EXPECT_EQ(port.sent[1], Bytes(portion.data.begin() + 3000, portion.data.end()));
    EXPECT_EQ(port.sent[2], big.data);
    EXPECT_TRUE(clock.Sleeps().empty()) << "no pause between chunks";
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
    ScriptedMidiPort port; // the base's store keeps the newest message until cleared
    port.Receive({0xF0, 0x01, 0xF7, 0xF0, 0x02, 0xF7, 0xF0, 0x03}, true);
    EXPECT_EQ(port.MidiPort::LastSysEx(), (Bytes{0xF0, 0x02, 0xF7}));
    port.ClearLastSysEx();
    EXPECT_TRUE(port.MidiPort::LastSysEx().empty());
    EXPECT_DEATH(port.GotSysEx(), "sysExCollector.HasSysEx\\(\\)");
}
