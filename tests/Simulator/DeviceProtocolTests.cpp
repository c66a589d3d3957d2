// The device side of the protocol on its own: bytes and times in, replies and their times out.
// Catches: wrong status or identity-reply bytes (layout, base-22 version, name, cut or padded size), a
// portion ended off its quiet gap, wrong answers or timings of each fault mode, reassembly, video mode.
// Designated initializers below leave the other settings at their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include "DeviceProtocol.h"
#include "DeviceStatus.h"

#include <gtest/gtest.h>

#include <algorithm>

using Bytes = std::vector<unsigned char>;
using Answer = DeviceProtocol::Answer;
using Timeline = std::vector<std::pair<std::uint64_t, Bytes>>;

namespace {

// The status messages: accepted, busy, error.
const Bytes ok{0xF0, 0x00, 0x00, 0x3F, 0x73, 0, 0, 0, 0, 0, 0, 0x00, 0xF7},
    busy{0xF0, 0x00, 0x00, 0x3F, 0x73, 0, 0, 0, 0, 0, 0, 0x20, 0xF7},
    error{0xF0, 0x00, 0x00, 0x3F, 0x73, 0, 0, 0, 0, 0, 0, 0x01, 0xF7};
const Bytes data{0xF0, 0x00, 0x00, 0x0E, 0x10, 0x11, 0x12, 0xF7};
// The identity reply for version 40.05: 1, 18 (1 * 22 + 18, where base 16 would give 2), then 0, 5.
const Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x00, 0x00, 0x0E, 0x06, 0x00, 0x01, 0x01, 0x12,
                  0x00, 0x05, 0,    0,    0,    0,    0,    'O',  's',  't',  'r',  'e',  'l',
                  ' ',  'K',  'e',  'l',  'v',  'a',  0,    0,    0,    0,    0xF7};

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

} // namespace

TEST(DeviceProtocolMessages, IdentityAndGarbageBytes) {
    // The status messages are compared byte for byte in the answers' timelines below.
    EXPECT_EQ(DeviceProtocol::IdentityReply(Version{40, 5}), reply);
    EXPECT_EQ(ParseDeviceEnquiryResponse(DeviceProtocol::IdentityReply(Version{47, 99})).version, "47.99");
    // Garbage: stray bytes, a wrong header, a message a byte short; no status in it.
    Bytes wrongHeader = ok, tooShort = ok;
    wrongHeader[4] = 0x72;
    tooShort.erase(tooShort.begin() + 5);
    EXPECT_EQ(DeviceProtocol::GarbageAnswer(), Cat({{0x12, 0x34, 0xF7, 0x56}, wrongHeader, tooShort}));
}

// One row per answer: `message` sent at the given times, the device advanced a millisecond at a time up
// to 5 s; each output comes out when it is due.
TEST(DeviceProtocolAnswers, TimelineOfEachAnswer) {
    struct Row {
        const char* name;
        DeviceProtocol::Settings settings;
        std::vector<std::uint64_t> sends;
        Timeline expected;
        Bytes message = data;
    };
    Timeline forever, endless{{100, Cat({{0xF0, 0x00, 0x00, 0x3F, 0x73}, Bytes(1000, 0)})}};
    for (std::uint64_t at = 100; at <= 5000; at += at < 1800 && at + 500 > 1800 ? 300 : 500)
        forever.emplace_back(at, busy); // the second portion, from 1800, stops the first's
    for (std::uint64_t at = 600; at <= 5000; at += 500)
        endless.emplace_back(at, Bytes(1000, 0)); // never an F7
    const Bytes request = DeviceProtocol::identityRequest, toDevice00{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7};
    const Bytes garbage = DeviceProtocol::GarbageAnswer(), id100 = DeviceProtocol::IdentityReply({1, 0});
    const Bytes busy4 = Cat({busy, busy, busy, busy}), busy3ok = Cat({busy, busy, busy, ok});
    const auto identity = [&](std::size_t size, Bytes expected) {
        const DeviceProtocol::Settings settings{.firmwareVersion = {40, 5}, .identityReplySize = size};
        return Row{"identity reply", settings, {4000}, {{4000, expected}, {4100, {}}}, request};
    };
    const Row rows[] = {
        {"busy twice", {.busyCount = 2, .busyIntervalMs = 700}, {0}, {{100, busy}, {800, busy}, {1500, ok}}},
        {"quiet gap of 250 ms", {.quietGapMs = 250}, {0, 249, 498}, {{748, ok}}},
        {"error after busy", {.answer = Answer::Error, .busyCount = 1}, {0}, {{100, busy}, {600, error}}},
        {"error on 2nd", {.errorOnPortion = 2}, {0, 1000, 2000}, {{100, ok}, {1100, error}, {2100, ok}}},
        {"silent: only the end mark", {.answer = Answer::Silent, .busyCount = 5}, {0}, {{100, {}}}},
        {"flood of 3",
         {.answer = Answer::Flood, .busyCount = 1, .floodSize = 3},
         {0},
         {{100, busy4}, {600, busy3ok}}},
        {"garbage", {.answer = Answer::Garbage, .busyCount = 1}, {0}, {{100, garbage}, {600, garbage}}},
        {"busy for ever", {.answer = Answer::BusyForever}, {0, 1800}, forever},
        {"endless", {.answer = Answer::EndlessSysEx, .endlessChunkSize = 1000}, {0}, endless},
        {"identity, to device 00", {}, {4000}, {{4000, id100}, {4100, {}}}, toDevice00},
        {"identity, mute", {.answerIdentity = false}, {4000}, {{4100, {}}}, request},
        identity(1, {0xF7}),
        identity(6, {0xF0, 0x7E, 0x00, 0x06, 0x02, 0xF7}),
        identity(36, Cat({Bytes(reply.begin(), reply.begin() + 35), {0xF7}})),
        identity(40, Cat({Bytes(reply.begin(), reply.end() - 1), {0, 0, 0, 0xF7}})),
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DeviceProtocol device(row.settings);
        Timeline timeline; // each output at the time it came out; 0 if it was due at another time
        for (std::uint64_t now = 0; now <= 5000; ++now) {
            if (std::count(row.sends.begin(), row.sends.end(), now))
                device.Receive(row.message, now);
            for (const auto& out : device.Advance(now))
                timeline.emplace_back(out.atMs == now ? now : 0, out.bytes);
        }
        EXPECT_EQ(timeline, row.expected);
    }
}

// Stray bytes (no F0 among them) before each status, real-time bytes within it; a thousand answers, so
// that every kind of stray byte comes up.
TEST(DeviceProtocolAnswers, NoisyHidesEachStatusAmongStrayAndRealTimeBytes) {
    DeviceProtocol device({.answer = Answer::Noisy, .busyCount = 1000, .busyIntervalMs = 1});
    device.Receive(data, 0);
    std::vector<Bytes> messages;
    std::size_t realTime = 0;
    for (const auto& out : device.Advance(5000)) {
        Bytes& message =
            messages.emplace_back(std::find(out.bytes.begin(), out.bytes.end(), 0xF0), out.bytes.end());
        realTime += std::erase_if(message, [](unsigned char byte) { return byte >= 0xF8; });
    }
    std::vector<Bytes> expected(1000, busy);
    expected.push_back(ok);
    EXPECT_EQ(messages, expected);
    EXPECT_GT(realTime, 0u);
}

TEST(DeviceProtocolReceive, ReassemblyVideoModeAndReset) {
    DeviceProtocol device;
    const Bytes stream{0x42, 0xF7, 0xF0, 0x01, 0xF8, 0x02, 0xF7, 0x7F, 0xF0, 0x03, 0x90, 0xF0, 0x04, 0xF7};
    for (std::size_t i = 0; i < stream.size(); ++i)
        device.Receive({stream[i]}, i);
    EXPECT_EQ(device.Messages(), (std::vector<Bytes>{{0xF0, 0x01, 0x02, 0xF7}, {0xF0, 0x04, 0xF7}}));
    EXPECT_EQ(device.ReceivedBytes(), stream);

    // The video mode: 0 or 1 after the prefix; another value, prefix or length is no mode.
    const Bytes prefix = DeviceProtocol::videoModePrefix;
    EXPECT_FALSE(device.VideoMode().has_value());
    device.Receive(Cat({prefix, {0x01, 0xF7}}), 20);
    EXPECT_EQ(device.VideoMode(), 1);
    device.Receive(Cat({prefix, {0x00, 0xF7}}), 30);
    for (const Bytes& other : {Cat({prefix, {0x02, 0xF7}}), Cat({prefix, {0x01, 0x00, 0xF7}}),
                               Bytes{0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x62, 0x00, 0x01, 0x01, 0xF7}})
        device.Receive(other, 40);
    EXPECT_EQ(device.VideoMode(), 0);

    // Switched off: pending answers and a half message are forgotten.
    DeviceProtocol off({.busyCount = 4});
    off.Receive(data, 0);
    EXPECT_EQ(off.Advance(100).size(), 1u);
    off.Reset();
    EXPECT_TRUE(off.Advance(10'000).empty());
    off.Receive({0xF0, 0x05}, 20'000);
    off.Reset();
    off.Receive({0x06, 0xF7, 0xF0, 0x07, 0xF7}, 30'000);
    EXPECT_EQ(off.Messages(), (std::vector<Bytes>{data, {0xF0, 0x07, 0xF7}}));
}
