#pragma once
// What a device sends during a whole update, as the device-input fuzzer reads it from its input and
// as the seed maker writes it. The first byte sets up the update; then come events until the input
// runs out (a cut-off event is dropped):
//
//   setup: bit 0 identity exchange on; bits 1-2 portions - 1 (3 counts as 3 portions);
//          bit 3 the update's version unknown; bits 4-5 the pause after each portion
//   event: op (bits 0-2 kind, bits 3-7 packet size, 0 = one packet), then the delay since the
//          previous event in ms (2 bytes, little-endian), then by kind:
//     0 raw       n, then n bytes
//     1 status    the flags byte of a 13-byte status message
//     2 identity  n, then n bytes, framed as F0 7E 00 06 02 ... F7
//     3 flood     n (1-16), n bytes, then s: the n bytes repeated 2^(s mod 22) times, in packets
//                 of 256 times the packet size
//     4 repeat    k, then an interval (2 bytes): the previous event k more times, interval ms apart
//
// Everything an input can make the device send is capped at maxScriptBytes.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace device_script {

using Bytes = std::vector<unsigned char>;

enum Kind : unsigned char { raw = 0, status = 1, identity = 2, flood = 3, repeat = 4 };

// Room for a 4 MiB flood and the small events around it.
constexpr std::size_t maxScriptBytes = 4 * 1024 * 1024 + 4096;
constexpr unsigned int delayChoicesMs[4] = {0, 250, 1000, 60'000};

struct Setup {
    bool identityExchange = false;
    unsigned int portions = 1;
    bool versionUnknown = false;
    unsigned int delayMs = 0;
};

// One emission: `pattern` repeated until `size` bytes, at `atMs` after the update started.
struct Event {
    std::uint64_t atMs = 0;
    Bytes pattern;
    std::size_t size = 0;
    std::size_t packetSize = 0; // 0: one packet
};

struct Script {
    Setup setup;
    std::vector<Event> events;
    std::size_t totalBytes = 0;
};

inline Bytes StatusMessage(unsigned char flags) {
    return {0xF0, 0x00, 0x00, 0x3F, 0x73, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, flags, 0xF7};
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data(data), end(data + size) {}
    bool Byte(unsigned int& value) {
        if (data == end)
            return false;
        value = *data++;
        return true;
    }
    bool Word(unsigned int& value) {
        unsigned int low = 0, high = 0;
        if (!Byte(low) || !Byte(high))
            return false;
        value = low | high << 8;
        return true;
    }
    bool Take(unsigned int count, Bytes& out) {
        if (static_cast<std::size_t>(end - data) < count)
            return false;
        out.assign(data, data + count);
        data += count;
        return true;
    }

private:
    const std::uint8_t* data;
    const std::uint8_t* end;
};

inline Script Decode(const std::uint8_t* data, std::size_t size) {
    Script script;
    Reader in(data, size);
    unsigned int setup = 0;
    if (!in.Byte(setup))
        return script;
    script.setup.identityExchange = setup & 1;
    script.setup.portions = ((setup >> 1) & 3) == 3 ? 3 : ((setup >> 1) & 3) + 1;
    script.setup.versionUnknown = setup & 8;
    script.setup.delayMs = delayChoicesMs[(setup >> 4) & 3];

    std::uint64_t now = 0;
    const auto add = [&](Event event) {
        if (script.totalBytes + event.size > maxScriptBytes)
            return false;
        script.totalBytes += event.size;
        script.events.push_back(std::move(event));
        return true;
    };
    for (;;) {
        unsigned int op = 0, delay = 0, n = 0;
        if (!in.Byte(op) || !in.Word(delay))
            break;
        now += delay;
        Event event;
        event.atMs = now;
        event.packetSize = op >> 3;
        switch (op & 7) {
        case raw:
            if (!in.Byte(n) || !in.Take(n, event.pattern))
                return script;
            break;
        case status:
            if (!in.Byte(n))
                return script;
            event.pattern = StatusMessage(static_cast<unsigned char>(n));
            break;
        case identity: {
            Bytes body;
            if (!in.Byte(n) || !in.Take(n, body))
                return script;
            event.pattern = {0xF0, 0x7E, 0x00, 0x06, 0x02};
            event.pattern.insert(event.pattern.end(), body.begin(), body.end());
            event.pattern.push_back(0xF7);
            break;
        }
        case flood: {
            unsigned int shift = 0;
            if (!in.Byte(n) || !in.Take(n % 16 + 1, event.pattern) || !in.Byte(shift))
                return script;
            event.size = event.pattern.size() << (shift % 22);
            event.packetSize *= 256; // a flood comes in packets as large as USB's
            break;
        }
        case repeat: {
            unsigned int interval = 0;
            if (!in.Byte(n) || !in.Word(interval) || script.events.empty())
                return script;
            Event again = script.events.back();
            for (unsigned int i = 0; i < n; ++i) {
                again.atMs = now + static_cast<std::uint64_t>(i) * interval;
                if (!add(again))
                    return script;
            }
            now = again.atMs;
            continue;
        }
        default:
            continue; // kinds 5-7 are pauses
        }
        if (event.size == 0)
            event.size = event.pattern.size();
        if (event.size == 0 || !add(std::move(event)))
            continue;
    }
    return script;
}

// Writes scripts for the seed corpus.
class Writer {
public:
    explicit Writer(unsigned int setup) { bytes.push_back(static_cast<unsigned char>(setup)); }
    static unsigned int SetupByte(bool identityExchange, unsigned int portions, bool versionUnknown,
                                  unsigned int delayChoice) {
        return (identityExchange ? 1u : 0u) | ((portions - 1) & 3) << 1 | (versionUnknown ? 8u : 0u) |
               (delayChoice & 3) << 4;
    }
    Writer& Raw(unsigned int delayMs, const Bytes& data, unsigned int packetSize = 0) {
        Op(raw, packetSize, delayMs);
        bytes.push_back(static_cast<unsigned char>(data.size()));
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
    Writer& Status(unsigned int delayMs, unsigned char flags) {
        Op(status, 0, delayMs);
        bytes.push_back(flags);
        return *this;
    }
    Writer& Identity(unsigned int delayMs, const Bytes& body, unsigned int packetSize = 0) {
        Op(identity, packetSize, delayMs);
        bytes.push_back(static_cast<unsigned char>(body.size()));
        bytes.insert(bytes.end(), body.begin(), body.end());
        return *this;
    }
    // The pattern 2^shift times.
    Writer& Flood(unsigned int delayMs, const Bytes& pattern, unsigned int shift,
                  unsigned int packetSize = 0) {
        Op(flood, packetSize, delayMs);
        bytes.push_back(static_cast<unsigned char>(pattern.size() - 1));
        bytes.insert(bytes.end(), pattern.begin(), pattern.end());
        bytes.push_back(static_cast<unsigned char>(shift));
        return *this;
    }
    Writer& Repeat(unsigned int delayMs, unsigned int times, unsigned int intervalMs) {
        Op(repeat, 0, delayMs);
        bytes.push_back(static_cast<unsigned char>(times));
        Word(intervalMs);
        return *this;
    }
    Bytes bytes;

private:
    void Op(Kind kind, unsigned int packetSize, unsigned int delayMs) {
        bytes.push_back(static_cast<unsigned char>(kind | (packetSize & 31) << 3));
        Word(delayMs);
    }
    void Word(unsigned int value) {
        bytes.push_back(static_cast<unsigned char>(value & 0xFF));
        bytes.push_back(static_cast<unsigned char>(value >> 8 & 0xFF));
    }
};

} // namespace device_script
