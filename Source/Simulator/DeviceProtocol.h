#pragma once

#include "Update.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

// The device side of the Kelva's update protocol, with no transport and no clock of its own: it is
// fed the bytes that reach the device and the time, and says what the device sends back and when.
//
// Received bytes are reassembled into SysEx messages; a quiet gap after data ends a portion. The
// device then answers the portion with its 13-byte status message (busy a number of times, then
// accepted or error), or misbehaves as its settings ask. It answers the identity request at once
// with its identity reply and remembers the video mode it is sent.
class DeviceProtocol {
public:
    // How the device answers a portion.
    enum class Answer {
        Accept,       // busy `busyCount` times, then accepted
        Error,        // busy `busyCount` times, then error
        Silent,       // nothing at all
        BusyForever,  // busy at every interval, until the next portion begins
        Garbage,      // stray bytes and malformed status messages instead of each status message
        EndlessSysEx, // an F0 and then `endlessChunkSize` data bytes at every interval, never an F7
        Noisy,        // as Accept, with stray bytes before each status message and real-time bytes
                      // (clock, active sensing) between its bytes
        Flood,        // as Accept, each status message at the end of `floodSize` busy ones sent with it
    };

    struct Settings {
        Answer answer = Answer::Accept;
        unsigned int busyCount = 0;
        std::uint64_t busyIntervalMs = 500; // between two status messages of one portion
        unsigned int errorOnPortion = 0;    // 1-based: this portion ends with error; 0: none
        std::uint64_t quietGapMs = 100;     // silence after data that ends a portion
        Version firmwareVersion{1, 0};      // reported in the identity reply
        bool answerIdentity = true;
        unsigned char identityFamily = 0x06;
        // The identity reply cut short or padded with zeros to this many bytes, its F7 still last;
        // 0: the reply as it is (37 bytes).
        std::size_t identityReplySize = 0;
        std::size_t endlessChunkSize = 64; // data bytes per interval of EndlessSysEx
        unsigned int floodSize = 10'000;   // busy messages before each status message of Flood
    };

    // Something the device sends, or a point at which it is done with a portion.
    struct Output {
        std::vector<unsigned char> bytes; // empty for a pure "done with the portion" mark
        std::uint64_t atMs = 0;           // virtual time at which it is due
        unsigned int portion = 0;         // the 1-based portion it answers; 0 for an identity reply
        bool portionDone = false;         // no more answers to this portion follow
    };

    static constexpr unsigned char flagsAccepted = 0x00;
    static constexpr unsigned char flagsError = 0x01;
    static constexpr unsigned char flagsBusy = 0x20;

    // F0 00 00 3F 73, six zero bytes, the flags, F7.
    static std::vector<unsigned char> StatusMessage(unsigned char flags);
    // The identity reply for a firmware version X.YY: bytes A, B with A * 22 + B = X, then C and D,
    // the two digits of YY.
    static std::vector<unsigned char> IdentityReply(Version version, unsigned char family = 0x06);
    // What the Garbage answer sends in place of one status message.
    static std::vector<unsigned char> GarbageAnswer();
    static const std::vector<unsigned char> identityRequest; // F0 7E 7F 06 01 F7
    static const std::vector<unsigned char> videoModePrefix; // F0 00 00 0E 00 33 63 00 01
    // The endless message's fast variant: 128 KiB per interval, past the updater's 1 MiB limit for
    // one message within five seconds.
    static constexpr std::size_t fastEndlessChunkSize = 128 * 1024;

    DeviceProtocol();
    explicit DeviceProtocol(Settings settings);

    // Bytes that reached the device at nowMs (one packet; message boundaries do not matter).
    void Receive(const std::vector<unsigned char>& bytes, std::uint64_t nowMs);
    // Lets time pass up to nowMs and hands out everything that is due by then, in order.
    std::vector<Output> Advance(std::uint64_t nowMs);
    // Forgets a half-received message and any pending answers (the device was switched off).
    void Reset();

    // --- what the device has seen ---
    const std::vector<unsigned char>& ReceivedBytes() const { return received; }
    // The bytes of each portion, in order; the last one may still be open.
    const std::vector<std::vector<unsigned char>>& Portions() const { return portions; }
    // Portions whose quiet gap has passed.
    unsigned int EndedPortions() const { return endedPortions; }
    bool PortionOpen() const { return portionOpen; }
    // Complete messages (F0 ... F7) received, in order.
    const std::vector<std::vector<unsigned char>>& Messages() const { return messages; }
    // The video mode last set (0 or 1), if any.
    std::optional<unsigned char> VideoMode() const { return videoMode; }
    unsigned int IdentityRequests() const { return identityRequests; }
    const Settings& GetSettings() const { return settings; }

private:
    void EndPortionIfQuiet(std::uint64_t nowMs);
    void Produce(std::uint64_t nowMs);
    void MessageComplete(std::uint64_t nowMs);
    // The identity reply at the size the settings ask for.
    std::vector<unsigned char> Identity() const;
    // What the Noisy answer sends for one status message; each call makes other noise.
    std::vector<unsigned char> NoisyStatus(unsigned char flags);

    Settings settings;

    std::vector<unsigned char> received;
    std::vector<std::vector<unsigned char>> portions;
    std::vector<std::vector<unsigned char>> messages;
    std::optional<unsigned char> videoMode;
    unsigned int identityRequests = 0;

    // Reassembly.
    bool inSysEx = false;
    std::vector<unsigned char> message;

    // The portion being received.
    bool portionOpen = false;
    bool portionNeedsStatus = false; // it held something other than identity requests
    std::uint64_t lastDataMs = 0;
    unsigned int endedPortions = 0;

    // Answers in progress for the last ended portion.
    struct Answering {
        unsigned int portion = 0;
        std::uint64_t nextMs = 0;
        unsigned int busyLeft = 0; // busy messages before the final one
        Answer answer = Answer::Accept;
        bool started = false; // for EndlessSysEx: the F0 has gone out
    };
    std::optional<Answering> answering;

    std::deque<Output> ready;
    std::uint32_t noise = 1; // the state of the Noisy answer's pseudo-random bytes
};
