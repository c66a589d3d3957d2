// Catches: a collector that keeps real-time bytes, does not restart at F0, keeps a message another
// status byte cut off, grows past 1 MiB; a port store that hands a message out twice or torn while
// another thread feeds it (the Concurrency suite runs under ThreadSanitizer too).
#include "DeviceStatus.h"
#include "ScriptedMidiPort.h"

#include <atomic>
#include <thread>

// A scripted port that took in the stream: its LastSysEx is the newest message completed, as it was
// when completed; its collector holds what came after.
struct Fed : ScriptedMidiPort {
    explicit Fed(const Bytes& stream) { Receive(stream); }
};

TEST(SysExCollector, StreamTable) {
    // stream -> the newest message completed, which the collector still holds at the end
    std::vector<std::tuple<std::string, Bytes, Bytes>> rows{
        {"real-time bytes outside are dropped", Bytes{0xF8, 0xFE, 0xF0, 0x01, 0xF7, 0xFF},
         Bytes{0xF0, 0x01, 0xF7}},
        {"real-time bytes inside are skipped",
         Bytes{0xF0, 0xF8, 0x01, 0xF9, 0xFA, 0xFB, 0x02, 0xFC, 0xFD, 0xFE, 0xFF, 0xF7},
         Bytes{0xF0, 0x01, 0x02, 0xF7}},
        {"an F0 inside starts afresh", Bytes{0xF0, 0x01, 0xF0, 0x02, 0xF7}, Bytes{0xF0, 0x02, 0xF7}},
        {"channel messages and a stray end outside are ignored",
         Bytes{0x90, 0x40, 0x7F, 0xF7, 0xF0, 0x01, 0xF7, 0x90, 0x40, 0x7F, 0xF7}, Bytes{0xF0, 0x01, 0xF7}},
    };
    // Every other status byte ends a message unfinished: the data after it and the F7 make none.
    for (unsigned int status = 0x80; status < 0xF8; ++status)
        if (status != 0xF0 && status != 0xF7)
            rows.emplace_back("cut off by " + std::to_string(status),
                              Bytes{0xF0, 0x01, static_cast<unsigned char>(status), 0x02, 0xF7}, Bytes{});
    for (const auto& [name, stream, completed] : rows) {
        Fed port(stream);
        EXPECT_EQ(port.LastSysEx(), completed) << name;
        EXPECT_EQ(port.own.sysEx, completed) << name;
        EXPECT_EQ(port.own.HasSysEx(), !completed.empty()) << name;
    }
    Fed restarted(Bytes{0xF0, 0x01, 0xF7, 0xF0, 0x02}); // a new start drops the completed message
    EXPECT_EQ(restarted.LastSysEx(), (Bytes{0xF0, 0x01, 0xF7}));
    EXPECT_EQ(restarted.own.sysEx, (Bytes{0xF0, 0x02}));
}

TEST_F(EngineTest, SysExCollectorCapsAMessageAtOneMebibyte) {
    Bytes message(1024 * 1024, 0x11);
    message.front() = 0xF0;
    message.back() = 0xF7;
    message.insert(message.end() - 1, 0xF8); // a clock tick at the limit is no byte of the message
    EXPECT_EQ(Fed(message).LastSysEx().size(), 1024u * 1024u) << "exactly 1 MiB is kept";
    message.insert(message.end() - 1, 0x11);
    Fed runaway(message);
    EXPECT_TRUE(runaway.LastSysEx().empty()) << "one byte more is too many";
    EXPECT_EQ(runaway.own.sysEx.capacity(), 0u) << "and its memory is given back";
    // The rest of the runaway message, its F7 included, is ignored until the next F0.
    message.insert(message.end(), {0x11, 0xF7});
    message.insert(message.end(), acceptedMessage.begin(), acceptedMessage.end());
    EXPECT_EQ(Fed(message).LastSysEx(), acceptedMessage);
}

// The device's bytes reach the port's collector on one thread (the MIDI receive thread) while the
// status poll takes messages on another (the sender's thread).
class CollectorConcurrency : public EngineTest {};

TEST_F(CollectorConcurrency, StatusWaitReadsWhatAnotherThreadFeeds) {
    // At each poll the device thread sends busy, and accepted at 2 s.
    clock.AddObserver([&](std::uint64_t now) {
        std::thread([&] { port.Receive(now < 2000 ? busyMessage : acceptedMessage); }).join();
    });
    EXPECT_EQ(WaitForUpdateToFinish(port, progress), 1);
    EXPECT_EQ(clock.NowMs(), 2000u);
    EXPECT_EQ(Join(progress.lines, "status: "),
              "Checking update status... | Waiting for device to complete update "
              "installation... | Device has accepted update.");
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
        EXPECT_GT(number, last) << "a message was handed out twice or out of order";
        last = std::max(last, number);
        sawFinal = sawFinal || number == messages;
    }
    feeder.join();
    EXPECT_TRUE(sawFinal) << "the newest message waits until it is taken";
}
