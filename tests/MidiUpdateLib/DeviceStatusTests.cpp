// Catches: a wrong status byte, flag bit or message size; a wrong poll interval or time-out, busy run
// (201 answers) or silence count (six polls); a wrong identity field, base-22 version or text rule; a
// read past the end of a short identity reply.
#include "DeviceStatus.h"
#include "ScriptedMidiPort.h"

#include <deque>

TEST(CheckSysExUpdateStatus, FlagsAndFraming) {
    ScopedLogCapture log;
    // The error bits (0F) win over busy (20); the other bits mean nothing.
    for (unsigned char flags : {0x00, 0x10, 0x40, 0x80, 0xD0})
        EXPECT_EQ(CheckSysExUpdateStatus(StatusMessage(flags)), 1) << int(flags);
    EXPECT_EQ(CheckSysExUpdateStatus(StatusMessage(0x20)), 2);
    for (unsigned char flags : {0x21, 0x01, 0x02, 0x04, 0x08, 0x0F})
        EXPECT_EQ(CheckSysExUpdateStatus(StatusMessage(flags)), 3) << int(flags);
    for (std::size_t i = 0; i < 5; ++i) {
        Bytes other = busyMessage;
        other[i] ^= 0x01;
        EXPECT_EQ(CheckSysExUpdateStatus(other), 0) << "header byte " << i;
    }
    Bytes unread = busyMessage; // bytes 5 to 10 and the last are not looked at
    std::fill(unread.begin() + 5, unread.begin() + 11, 0x7F);
    unread.back() = 0x00;
    EXPECT_EQ(CheckSysExUpdateStatus(unread), 2);
    unread.push_back(0xF7);
    EXPECT_EQ(CheckSysExUpdateStatus(unread), 0) << "14 bytes";
    EXPECT_EQ(CheckSysExUpdateStatus(Bytes(busyMessage.begin(), busyMessage.end() - 1)), 0);
}

TEST_F(EngineTest, PollsEveryHalfSecondUntilTheTimeOutAndNotWithoutADevice) {
    port.answers = {true, false}; // a device lost during the poll is let go, and the poll goes on
    EXPECT_EQ(GetUpdateStatus(port, 2000), 0);
    EXPECT_EQ(port.disconnects, 1);
    EXPECT_EQ(clock.Sleeps(), std::vector<std::uint64_t>(4, 500));
    EXPECT_EQ(GetUpdateStatus(port, 0), 0); // looks once
    port.Receive(refusedMessage);
    EXPECT_EQ(GetUpdateStatus(port, 2000), 3); // a waiting message is taken without a sleep
    EXPECT_EQ(clock.NowMs(), 2000u);
    VirtualClock nearWrap(0xFFFFFFFFull - 700); // the millisecond count wraps during the poll
    ScopedClock useNearWrap(nearWrap);
    EXPECT_EQ(GetUpdateStatus(port, 2000), 0);
    EXPECT_EQ(nearWrap.Sleeps(), std::vector<std::uint64_t>(4, 500));
    port.connected = false; // the status wait without a device ends at once, without reports
    EXPECT_EQ(WaitForUpdateToFinish(port, progress), 0);
    EXPECT_EQ(nearWrap.Sleeps().size(), 4u);
    EXPECT_TRUE(progress.lines.empty());
}

TEST(WaitForUpdateToFinish, StatusTimeAndTexts) {
    // What the device sends at each poll of 500 ms, as runs of the same answer (an empty one: nothing;
    // four make a silent poll of 2 s), then silence -> status, time, "Waiting for ... installation" shown
    using Script = std::vector<std::pair<int, Bytes>>;
    Script sixTimesBusyThenSilent;
    for (int i = 0; i < 6; ++i)
        sixTimesBusyThenSilent.insert(sixTimesBusyThenSilent.end(), {{1, busyMessage}, {4, {}}});
    sixTimesBusyThenSilent.push_back({1, acceptedMessage});
    const std::vector<std::tuple<const char*, Script, int, std::uint64_t, bool>> rows{
        {"busy three times, then accepted", Script{{3, busyMessage}, {1, acceptedMessage}}, 1, 2000, true},
        {"refused, after a quiet tick", Script{{1, {}}, {1, refusedMessage}, {1, acceptedMessage}}, 3, 1000,
         false},
        {"a silence restarts the run of 201 busy answers",
         Script{{200, busyMessage}, {4, {}}, {200, busyMessage}, {1, acceptedMessage}}, 1, 401 * 500 + 2000,
         true},
        {"six silences over the whole wait", sixTimesBusyThenSilent, 0, 6 * 2500, true},
        {"other messages count as silence", Script{{6, {0xF0, 0x01, 0xF7}}}, 0, 6 * 500, false},
    };
    for (const auto& [name, script, status, ms, busyShown] : rows) {
        Rig rig;
        std::deque<Bytes> ticks;
        for (const auto& [count, answer] : script)
            ticks.insert(ticks.end(), count, answer);
        rig.clock.AddObserver([&](std::uint64_t) {
            if (ticks.empty())
                return;
            rig.port.Receive(ticks.front());
            ticks.pop_front();
        });
        EXPECT_EQ(WaitForUpdateToFinish(rig.port, rig.progress), status) << name;
        EXPECT_EQ(rig.clock.NowMs(), ms) << name;
        Lines lines{"status: Checking update status...", "busy"};
        if (busyShown)
            lines.insert(lines.end(),
                         {"status: Waiting for device to complete update installation...", "busy"});
        lines.push_back(status == 1 ? "status: Device has accepted update."
                                    : "status: Device has not yet responded to update.");
        lines.push_back("progress 1");
        EXPECT_EQ(rig.progress.lines, lines) << name;
    }
}

TEST(ParseDeviceEnquiryResponse, Fields) {
    ScopedLogCapture log;
    const Bytes kelva{'K', 'e', 'l', 'v', 'a'}, v105{0, 1, 0, 5};
    Bytes sixteen = IdentityReply({0x41}, v105, Bytes(16, 'x'));
    sixteen.back() = 'y'; // no end after the sixteen characters
    Bytes otherDevice = IdentityReply({0x41}, v105, kelva);
    otherDevice[2] = 0x7F;
    // reply -> manufacturer, family, version, text; all empty when the reply is unreadable
    const std::vector<std::pair<Bytes, Lines>> rows{
        {IdentityReply({0x41}, {0, 2, 1, 7}, kelva), {"41 ", "06 ", "2.17", "Kelva"}},
        {IdentityReply({0x00, 0x2A, 0x3B}, {1, 3, 0, 5}, kelva), {"00 2A 3B ", "06 ", "25.05", "Kelva"}},
        {IdentityReply({0x41}, {0x7F, 0x7F, 0x7F, 0x7F}), {"41 ", "06 ", "2921.127127", ""}},
        {IdentityReply({0x41}, v105, {0x41, 0x42, 0x43, 0x80, 0x44}), {"41 ", "06 ", "1.05", "ABC"}},
        {IdentityReply({0x41}, v105, {0x41, 0x7F, 0x44}), {"41 ", "06 ", "1.05", "A"}},
        {IdentityReply({0x41}, v105, {0x41, 0x00, 0x44}), {"41 ", "06 ", "1.05", "A"}},
        {IdentityReply({0x41}, v105, {0x7E, 0x20, 0x01}), {"41 ", "06 ", "1.05", "~ \x01"}},
        {sixteen, {"41 ", "06 ", "1.05", std::string(16, 'x')}},
        {{0xF0, 0x7E, 0x00, 0x06}, {"", "", "", ""}},
        {otherDevice, {"", "", "", ""}},
    };
    for (const auto& [reply, fields] : rows) {
        const DeviceInfo info = ParseDeviceEnquiryResponse(reply);
        EXPECT_EQ((Lines{info.manufacturer, info.family, info.version, info.text}), fields)
            << ToString(reply);
    }
}

TEST(ParseDeviceEnquiryResponse, ReplyTooShortForItsFieldsIsNeverReadPastItsEnd) {
    // Each cut copy lives in an allocation of its own size, so the address sanitizer sees any read
    // past its end. The text's last byte is at 36 bytes with a three-byte ID, 34 with one.
    ScopedLogCapture log;
    for (const Bytes& id : {Bytes{0x00, 0x01, 0x02}, Bytes{0x41}}) {
        const Bytes full = IdentityReply(id, {0, 1, 0, 5});
        const std::size_t needed = id.size() + 33;
        EXPECT_EQ(ParseDeviceEnquiryResponse(Bytes(full.begin(), full.begin() + needed)).version, "1.05");
        for (std::size_t size = 0; size < needed; ++size)
            EXPECT_EQ(ParseDeviceEnquiryResponse(Bytes(full.begin(), full.begin() + size)).version, "")
                << size;
    }
}
