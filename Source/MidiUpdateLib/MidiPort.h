#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// Reassembles complete SysEx messages (F0 ... F7) from a stream of incoming MIDI bytes, one byte
// at a time, so packet boundaries do not matter. As MIDI has it, real-time bytes (F8-FF) may come
// anywhere, even inside a message, and belong to none: they are skipped. An F0 starts a message
// afresh; any other status byte but F7 ends the message being collected unfinished, and it is
// dropped. Other bytes outside a message are dropped too.
class SysExCollector {
public:
    // A message that grows past this many bytes without its F7 is dropped.
    static constexpr std::size_t maxSysExSize = 1024 * 1024;

    SysExCollector() = default;

    void Add(unsigned char byte);
    bool HasSysEx() const;

    bool inSysEx = false;
    // The message being collected, or the last completed one.
    std::vector<unsigned char> sysEx;
    // Called (on the feeding thread) each time a message is completed.
    void (*callback)(void*) = nullptr;
    void* callbackData = nullptr;
};

// A value and the lock that guards it. Every access to value holds lock for the length of that
// one copy in or out.
template <class T> struct ThreadSafe {
    T value{};
    std::mutex lock;
};

// The port through which the update library talks to the device.
class MidiPort {
public:
    MidiPort();
    virtual ~MidiPort();
    MidiPort(const MidiPort&) = delete;
    MidiPort& operator=(const MidiPort&) = delete;

    // Preferred and largest number of bytes to hand to one Send.
    virtual std::size_t IdealChunkSize() = 0;
    virtual std::size_t MaxChunkSize() = 0;
    // True when the port has its device; may search for it.
    virtual bool IsConnected() = 0;
    // Lets the port accept devices it would not otherwise take.
    virtual void PermitOtherPorts();
    // Lets go of the device; a later IsConnected() searches again.
    virtual void Disconnect() = 0;
    // Hands the bytes to the device as one unit; false when they could not be sent, and then
    // SendFailure() tells why.
    virtual bool Send(const unsigned char* data, std::size_t size) = 0;
    // Why the last failed Send failed, in words for the user; empty when no Send has failed.
    virtual std::string SendFailure();
    virtual void Synchronise();
    // Request-and-reply hook: the base sends nothing and answers with an empty vector.
    virtual std::vector<unsigned char> ReceiveSysEx(unsigned int timeoutMs, const unsigned char* request,
                                                    std::size_t size);
    // The last complete SysEx message received, or an empty vector.
    virtual std::vector<unsigned char> LastSysEx();
    virtual void ClearLastSysEx();

    // Stores the collector's completed message as the last one.
    void GotSysEx();
    static void GotSysExFn(void* port);

protected:
    SysExCollector sysExCollector;
    // Written on the thread that feeds sysExCollector and read by LastSysEx without a lock: only a
    // port that feeds the collector on the sender's own thread may rely on it.
    std::vector<unsigned char> lastSysEx;
};
