#pragma once

#include "Clock.h"
#include "Log.h"
#include "MidiPort.h"
#include "Progress.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// A MidiPort for tests whose device is played by the test: its answers to IsConnected, the
// messages it sends back (delivered at once, at given virtual times, or in reaction to what is
// sent) and its identity reply are scripted, and everything asked of it is recorded.
//
// Like the platform port, it reassembles received bytes in a collector of its own, keeps the newest
// complete message in a locked store and hands each message out once from LastSysEx(), so it may be
// fed from another thread while the sender polls.
class ScriptedMidiPort : public MidiPort {
public:
    struct SentChunk {
        const unsigned char* data; // where the sender's bytes were, to check they were not copied
        std::vector<unsigned char> bytes;
        std::uint64_t atMs;
    };

    ScriptedMidiPort(std::size_t ideal = 2048, std::size_t max = 16384);

    std::size_t IdealChunkSize() override { return ideal; }
    std::size_t MaxChunkSize() override { return max; }
    bool IsConnected() override;
    void PermitOtherPorts() override;
    void Disconnect() override;
    bool Send(const unsigned char* data, std::size_t size) override;
    std::string SendFailure() override { return sendFailures > 0 ? failureText : std::string(); }
    std::vector<unsigned char> ReceiveSysEx(unsigned int timeoutMs, const unsigned char* request,
                                            std::size_t size) override;
    std::vector<unsigned char> LastSysEx() override;

    // One packet of incoming MIDI bytes, fed to the collector on the calling thread.
    void Receive(const std::vector<unsigned char>& packet);
    // Delivers the packet once the clock reaches atMs (checked whenever the clock advances).
    void ReceiveAt(VirtualClock& clock, std::uint64_t atMs, std::vector<unsigned char> packet);

    // --- script ---
    std::size_t ideal;
    std::size_t max;
    // Answers of IsConnected(), in order; once used up, `connected` answers.
    std::vector<bool> connectedAnswers;
    bool connected = true;
    // When set, PermitOtherPorts() makes the port connected from then on.
    bool connectsAfterPermit = false;
    // Whether a Send goes through (unset: every one does). A failed Send is counted in sendFailures
    // and not recorded in `sent`; SendFailure() then answers failureText.
    std::function<bool(const unsigned char* data, std::size_t size)> sendGoesThrough;
    std::string failureText = "The port is in use.";
    // Called after each Send with the bytes just sent (a simulated device reacts here).
    std::function<void(const unsigned char* data, std::size_t size)> onSend;
    // Called on each Disconnect() (a device that goes away after a portion goes away here).
    std::function<void()> onDisconnect;
    std::vector<unsigned char> identityReply;

    // --- record ---
    int isConnectedCalls = 0;
    int permitCalls = 0;
    int disconnectCalls = 0;
    int lastSysExCalls = 0;
    int sendFailures = 0;
    std::vector<SentChunk> sent;
    struct IdentityRequest {
        unsigned int timeoutMs;
        std::vector<unsigned char> request;
    };
    std::vector<IdentityRequest> identityRequests;

private:
    static void GotOwnSysExFn(void* port);

    SysExCollector ownCollector;
    ThreadSafe<std::vector<unsigned char>> receivedSysEx;
    std::multimap<std::uint64_t, std::vector<unsigned char>> scheduled;
    std::mutex scheduleLock;
    bool observing = false;
};

// One report to a progress sink, with the virtual time at which it came.
struct Report {
    enum Kind { progress, busy, status, error, completed } kind;
    float fraction = 0;
    std::string text;
    std::uint64_t atMs = 0;

    // "progress 0.25", "busy", "status: ...", "error: ...", "completed: ..."
    std::string ToString() const;
};

// A sink that keeps every report in order.
class RecordingProgress : public UpdateProgress {
public:
    void Progress(float fraction) override;
    void ProgressIndeterminate() override;
    void Status(const std::string& text) override;
    void Error(const std::string& text) override;
    void Completed(const std::string& text) override;

    std::vector<std::string> Lines() const;
    // Only the status texts, in order.
    std::vector<std::string> Statuses() const;
    // Only the fractions, in order.
    std::vector<float> Fractions() const;
    int CountOf(Report::Kind kind) const;

    std::vector<Report> reports;
};

// The device's 13-byte status message with the given flags byte.
std::vector<unsigned char> StatusMessage(unsigned char flags);
inline std::vector<unsigned char> AcceptedMessage() {
    return StatusMessage(0x00);
}
inline std::vector<unsigned char> BusyMessage() {
    return StatusMessage(0x20);
}
inline std::vector<unsigned char> ErrorMessage() {
    return StatusMessage(0x01);
}

// Trace lines captured by ScopedLogCapture, without their "Trace: " prefix; other records dropped.
std::vector<std::string> TraceTexts(const std::vector<std::string>& records);
int CountOf(const std::vector<std::string>& lines, const std::string& line);

// What every engine test starts from: virtual time from 0, the log captured, a scripted port and a
// recording sink.
class ScriptedPortTest : public ::testing::Test {
protected:
    VirtualClock clock{0};
    ScopedClock useClock{clock};
    ScopedLogCapture log;
    ScriptedMidiPort port;
    RecordingProgress progress;

    std::vector<std::string> Traces() const { return TraceTexts(log.Lines()); }
};
