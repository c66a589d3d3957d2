// Catches: a wrong status byte, flag bit or message size; a wrong poll interval or time-out, busy run
// (201 answers) or silence count (six polls); a wrong identity field, base-22 version or text rule; a
// read past the end of an identity reply cut short.
#include "DeviceStatus.h"
#include "ScriptedMidiPort.h"

TEST_F(EngineTest, StatusMessageFlagsAndFraming) {
    // status -> flags: the error bits (0F) win over busy (20); the other bits mean nothing.
    for (const auto& [status, flags] :
         {std::pair{1, Bytes{0x00, 0x10, 0x40, 0x80, 0xD0}}, std::pair{2, Bytes{0x20}},
          std::pair{3, Bytes{0x21, 0x01, 0x02, 0x04, 0x08, 0x0F}}})
        for (unsigned char flag : flags)
            EXPECT_EQ(CheckSysExUpdateStatus(StatusMessage(flag)), status) << int(flag);
    for (std::size_t i = 0; i < 5; ++i) {
        Bytes other = busyMessage;
        other[i] ^= 0x01;
        EXPECT_EQ(CheckSysExUpdateStatus(other), 0) << "header byte " << i;
    }
    Bytes longer = busyMessage;
    longer.push_back(0xF7);
    EXPECT_EQ(CheckSysExUpdateStatus(longer), 0) << "14 bytes";
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
    EXPECT_TRUE(progress.lines.empty());
}

TEST(WaitForUpdateToFinish, StatusTimeAndTexts) {
    // The device's answer at each poll of 500 ms (b busy, a accepted, r refused, o another message,
    // . nothing; four make a silent poll of 2 s), then silence -> status, time, "Waiting" shown
    const std::vector<Bytes> answers{busyMessage, acceptedMessage, refusedMessage, Bytes{0xF0, 0x01, 0xF7},
                                     Bytes{}};
    const std::vector<std::tuple<const char*, std::string, int, std::uint64_t, bool>> rows{
        {"refused, after a quiet tick", ".ra", 3, 1000, false},
        {"a silence restarts the run of 201 busy answers",
         std::string(200, 'b') + "...." + std::string(200, 'b') + "a", 1, 401 * 500 + 2000, true},
        {"six silences over the whole wait", "b....b....b....b....b....b....a", 0, 6 * 2500, true},
        {"other messages count as silence", "oooooo", 0, 6 * 500, false},
    };
    for (const auto& [name, script, status, ms, busyShown] : rows) {
        Rig rig;
        std::size_t tick = 0;
        rig.clock.AddObserver([&, script = script](std::uint64_t) {
            rig.port.Receive(tick < script.size() ? answers.at(std::string("baro.").find(script[tick++]))
                                                  : Bytes{});
        });
        EXPECT_EQ(WaitForUpdateToFinish(rig.port, rig.progress), status) << name;
        EXPECT_EQ(rig.clock.NowMs(), ms) << name;
        const std::string waiting =
                              busyShown ? "Waiting for device to complete update installation... | " : "",
                          verdict = status == 1 ? "accepted update." : "not yet responded to update.";
        EXPECT_EQ(Join(rig.progress.lines, "status: "),
                  "Checking update status... | " + waiting + "Device has " + verdict)
            << name;
    }
}

TEST_F(EngineTest, IdentityReplyFieldsAndCutsShort) {
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
        {otherDevice, {"", "", "", ""}},
    };
    for (const auto& [reply, fields] : rows) {
        const DeviceInfo info = ParseDeviceEnquiryResponse(reply);
        EXPECT_EQ((Lines{info.manufacturer, info.family, info.version, info.text}), fields)
            << ToString(reply);
        // Cut short, each cut in an allocation of its own size (so the address sanitizer sees any read
        // past its end), it is unreadable.
        for (std::size_t size = 0; size + 1 < reply.size(); ++size)
            EXPECT_EQ(ParseDeviceEnquiryResponse(Bytes(reply.begin(), reply.begin() + size)).version, "")
                << size;
    }
}
