#include "Clock.h"
#include "DeviceStatus.h"
#include "Log.h"
#include "ScriptedMidiPort.h"
#include "Utilities.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>

namespace {

using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;

class DeviceStatusWait : public ScriptedPortTest {
protected:
    // The device answers once per poll interval: each time the clock advances, the next entry is
    // received (an empty entry means nothing that time). After the script it stays silent.
    void AnswerEachTick(std::vector<Bytes> answers) {
        auto script = std::make_shared<std::deque<Bytes>>(answers.begin(), answers.end());
        clock.AddObserver([this, script](std::uint64_t) {
            if (script->empty())
                return;
            Bytes next = std::move(script->front());
            script->pop_front();
            if (!next.empty())
                port.Receive(next);
        });
    }
};

// Four quiet ticks make one silent poll of 2000 ms.
void AddSilentPoll(std::vector<Bytes>& answers) {
    answers.insert(answers.end(), 4, Bytes{});
}

} // namespace

TEST(CheckSysExUpdateStatus, DecodesTheFlags) {
    ScopedLogCapture log;
    EXPECT_EQ(CheckSysExUpdateStatus(StatusMessage(0x00)), 1);
    EXPECT_EQ(CheckSysExUpdateStatus(StatusMessage(0x20)), 2);
    EXPECT_EQ(CheckSysExUpdateStatus(StatusMessage(0x21)), 3) << "the error bits win over busy";
    for (unsigned char flags : {0x01, 0x02, 0x04, 0x08, 0x0F})
        EXPECT_EQ(CheckSysExUpdateStatus(StatusMessage(flags)), 3) << int(flags);
    for (unsigned char flags : {0x10, 0x40, 0x80, 0xD0})
        EXPECT_EQ(CheckSysExUpdateStatus(StatusMessage(flags)), 1) << int(flags);
}

TEST(CheckSysExUpdateStatus, OnlyTheExactMessageIsAStatus) {
    ScopedLogCapture log;
    for (std::size_t i = 1; i <= 4; ++i) {
        Bytes wrong = StatusMessage(0x00);
        wrong[i] ^= 0x01;
        EXPECT_EQ(CheckSysExUpdateStatus(wrong), 0) << "byte " << i;
    }
    Bytes shorter = StatusMessage(0x20);
    shorter.erase(shorter.begin() + 5);
    EXPECT_EQ(CheckSysExUpdateStatus(shorter), 0);
    Bytes longer = StatusMessage(0x20);
    longer.insert(longer.begin() + 5, 0x00);
    EXPECT_EQ(CheckSysExUpdateStatus(longer), 0);
    EXPECT_EQ(CheckSysExUpdateStatus({}), 0);
    EXPECT_TRUE(TraceTexts(log.Lines()).empty());

    // Bytes 5 to 10 and the last byte are not examined.
    Bytes other = StatusMessage(0x20);
    for (std::size_t i = 5; i <= 10; ++i)
        other[i] = 0x7F;
    other[12] = 0x00;
    EXPECT_EQ(CheckSysExUpdateStatus(other), 2);
    EXPECT_EQ(TraceTexts(log.Lines()), Lines{"CheckSysExUpdateStatus: error=(0x20)\n"});
}

TEST_F(DeviceStatusWait, WaitingMessageIsUsedWithoutSleeping) {
    port.Receive(ErrorMessage());
    EXPECT_EQ(GetUpdateStatus(port, 2000), 3);
    EXPECT_TRUE(clock.Sleeps().empty());
}

TEST_F(DeviceStatusWait, SilentPollSleepsFourTimes) {
    EXPECT_EQ(GetUpdateStatus(port, 2000), 0);
    EXPECT_EQ(clock.Sleeps(), std::vector<std::uint64_t>(4, 500));
    EXPECT_EQ(Traces(), Lines(4, "GetUpdateStatus: sysEx=(none)\n"));
}

TEST_F(DeviceStatusWait, ZeroTimeOutLooksOnce) {
    EXPECT_EQ(GetUpdateStatus(port, 0), 0);
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ(port.lastSysExCalls, 1);
}

TEST_F(DeviceStatusWait, MessageArrivingDuringThePollEndsIt) {
    port.ReceiveAt(clock, 1200, AcceptedMessage());
    EXPECT_EQ(GetUpdateStatus(port, 2000), 1);
    EXPECT_EQ(clock.NowMs(), 1500u);
    EXPECT_EQ(Traces(),
              (Lines{"GetUpdateStatus: sysEx=(none)\n", "GetUpdateStatus: sysEx=(none)\n",
                     "GetUpdateStatus: sysEx=(something)\n", "CheckSysExUpdateStatus: error=(0x00)\n"}));
}

TEST_F(DeviceStatusWait, UnrecognisedMessageEndsThePollAsNoStatus) {
    port.ReceiveAt(clock, 300, {0xF0, 0x7E, 0x00, 0xF7});
    EXPECT_EQ(GetUpdateStatus(port, 2000), 0);
    EXPECT_EQ(clock.NowMs(), 500u);
}

TEST_F(DeviceStatusWait, LostDeviceIsDisconnectedAndThePollGoesOn) {
    port.connectedAnswers = {true, false};
    EXPECT_EQ(GetUpdateStatus(port, 2000), 0);
    EXPECT_EQ(port.disconnectCalls, 1);
    EXPECT_EQ(clock.NowMs(), 2000u);
}

TEST_F(DeviceStatusWait, TimeOutSurvivesTheMillisecondCountWrapping) {
    VirtualClock nearWrap(0xFFFFFFFFull - 700);
    ScopedClock useNearWrap(nearWrap);
    EXPECT_EQ(GetUpdateStatus(port, 2000), 0);
    EXPECT_EQ(nearWrap.Sleeps(), std::vector<std::uint64_t>(4, 500));
}

TEST_F(DeviceStatusWait, NotConnectedEndsTheWaitAtOnceWithoutReports) {
    port.connected = false;
    EXPECT_EQ(WaitForUpdateToFinish(port, progress), 0);
    EXPECT_TRUE(progress.reports.empty());
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ(Traces(), (Lines{"WaitForUpdateToFinish >>\n", "WaitForUpdateToFinish: not connected\n"}));
}

TEST_F(DeviceStatusWait, BusyThreeTimesThenAccepted) {
    AnswerEachTick({BusyMessage(), BusyMessage(), BusyMessage(), AcceptedMessage()});
    EXPECT_EQ(WaitForUpdateToFinish(port, progress), 1);
    EXPECT_EQ(progress.Lines(), (Lines{"status: Checking update status...", "busy",
                                       "status: Waiting for device to complete update installation...",
                                       "busy", "status: Device has accepted update.", "progress 1"}));
    EXPECT_EQ(clock.NowMs(), 2000u);
    EXPECT_EQ(Traces().front(), "WaitForUpdateToFinish >>\n");
    EXPECT_EQ(Traces().back(), "WaitForUpdateToFinish << (1)\n");
}

TEST_F(DeviceStatusWait, ErrorEndsTheWaitAtOnce) {
    AnswerEachTick({Bytes{}, ErrorMessage(), AcceptedMessage()});
    EXPECT_EQ(WaitForUpdateToFinish(port, progress), 3);
    EXPECT_EQ(progress.Lines(), (Lines{"status: Checking update status...", "busy",
                                       "status: Device has not yet responded to update.", "progress 1"}));
    EXPECT_EQ(clock.NowMs(), 1000u);
    EXPECT_EQ(Traces().back(), "WaitForUpdateToFinish << (3)\n");
}

TEST_F(DeviceStatusWait, SilentDeviceIsGivenSixPolls) {
    EXPECT_EQ(WaitForUpdateToFinish(port, progress), 0);
    EXPECT_EQ(clock.NowMs(), 12000u);
    EXPECT_EQ(clock.Sleeps().size(), 24u);
    EXPECT_EQ(progress.Lines(), (Lines{"status: Checking update status...", "busy",
                                       "status: Device has not yet responded to update.", "progress 1"}));
}

TEST_F(DeviceStatusWait, DeviceBusyForEverIsGivenUpAfter201Answers) {
    AnswerEachTick(std::vector<Bytes>(1000, BusyMessage()));
    EXPECT_EQ(WaitForUpdateToFinish(port, progress), 2);
    EXPECT_EQ(clock.NowMs(), 201u * 500u);
    EXPECT_EQ(CountOf(Traces(), "CheckSysExUpdateStatus: error=(0x20)\n"), 201);
    EXPECT_EQ(progress.Lines(),
              (Lines{"status: Checking update status...", "busy",
                     "status: Waiting for device to complete update installation...", "busy",
                     "status: Device has not yet responded to update.", "progress 1"}));
}

TEST_F(DeviceStatusWait, SilenceRestartsTheBusyRun) {
    std::vector<Bytes> answers(200, BusyMessage());
    AddSilentPoll(answers);
    answers.insert(answers.end(), 200, BusyMessage());
    answers.push_back(AcceptedMessage());
    AnswerEachTick(answers);
    EXPECT_EQ(WaitForUpdateToFinish(port, progress), 1);
    EXPECT_EQ(clock.NowMs(), 401u * 500u + 2000u);
    EXPECT_EQ(CountOf(progress.Statuses(), "Waiting for device to complete update installation..."), 1);
}

TEST_F(DeviceStatusWait, SilencesCountOverTheWholeWait) {
    // Busy answers between the silent polls do not reset the count: the sixth silence ends it.
    std::vector<Bytes> answers;
    for (int i = 0; i < 6; ++i) {
        answers.push_back(BusyMessage());
        AddSilentPoll(answers);
    }
    answers.push_back(AcceptedMessage());
    AnswerEachTick(answers);
    EXPECT_EQ(WaitForUpdateToFinish(port, progress), 0);
    EXPECT_EQ(clock.NowMs(), 6u * (500u + 2000u));
    EXPECT_EQ(progress.Statuses().back(), "Device has not yet responded to update.");
}

TEST_F(DeviceStatusWait, UnrecognisedMessagesCountAsSilence) {
    AnswerEachTick(std::vector<Bytes>(6, Bytes{0xF0, 0x01, 0xF7}));
    EXPECT_EQ(WaitForUpdateToFinish(port, progress), 0);
    EXPECT_EQ(clock.NowMs(), 6u * 500u);
}

namespace {

// An identity reply: header, manufacturer ID, family (2 bytes), model (2 bytes), version A B C D,
// five unread bytes, 16 text bytes, F7.
Bytes IdentityReply(Bytes manufacturer, Bytes version, Bytes text) {
    Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02};
    reply.insert(reply.end(), manufacturer.begin(), manufacturer.end());
    reply.insert(reply.end(), {0x06, 0x00, 0x00});
    reply.insert(reply.end(), version.begin(), version.end());
    reply.insert(reply.end(), {0x00, 0x00, 0x00, 0x00, 0x00});
    text.resize(16, 0x00);
    reply.insert(reply.end(), text.begin(), text.end());
    reply.push_back(0xF7);
    return reply;
}

const Bytes kelvaText{'K', 'e', 'l', 'v', 'a'};

} // namespace

TEST(ParseDeviceEnquiryResponse, ThreeByteManufacturerId) {
    const DeviceInfo info =
        ParseDeviceEnquiryResponse(IdentityReply({0x00, 0x01, 0x02}, {0x00, 0x01, 0x00, 0x05}, kelvaText));
    EXPECT_EQ(info.manufacturer, "00 01 02 ");
    EXPECT_EQ(info.family, "06 ");
    EXPECT_EQ(info.version, "1.05");
    EXPECT_EQ(info.text, "Kelva");
}

TEST(ParseDeviceEnquiryResponse, OneByteManufacturerId) {
    const DeviceInfo info =
        ParseDeviceEnquiryResponse(IdentityReply({0x41}, {0x00, 0x02, 0x01, 0x07}, kelvaText));
    EXPECT_EQ(info.manufacturer, "41 ");
    EXPECT_EQ(info.family, "06 ");
    EXPECT_EQ(info.version, "2.17");
    EXPECT_EQ(info.text, "Kelva");
}

TEST(ParseDeviceEnquiryResponse, NumberBeforeThePointIsBaseTwentyTwo) {
    EXPECT_EQ(
        ParseDeviceEnquiryResponse(IdentityReply({0x00, 0x01, 0x02}, {0x01, 0x03, 0x00, 0x05}, {})).version,
        "25.05");
    EXPECT_EQ(ParseDeviceEnquiryResponse(IdentityReply({0x41}, {0x7F, 0x7F, 0x7F, 0x7F}, {})).version,
              "2921.127127");
}

TEST(ParseDeviceEnquiryResponse, TextEndsAtTheFirstByteOutsideSevenBits) {
    const Bytes manufacturer{0x41};
    const Bytes version{0, 1, 0, 5};
    EXPECT_EQ(
        ParseDeviceEnquiryResponse(IdentityReply(manufacturer, version, {0x41, 0x42, 0x43, 0x80, 0x44})).text,
        "ABC");
    EXPECT_EQ(ParseDeviceEnquiryResponse(IdentityReply(manufacturer, version, {0x41, 0x7F, 0x44})).text, "A");
    EXPECT_EQ(ParseDeviceEnquiryResponse(IdentityReply(manufacturer, version, {0xFF, 0x44})).text, "");
    EXPECT_EQ(ParseDeviceEnquiryResponse(IdentityReply(manufacturer, version, {0x41, 0x00, 0x44})).text, "A");
    EXPECT_EQ(ParseDeviceEnquiryResponse(IdentityReply(manufacturer, version, {0x7E, 0x20, 0x01})).text,
              std::string("~ \x01"));
}

TEST(ParseDeviceEnquiryResponse, TextIsAtMostSixteenCharacters) {
    Bytes reply = IdentityReply({0x41}, {0, 1, 0, 5}, Bytes(16, 'x'));
    reply.back() = 'y'; // where the F7 was: no terminator after the sixteen characters
    EXPECT_EQ(ParseDeviceEnquiryResponse(reply).text, std::string(16, 'x'));
}

TEST(ParseDeviceEnquiryResponse, UnreadableRepliesGiveEmptyFields) {
    ScopedLogCapture log;
    const auto expectEmpty = [](const DeviceInfo& info) {
        EXPECT_EQ(info.manufacturer, "");
        EXPECT_EQ(info.family, "");
        EXPECT_EQ(info.version, "");
        EXPECT_EQ(info.text, "");
    };
    expectEmpty(ParseDeviceEnquiryResponse({0xF0, 0x7E, 0x00, 0x06}));
    Bytes otherDevice = IdentityReply({0x41}, {0, 1, 0, 5}, kelvaText);
    otherDevice[2] = 0x7F;
    expectEmpty(ParseDeviceEnquiryResponse(otherDevice));
    EXPECT_EQ(TraceTexts(log.Lines()), (Lines{"ParseDeviceEnquiryResponse: MIDI sysex header short\n",
                                              "ParseDeviceEnquiryResponse: MIDI sysex header wrong\n"}));
}

TEST(ParseDeviceEnquiryResponse, ReplyTooShortForItsFieldsIsNeverReadPastItsEnd) {
    // The text's last byte is at k + 27: 36 bytes are needed with a three-byte ID, 34 with one.
    // Copies of exactly the needed size live in their own allocations, so any read past the end
    // is caught by the address sanitizer build.
    for (const Bytes& manufacturer : {Bytes{0x00, 0x01, 0x02}, Bytes{0x41}}) {
        const Bytes full = IdentityReply(manufacturer, {0, 1, 0, 5}, kelvaText);
        const std::size_t needed = manufacturer.size() + 5 + 28;
        ASSERT_EQ(full.size(), needed + 1);
        EXPECT_EQ(ParseDeviceEnquiryResponse(Bytes(full.begin(), full.begin() + needed)).version, "1.05");
        for (std::size_t size = 5; size < needed; ++size) {
            ScopedLogCapture log;
            const DeviceInfo info = ParseDeviceEnquiryResponse(Bytes(full.begin(), full.begin() + size));
            EXPECT_EQ(info.version, "") << size;
            EXPECT_EQ(info.manufacturer, "") << size;
            EXPECT_EQ(
                TraceTexts(log.Lines()),
                Lines{Format("ParseDeviceEnquiryResponse: MIDI sysex reply too short (%zu bytes)\n", size)});
        }
    }
}

TEST(ToStringOfInts, TwoUpperCaseDigitsAndABlankEach) {
    EXPECT_EQ(ToString(std::vector<int>{}), "");
    EXPECT_EQ(ToString(std::vector<int>{0x00, 0x01, 0x02}), "00 01 02 ");
    EXPECT_EQ(ToString(std::vector<int>{0xAB, 0x7E}), "AB 7E ");
    EXPECT_EQ(ToString(std::vector<int>{0x1234}), "1234 ");
}
