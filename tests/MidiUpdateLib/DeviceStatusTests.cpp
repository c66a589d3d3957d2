// Catches: a wrong status byte, flag bit or message size; a wrong poll interval or time-out, busy run
// (201 answers) or silence count (six polls); a wrong identity field, base-22 version or text rule; a
// read past the end of a short identity reply.
#include "DeviceStatus.h"
#include "ScriptedMidiPort.h"

#include <deque>

TEST(CheckSysExUpdateStatus, FlagsAndFraming) {
    ScopedLogCapture log;
    // flags -> status: error bits (0F) win over busy (20); the other bits mean nothing.
    for (auto [flags, status] : std::vector<std::pair<int, int>>{{0x00, 1},
                                                                 {0x10, 1},
                                                                 {0x40, 1},
                                                                 {0x80, 1},
                                                                 {0xD0, 1},
                                                                 {0x20, 2},
                                                                 {0x21, 3},
                                                                 {0x01, 3},
                                                                 {0x02, 3},
                                                                 {0x04, 3},
                                                                 {0x08, 3},
                                                                 {0x0F, 3}})
        EXPECT_EQ(CheckSysExUpdateStatus(StatusMessage(static_cast<unsigned char>(flags))), status) << flags;
    for (std::size_t i = 0; i < 5; ++i) {
        Bytes other = busyMessage;
        other[i] ^= 0x01;
        EXPECT_EQ(CheckSysExUpdateStatus(other), 0) << "header byte " << i;
    }
    Bytes unread = busyMessage; // bytes 5 to 10 and the last are not looked at
    std::fill(unread.begin() + 5, unread.begin() + 11, 0x7F);
    unread.back() = 0x00;
    EXPECT_EQ(CheckSysExUpdateStatus(unread), 2);
    Bytes longer = busyMessage;
    longer.insert(longer.begin() + 5, 0x00);
    EXPECT_EQ(CheckSysExUpdateStatus(longer), 0);
    EXPECT_EQ(CheckSysExUpdateStatus(Bytes(busyMessage.begin(), busyMessage.end() - 1)), 0);
}

TEST_F(EngineTest, GetUpdateStatusPollsEveryHalfSecondUntilItsTimeOut) {
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
}

namespace {

// What the device sends at each poll (every 500 ms; an empty entry: nothing), then silence.
struct WaitRow {
    const char* name;
    std::vector<Bytes> answers;
    int status;
    std::uint64_t ms;
    bool busyShown; // "Waiting for device to complete update installation..."
};

std::vector<Bytes> Cat(std::initializer_list<std::vector<Bytes>> parts) {
    std::vector<Bytes> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}
const std::vector<Bytes> silentPoll(4); // four quiet ticks make one silent poll of 2 s
using Many = std::vector<Bytes>;

} // namespace

TEST(WaitForUpdateToFinish, StatusTimeAndTexts) {
    const Bytes other{0xF0, 0x01, 0xF7};
    Many sixTimesBusyThenSilent;
    for (int i = 0; i < 6; ++i)
        sixTimesBusyThenSilent = Cat({sixTimesBusyThenSilent, Many{busyMessage}, silentPoll});
    const std::vector<WaitRow> rows{
        {"busy three times, then accepted", Many{busyMessage, busyMessage, busyMessage, acceptedMessage}, 1,
         2000, true},
        {"refused at once, after a quiet tick", Many{{}, refusedMessage, acceptedMessage}, 3, 1000, false},
        {"silent: six polls", Many{}, 0, 12000, false},
        {"busy for ever: 201 answers", Many(1000, busyMessage), 2, 201 * 500, true},
        {"a silence restarts the busy run",
         Cat({Many(200, busyMessage), silentPoll, Many(200, busyMessage), Many{acceptedMessage}}), 1,
         401 * 500 + 2000, true},
        {"silences count over the whole wait", Cat({sixTimesBusyThenSilent, Many{acceptedMessage}}), 0,
         6 * 2500, true},
        {"other messages count as silence", Many(6, other), 0, 6 * 500, false},
    };
    for (const WaitRow& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig;
        std::deque<Bytes> script(row.answers.begin(), row.answers.end());
        rig.clock.AddObserver([&](std::uint64_t) {
            if (!script.empty() && !script.front().empty())
                rig.port.Receive(script.front());
            if (!script.empty())
                script.pop_front();
        });
        EXPECT_EQ(WaitForUpdateToFinish(rig.port, rig.progress), row.status);
        EXPECT_EQ(rig.clock.NowMs(), row.ms);
        Lines lines{"status: Checking update status...", "busy"};
        if (row.busyShown)
            lines.insert(lines.end(),
                         {"status: Waiting for device to complete update installation...", "busy"});
        lines.push_back(row.status == 1 ? "status: Device has accepted update."
                                        : "status: Device has not yet responded to update.");
        lines.push_back("progress 1");
        EXPECT_EQ(rig.progress.lines, lines);
    }
}

TEST_F(EngineTest, WaitForUpdateToFinishWithoutADeviceEndsAtOnceWithoutReports) {
    port.connected = false;
    EXPECT_EQ(WaitForUpdateToFinish(port, progress), 0);
    EXPECT_TRUE(progress.lines.empty());
    EXPECT_TRUE(clock.Sleeps().empty());
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
        {IdentityReply({0x00, 0x2A, 0x3B}, v105, kelva), {"00 2A 3B ", "06 ", "1.05", "Kelva"}},
        {IdentityReply({0x41}, {0, 2, 1, 7}, kelva), {"41 ", "06 ", "2.17", "Kelva"}},
        {IdentityReply({0x00, 0x01, 0x02}, {1, 3, 0, 5}), {"00 01 02 ", "06 ", "25.05", ""}},
        {IdentityReply({0x41}, {0x7F, 0x7F, 0x7F, 0x7F}), {"41 ", "06 ", "2921.127127", ""}},
        {IdentityReply({0x41}, v105, {0x41, 0x42, 0x43, 0x80, 0x44}), {"41 ", "06 ", "1.05", "ABC"}},
        {IdentityReply({0x41}, v105, {0x41, 0x7F, 0x44}), {"41 ", "06 ", "1.05", "A"}},
        {IdentityReply({0x41}, v105, {0xFF, 0x44}), {"41 ", "06 ", "1.05", ""}},
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
