#include "MidiPort.h"

#include "Assert.h"
#include "Utilities.h"

void SysExCollector::Add(unsigned char byte) {
    constexpr unsigned char start = 0xF0, end = 0xF7, realTimeFirst = 0xF8;
    if (byte >= realTimeFirst)
        return; // a clock tick or active sensing between two bytes of whatever else is sent
    if (byte == start) {
        sysEx.clear();
        sysEx.push_back(start);
        inSysEx = true;
        return;
    }
    if (!inSysEx)
        return;
    if ((byte & 0x80) != 0 && byte != end) {
        // Another message has begun: this one will never be finished.
        sysEx.clear();
        inSysEx = false;
        return;
    }
    if (sysEx.size() >= maxSysExSize) {
        // A device that never ends its message must not make us grow without bound.
        Trace("%s: SysEx message longer than %zu bytes dropped\n", "SysExCollector::Add", maxSysExSize);
        std::vector<unsigned char>().swap(sysEx);
        inSysEx = false;
        return;
    }
    sysEx.push_back(byte);
    if (byte == end) {
        inSysEx = false;
        if (callback)
            callback(callbackData);
    }
}

bool SysExCollector::HasSysEx() const {
    return !inSysEx && !sysEx.empty() && sysEx.back() == 0xF7;
}

MidiPort::MidiPort() {
    sysExCollector.callback = &MidiPort::GotSysExFn;
    sysExCollector.callbackData = this;
}

MidiPort::~MidiPort() = default;

void MidiPort::PermitOtherPorts() {}

void MidiPort::Synchronise() {}

std::string MidiPort::SendFailure() {
    return {};
}

std::vector<unsigned char> MidiPort::ReceiveSysEx(unsigned int, const unsigned char*, std::size_t) {
    return {};
}

std::vector<unsigned char> MidiPort::LastSysEx() {
    return lastSysEx;
}

void MidiPort::ClearLastSysEx() {
    lastSysEx.clear();
}

void MidiPort::GotSysEx() {
    MIDIUPDATER_ASSERT(sysExCollector.HasSysEx());
    lastSysEx = sysExCollector.sysEx;
    Trace("%s: %u bytes %s\n", "GotSysEx", static_cast<unsigned int>(lastSysEx.size()),
          ToString(lastSysEx).c_str());
}

void MidiPort::GotSysExFn(void* port) {
    static_cast<MidiPort*>(port)->GotSysEx();
}
