// The device side of the protocol on its own: bytes and times in, replies and their times out.
#include "DeviceProtocol.h"
#include "DeviceStatus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using Bytes = std::vector<unsigned char>;
using Answer = DeviceProtocol::Answer;
using ::testing::ElementsAre;

namespace {

const Bytes acceptedMessage{0xF0, 0x00, 0x00, 0x3F, 0x73, 0, 0, 0, 0, 0, 0, 0x00, 0xF7};
const Bytes busyMessage{0xF0, 0x00, 0x00, 0x3F, 0x73, 0, 0, 0, 0, 0, 0, 0x20, 0xF7};
const Bytes errorMessage{0xF0, 0x00, 0x00, 0x3F, 0x73, 0, 0, 0, 0, 0, 0, 0x01, 0xF7};

const Bytes somePortion{0xF0, 0x00, 0x00, 0x0E, 0x10, 0x11, 0x12, 0xF7, 0xF0, 0x00, 0x00, 0x0E, 0x13, 0xF7};

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

DeviceProtocol::Settings WithAnswer(Answer answer, unsigned int busyCount = 0) {
    DeviceProtocol::Settings settings;
    settings.answer = answer;
    settings.busyCount = busyCount;
    return settings;
}

// (time, bytes) of each output, for compact comparisons.
std::vector<std::pair<std::uint64_t, Bytes>> Timeline(const std::vector<DeviceProtocol::Output>& outputs) {
    std::vector<std::pair<std::uint64_t, Bytes>> timeline;
    for (const auto& out : outputs)
        timeline.emplace_back(out.atMs, out.bytes);
    return timeline;
}

} // namespace

TEST(DeviceProtocolMessages, StatusMessageIsThirteenBytesWithFlagsAtOffsetEleven) {
    EXPECT_EQ(DeviceProtocol::StatusMessage(DeviceProtocol::flagsAccepted), acceptedMessage);
    EXPECT_EQ(DeviceProtocol::StatusMessage(DeviceProtocol::flagsBusy), busyMessage);
    EXPECT_EQ(DeviceProtocol::StatusMessage(DeviceProtocol::flagsError), errorMessage);
    // The updater's own reading of them.
    EXPECT_EQ(CheckSysExUpdateStatus(acceptedMessage), 1);
    EXPECT_EQ(CheckSysExUpdateStatus(busyMessage), 2);
    EXPECT_EQ(CheckSysExUpdateStatus(errorMessage), 3);
}

TEST(DeviceProtocolMessages, IdentityReplyLayoutForVersion1_05) {
    const Bytes reply = DeviceProtocol::IdentityReply(Version{1, 5});
    ASSERT_EQ(reply.size(), 37u);
    EXPECT_THAT(Bytes(reply.begin(), reply.begin() + 8),
                ElementsAre(0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x00, 0x0E));
    EXPECT_EQ(reply[8], 0x06); // family
    EXPECT_THAT(Bytes(reply.begin() + 11, reply.begin() + 15),
                ElementsAre(0x00, 0x01, 0x00, 0x05)); // A B C D
    EXPECT_EQ(std::string(reply.begin() + 20, reply.begin() + 32), "Ostrel Kelva");
    EXPECT_THAT(Bytes(reply.begin() + 32, reply.begin() + 36), ElementsAre(0, 0, 0, 0));
    EXPECT_EQ(reply.back(), 0xF7);

    const DeviceInfo info = ParseDeviceEnquiryResponse(reply);
    EXPECT_EQ(info.manufacturer, "00 00 0E ");
    EXPECT_EQ(info.family, "06 ");
    EXPECT_EQ(info.version, "1.05");
    EXPECT_EQ(info.text, "Ostrel Kelva");
}

TEST(DeviceProtocolMessages, IdentityReplyVersionUsesBase22BeforeThePoint) {
    // 25 = 1 * 22 + 3; 47 = 2 * 22 + 3; 21 stays in B alone.
    struct Case {
        Version version;
        unsigned char a, b, c, d;
        const char* text;
    };
    for (const Case& c : {Case{{25, 5}, 1, 3, 0, 5, "25.05"}, Case{{47, 99}, 2, 3, 9, 9, "47.99"},
                          Case{{21, 10}, 0, 21, 1, 0, "21.10"}, Case{{0, 0}, 0, 0, 0, 0, "0.00"}}) {
        const Bytes reply = DeviceProtocol::IdentityReply(c.version);
        EXPECT_THAT(Bytes(reply.begin() + 11, reply.begin() + 15), ElementsAre(c.a, c.b, c.c, c.d)) << c.text;
        EXPECT_EQ(ParseDeviceEnquiryResponse(reply).version, c.text);
        EXPECT_EQ(c.version.ToString(), c.text);
    }
}

TEST(DeviceProtocolMessages, GarbageHoldsNoStatusMessage) {
    const Bytes garbage = DeviceProtocol::GarbageAnswer();
    // Every F0 ... F7 run inside it is something the updater must not take for a status.
    for (std::size_t i = 0; i < garbage.size(); ++i) {
        if (garbage[i] != 0xF0)
            continue;
        std::size_t end = i;
        while (end < garbage.size() && garbage[end] != 0xF7)
            ++end;
        ASSERT_LT(end, garbage.size());
        EXPECT_EQ(CheckSysExUpdateStatus(Bytes(garbage.begin() + i, garbage.begin() + end + 1)), 0);
    }
    EXPECT_NE(std::count(garbage.begin(), garbage.end(), 0xF0), 0);
}

TEST(DeviceProtocolGap, PortionEndsOnlyAfterTheQuietGap) {
    DeviceProtocol device;
    device.Receive(Bytes(somePortion.begin(), somePortion.begin() + 5), 1000);
    device.Receive(Bytes(somePortion.begin() + 5, somePortion.end()), 1060);
    EXPECT_TRUE(device.Advance(1159).empty()); // 99 ms after the last data
    EXPECT_TRUE(device.PortionOpen());
    EXPECT_EQ(device.EndedPortions(), 0u);

    const auto outputs = device.Advance(1160);
    EXPECT_FALSE(device.PortionOpen());
    EXPECT_EQ(device.EndedPortions(), 1u);
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0].bytes, acceptedMessage);
    EXPECT_EQ(outputs[0].atMs, 1160u);
    EXPECT_EQ(outputs[0].portion, 1u);
    EXPECT_TRUE(outputs[0].portionDone);
    ASSERT_EQ(device.Portions().size(), 1u);
    EXPECT_EQ(device.Portions()[0], somePortion);
}

TEST(DeviceProtocolGap, DataWithinTheGapExtendsThePortion) {
    DeviceProtocol::Settings settings;
    settings.quietGapMs = 250;
    DeviceProtocol device(settings);
    device.Receive({0xF0, 0x01, 0xF7}, 0);
    device.Receive({0xF0, 0x02, 0xF7}, 249);
    device.Receive({0xF0, 0x03, 0xF7}, 498);
    EXPECT_TRUE(device.Advance(747).empty());
    EXPECT_EQ(Timeline(device.Advance(748)),
              (std::vector<std::pair<std::uint64_t, Bytes>>{{748, acceptedMessage}}));
    EXPECT_EQ(device.Portions().size(), 1u);
}

TEST(DeviceProtocolGap, APortionPerGapAndEveryByteRecordedInOrder) {
    DeviceProtocol device;
    const Bytes a{0xF0, 0x01, 0x02, 0xF7}, b{0xF0, 0x03, 0xF7}, c{0xF0, 0x04, 0x05, 0x06, 0xF7};
    device.Receive(a, 0);
    device.Receive(b, 500); // no Advance between: the gap is still seen
    device.Receive(c, 1000);
    const auto outputs = device.Advance(2000);
    ASSERT_EQ(outputs.size(), 3u);
    EXPECT_EQ(outputs[0].atMs, 100u);
    EXPECT_EQ(outputs[1].atMs, 600u);
    EXPECT_EQ(outputs[2].atMs, 1100u);
    EXPECT_EQ(outputs[2].portion, 3u);
    EXPECT_THAT(device.Portions(), ElementsAre(a, b, c));
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), c.begin(), c.end());
    EXPECT_EQ(device.ReceivedBytes(), all);
    EXPECT_THAT(device.Messages(), ElementsAre(a, b, c));
}

TEST(DeviceProtocolGap, ReassemblesAcrossArbitraryPacketsAndIgnoresStrayBytes) {
    DeviceProtocol device;
    const Bytes stream{0x42, 0xF7, 0xF0, 0x01, 0xF8, 0x02, 0xF7, 0x7F, 0xF0, 0x03, 0x90, 0xF0, 0x04, 0xF7};
    for (std::size_t i = 0; i < stream.size(); ++i)
        device.Receive({stream[i]}, i);
    EXPECT_THAT(device.Messages(), ElementsAre(Bytes{0xF0, 0x01, 0x02, 0xF7}, Bytes{0xF0, 0x04, 0xF7}));
    EXPECT_EQ(device.ReceivedBytes(), stream);
}

TEST(DeviceProtocolAnswers, BusyCountTimesAtTheIntervalThenAccepted) {
    DeviceProtocol::Settings settings = WithAnswer(Answer::Accept, 3);
    settings.busyIntervalMs = 700;
    DeviceProtocol device(settings);
    device.Receive(somePortion, 0);
    EXPECT_EQ(Timeline(device.Advance(1499)),
              (std::vector<std::pair<std::uint64_t, Bytes>>{{100, busyMessage}, {800, busyMessage}}));
    const auto rest = device.Advance(10'000);
    EXPECT_EQ(Timeline(rest),
              (std::vector<std::pair<std::uint64_t, Bytes>>{{1500, busyMessage}, {2200, acceptedMessage}}));
    EXPECT_FALSE(rest[0].portionDone);
    EXPECT_TRUE(rest[1].portionDone);
    EXPECT_TRUE(device.Advance(100'000).empty());
}

TEST(DeviceProtocolAnswers, ErrorAnswerAfterBusy) {
    DeviceProtocol device(WithAnswer(Answer::Error, 1));
    device.Receive(somePortion, 0);
    EXPECT_EQ(Timeline(device.Advance(5000)),
              (std::vector<std::pair<std::uint64_t, Bytes>>{{100, busyMessage}, {600, errorMessage}}));
}

TEST(DeviceProtocolAnswers, ErrorOnlyOnTheChosenPortion) {
    DeviceProtocol::Settings settings;
    settings.errorOnPortion = 2;
    DeviceProtocol device(settings);
    device.Receive(somePortion, 0);
    device.Receive(somePortion, 1000);
    device.Receive(somePortion, 2000);
    const auto outputs = device.Advance(3000);
    ASSERT_EQ(outputs.size(), 3u);
    EXPECT_EQ(outputs[0].bytes, acceptedMessage);
    EXPECT_EQ(outputs[1].bytes, errorMessage);
    EXPECT_EQ(outputs[2].bytes, acceptedMessage);
}

TEST(DeviceProtocolAnswers, SilentSendsNothingButMarksThePortionDone) {
    DeviceProtocol device(WithAnswer(Answer::Silent, 5));
    device.Receive(somePortion, 0);
    const auto outputs = device.Advance(60'000);
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_TRUE(outputs[0].bytes.empty());
    EXPECT_TRUE(outputs[0].portionDone);
    EXPECT_EQ(outputs[0].atMs, 100u);
}

TEST(DeviceProtocolAnswers, BusyForeverUntilTheNextPortionBegins) {
    DeviceProtocol device(WithAnswer(Answer::BusyForever));
    device.Receive(somePortion, 0);
    const auto outputs = device.Advance(100 + 500 * 300);
    ASSERT_EQ(outputs.size(), 301u);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i].bytes, busyMessage);
        EXPECT_EQ(outputs[i].atMs, 100 + 500 * i);
    }
    device.Receive(somePortion, 200'000); // the next portion silences the old busy run...
    const auto next = device.Advance(200'700);
    // ...though what fell due before it arrived still goes out, and the new portion is busy in turn.
    ASSERT_FALSE(next.empty());
    EXPECT_EQ(next.back().portion, 2u);
    for (const auto& out : next)
        EXPECT_TRUE(out.portion == 1 ? out.atMs < 200'000 : out.atMs >= 200'100);
}

TEST(DeviceProtocolAnswers, GarbageInPlaceOfEveryStatus) {
    DeviceProtocol device(WithAnswer(Answer::Garbage, 2));
    device.Receive(somePortion, 0);
    const auto outputs = device.Advance(10'000);
    ASSERT_EQ(outputs.size(), 3u);
    for (const auto& out : outputs)
        EXPECT_EQ(out.bytes, DeviceProtocol::GarbageAnswer());
    EXPECT_TRUE(outputs.back().portionDone);
}

TEST(DeviceProtocolAnswers, EndlessSysExNeverSendsAnEnd) {
    DeviceProtocol::Settings settings = WithAnswer(Answer::EndlessSysEx);
    settings.endlessChunkSize = 1000;
    DeviceProtocol device(settings);
    device.Receive(somePortion, 0);
    const auto outputs = device.Advance(100 + 500 * 9);
    ASSERT_EQ(outputs.size(), 10u);
    Bytes all;
    for (const auto& out : outputs)
        all.insert(all.end(), out.bytes.begin(), out.bytes.end());
    EXPECT_EQ(all.size(), 5 + 10 * 1000);
    EXPECT_THAT(Bytes(all.begin(), all.begin() + 5), ElementsAre(0xF0, 0x00, 0x00, 0x3F, 0x73));
    EXPECT_EQ(std::count(all.begin(), all.end(), 0xF7), 0);
    EXPECT_EQ(std::count(all.begin(), all.end(), 0xF0), 1);
}

TEST(DeviceProtocolAnswers, NoisyHidesEachStatusAmongStrayAndRealTimeBytes) {
    DeviceProtocol device(WithAnswer(Answer::Noisy, 2));
    device.Receive(somePortion, 0);
    const auto outputs = device.Advance(10'000);
    ASSERT_EQ(outputs.size(), 3u);
    std::size_t strayStatus = 0, realTimeInside = 0;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const Bytes& bytes = outputs[i].bytes;
        ASSERT_EQ(std::count(bytes.begin(), bytes.end(), 0xF0), 1);
        const auto start = std::find(bytes.begin(), bytes.end(), 0xF0);
        strayStatus += static_cast<std::size_t>(
            std::count_if(bytes.begin(), start, [](unsigned char b) { return b >= 0x80 && b < 0xF8; }));
        Bytes message;
        for (auto it = start; it != bytes.end(); ++it) {
            if (*it >= 0xF8)
                ++realTimeInside;
            else
                message.push_back(*it);
        }
        EXPECT_EQ(message, i < 2 ? busyMessage : acceptedMessage) << i;
    }
    EXPECT_GT(strayStatus, 0u);
    EXPECT_GT(realTimeInside, 0u);
}

TEST(DeviceProtocolAnswers, FloodSendsItsBusyMessagesBeforeEachStatus) {
    DeviceProtocol::Settings settings = WithAnswer(Answer::Flood, 1);
    settings.floodSize = 3;
    DeviceProtocol device(settings);
    device.Receive(somePortion, 0);
    EXPECT_EQ(Timeline(device.Advance(10'000)),
              (std::vector<std::pair<std::uint64_t, Bytes>>{
                  {100, busyMessage + busyMessage + busyMessage + busyMessage},
                  {600, busyMessage + busyMessage + busyMessage + acceptedMessage}}));
}

TEST(DeviceProtocolIdentity, ReplyCutOrPaddedToTheChosenSize) {
    const Bytes standard = DeviceProtocol::IdentityReply(Version{1, 0});
    for (std::size_t size : {1u, 2u, 6u, 36u, 40u}) {
        SCOPED_TRACE(size);
        DeviceProtocol::Settings settings;
        settings.identityReplySize = size;
        DeviceProtocol device(settings);
        device.Receive(DeviceProtocol::identityRequest, 0);
        const auto outputs = device.Advance(0);
        ASSERT_EQ(outputs.size(), 1u);
        Bytes expected(standard.begin(),
                       standard.begin() + static_cast<std::ptrdiff_t>(std::min(size, standard.size()) - 1));
        expected.resize(size - 1, 0x00);
        expected.push_back(0xF7);
        EXPECT_EQ(outputs[0].bytes, expected);
    }
}

TEST(DeviceProtocolIdentity, AnswersTheRequestAtOnceWithoutAStatus) {
    DeviceProtocol::Settings settings;
    settings.firmwareVersion = Version{25, 5};
    DeviceProtocol device(settings);
    device.Receive(DeviceProtocol::identityRequest, 4000);
    const auto outputs = device.Advance(4000);
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0].bytes, DeviceProtocol::IdentityReply(Version{25, 5}));
    EXPECT_EQ(outputs[0].atMs, 4000u);
    EXPECT_EQ(outputs[0].portion, 0u);
    // A portion of nothing but the request gets no status, only its end mark.
    const auto later = device.Advance(60'000);
    ASSERT_EQ(later.size(), 1u);
    EXPECT_TRUE(later[0].bytes.empty());
    EXPECT_EQ(device.IdentityRequests(), 1u);
}

TEST(DeviceProtocolIdentity, CanBeToldNotToAnswer) {
    DeviceProtocol::Settings settings;
    settings.answerIdentity = false;
    DeviceProtocol device(settings);
    device.Receive(DeviceProtocol::identityRequest, 0);
    for (const auto& out : device.Advance(10'000))
        EXPECT_TRUE(out.bytes.empty());
    EXPECT_EQ(device.IdentityRequests(), 1u);
}

TEST(DeviceProtocolVideoMode, RemembersTheLastModeSent) {
    DeviceProtocol device;
    EXPECT_FALSE(device.VideoMode().has_value());
    device.Receive({0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x01, 0x01, 0xF7}, 0);
    EXPECT_EQ(device.VideoMode(), 1);
    device.Receive({0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x01, 0x00, 0xF7}, 10);
    EXPECT_EQ(device.VideoMode(), 0);
    // Not a mode: another value, a different prefix, or one byte more.
    device.Receive({0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x01, 0x02, 0xF7}, 20);
    device.Receive({0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x62, 0x00, 0x01, 0x01, 0xF7}, 30);
    device.Receive({0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x01, 0x01, 0x00, 0xF7}, 40);
    EXPECT_EQ(device.VideoMode(), 0);
    // The toggle's message is answered with a status like any portion.
    const auto outputs = device.Advance(1000);
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0].bytes, acceptedMessage);
}

TEST(DeviceProtocolReset, DropsPendingAnswersAndHalfMessages) {
    DeviceProtocol device(WithAnswer(Answer::Accept, 4));
    device.Receive(somePortion, 0);
    EXPECT_EQ(device.Advance(100).size(), 1u);
    device.Receive({0xF0, 0x01}, 200); // half a message, then the power goes
    device.Reset();
    EXPECT_TRUE(device.Advance(10'000).empty());
    device.Receive({0x02, 0xF7, 0xF0, 0x03, 0xF7}, 20'000);
    EXPECT_THAT(device.Messages(),
                ElementsAre(Bytes{0xF0, 0x00, 0x00, 0x0E, 0x10, 0x11, 0x12, 0xF7},
                            Bytes{0xF0, 0x00, 0x00, 0x0E, 0x13, 0xF7}, Bytes{0xF0, 0x03, 0xF7}));
}
