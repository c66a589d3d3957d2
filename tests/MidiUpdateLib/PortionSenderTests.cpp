#include "Clock.h"
#include "Log.h"
#include "ScriptedMidiPort.h"
#include "SysExSender.h"
#include "Utilities.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Lines = std::vector<std::string>;

// count SysEx messages of the given size (F0, data bytes 0x11, F7).
std::vector<unsigned char> Messages(int count, std::size_t size) {
    std::vector<unsigned char> bytes;
    for (int i = 0; i < count; ++i) {
        bytes.push_back(0xF0);
        bytes.insert(bytes.end(), size - 2, 0x11);
        bytes.push_back(0xF7);
    }
    return bytes;
}

class PortionSenders : public ScriptedPortTest {};

} // namespace

TEST_F(PortionSenders, ConnectedPortIsAskedThreeTimesWithoutWaiting) {
    EXPECT_TRUE(CheckConnected(port));
    EXPECT_EQ(port.isConnectedCalls, 3);
    EXPECT_EQ(port.permitCalls, 0);
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_TRUE(Traces().empty());
}

TEST_F(PortionSenders, PortThatNeverConnectsCostsTenSecondsAndOnePermit) {
    port.connected = false;
    EXPECT_FALSE(CheckConnected(port));
    EXPECT_EQ(clock.Sleeps(), std::vector<std::uint64_t>(10, 1000));
    EXPECT_EQ(clock.NowMs(), 10000u);
    EXPECT_EQ(port.isConnectedCalls, 12);
    EXPECT_EQ(port.permitCalls, 1);
    Lines expected(10, "MIDI port is not connected. Waiting, then retrying\n");
    expected.push_back("Failed to find MIDI port. Permitting others.\n");
    expected.push_back("Still Failed to find MIDI port.\n");
    EXPECT_EQ(Traces(), expected);
    EXPECT_TRUE(progress.reports.empty());
}

TEST_F(PortionSenders, PortThatConnectsAfterPermittingOthersIsTaken) {
    port.connected = false;
    port.connectsAfterPermit = true;
    EXPECT_TRUE(CheckConnected(port));
    EXPECT_EQ(port.permitCalls, 1);
    EXPECT_EQ(CountOf(Traces(), "Still Failed to find MIDI port.\n"), 0);
    EXPECT_EQ(CountOf(Traces(), "Failed to find MIDI port. Permitting others.\n"), 1);
}

TEST_F(PortionSenders, PortThatShowsUpDuringTheWaitEndsIt) {
    port.connectedAnswers = {false, false, false};
    EXPECT_TRUE(CheckConnected(port));
    EXPECT_EQ(clock.NowMs(), 3000u);
    EXPECT_EQ(port.permitCalls, 0);
}

TEST_F(PortionSenders, TheFinalAnswerDecides) {
    // Found in the loop and on the second look, lost by the last look.
    port.connectedAnswers = {true, true, false};
    EXPECT_FALSE(CheckConnected(port));
}

TEST_F(PortionSenders, DelayOfZeroOnlyTraces) {
    Update::SysExPortion portion{{0xF0, 0xF7}, 0};
    DoDelay(portion, progress);
    EXPECT_TRUE(progress.reports.empty());
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ(Traces(), Lines{"DoDelay\n"});
}

TEST_F(PortionSenders, DelayShowsBothTextsAroundTheSleep) {
    Update::SysExPortion portion{{0xF0, 0xF7}, 250};
    DoDelay(portion, progress);
    EXPECT_EQ(progress.Lines(), (Lines{"status: Waiting for device to become ready for more data...", "busy",
                                       "status: Waiting for device to become active...", "progress 1"}));
    EXPECT_EQ(progress.reports[1].atMs, 0u);
    EXPECT_EQ(progress.reports[2].atMs, 250u);
    EXPECT_EQ(clock.Sleeps(), (std::vector<std::uint64_t>{250}));
}

TEST_F(PortionSenders, EmptyPortionSendsNothing) {
    Update::SysExPortion portion;
    EXPECT_TRUE(SysExSender::SendChunked(portion, port, progress));
    EXPECT_TRUE(port.sent.empty());
    EXPECT_EQ(progress.Lines(), (Lines{"progress 1", "status: Sent 0 bytes of 0 bytes"}));
}

TEST_F(PortionSenders, ShortPortionGoesInOneChunk) {
    Update::SysExPortion portion{Messages(1, 1000), 0};
    SysExSender::SendChunked(portion, port, progress);
    ASSERT_EQ(port.sent.size(), 1u);
    EXPECT_EQ(port.sent[0].bytes, portion.data);
    EXPECT_EQ(progress.Lines(), (Lines{"busy", "status: Sent 0 bytes of 1000 bytes", "progress 1",
                                       "status: Sent 1000 bytes of 1000 bytes"}));
    EXPECT_EQ(Traces(), Lines{"SendChunked(portion,port,progress)\n"});
}

TEST_F(PortionSenders, FiveThousandBytesOfThousandByteMessages) {
    Update::SysExPortion portion{Messages(5, 1000), 0};
    SimpleSysExSender sender(port);
    EXPECT_TRUE(sender.SendPortion(portion, progress));
    ASSERT_EQ(port.sent.size(), 2u);
    EXPECT_EQ(port.sent[0].bytes.size(), 3000u);
    EXPECT_EQ(port.sent[0].bytes.back(), 0xF7);
    EXPECT_EQ(port.sent[1].bytes.size(), 2000u);
    EXPECT_EQ(progress.Lines(),
              (Lines{"busy", "status: Sent 0 bytes of 4.9KB", "progress 0.6", "status: Sent 2.9KB of 4.9KB",
                     "progress 1", "status: Sent 4.9KB of 4.9KB"}));
    EXPECT_FLOAT_EQ(progress.Fractions()[0], 0.6f);
    EXPECT_EQ(Traces(),
              (Lines{"SysExSender", "SimpleSysExSender::Send\n", "SendChunked(portion,port,progress)\n"}));
}

TEST_F(PortionSenders, ChunksAreViewsIntoThePortion) {
    // No copy before Send: every chunk handed to the port points into the portion's own bytes,
    // and together they cover it in order without gaps.
    Update::SysExPortion portion{Messages(40, 1000), 0};
    SysExSender::SendChunked(portion, port, progress);
    ASSERT_GT(port.sent.size(), 1u);
    const unsigned char* expected = portion.data.data();
    for (const auto& chunk : port.sent) {
        EXPECT_EQ(chunk.data, expected);
        expected += chunk.bytes.size();
    }
    EXPECT_EQ(expected, portion.data.data() + portion.data.size());
}

TEST_F(PortionSenders, ChunkSizesComeFromThePortAndNoPauseIsTakenBetween) {
    ScriptedMidiPort small(4, 6);
    Update::SysExPortion portion{{0xF0, 1, 2, 0xF7, 0xF0, 3, 4, 5, 6, 7, 8, 0xF7, 0xF0, 0x0A, 9, 0xF7}, 0};
    SysExSender::SendChunked(portion, small, progress);
    std::vector<std::size_t> sizes;
    for (const auto& chunk : small.sent)
        sizes.push_back(chunk.bytes.size());
    EXPECT_EQ(sizes, (std::vector<std::size_t>{4, 6, 4, 2}));
    EXPECT_TRUE(clock.Sleeps().empty());
}

TEST_F(PortionSenders, OneShotSendsTheWholePortionAtOnce) {
    Update::SysExPortion portion{Messages(3, 512 * 1024), 0};
    OneShotSysExSender sender(port);
    EXPECT_TRUE(sender.SendPortion(portion, progress));
    ASSERT_EQ(port.sent.size(), 1u);
    EXPECT_EQ(port.sent[0].data, portion.data.data());
    EXPECT_EQ(port.sent[0].bytes.size(), portion.data.size());
    EXPECT_EQ(progress.Lines(), (Lines{"busy", "status: Sending update (1.5MB). Please wait...",
                                       "status: Sent 1.5MB", "progress 1"}));
    EXPECT_EQ(Traces(), (Lines{"SysExSender", "SendPortion\n"}));
}

// A chunk the port cannot send ends the portion there: nothing after it is sent, and neither the
// fraction 1.0 nor the final "Sent" line is reported.
class FailedChunk : public PortionSenders, public ::testing::WithParamInterface<int> {};

TEST_P(FailedChunk, StopsThePortionAtThatChunk) {
    const int failing = GetParam();
    ScriptedMidiPort smallChunks(1000, 1000);
    Update::SysExPortion portion{Messages(3, 1000), 0};
    smallChunks.sendGoesThrough = [&](const unsigned char* data, std::size_t) {
        return data != portion.data.data() + failing * 1000;
    };
    EXPECT_FALSE(SysExSender::SendChunked(portion, smallChunks, progress));
    EXPECT_EQ(smallChunks.sent.size(), static_cast<std::size_t>(failing));
    EXPECT_EQ(smallChunks.sendFailures, 1);
    EXPECT_EQ(progress.Statuses().back(), "Sent " + BytesToHuman(static_cast<unsigned int>(failing * 1000)) +
                                              " of " + BytesToHuman(3000));
    EXPECT_EQ(CountOf(progress.Lines(), "progress 1"), 0);
}

INSTANTIATE_TEST_SUITE_P(EveryChunk, FailedChunk, ::testing::Values(0, 1, 2));

TEST_F(PortionSenders, OneShotSenderAnswersAFailedSend) {
    Update::SysExPortion portion{Messages(2, 100), 0};
    port.sendGoesThrough = [](const unsigned char*, std::size_t) { return false; };
    OneShotSysExSender oneShot(port);
    EXPECT_FALSE(oneShot.SendPortion(portion, progress));
    EXPECT_EQ(progress.Statuses(), (Lines{"Sending update (200 bytes). Please wait..."}));
}
