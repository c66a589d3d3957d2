// Catches, in the sending engine and the utilities it runs on: chunks cut wrongly; wrong "Sent", status,
// retry or verdict texts, bytes sent, retry budget, pauses, polls, status flags or identity fields; a
// collector that keeps, repeats or tears messages; wrong Format cuts, log lines, clock or byte counts.
#include "Chunks.h"
#include "Clock.h"
#include "DeviceStatus.h"
#include "Log.h"
#include "SysExSender.h"
#include "Utilities.h"

#include <algorithm>
#include <atomic>
#include <random>
#include <regex>
#include <thread>
#include <unistd.h>
#include <utility>

#include <gmock/gmock.h>

// What the tests share: a MidiPort whose device the test plays, a sink that records every report, the
// device's messages, and a rig on virtual time with the log captured.
using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;

// Like the platform port, it reassembles received bytes in a collector of its own and keeps the
// newest complete message in a locked store, handing each out once: another thread may feed it.
// Constructed with a stream, it has taken it in: its LastSysEx is the newest message completed, as it
// was when completed; its collector holds what came after.
struct ScriptedMidiPort : MidiPort {
    explicit ScriptedMidiPort(const Bytes& stream = {}) {
        own.callbackData = this;
        own.callback = [](void* self) {
            auto* port = static_cast<ScriptedMidiPort*>(self);
            std::lock_guard<std::mutex> guard(port->received.lock);
            port->received.value = port->own.sysEx;
        };
        Receive(stream);
    }
    std::size_t IdealChunkSize() override { return 2048; }
    std::size_t MaxChunkSize() override { return 16384; }
    bool IsConnected() override { return --absentLooks < 0 && connected; }
    void PermitOtherPorts() override { connected = true; } // the device is found on any port
    void Disconnect() override { ++disconnects; }
    bool Send(const unsigned char* data, std::size_t size) override {
        if (device && !device(data))
            return false;
        sent.emplace_back(data, data + size);
        return true;
    }
    std::string SendFailure() override { return "The port is in use."; } // asked only after a failed send
    // The device replies to an identity request to all devices waited for 5 s, and to nothing else.
    Bytes ReceiveSysEx(unsigned int timeoutMs, const unsigned char* request, std::size_t size) override {
        const Bytes enquiry{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
        return timeoutMs == 5000 && Bytes(request, request + size) == enquiry ? identity : Bytes{};
    }
    Bytes LastSysEx() override {
        std::lock_guard<std::mutex> guard(received.lock);
        return std::exchange(received.value, {});
    }
    // Incoming bytes, to this port's own store or (toBase) to the MidiPort base's collector.
    void Receive(const Bytes& packet, bool toBase = false) {
        for (unsigned char byte : packet)
            (toBase ? sysExCollector : own).Add(byte);
    }

    int absentLooks = 0; // IsConnected's first answers are false; then `connected` answers
    bool connected = true;
    std::function<bool(const unsigned char*)> device; // sees each send before it arrives; false: it fails
    Bytes identity;
    int disconnects = 0;
    std::vector<Bytes> sent;
    SysExCollector own; // what Receive feeds, unless to the base
    ThreadSafe<Bytes> received;
};

// Every report as a line: "progress 0.25", "busy", "status: ...", "error: ...", "completed: ...".
struct RecordingProgress : UpdateProgress {
    void Progress(float fraction) override { lines.push_back(Format("progress %g", double(fraction))); }
    void ProgressIndeterminate() override { lines.push_back("busy"); }
    void Status(const std::string& text) override { lines.push_back("status: " + text); }
    void Error(const std::string& text) override { lines.push_back("error: " + text); }
    void Completed(const std::string& text) override { lines.push_back("completed: " + text); }

    Lines lines;
};

// The device's 13-byte status message with the given flags byte.
Bytes StatusMessage(unsigned char flags) {
    return {0xF0, 0x00, 0x00, 0x3F, 0x73, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, flags, 0xF7};
}
const Bytes acceptedMessage = StatusMessage(0x00), busyMessage = StatusMessage(0x20),
            refusedMessage = StatusMessage(0x01);

// An identity reply: manufacturer ID, family 06 00, model 00 00, version A B C D (read as
// A * 22 + B . C D), five unread bytes, 16 text bytes (the text padded with 00), F7.
Bytes IdentityReply(const Bytes& id, const Bytes& version, Bytes text = {}) {
    Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02};
    text.resize(16, 0x00);
    for (const Bytes& part : {id, Bytes{0x06, 0x00, 0x00}, version, Bytes(5, 0x00), text, Bytes{0xF7}})
        reply.insert(reply.end(), part.begin(), part.end());
    return reply;
}

// count SysEx messages of the given size (F0, data bytes fill, F7).
Bytes Messages(std::size_t count, std::size_t size, unsigned char fill = 0x11) {
    Bytes bytes(count * size);
    for (std::size_t at = 0; at < bytes.size(); ++at)
        bytes[at] = at % size == 0 ? 0xF0 : at % size == size - 1 ? 0xF7 : fill;
    return bytes;
}

// The lines of one kind ("status: ", "progress "; all by default), without it, joined with " | " to
// compare a whole transcript at once.
std::string Join(const Lines& lines, const std::string& kind = "") {
    std::string joined;
    for (const auto& line : lines)
        if (line.starts_with(kind))
            joined += (joined.empty() ? "" : " | ") + line.substr(kind.size());
    return joined;
}

// Virtual time from 0, the log captured, a scripted port and a recording sink; one per table row.
struct Rig {
    VirtualClock clock{0};
    ScopedClock useClock{clock};
    ScopedLogCapture log;
    ScriptedMidiPort port;
    RecordingProgress progress;
};
class EngineTest : public ::testing::Test, public Rig {};

// Chunks and senders. Catches: a chunk cut at the wrong byte or past max or the rest; chunks out of order;
// wrong "Sent" texts or fractions; a send that goes on after a chunk failed; a dropped precondition check.

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
        // The rule as written: ideal bytes (the whole rest when shorter), then one more byte at a time
        // until max bytes, the end of the rest, or a last byte of F7 or 0A.
        unsigned long length = std::min<unsigned long>(ideal, bytes.size());
        while (length >= ideal && length < max && length < bytes.size() && bytes[length - 1] != 0xF7 &&
               bytes[length - 1] != 0x0A)
            ++length;
        ASSERT_EQ(std::pair(chunk.start, chunk.Size()), std::pair(bytes.data(), length))
            << round << ": " << ideal << " " << max;
    }
}

TEST_F(EngineTest, SendersHandThePortionOverWithSentLines) {
    Update::SysExPortion portion{Messages(5, 1000), 0}, big{Messages(3, 512 * 1024), 0}, nothing;
    EXPECT_TRUE(SimpleSysExSender(port).SendPortion(portion, progress));
    EXPECT_TRUE(SysExSender::SendChunked(nothing, port, progress));
    EXPECT_TRUE(OneShotSysExSender(port).SendPortion(big, progress));
    // Only a portion's first chunk arrives: the chunked sender stops at the second, the one-shot one fails.
    port.device = [&](const unsigned char* data) { return data == portion.data.data(); };
    EXPECT_FALSE(SimpleSysExSender(port).SendPortion(portion, progress));
    EXPECT_FALSE(OneShotSysExSender(port).SendPortion(big, progress));
    EXPECT_EQ(Join(progress.lines),
              "busy | status: Sent 0 bytes of 4.9KB | progress 0.6 | status: Sent 2.9KB of 4.9KB | progress "
              "1 | status: Sent 4.9KB of 4.9KB | progress 1 | status: Sent 0 bytes of 0 bytes | busy | "
              "status: Sending update (1.5MB). Please wait... | status: Sent 1.5MB | progress 1 | busy | "
              "status: Sent 0 bytes of 4.9KB | progress 0.6 | status: Sent 2.9KB of 4.9KB | busy | status: "
              "Sending update (1.5MB). Please wait...");
    // The first portion cut after its third message, the big one whole, the first chunk again.
    EXPECT_EQ(port.sent, (std::vector{Messages(3, 1000), Messages(2, 1000), big.data, Messages(3, 1000)}));
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

// Status messages, polls and identity replies. Catches: a wrong status byte, flag bit or message size; a
// wrong poll interval or time-out, busy run (201 answers) or silence count (six polls); a wrong identity
// field, base-22 version or text rule; a read past the end of an identity reply cut short.

TEST_F(EngineTest, StatusMessagesPollsAndIdentityReplies) {
    // Flags -> status: the error bits (0F) win over busy (20); the other bits mean nothing.
    std::string statuses;
    for (unsigned char flag : {0x00, 0x10, 0x40, 0x80, 0xD0, 0x20, 0x21, 0x01, 0x02, 0x04, 0x08, 0x0F})
        statuses += std::to_string(CheckSysExUpdateStatus(StatusMessage(flag)));
    // A header byte changed (0-4), one byte short (5), one byte long (6): no status message.
    for (std::size_t i = 0; i < 7; ++i) {
        Bytes other = busyMessage;
        other.resize(i == 5 ? 12 : i == 6 ? 14 : 13, 0xF7);
        other[i % 5] ^= i < 5 ? 0x01 : 0x00;
        statuses += std::to_string(CheckSysExUpdateStatus(other));
    }
    EXPECT_EQ(statuses, "1111123333330000000");
    // The poll: every half second until the time-out, and not without a device.
    port.absentLooks = 1; // a device lost during the poll is let go, and the poll goes on
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
    // Identity replies.
    const Bytes kelva{'K', 'e', 'l', 'v', 'a'}, v105{0, 1, 0, 5};
    // reply -> manufacturer, family, version, text; all empty when the reply is unreadable
    std::vector<std::pair<Bytes, Lines>> rows{
        {IdentityReply({0x41}, {0, 2, 1, 7}, kelva), {"41 ", "06 ", "2.17", "Kelva"}},
        {IdentityReply({0x00, 0x2A, 0x3B}, {1, 3, 0, 5}, kelva), {"00 2A 3B ", "06 ", "25.05", "Kelva"}},
        {IdentityReply({0x41}, {0x7F, 0x7F, 0x7F, 0x7F}), {"41 ", "06 ", "2921.127127", ""}},
        {IdentityReply({0x41}, v105, {0x41, 0x42, 0x43, 0x80, 0x44}), {"41 ", "06 ", "1.05", "ABC"}},
        {IdentityReply({0x41}, v105, {0x41, 0x7F, 0x44}), {"41 ", "06 ", "1.05", "A"}},
        {IdentityReply({0x41}, v105, {0x41, 0x00, 0x44}), {"41 ", "06 ", "1.05", "A"}},
        {IdentityReply({0x41}, v105, {0x7E, 0x20, 0x01}), {"41 ", "06 ", "1.05", "~ \x01"}},
        {IdentityReply({0x41}, v105, Bytes(16, 'x')), {"41 ", "06 ", "1.05", std::string(16, 'x')}},
        {IdentityReply({0x41}, v105, kelva), {"", "", "", ""}},
    };
    rows[7].first.back() = 'y'; // no end after the sixteen characters
    rows[8].first[2] = 0x7F;    // another device
    for (const auto& [reply, fields] : rows) {
        SCOPED_TRACE(ToString(reply));
        const DeviceInfo info = ParseDeviceEnquiryResponse(reply);
        EXPECT_EQ((Lines{info.manufacturer, info.family, info.version, info.text}), fields);
        // Cut short, each cut in an allocation of its own size (so the address sanitizer sees any read
        // past its end), it is unreadable.
        for (std::size_t size = 0; size + 1 < reply.size(); ++size)
            EXPECT_EQ(ParseDeviceEnquiryResponse(Bytes(reply.begin(), reply.begin() + size)).version, "");
    }
}

// The SysEx collector and the port store. Catches: a collector that keeps real-time bytes, does not restart
// at F0, keeps a message another status byte cut off, grows past 1 MiB; a port store that hands a message out
// twice or torn while another thread feeds it (the Concurrency suite runs under ThreadSanitizer too).

TEST(SysExCollector, StreamTable) {
    ScopedLogCapture log;
    // stream -> the newest message completed, which the collector still holds at the end
    const Bytes one{0xF0, 0x01, 0xF7};
    std::vector<std::pair<Bytes, Bytes>> rows{
        // real-time bytes outside are dropped, inside skipped
        {{0xF8, 0xFE, 0xF0, 0x01, 0xF7, 0xFF}, one},
        {{0xF0, 0xF8, 0x01, 0xF9, 0xFA, 0xFB, 0x02, 0xFC, 0xFD, 0xFE, 0xFF, 0xF7}, {0xF0, 0x01, 0x02, 0xF7}},
        // an F0 inside starts afresh
        {{0xF0, 0x01, 0xF0, 0x02, 0xF7}, {0xF0, 0x02, 0xF7}},
        // channel messages and a stray end outside are ignored
        {{0x90, 0x40, 0x7F, 0xF7, 0xF0, 0x01, 0xF7, 0x90, 0x40, 0x7F, 0xF7}, one},
    };
    // Every other status byte ends a message unfinished: the data after it and the F7 make none.
    for (unsigned int status = 0x80; status < 0xF8; ++status)
        if (status != 0xF0 && status != 0xF7)
            rows.push_back({{0xF0, 0x01, static_cast<unsigned char>(status), 0x02, 0xF7}, {}});
    // A message of exactly 1 MiB is kept (a clock tick at the limit is no byte of it); one byte more is
    // too many, and its memory is given back; the rest of it, its F7 included, is ignored until the next F0.
    Bytes runaway = Messages(1, 1024 * 1024);
    runaway.insert(runaway.end() - 1, 0xF8);
    rows.push_back({runaway, Messages(1, 1024 * 1024)});
    runaway.insert(runaway.end() - 1, 0x11);
    rows.push_back({runaway, {}});
    EXPECT_EQ(ScriptedMidiPort(runaway).own.sysEx.capacity(), 0u);
    runaway.insert(runaway.end(), {0x11, 0xF7, 0xF0, 0x01, 0xF7});
    rows.push_back({runaway, one});
    for (const auto& [stream, completed] : rows) {
        ScriptedMidiPort port(stream);
        EXPECT_EQ(port.LastSysEx(), completed) << ToString(stream);
        EXPECT_EQ(port.own.sysEx, completed) << ToString(stream);
        EXPECT_EQ(port.own.HasSysEx(), !completed.empty()) << ToString(stream);
    }
    // A new start drops the completed message.
    ScriptedMidiPort restarted({0xF0, 0x01, 0xF7, 0xF0, 0x02});
    EXPECT_EQ(restarted.LastSysEx(), one);
    EXPECT_EQ(restarted.own.sysEx, (Bytes{0xF0, 0x02}));
}

// The device's bytes reach the port's collector on one thread (the MIDI receive thread) while the
// status poll takes messages on another (the sender's thread).
class CollectorConcurrency : public EngineTest {};

TEST_F(CollectorConcurrency, StatusWaitTimeAndTexts) {
    // The device's answer, sent on a thread of its own, at each poll of 500 ms (b busy, a accepted,
    // r refused, o another message, . nothing; four make a silent poll of 2 s), then silence -> status,
    // time, "Waiting" shown
    const std::vector<Bytes> answers{busyMessage, acceptedMessage, refusedMessage, {0xF0, 0x01, 0xF7}, {}};
    const std::vector<std::tuple<const char*, std::string, int, std::uint64_t, bool>> rows{
        {"refused, after a quiet tick", ".ra", 3, 1000, false},
        {"a silence restarts the run of 201 busy answers",
         std::string(200, 'b') + "...." + std::string(200, 'b') + "a", 1, 401 * 500 + 2000, true},
        {"six silences over the whole wait", "b....b....b....b....b....b....a", 0, 6 * 2500, true},
        {"other messages count as silence", "oooooo", 0, 6 * 500, false},
    };
    for (const auto& [name, script, status, ms, busyShown] : rows) {
        SCOPED_TRACE(name);
        Rig rig;
        std::size_t tick = 0;
        rig.clock.AddObserver([&, script = script + "......"](std::uint64_t) {
            const Bytes& answer = answers.at(std::string("baro.").find(script.at(tick++)));
            std::thread([&] { rig.port.Receive(answer); }).join();
        });
        EXPECT_EQ(WaitForUpdateToFinish(rig.port, rig.progress), status);
        EXPECT_EQ(rig.clock.NowMs(), ms);
        EXPECT_EQ(Join(rig.progress.lines, "status: "),
                  std::string("Checking update status... | ") +
                      (busyShown ? "Waiting for device to complete update installation... | " : "") +
                      "Device has " + (status == 1 ? "accepted update." : "not yet responded to update."));
    }
}

TEST_F(CollectorConcurrency, PollNeverSeesATornOrRepeatedMessage) {
    constexpr unsigned int messages = 20000;
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        for (unsigned int number = 1; number <= messages; ++number) {
            Bytes message = StatusMessage(number == messages ? 0x00 : 0x20);
            for (int i = 0; i < 3; ++i) // a sequence number in bytes the status does not look at
                message[5 + i] = static_cast<unsigned char>((number >> (7 * i)) & 0x7F);
            // Split at a different place each time, with noise between messages.
            const auto cut = message.begin() + 1 + number % 12;
            port.Receive(Bytes(message.begin(), cut));
            port.Receive(Bytes(cut, message.end()));
            port.Receive({0xFE, 0x90, 0x40, 0x7F});
        }
        done = true;
    });
    unsigned int last = 0;
    bool sawFinal = false; // the last message is the only one that says accepted
    for (bool finished = false; !finished;) {
        finished = done;
        // The poll itself and a direct look both race with the feeder.
        sawFinal = sawFinal || GetUpdateStatus(port, 0) == 1;
        const Bytes message = port.LastSysEx();
        if (message.empty())
            continue;
        EXPECT_NE(CheckSysExUpdateStatus(message), 0); // whole: 13 bytes, its frame right
        const unsigned int number = message[5] | message[6] << 7 | message[7] << 14;
        EXPECT_GT(number, std::exchange(last, number)) << "a message was handed out twice or out of order";
        sawFinal = sawFinal || number == messages;
    }
    feeder.join();
    EXPECT_TRUE(sawFinal) << "the newest message waits until it is taken";
}

// The whole update, portion by portion. Catches: a wrong verdict or verdict text, no look for 10 s then on
// other ports, a lost status or retry line, a wrong retry budget (six attempts of 10 s looking and 5 s pause
// over the whole update), a skipped pause, a failed send or refused portion that does not spoil the update,
// an identity request to the wrong device or waited for too short, wrong bytes sent, progress outside a
// portion's share (the four-portion rig).

// Answers of the device to each portion, as soon as its last byte arrives: a accepts, r refuses,
// b busy for ever, s silent, f accepts but the first send of it fails, x every send of it fails, v accepts
// and the device goes away.

struct SendRig : Rig {
    Update update{Bytes{}, "Ostrel Kelva", "", ""};

    SendRig() { update.version = {1, 5}; }

    // Portions of 1000 bytes (one message, its data bytes the portion's index), the first with a
    // pause of 100 ms, answered as given.
    void Play(const std::string& answers) {
        for (unsigned char i = 0; i < answers.size(); ++i)
            update.sysExPortions.push_back({Messages(1, 1000, i), i == 0 ? 100u : 0u});
        port.device = [this, answers, sends = 0](const unsigned char* data) mutable {
            const char answer = answers[data[1]];
            if (answer == 'x' || (answer == 'f' && !sends++))
                return false;
            if (answer == 'b') // from now on at every tick of the clock
                clock.AddObserver([this](std::uint64_t) { port.Receive(busyMessage); });
            port.absentLooks = answer == 'v' ? 1 << 30 : port.absentLooks; // gone for ever
            if (answer != 'b' && answer != 's')
                port.Receive(answer == 'r' ? refusedMessage : acceptedMessage);
            return true;
        };
        SimpleSysExSender(port).Send(update, progress);
    }
};

const Bytes v105 = IdentityReply({0x41}, {0, 1, 0, 5});

// answers (one portion each), then the transcript (see below) after the first "Looking",
// how often IsConnected first answers false (12 looks an attempt), the device's identity reply
// and the update file's version.
struct Row {
    std::string answers;
    Lines transcript;
    int absentLooks = 0;
    Bytes identity = {};
    Version version = {1, 5};
};
const std::string accepted = "completed: The 'Ostrel Kelva' was updated sucessfully to version 1.05.",
                  error = "error: There was an error sending the update file.\nPlease restart the device "
                          "and try again.",
                  looking = "Looking for Ostrel Kelva to update...", verifying = "Verifying update status...",
                  retry22 = "Could not send chunk #2 of 2. Retrying...", inUse = "The port is in use.",
                  noReply = "completed: The update has been sent.", sentOk = "MIDI update sent successfully.",
                  retry23 = "Could not send chunk #2 of 3. Retrying...",
                  unconfirmed = "completed: The update has been sent, but the device has not yet confirmed "
                                "that the update process was successful.",
                  nowAt = "completed: The update has been sent to the device sucessfully.\nIt is now at "
                          "version firmware 1.05.",
                  other = "error: The 'Ostrel Kelva' firmware version is now 1.50.\nThe update file version "
                          "was 1.05.\nThe update process did not complete successfully.";
const std::vector<Row> rows{
    // silent, no identity reply
    {"s", {sentOk, verifying, noReply, "12100 ms, 1 sent"}},
    // busy for ever, short identity reply
    {"b", {sentOk, verifying, unconfirmed, "100600 ms, 1 sent"}, 0, {0xF0, 0x7E, 0x00, 0xF7}},
    // silent, replies with the update's version
    {"s", {sentOk, verifying, accepted, "12100 ms, 1 sent"}, 0, v105},
    // silent, update of unknown version
    {"s", {sentOk, verifying, nowAt, "12100 ms, 1 sent"}, 0, v105, unknownVersion},
    // silent, another version (1.50 is not 1.05)
    {"s", {sentOk, verifying, other, "12100 ms, 1 sent"}, 0, IdentityReply({0x41}, {0, 1, 5, 0})},
    // no portions
    {"", {sentOk, verifying, noReply, "0 ms, 0 sent"}},
    // absent: six attempts
    {"a", {error, "90000 ms, 0 sent"}, 99},
    // present after two attempts
    {"a", {sentOk, accepted, "30100 ms, 1 sent"}, 24},
    // vanishes after the first of two
    {"va", {"Sending chunk #2 of 2", retry22, retry22, retry22, retry22, retry22, error, "75100 ms, 1 sent"}},
    // the retries are shared by the whole update
    {"vaa",
     {"Sending chunk #2 of 3", retry23, retry23, looking, "Could not send chunk #3 of 3. Retrying...", error,
      "90100 ms, 1 sent"},
     36},
    // first given up, then accepted
    {"aa", {looking, error, "90000 ms, 1 sent"}, 72},
    // first refused, then accepted
    {"ra", {"Sending chunk #2 of 2", sentOk, error, "100 ms, 2 sent"}},
    // a send fails once, then accepted
    {"af", {"Sending chunk #2 of 2", inUse, retry22, sentOk, accepted, "5100 ms, 2 sent"}},
    // every send fails: no status wait, no pause, the reason shown once, no "sent successfully"
    {"x", {inUse, error, "30000 ms, 0 sent"}},
};

TEST(SendSequence, VerdictStatusesTimeBytesAndEveryReport) {
    // The transcript: the statuses Send itself shows (not "Started" nor those of sending, waiting or
    // pausing), every verdict, then the virtual time taken and the number of sends that reached the device.
    const std::regex hidden(
        "(progress|busy|status: (Started|Sent |Checking|Device has|Waiting for))[^|]*\\| |status: ");
    for (const Row& row : rows) {
        SCOPED_TRACE("row " + std::to_string(&row - rows.data()));
        SendRig rig;
        rig.port.absentLooks = row.absentLooks;
        rig.port.identity = row.identity;
        rig.update.version = row.version;
        rig.Play(row.answers);
        EXPECT_EQ(std::regex_replace(Join(rig.progress.lines), hidden, "") +
                      Format(" | %d ms, %zu sent", int(rig.clock.NowMs()), rig.port.sent.size()),
                  (row.answers.empty() ? "" : looking + " | ") + Join(row.transcript));
        for (const auto& sent : rig.port.sent)
            EXPECT_EQ(sent, rig.update.sysExPortions.at(sent[1]).data);
    }
    // Every report of a portion accepted by a device found once other ports are permitted: started and
    // looking; the portion; the device's status; the pause; the verdict.
    SendRig rig;
    rig.clock.AddObserver([&](auto ms) { rig.progress.lines.push_back("slept " + std::to_string(ms)); });
    rig.port.connected = false; // looked for once a second for 10 s, then found on any port
    rig.Play("a");
    EXPECT_EQ(Join(rig.progress.lines),
              "progress 0 | busy | status: Started update | status: Looking for Ostrel Kelva to update... | "
              "busy | slept 1000 | slept 2000 | slept 3000 | slept 4000 | slept 5000 | slept 6000 | slept "
              "7000 | slept 8000 | slept 9000 | slept 10000 | busy | status: Sent 0 bytes of 1000 bytes | "
              "progress 1 | status: Sent 1000 bytes of 1000 bytes | status: Checking update status... | busy "
              "| status: Device has accepted update. | progress 1 | status: Waiting for device to become "
              "ready for more data... | busy | slept 10100 | status: Waiting for device to become active... "
              "| progress 1 | progress 1 | status: MIDI update sent successfully. | completed: The 'Ostrel "
              "Kelva' was updated sucessfully to version 1.05.");
    EXPECT_EQ(rig.port.disconnects, 1);
    SendRig four; // of four portions, each fills its share of the bar
    four.Play("aaaa");
    EXPECT_EQ(Join(four.progress.lines, "progress "),
              "0 | 0.25 | 0.25 | 0.25 | 0.5 | 0.5 | 0.75 | 0.75 | 1 | 1 | 1");
}

// The utilities the engine runs on. Catches: Format/Trace cutting at the wrong length; a wrong stamp,
// program name or pid on log lines, or captures that do not nest; the virtual clock's time, sleeps and
// observers; byte counts shown wrongly.

TEST(Utilities, FormatLogLinesBytesShownAndTheVirtualClock) {
    testing::internal::CaptureStderr();
    LogLine("Trace: hello");
    Trace("%s: %u\n", "Step", 7u);
    const std::string stamp =
        R"([0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} MidiUpdateLibTests\[)" +
        std::to_string(getpid()) + R"(\] )";
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                testing::MatchesRegex(stamp + "Trace: hello\n" + stamp + "Trace: Step: 7\n"));
    const std::string exact = std::string(1054, 'a') + "z"; // Format keeps 1055 characters
    EXPECT_EQ(Format("%s!", exact.c_str()), exact);
    std::string sizes;
    for (unsigned int count : {0u, 1u, 1023u, 1024u, 1048575u, 1048576u, 1572864u, 4294967295u})
        sizes += BytesToHuman(count) + "; ";
    EXPECT_EQ(sizes, "0 bytes; 1 byte; 1023 bytes; 1.0KB; 1024.0KB; 1.0MB; 1.5MB; 4096.0MB; ");
    EXPECT_EQ(ToString(Bytes{0xF0, 0x7E, 0x0A}), "{ 0xf0 0x7e 0x0a }");
    EXPECT_EQ(ToString(std::vector<unsigned char>(21, 0xAB)).size(), 1 + 20 * 5 + 2u); // 20 bytes at most
    ScopedLogCapture outer;
    Trace("%s!", exact.c_str());
    {
        ScopedLogCapture inner;
        LogLine("b");
        EXPECT_EQ(inner.Lines(), Lines{"b"});
    }
    Trace("%d\n", 42);
    EXPECT_EQ(outer.Lines(), (Lines{"Trace: " + exact, "Trace: 42\n"}));
    // The virtual clock, installed for a scope.
    VirtualClock clock((1ull << 32) - 700);
    std::vector<std::uint64_t> seen;
    // Observers run outside the lock: they may read the clock.
    clock.AddObserver([&](std::uint64_t now) { seen.push_back(clock.NowMs() == now ? now : 0); });
    {
        ScopedClock installed(clock);
        EXPECT_EQ(TimeNow(), 0xFFFFFFFFu - 699);
        SleepFor(1500);
        EXPECT_EQ(TimeNow(), 800u); // wrapped: the difference, 1500, still works
        SleepFor(0);
        SleepFor(0xFFFFFFFFu);
        clock.Advance(7);
    }
    const std::uint64_t start = (1ull << 32) + 800;
    EXPECT_EQ(clock.Sleeps(), (std::vector<std::uint64_t>{1500, 0, 0xFFFFFFFFu})); // Advance is not a sleep
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{start, start, start + 0xFFFFFFFFu, start + 0xFFFFFFFFu + 7}));
    EXPECT_EQ(dynamic_cast<VirtualClock*>(&CurrentClock()), nullptr); // the system clock again
}
