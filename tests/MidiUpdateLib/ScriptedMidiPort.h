// What the engine tests share: a MidiPort whose device the test plays, a sink that records every
// report, the device's messages, and a rig on virtual time with the log captured.
#pragma once

#include "Clock.h"
#include "Log.h"
#include "MidiPort.h"
#include "Progress.h"
#include "Utilities.h"

#include <algorithm>
#include <functional>
#include <utility>

#include <gtest/gtest.h>

using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;

// Like the platform port, it reassembles received bytes in a collector of its own and keeps the
// newest complete message in a locked store, handing each out once: another thread may feed it.
class ScriptedMidiPort : public MidiPort {
public:
    ScriptedMidiPort() {
        own.callbackData = this;
        own.callback = [](void* self) {
            auto* port = static_cast<ScriptedMidiPort*>(self);
            std::lock_guard<std::mutex> guard(port->received.lock);
            port->received.value = port->own.sysEx;
        };
    }
    std::size_t IdealChunkSize() override { return ideal; }
    std::size_t MaxChunkSize() override { return max; }
    bool IsConnected() override { return looks < answers.size() ? answers[looks++] : connected; }
    void PermitOtherPorts() override { connected = connected || connectsAfterPermit; }
    void Disconnect() override {
        ++disconnects;
        connected = connected && !vanishes;
    }
    bool Send(const unsigned char* data, std::size_t size) override {
        if (device && !device(data)) {
            ++failures;
            return false;
        }
        sent.emplace_back(data, data + size);
        return true;
    }
    std::string SendFailure() override { return failures ? "The port is in use." : ""; }
    Bytes ReceiveSysEx(unsigned int timeoutMs, const unsigned char* request, std::size_t size) override {
        requests.emplace_back(timeoutMs, Bytes(request, request + size));
        return identity;
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

    std::size_t ideal = 2048, max = 16384;
    std::vector<bool> answers; // IsConnected's first answers; then `connected` answers
    bool connected = true, connectsAfterPermit = false;
    bool vanishes = false;                            // the device goes away at the first Disconnect
    std::function<bool(const unsigned char*)> device; // sees each send before it arrives; false: it fails
    Bytes identity;
    int disconnects = 0, failures = 0;
    std::vector<Bytes> sent;
    std::vector<std::pair<unsigned int, Bytes>> requests;
    SysExCollector own; // what Receive feeds, unless to the base

private:
    std::size_t looks = 0;
    ThreadSafe<Bytes> received;
};

// Every report as a line: "progress 0.25", "busy", "status: ...", "error: ...", "completed: ...".
class RecordingProgress : public UpdateProgress {
public:
    void Progress(float fraction) override { lines.push_back(Format("progress %g", double(fraction))); }
    void ProgressIndeterminate() override { lines.push_back("busy"); }
    void Status(const std::string& text) override { lines.push_back("status: " + text); }
    void Error(const std::string& text) override { lines.push_back("error: " + text); }
    void Completed(const std::string& text) override { lines.push_back("completed: " + text); }

    Lines lines;
};

// The device's 13-byte status message with the given flags byte.
inline Bytes StatusMessage(unsigned char flags) {
    return {0xF0, 0x00, 0x00, 0x3F, 0x73, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, flags, 0xF7};
}
const Bytes acceptedMessage = StatusMessage(0x00), busyMessage = StatusMessage(0x20),
            refusedMessage = StatusMessage(0x01);

// An identity reply: manufacturer ID, family 06 00, model 00 00, version A B C D (read as
// A * 22 + B . C D), five unread bytes, 16 text bytes (the text padded with 00), F7.
inline Bytes IdentityReply(const Bytes& id, const Bytes& version, Bytes text = {}) {
    Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02};
    text.resize(16, 0x00);
    for (const Bytes& part : {id, Bytes{0x06, 0x00, 0x00}, version, Bytes(5, 0x00), text, Bytes{0xF7}})
        reply.insert(reply.end(), part.begin(), part.end());
    return reply;
}

// count SysEx messages of the given size (F0, data bytes 11, F7).
inline Bytes Messages(std::size_t count, std::size_t size) {
    Bytes message(size, 0x11), bytes;
    message.front() = 0xF0;
    message.back() = 0xF7;
    while (count-- > 0)
        bytes.insert(bytes.end(), message.begin(), message.end());
    return bytes;
}

// The lines of one kind ("status: ", "progress "; all by default), without it, joined with " | " to
// compare a whole transcript at once.
inline std::string Join(const Lines& lines, const std::string& kind = "") {
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
