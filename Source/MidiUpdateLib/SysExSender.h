#pragma once

#include "MidiPort.h"
#include "Progress.h"
#include "Update.h"

// Puts SysEx portions of an update onto a MIDI port. Send drives a whole update (portion by
// portion, with the device's status, retries and the verdict); SendPortion is the kind-specific
// way of handing one portion to the port.
class SysExSender {
public:
    explicit SysExSender(MidiPort& port);
    virtual ~SysExSender();
    SysExSender(const SysExSender&) = delete;
    SysExSender& operator=(const SysExSender&) = delete;

    // Sends one portion and reports through the sink; true when it was handed to the port, false
    // as soon as the port could not send a part of it (nothing more of it is sent then).
    virtual bool SendPortion(Update::SysExPortion& portion, UpdateProgress& progress) = 0;

    // Sends the whole update and reports exactly one verdict, Completed or Error, as its last report.
    void Send(Update& update, UpdateProgress& progress);

    // Sends the portion in chunks of the port's ideal to max size, reporting progress before each;
    // stops at the first chunk the port fails to send and answers false.
    static bool SendChunked(Update::SysExPortion& portion, MidiPort& port, UpdateProgress& progress);

protected:
    MidiPort& port; // not owned; outlives the sender
};

// Sends each portion in chunks (the sender the application uses).
class SimpleSysExSender : public SysExSender {
public:
    explicit SimpleSysExSender(MidiPort& port);
    bool SendPortion(Update::SysExPortion& portion, UpdateProgress& progress) override;
};

// Hands each portion to the port in one piece; only for ports that take a whole portion at once.
class OneShotSysExSender : public SysExSender {
public:
    explicit OneShotSysExSender(MidiPort& port);
    bool SendPortion(Update::SysExPortion& portion, UpdateProgress& progress) override;
};

// Waits (about 10 s) for the port to find its device, then lets it accept other devices once.
bool CheckConnected(MidiPort& port);

// Takes the pause that the portion asks for after it has been sent.
void DoDelay(Update::SysExPortion& portion, UpdateProgress& progress);
