#include "SysExSender.h"

#include "Chunks.h"
#include "Utilities.h"

namespace {

constexpr int connectionChecks = 10;
constexpr unsigned int connectionRetryMs = 1000;

std::string SentStatus(unsigned long sent, unsigned long size) {
    return "Sent " + BytesToHuman(static_cast<unsigned int>(sent)) + " of " +
           BytesToHuman(static_cast<unsigned int>(size));
}

} // namespace

SysExSender::SysExSender(MidiPort& port) : port(port) {
    Trace("%s", "SysExSender");
}

SysExSender::~SysExSender() = default;

SimpleSysExSender::SimpleSysExSender(MidiPort& port) : SysExSender(port) {}

OneShotSysExSender::OneShotSysExSender(MidiPort& port) : SysExSender(port) {}

bool CheckConnected(MidiPort& port) {
    for (int check = 0; check < connectionChecks; ++check) {
        if (port.IsConnected())
            break;
        Trace("MIDI port is not connected. Waiting, then retrying\n");
        SleepFor(connectionRetryMs);
    }
    if (!port.IsConnected()) {
        Trace("Failed to find MIDI port. Permitting others.\n");
        port.PermitOtherPorts();
        if (!port.IsConnected()) {
            Trace("Still Failed to find MIDI port.\n");
            return false;
        }
    }
    return port.IsConnected();
}

void DoDelay(Update::SysExPortion& portion, UpdateProgress& progress) {
    Trace("%s\n", "DoDelay");
    if (portion.delay == 0)
        return;
    progress.Status("Waiting for device to become ready for more data...");
    progress.ProgressIndeterminate();
    SleepFor(portion.delay);
    progress.Status("Waiting for device to become active...");
    progress.Progress(1.0f);
}

bool SysExSender::SendChunked(Update::SysExPortion& portion, MidiPort& port, UpdateProgress& progress) {
    Trace("%s(portion,port,progress)\n", "SendChunked");
    const Range<unsigned char> total{portion.data.data(), portion.data.data() + portion.data.size()};
    Range<unsigned char> remaining = total;
    unsigned long sent = 0;
    const unsigned long ideal = port.IdealChunkSize();
    const unsigned long max = port.MaxChunkSize();
    while (!remaining.Empty()) {
        const Range<unsigned char> chunk = NextSysExChunk(remaining, ideal, max);
        if (chunk.start == total.start)
            progress.ProgressIndeterminate();
        else
            progress.Progress(PercentageDone(total, remaining));
        progress.Status(SentStatus(sent, total.Size()));
        if (!port.Send(chunk.start, chunk.Size())) {
            // The rest would reach the device without what it follows: stop the portion here.
            Trace("%s: sending %u bytes after %lu failed\n", "SendChunked",
                  static_cast<unsigned int>(chunk.Size()), sent);
            return false;
        }
        remaining.TrimFromFront(chunk.Size());
        sent += chunk.Size();
    }
    progress.Progress(1.0f);
    progress.Status(SentStatus(sent, total.Size()));
    return true;
}

bool SimpleSysExSender::SendPortion(Update::SysExPortion& portion, UpdateProgress& progress) {
    Trace("SimpleSysExSender::Send\n");
    return SendChunked(portion, port, progress);
}

bool OneShotSysExSender::SendPortion(Update::SysExPortion& portion, UpdateProgress& progress) {
    Trace("%s\n", "SendPortion");
    progress.ProgressIndeterminate();
    const std::string size = BytesToHuman(static_cast<unsigned int>(portion.data.size()));
    progress.Status(Format("Sending update (%s). Please wait...", size.c_str()));
    if (!port.Send(portion.data.data(), portion.data.size())) {
        Trace("%s: sending failed\n", "SendPortion");
        return false;
    }
    progress.Status("Sent " + size);
    progress.Progress(1.0f);
    return true;
}
