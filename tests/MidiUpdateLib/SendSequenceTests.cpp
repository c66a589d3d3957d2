#include "Clock.h"
#include "Log.h"
#include "ScriptedMidiPort.h"
#include "SysExSender.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace {

using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;

const std::string kelva = "Ostrel Kelva";
const std::string errorText =
    "There was an error sending the update file.\nPlease restart the device and try again.";
const std::string notConfirmedText =
    "The update has been sent, but the device has not yet confirmed that the update process was successful.";

Bytes Messages(std::size_t total, std::size_t size) {
    Bytes bytes;
    while (bytes.size() < total) {
        bytes.push_back(0xF0);
        bytes.insert(bytes.end(), size - 2, 0x11);
        bytes.push_back(0xF7);
    }
    return bytes;
}

// An identity reply with a one-byte manufacturer ID whose version reads A * 22 + B . C D.
Bytes IdentityReply(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x41, 0x06, 0x00, 0x00, a, b, c, d, 0, 0, 0, 0, 0};
    reply.insert(reply.end(), 16, 'K');
    reply.push_back(0xF7);
    return reply;
}

class SendSequence : public ScriptedPortTest {
protected:
    SimpleSysExSender sender{port};
    Update update{Bytes{}, kelva, "", ""};

    SendSequence() { update.version = {1, 5}; }

    void AddPortion(std::size_t size, unsigned int delay = 0, std::size_t messageSize = 500) {
        update.sysExPortions.push_back({Messages(size, messageSize), delay});
    }

    // The device answers each portion, as soon as its last byte arrives, with the status message
    // for the code given for that portion (0: no answer).
    void AnswerPortions(std::vector<int> codes) {
        port.onSend = [this, codes](const unsigned char* data, std::size_t size) {
            for (std::size_t i = 0; i < update.sysExPortions.size() && i < codes.size(); ++i) {
                const Bytes& portion = update.sysExPortions[i].data;
                if (data + size != portion.data() + portion.size())
                    continue;
                static const std::map<int, unsigned char> flags{{1, 0x00}, {2, 0x20}, {3, 0x01}};
                if (codes[i] != 0)
                    port.Receive(StatusMessage(flags.at(codes[i])));
            }
        };
    }

    // The device goes away when the port first lets go of it.
    void VanishAfterFirstPortion() {
        port.onDisconnect = [this] { port.connected = false; };
    }

    std::string Verdict() const { return progress.reports.back().ToString(); }
    std::vector<std::uint64_t> TimesOf(const std::string& status) const {
        std::vector<std::uint64_t> times;
        for (const auto& report : progress.reports)
            if (report.kind == Report::status && report.text == status)
                times.push_back(report.atMs);
        return times;
    }
};

} // namespace

TEST_F(SendSequence, OnePortionThatTheDeviceAccepts) {
    AddPortion(1000, 250, 1000);
    AnswerPortions({1});
    sender.Send(update, progress);
    EXPECT_EQ(progress.Lines(), (Lines{
                                    "progress 0",
                                    "busy",
                                    "status: Started update",
                                    "status: Looking for Ostrel Kelva to update...",
                                    "busy",
                                    // the portion
                                    "busy",
                                    "status: Sent 0 bytes of 1000 bytes",
                                    "progress 1",
                                    "status: Sent 1000 bytes of 1000 bytes",
                                    // the device's status
                                    "status: Checking update status...",
                                    "busy",
                                    "status: Device has accepted update.",
                                    "progress 1",
                                    // the pause
                                    "status: Waiting for device to become ready for more data...",
                                    "busy",
                                    "status: Waiting for device to become active...",
                                    "progress 1",
                                    // the verdict
                                    "progress 1",
                                    "status: MIDI update sent successfully.",
                                    "completed: The 'Ostrel Kelva' was updated sucessfully to version 1.05.",
                                }));
    EXPECT_TRUE(port.identityRequests.empty());
    EXPECT_EQ(port.disconnectCalls, 1);
    EXPECT_EQ(clock.NowMs(), 250u);
    EXPECT_EQ(Traces().front(), "SysExSender");
    EXPECT_EQ(Traces()[1], "Send(update,sender,progress)\n");
    EXPECT_EQ(CountOf(Traces(), "Send: Disconnecting\n"), 1);
}

TEST_F(SendSequence, ThreePortionsShareTheBar) {
    ScriptedMidiPort smallChunks(500, 500);
    SimpleSysExSender smallSender(smallChunks);
    port.onSend = nullptr;
    AddPortion(1000);
    AddPortion(2000);
    AddPortion(1000);
    // Every portion is accepted when its last chunk arrives.
    smallChunks.onSend = [this, &smallChunks](const unsigned char* data, std::size_t size) {
        for (const auto& portion : update.sysExPortions)
            if (data + size == portion.data.data() + portion.data.size())
                smallChunks.Receive(AcceptedMessage());
    };
    smallSender.Send(update, progress);

    EXPECT_EQ(progress.Fractions(), (std::vector<float>{0.0f,                        // start
                                                        0.125f, 0.25f, 0.25f,        // portion 1
                                                        0.375f, 0.5f, 0.625f, 0.75f, // portion 2
                                                        0.75f,                       //
                                                        0.875f, 1.0f, 1.0f,          // portion 3
                                                        1.0f}));
    Lines portionLines;
    for (const auto& status : progress.Statuses())
        if (status.rfind("Looking for", 0) == 0 || status.rfind("Sending chunk", 0) == 0)
            portionLines.push_back(status);
    EXPECT_EQ(portionLines, (Lines{"Looking for Ostrel Kelva to update...", "Sending chunk #2 of 3",
                                   "Sending chunk #3 of 3"}));
    EXPECT_EQ(smallChunks.disconnectCalls, 3);
    EXPECT_EQ(Verdict(), "completed: The 'Ostrel Kelva' was updated sucessfully to version 1.05.");
}

TEST_F(SendSequence, UpdateWithoutPortions) {
    sender.Send(update, progress);
    EXPECT_EQ(progress.Lines(),
              (Lines{"progress 0", "busy", "status: Started update", "progress 1",
                     "status: MIDI update sent successfully.", "status: Verifying update status...",
                     "completed: The update has been sent."}));
    ASSERT_EQ(port.identityRequests.size(), 1u);
    EXPECT_EQ(port.identityRequests[0].timeoutMs, 5000u);
    EXPECT_EQ(port.identityRequests[0].request, (Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}));
}

TEST_F(SendSequence, PortionsWithoutBytesForwardNotANumber) {
    update.sysExPortions.push_back({});
    port.Receive(AcceptedMessage());
    sender.Send(update, progress);
    const auto fractions = progress.Fractions();
    ASSERT_EQ(fractions.size(), 4u);
    EXPECT_EQ(fractions.front(), 0.0f);
    EXPECT_TRUE(std::isnan(fractions[1])) << "the portion's own 1.0";
    EXPECT_TRUE(std::isnan(fractions[2])) << "the status wait's 1.0";
    EXPECT_EQ(fractions.back(), 1.0f);
    EXPECT_EQ(Verdict(), "completed: The 'Ostrel Kelva' was updated sucessfully to version 1.05.");
}

// --- the verdict table ---

TEST_F(SendSequence, AcceptedGivesSuccessWithoutAskingTheDevice) {
    AddPortion(1000);
    AnswerPortions({1});
    port.identityReply = IdentityReply(0, 1, 0, 4);
    sender.Send(update, progress);
    EXPECT_EQ(Verdict(), "completed: The 'Ostrel Kelva' was updated sucessfully to version 1.05.");
    EXPECT_TRUE(port.identityRequests.empty());
    EXPECT_EQ(CountOf(progress.Statuses(), "Verifying update status..."), 0);
}

TEST_F(SendSequence, RefusedLastPortionIsAnError) {
    AddPortion(1000, 300);
    AnswerPortions({3});
    sender.Send(update, progress);
    const Lines lines = progress.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "status: MIDI update sent successfully.");
    EXPECT_EQ(lines.back(), "error: " + errorText);
    EXPECT_EQ(progress.CountOf(Report::error) + progress.CountOf(Report::completed), 1);
    EXPECT_TRUE(port.identityRequests.empty());
    // The pause is taken although the device refused the portion.
    EXPECT_EQ(CountOf(progress.Statuses(), "Waiting for device to become ready for more data..."), 1);
    EXPECT_EQ(clock.NowMs(), 300u);
}

TEST_F(SendSequence, SilentDeviceWithoutIdentityReply) {
    AddPortion(1000, 100);
    sender.Send(update, progress);
    EXPECT_EQ(Verdict(), "completed: The update has been sent.");
    EXPECT_EQ(progress.Statuses().back(), "Verifying update status...");
    EXPECT_EQ(port.identityRequests.size(), 1u);
    // Six silent polls, then the pause.
    EXPECT_EQ(clock.NowMs(), 12000u + 100u);
    EXPECT_EQ(TimesOf("Waiting for device to become active...").front(), 12100u);
}

TEST_F(SendSequence, BusyDeviceWithAShortIdentityReply) {
    AddPortion(1000);
    clock.AddObserver([this](std::uint64_t) { port.Receive(BusyMessage()); });
    port.identityReply = {0xF0, 0x7E, 0x00, 0xF7};
    sender.Send(update, progress);
    EXPECT_EQ(Verdict(), "completed: " + notConfirmedText);
    EXPECT_EQ(CountOf(Traces(), "WaitForUpdateToFinish << (2)\n"), 1);
}

TEST_F(SendSequence, IdentityReplyWithTheUpdatesVersion) {
    AddPortion(1000);
    port.identityReply = IdentityReply(0, 1, 0, 5);
    sender.Send(update, progress);
    EXPECT_EQ(Verdict(), "completed: The 'Ostrel Kelva' was updated sucessfully to version 1.05.");
}

TEST_F(SendSequence, IdentityReplyForAnUpdateOfUnknownVersion) {
    AddPortion(1000);
    update.version = unknownVersion;
    port.identityReply = IdentityReply(0, 1, 0, 5);
    sender.Send(update, progress);
    EXPECT_EQ(Verdict(),
              "completed: The update has been sent to the device sucessfully.\nIt is now at version "
              "firmware 1.05.");
}

TEST_F(SendSequence, IdentityReplyWithAnotherVersionIsAnError) {
    AddPortion(1000);
    update.version = {1, 6};
    port.identityReply = IdentityReply(0, 1, 0, 5);
    sender.Send(update, progress);
    EXPECT_EQ(Verdict(),
              "error: The 'Ostrel Kelva' firmware version is now 1.05.\nThe update file version was "
              "1.06.\nThe update process did not complete successfully.");
    EXPECT_EQ(progress.CountOf(Report::completed), 0);
}

TEST_F(SendSequence, IdentityReplyFromAnotherDeviceIdIsNotAConfirmation) {
    AddPortion(1000);
    port.identityReply = IdentityReply(0, 1, 0, 5);
    port.identityReply[2] = 0x7F;
    sender.Send(update, progress);
    EXPECT_EQ(Verdict(), "completed: " + notConfirmedText);
}

TEST_F(SendSequence, VersionTextsAreComparedExactly) {
    // 1.5 (A=0, B=1, C=5, D=0 reads "1.50") is not 1.05.
    AddPortion(1000);
    port.identityReply = IdentityReply(0, 1, 5, 0);
    sender.Send(update, progress);
    EXPECT_EQ(progress.reports.back().kind, Report::error);
}

// --- an absent device and the retries ---

TEST_F(SendSequence, AbsentDeviceForOnePortion) {
    AddPortion(1000);
    port.connected = false;
    sender.Send(update, progress);
    EXPECT_EQ(Verdict(), "error: " + errorText);
    EXPECT_EQ(clock.NowMs(), 6u * 15000u);
    EXPECT_EQ(progress.CountOf(Report::busy), 1 + 6);
    // Nothing reached the device: no "sent successfully" before the verdict.
    EXPECT_EQ(progress.Statuses(), (Lines{"Started update", "Looking for Ostrel Kelva to update..."}));
    EXPECT_TRUE(port.sent.empty());
    EXPECT_EQ(port.permitCalls, 6);
    EXPECT_EQ(CountOf(Traces(), "Still Failed to find MIDI port.\n"), 6);
}

TEST_F(SendSequence, DeviceVanishesAfterTheFirstOfTwoPortions) {
    AddPortion(1000);
    AddPortion(1000);
    AnswerPortions({1, 1});
    VanishAfterFirstPortion();
    sender.Send(update, progress);

    const std::string retry = "Could not send chunk #2 of 2. Retrying...";
    EXPECT_EQ(CountOf(progress.Statuses(), retry), 5);
    EXPECT_EQ(TimesOf(retry), (std::vector<std::uint64_t>{10000, 25000, 40000, 55000, 70000}));
    EXPECT_EQ(clock.NowMs(), 5u * 15000u);
    EXPECT_EQ(CountOf(progress.Statuses(), "Sending chunk #2 of 2"), 1);
    EXPECT_EQ(port.sent.size(), 1u);
    const Lines statuses = progress.Statuses();
    EXPECT_EQ(Lines(statuses.end() - 2, statuses.end()), (Lines{retry, retry}));
    EXPECT_EQ(Verdict(), "error: " + errorText);
}

TEST_F(SendSequence, RetriesAreSharedByTheWholeUpdate) {
    AddPortion(1000);
    AddPortion(1000);
    AddPortion(1000);
    AnswerPortions({1, 1, 1});
    // Absent for three attempts of twelve looks each, then present for the first portion only.
    port.connectedAnswers = std::vector<bool>(36, false);
    port.connected = true;
    VanishAfterFirstPortion();
    sender.Send(update, progress);

    EXPECT_EQ(port.sent.size(), 1u);
    EXPECT_EQ(port.permitCalls, 3 + 2 + 1) << "attempts: 4 for the first portion, 2 and 1 after it";
    EXPECT_EQ(clock.NowMs(), 6u * 15000u);
    Lines portionLines;
    for (const auto& status : progress.Statuses())
        if (status != "Started update" && status.rfind("Sent ", 0) != 0 && status.rfind("Device", 0) != 0 &&
            status != "Checking update status...")
            portionLines.push_back(status);
    EXPECT_EQ(portionLines,
              (Lines{"Looking for Ostrel Kelva to update...", "Sending chunk #2 of 3",
                     "Could not send chunk #2 of 3. Retrying...", "Could not send chunk #2 of 3. Retrying...",
                     "Looking for Ostrel Kelva to update...", "Could not send chunk #3 of 3. Retrying..."}));
    EXPECT_EQ(Verdict(), "error: " + errorText);
}

// --- an earlier portion's failure is not hidden by a later success ---

TEST_F(SendSequence, EarlierPortionRefusedThenLastAcceptedIsAnError) {
    AddPortion(1000);
    AddPortion(1000);
    AnswerPortions({3, 1});
    sender.Send(update, progress);
    EXPECT_EQ(port.sent.size(), 2u) << "the sequence goes on after a refused portion";
    EXPECT_EQ(Verdict(), "error: " + errorText);
    EXPECT_EQ(progress.CountOf(Report::completed), 0);
}

TEST_F(SendSequence, EarlierPortionGivenUpThenLastAcceptedIsAnError) {
    AddPortion(1000);
    AddPortion(1000);
    AnswerPortions({1, 1});
    // Absent for the first portion's six attempts; back for the second portion's one attempt.
    port.connectedAnswers = std::vector<bool>(72, false);
    sender.Send(update, progress);
    ASSERT_EQ(port.sent.size(), 1u);
    EXPECT_EQ(port.sent[0].data, update.sysExPortions[1].data.data());
    EXPECT_EQ(CountOf(progress.Statuses(), "Looking for Ostrel Kelva to update..."), 2);
    EXPECT_EQ(Verdict(), "error: " + errorText);
}

TEST_F(SendSequence, EarlierPortionSilentThenLastAcceptedSucceeds) {
    AddPortion(1000);
    AddPortion(1000);
    AnswerPortions({0, 1});
    sender.Send(update, progress);
    EXPECT_EQ(Verdict(), "completed: The 'Ostrel Kelva' was updated sucessfully to version 1.05.");
}

// --- sends that fail ---

// A port that fails at chunk k of every attempt (k = 0, 1, 2 of a three-chunk portion): the portion
// counts as not delivered, every attempt of the shared budget is spent on it, the reason is shown
// once, there is no status wait, and the verdict is the error without "sent successfully".
class FailingSends : public SendSequence, public ::testing::WithParamInterface<int> {};

TEST_P(FailingSends, EveryAttemptFailsAtTheSameChunk) {
    const int failing = GetParam();
    ScriptedMidiPort smallChunks(1000, 1000);
    SimpleSysExSender smallSender(smallChunks);
    AddPortion(3000, 250, 1000);
    const unsigned char* failingChunk = update.sysExPortions[0].data.data() + failing * 1000;
    smallChunks.sendGoesThrough = [&](const unsigned char* data, std::size_t) {
        return data != failingChunk;
    };
    smallChunks.failureText = "The port \"Ostrel Kelva MIDI 1\" is in use.";
    smallSender.Send(update, progress);

    EXPECT_EQ(smallChunks.sendFailures, 6);
    EXPECT_EQ(smallChunks.sent.size(), static_cast<std::size_t>(6 * failing));
    EXPECT_EQ(smallChunks.disconnectCalls, 6);
    EXPECT_EQ(CountOf(progress.Statuses(), smallChunks.failureText), 1);
    EXPECT_EQ(CountOf(progress.Statuses(), "Checking update status..."), 0);
    EXPECT_EQ(CountOf(progress.Statuses(), "Waiting for device to become ready for more data..."), 0);
    EXPECT_EQ(CountOf(progress.Statuses(), "MIDI update sent successfully."), 0);
    EXPECT_EQ(clock.NowMs(), 6u * 5000u) << "each failed attempt waits the retry pause only";
    EXPECT_EQ(Verdict(), "error: " + errorText);
}

INSTANTIATE_TEST_SUITE_P(EveryChunk, FailingSends, ::testing::Values(0, 1, 2));

TEST_F(SendSequence, ASendThatFailsOnceIsRetriedAndTheUpdateCompletes) {
    AddPortion(1000);
    AddPortion(1000);
    AnswerPortions({1, 1});
    // The second portion's first attempt fails; its second goes through.
    int secondPortionSends = 0;
    port.sendGoesThrough = [&](const unsigned char* data, std::size_t) {
        return data != update.sysExPortions[1].data.data() || ++secondPortionSends > 1;
    };
    sender.Send(update, progress);

    ASSERT_EQ(port.sent.size(), 2u);
    EXPECT_EQ(port.sent[1].data, update.sysExPortions[1].data.data());
    const Lines statuses = progress.Statuses();
    const auto reason = std::find(statuses.begin(), statuses.end(), port.failureText);
    ASSERT_NE(reason, statuses.end());
    EXPECT_EQ(*(reason + 1), "Could not send chunk #2 of 2. Retrying...");
    EXPECT_EQ(*(reason + 2), "Sent 0 bytes of 1000 bytes") << "the whole portion again";
    EXPECT_EQ(TimesOf(port.failureText), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(CountOf(statuses, "MIDI update sent successfully."), 1);
    EXPECT_EQ(Verdict(), "completed: The 'Ostrel Kelva' was updated sucessfully to version 1.05.");
}
