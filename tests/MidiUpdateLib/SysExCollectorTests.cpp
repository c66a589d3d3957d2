#include "Log.h"
#include "MidiPort.h"
#include "ScriptedMidiPort.h"
#include "Utilities.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// A collector that records the message it holds at each callback.
struct CountingCollector {
    SysExCollector collector;
    int callbacks = 0;
    std::vector<Bytes> completed;

    CountingCollector() {
        collector.callback = [](void* data) {
            auto* self = static_cast<CountingCollector*>(data);
            ++self->callbacks;
            self->completed.push_back(self->collector.sysEx);
        };
        collector.callbackData = this;
    }
    void Add(const Bytes& bytes) {
        for (unsigned char byte : bytes)
            collector.Add(byte);
    }
};

// The port base fed on the test's own thread, as only such a port may feed it.
class BasePort : public MidiPort {
public:
    std::size_t IdealChunkSize() override { return 2048; }
    std::size_t MaxChunkSize() override { return 16384; }
    bool IsConnected() override { return true; }
    void Disconnect() override {}
    bool Send(const unsigned char*, std::size_t) override { return true; }
    void Feed(const Bytes& bytes) {
        for (unsigned char byte : bytes)
            sysExCollector.Add(byte);
    }
};

const Bytes identityRequest{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};

// What the collector makes of a stream: the messages it completes, in order, and what it holds
// at the end.
struct StreamRow {
    std::string name;
    Bytes stream;
    std::vector<Bytes> completed;
    Bytes heldAtEnd;
};

std::vector<StreamRow> StreamRows() {
    std::vector<StreamRow> rows{
        {"real-time bytes outside are dropped",
         {0xF8, 0xFE, 0xF0, 0x01, 0xF7, 0xFF},
         {{0xF0, 0x01, 0xF7}},
         {0xF0, 0x01, 0xF7}},
        {"every real-time byte inside is skipped",
         {0xF0, 0xF8, 0x01, 0xF9, 0xFA, 0xFB, 0x02, 0xFC, 0xFD, 0xFE, 0xFF, 0xF7},
         {{0xF0, 0x01, 0x02, 0xF7}},
         {0xF0, 0x01, 0x02, 0xF7}},
        {"an F0 inside starts the message afresh",
         {0xF0, 0x01, 0xF0, 0x02, 0xF7},
         {{0xF0, 0x02, 0xF7}},
         {0xF0, 0x02, 0xF7}},
        {"channel messages and a stray end outside are ignored",
         {0x90, 0x40, 0x7F, 0xF7, 0xF0, 0x01, 0xF7, 0x90, 0x40, 0x7F, 0xF7},
         {{0xF0, 0x01, 0xF7}},
         {0xF0, 0x01, 0xF7}},
        {"a new start discards the completed message",
         {0xF0, 0x01, 0xF7, 0xF0, 0x02},
         {{0xF0, 0x01, 0xF7}},
         {0xF0, 0x02}},
        {"a message cut off is followed by a whole one",
         {0xF0, 0x01, 0x90, 0x40, 0x7F, 0xF0, 0x02, 0xF7},
         {{0xF0, 0x02, 0xF7}},
         {0xF0, 0x02, 0xF7}},
    };
    // Every status byte but F0, F7 and the real-time ones ends a message unfinished; the data after
    // it and the F7 make no message.
    for (unsigned int status = 0x80; status < 0xF8; ++status) {
        if (status == 0xF0 || status == 0xF7)
            continue;
        rows.push_back({"cut off by " + ToString(Bytes{static_cast<unsigned char>(status)}),
                        {0xF0, 0x01, static_cast<unsigned char>(status), 0x02, 0xF7},
                        {},
                        {}});
    }
    return rows;
}

} // namespace

TEST(SysExCollector, CompletesAMessageOnlyAtItsEnd) {
    CountingCollector counting;
    EXPECT_FALSE(counting.collector.HasSysEx());
    for (std::size_t i = 0; i + 1 < identityRequest.size(); ++i) {
        counting.collector.Add(identityRequest[i]);
        EXPECT_FALSE(counting.collector.HasSysEx()) << "after byte " << i;
    }
    counting.collector.Add(0xF7);
    EXPECT_TRUE(counting.collector.HasSysEx());
    EXPECT_EQ(counting.callbacks, 1);
    EXPECT_EQ(counting.completed, std::vector<Bytes>{identityRequest});
}

TEST(SysExCollector, StreamTable) {
    for (const StreamRow& row : StreamRows()) {
        SCOPED_TRACE(row.name);
        CountingCollector counting;
        counting.Add(row.stream);
        EXPECT_EQ(counting.completed, row.completed);
        EXPECT_EQ(counting.collector.sysEx, row.heldAtEnd);
        EXPECT_EQ(counting.collector.HasSysEx(), !row.heldAtEnd.empty() && row.heldAtEnd.back() == 0xF7);
    }
}

TEST(SysExCollector, AnUnterminatedMessageIsCappedAtOneMebibyte) {
    ScopedLogCapture log;
    CountingCollector counting;
    counting.collector.Add(0xF0);
    for (std::size_t i = 1; i < SysExCollector::maxSysExSize; ++i)
        counting.collector.Add(0x11);
    EXPECT_EQ(counting.collector.sysEx.size(), SysExCollector::maxSysExSize);
    EXPECT_TRUE(TraceTexts(log.Lines()).empty());

    // One byte more is one too many: the message is dropped with one trace line.
    counting.collector.Add(0x11);
    EXPECT_FALSE(counting.collector.inSysEx);
    EXPECT_TRUE(counting.collector.sysEx.empty());
    EXPECT_EQ(
        TraceTexts(log.Lines()),
        (std::vector<std::string>{"SysExCollector::Add: SysEx message longer than 1048576 bytes dropped\n"}));

    // The rest of the runaway message, its F7 included, is ignored until the next F0.
    counting.Add({0x11, 0x22, 0xF7});
    EXPECT_EQ(counting.callbacks, 0);
    EXPECT_FALSE(counting.collector.HasSysEx());
    counting.Add(identityRequest);
    EXPECT_EQ(counting.callbacks, 1);
    EXPECT_EQ(counting.collector.sysEx, identityRequest);
    EXPECT_EQ(TraceTexts(log.Lines()).size(), 1u);
}

TEST(SysExCollector, AMessageOfExactlyOneMebibyteIsKept) {
    CountingCollector counting;
    Bytes message(SysExCollector::maxSysExSize, 0x22);
    message.front() = 0xF0;
    message.back() = 0xF7;
    message.insert(message.end() - 1, 0xF8); // a clock tick at the limit is no byte of the message
    counting.Add(message);
    EXPECT_EQ(counting.callbacks, 1);
    EXPECT_EQ(counting.collector.sysEx.size(), SysExCollector::maxSysExSize);
}

TEST(MidiPortBase, KeepsTheNewestMessageAndTracesIt) {
    ScopedLogCapture log;
    BasePort port;
    EXPECT_TRUE(port.LastSysEx().empty());
    port.Feed(identityRequest);
    EXPECT_EQ(port.LastSysEx(), identityRequest);
    EXPECT_EQ(port.LastSysEx(), identityRequest) << "the base hands out a copy and keeps its message";
    EXPECT_EQ(TraceTexts(log.Lines()),
              (std::vector<std::string>{"GotSysEx: 6 bytes { 0xf0 0x7e 0x7f 0x06 0x01 0xf7 }\n"}));

    port.Feed({0xF0, 0x01, 0xF7, 0xF0, 0x02, 0xF7});
    EXPECT_EQ(port.LastSysEx(), (Bytes{0xF0, 0x02, 0xF7}));
    port.ClearLastSysEx();
    EXPECT_TRUE(port.LastSysEx().empty());
}

TEST(MidiPortBase, AnIncompleteMessageLeavesTheStoredOneAlone) {
    ScopedLogCapture log;
    BasePort port;
    port.Feed(identityRequest);
    port.Feed({0xF0, 0x01});
    EXPECT_EQ(port.LastSysEx(), identityRequest);
}

TEST(MidiPortBase, DefaultHooks) {
    BasePort port;
    EXPECT_TRUE(port.ReceiveSysEx(5000, identityRequest.data(), identityRequest.size()).empty());
    port.PermitOtherPorts();
    port.Synchronise();
    EXPECT_TRUE(port.LastSysEx().empty());
}

TEST(MidiPortBaseDeathTest, GotSysExWithoutACompleteMessageStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    BasePort port;
    port.Feed({0xF0, 0x01});
    EXPECT_DEATH(port.GotSysEx(), "sysExCollector.HasSysEx\\(\\)");
}

TEST(ScriptedMidiPort, MessagesSplitAtEveryPositionAcrossPacketsArriveWhole) {
    // Noise, a status message, noise, an identity request: cut into two and into three packets at
    // every pair of positions.
    Bytes stream{0xF8, 0x90, 0x40};
    const Bytes status = BusyMessage();
    stream.insert(stream.end(), status.begin(), status.end());
    stream.insert(stream.end(), {0xFE, 0x80, 0x40, 0x00});
    stream.insert(stream.end(), identityRequest.begin(), identityRequest.end());

    for (std::size_t cut1 = 0; cut1 <= stream.size(); ++cut1) {
        for (std::size_t cut2 = cut1; cut2 <= stream.size(); ++cut2) {
            ScriptedMidiPort port;
            port.Receive(Bytes(stream.begin(), stream.begin() + cut1));
            port.Receive(Bytes(stream.begin() + cut1, stream.begin() + cut2));
            // After the first two packets the status message is waiting exactly when all of it came.
            const bool statusDone = cut2 >= 3 + status.size();
            if (cut2 < stream.size()) {
                EXPECT_EQ(port.LastSysEx(), statusDone ? status : Bytes{}) << cut1 << "/" << cut2;
            }
            port.Receive(Bytes(stream.begin() + cut2, stream.end()));
            EXPECT_EQ(port.LastSysEx(), identityRequest) << cut1 << "/" << cut2;
            EXPECT_TRUE(port.LastSysEx().empty()) << "each message is handed out once";
        }
    }
}

TEST(ScriptedMidiPort, DeliversScheduledMessagesWhenVirtualTimeComes) {
    VirtualClock clock(0);
    ScriptedMidiPort port;
    port.ReceiveAt(clock, 1000, AcceptedMessage());
    clock.Advance(999);
    EXPECT_TRUE(port.LastSysEx().empty());
    clock.Advance(1);
    EXPECT_EQ(port.LastSysEx(), AcceptedMessage());
}
