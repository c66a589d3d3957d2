#include "DeviceProtocol.h"

#include <algorithm>
#include <string>

const std::vector<unsigned char> DeviceProtocol::identityRequest{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
const std::vector<unsigned char> DeviceProtocol::videoModePrefix{0xF0, 0x00, 0x00, 0x0E, 0x00,
                                                                 0x33, 0x63, 0x00, 0x01};

namespace {

constexpr unsigned char sysExStart = 0xF0;
constexpr unsigned char sysExEnd = 0xF7;
constexpr unsigned char realTimeFirst = 0xF8;

// What the device calls itself in the text field of its identity reply (16 bytes, zero padded).
constexpr char identityText[] = "Ostrel Kelva";

bool IsIdentityRequest(const std::vector<unsigned char>& message) {
    // Addressed to all devices (7F) or to this one (00).
    return message.size() == 6 && message[0] == 0xF0 && message[1] == 0x7E &&
           (message[2] == 0x7F || message[2] == 0x00) && message[3] == 0x06 && message[4] == 0x01 &&
           message[5] == 0xF7;
}

} // namespace

std::vector<unsigned char> DeviceProtocol::StatusMessage(unsigned char flags) {
    return {0xF0, 0x00, 0x00, 0x3F, 0x73, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, flags, 0xF7};
}

std::vector<unsigned char> DeviceProtocol::IdentityReply(Version version, unsigned char family) {
    const unsigned int major = version.major;
    const unsigned int minor = version.minor;
    std::vector<unsigned char> reply{
        0xF0,
        0x7E,
        0x00,
        0x06,
        0x02, // universal non-real-time, device 0, identity reply
        0x00,
        0x00,
        0x0E, // manufacturer, three-byte form
        family,
        0x00,
        0x01, // family code, then two bytes nobody reads
        static_cast<unsigned char>((major / 22) & 0x7F),
        static_cast<unsigned char>(major % 22),
        static_cast<unsigned char>((minor / 10) % 10),
        static_cast<unsigned char>(minor % 10),
        0x00,
        0x00,
        0x00,
        0x00,
        0x00, // five bytes nobody reads
    };
    const std::string text(identityText);
    for (std::size_t i = 0; i < 16; ++i)
        reply.push_back(i < text.size() ? static_cast<unsigned char>(text[i]) : 0x00);
    reply.push_back(0xF7);
    return reply;
}

std::vector<unsigned char> DeviceProtocol::GarbageAnswer() {
    // Stray data bytes, an F7 outside any message, a status message with a wrong header byte and
    // one a byte too short: nothing a receiver may take for a status.
    std::vector<unsigned char> bytes{0x12, 0x34, 0xF7, 0x56};
    std::vector<unsigned char> wrongHeader = StatusMessage(flagsAccepted);
    wrongHeader[4] = 0x72;
    bytes.insert(bytes.end(), wrongHeader.begin(), wrongHeader.end());
    std::vector<unsigned char> tooShort = StatusMessage(flagsAccepted);
    tooShort.erase(tooShort.begin() + 5);
    bytes.insert(bytes.end(), tooShort.begin(), tooShort.end());
    return bytes;
}

std::vector<unsigned char> DeviceProtocol::NoisyStatus(unsigned char flags) {
    const auto next = [this] {
        noise = noise * 1103515245u + 12345u;
        return static_cast<unsigned char>(noise >> 16);
    };
    // One to sixteen stray bytes of any kind but F0 (which would begin a message): data, the status
    // bytes of other messages, a lone F7, real-time bytes.
    std::vector<unsigned char> bytes;
    for (unsigned int count = 1 + next() % 16; count > 0; --count) {
        const unsigned char byte = next();
        bytes.push_back(byte == sysExStart ? sysExEnd : byte);
    }
    // Then the message, with a real-time byte before about half of the bytes after its F0.
    for (unsigned char byte : StatusMessage(flags)) {
        if (byte != sysExStart && next() % 2 == 0)
            bytes.push_back(static_cast<unsigned char>(realTimeFirst + next() % 8));
        bytes.push_back(byte);
    }
    return bytes;
}

DeviceProtocol::DeviceProtocol() : DeviceProtocol(Settings{}) {}

DeviceProtocol::DeviceProtocol(Settings settings) : settings(settings) {
    if (this->settings.busyIntervalMs == 0)
        this->settings.busyIntervalMs = 1;
}

void DeviceProtocol::Receive(const std::vector<unsigned char>& bytes, std::uint64_t nowMs) {
    if (bytes.empty())
        return;
    Produce(nowMs);
    // New data ends whatever the device was still saying about the previous portion.
    answering.reset();
    if (!portionOpen) {
        portionOpen = true;
        portionNeedsStatus = false;
        portions.emplace_back();
    }
    lastDataMs = nowMs;
    received.insert(received.end(), bytes.begin(), bytes.end());
    portions.back().insert(portions.back().end(), bytes.begin(), bytes.end());

    for (unsigned char byte : bytes) {
        if (byte >= realTimeFirst)
            continue; // real-time bytes may appear anywhere and do not touch a message
        if (byte == sysExStart) {
            inSysEx = true;
            message.assign(1, byte);
        } else if (!inSysEx) {
            continue;
        } else if (byte == sysExEnd) {
            message.push_back(byte);
            inSysEx = false;
            MessageComplete(nowMs);
        } else if (byte & 0x80) {
            inSysEx = false; // another status byte cuts the message off
            message.clear();
        } else {
            message.push_back(byte);
        }
    }
}

void DeviceProtocol::MessageComplete(std::uint64_t nowMs) {
    messages.push_back(message);
    if (IsIdentityRequest(message)) {
        ++identityRequests;
        if (settings.answerIdentity)
            ready.push_back(Output{Identity(), nowMs, 0, false});
        return;
    }
    portionNeedsStatus = true;
    if (message.size() == videoModePrefix.size() + 2 &&
        std::equal(videoModePrefix.begin(), videoModePrefix.end(), message.begin())) {
        const unsigned char mode = message[videoModePrefix.size()];
        if (mode == 0x00 || mode == 0x01)
            videoMode = mode;
    }
}

std::vector<unsigned char> DeviceProtocol::Identity() const {
    std::vector<unsigned char> reply = IdentityReply(settings.firmwareVersion, settings.identityFamily);
    if (settings.identityReplySize != 0) {
        reply.pop_back();
        reply.resize(settings.identityReplySize - 1, 0x00);
        reply.push_back(sysExEnd);
    }
    return reply;
}

void DeviceProtocol::EndPortionIfQuiet(std::uint64_t nowMs) {
    if (!portionOpen || nowMs < lastDataMs + settings.quietGapMs)
        return;
    portionOpen = false;
    const unsigned int portion = ++endedPortions;
    const std::uint64_t endMs = lastDataMs + settings.quietGapMs;
    Answer answer = settings.answer;
    if (settings.errorOnPortion == portion)
        answer = Answer::Error;
    if (!portionNeedsStatus || answer == Answer::Silent) {
        ready.push_back(Output{{}, endMs, portion, true});
        return;
    }
    answering = Answering{portion, endMs, settings.busyCount, answer, false};
}

void DeviceProtocol::Produce(std::uint64_t nowMs) {
    EndPortionIfQuiet(nowMs);
    while (answering && answering->nextMs <= nowMs) {
        Answering& a = *answering;
        Output out{{}, a.nextMs, a.portion, false};
        a.nextMs += settings.busyIntervalMs;
        switch (a.answer) {
        case Answer::Accept:
        case Answer::Error:
        case Answer::Garbage:
        case Answer::Noisy:
        case Answer::Flood: {
            const unsigned char flags =
                a.busyLeft > 0 ? flagsBusy : (a.answer == Answer::Error ? flagsError : flagsAccepted);
            if (a.answer == Answer::Garbage) {
                out.bytes = GarbageAnswer();
            } else if (a.answer == Answer::Noisy) {
                out.bytes = NoisyStatus(flags);
            } else {
                const std::vector<unsigned char> busy = StatusMessage(flagsBusy);
                const std::vector<unsigned char> status = StatusMessage(flags);
                const std::size_t floods = a.answer == Answer::Flood ? settings.floodSize : 0;
                out.bytes.reserve((floods + 1) * status.size());
                for (std::size_t i = 0; i < floods; ++i)
                    out.bytes.insert(out.bytes.end(), busy.begin(), busy.end());
                out.bytes.insert(out.bytes.end(), status.begin(), status.end());
            }
            if (a.busyLeft > 0) {
                --a.busyLeft;
            } else {
                out.portionDone = true;
            }
            break;
        }
        case Answer::BusyForever:
            out.bytes = StatusMessage(flagsBusy);
            out.portionDone = !a.started; // it has said all it will ever say
            a.started = true;
            break;
        case Answer::EndlessSysEx:
            if (!a.started)
                out.bytes = {0xF0, 0x00, 0x00, 0x3F, 0x73};
            out.bytes.insert(out.bytes.end(), settings.endlessChunkSize, 0x00);
            out.portionDone = !a.started;
            a.started = true;
            break;
        case Answer::Silent:
            break; // never answering
        }
        const bool done =
            out.portionDone && a.answer != Answer::BusyForever && a.answer != Answer::EndlessSysEx;
        ready.push_back(std::move(out));
        if (done)
            answering.reset();
    }
}

std::vector<DeviceProtocol::Output> DeviceProtocol::Advance(std::uint64_t nowMs) {
    Produce(nowMs);
    std::vector<Output> due(std::make_move_iterator(ready.begin()), std::make_move_iterator(ready.end()));
    ready.clear();
    return due;
}

void DeviceProtocol::Reset() {
    inSysEx = false;
    message.clear();
    answering.reset();
    ready.clear();
    if (portionOpen) {
        portionOpen = false;
        ++endedPortions;
    }
}
