#include "ScriptedMidiPort.h"

#include "Utilities.h"

#include <algorithm>

ScriptedMidiPort::ScriptedMidiPort(std::size_t ideal, std::size_t max) : ideal(ideal), max(max) {
    ownCollector.callback = &ScriptedMidiPort::GotOwnSysExFn;
    ownCollector.callbackData = this;
}

bool ScriptedMidiPort::IsConnected() {
    const std::size_t index = static_cast<std::size_t>(isConnectedCalls++);
    return index < connectedAnswers.size() ? connectedAnswers[index] : connected;
}

void ScriptedMidiPort::PermitOtherPorts() {
    ++permitCalls;
    if (connectsAfterPermit) {
        connectedAnswers.clear();
        connected = true;
    }
}

void ScriptedMidiPort::Disconnect() {
    ++disconnectCalls;
    if (onDisconnect)
        onDisconnect();
}

bool ScriptedMidiPort::Send(const unsigned char* data, std::size_t size) {
    if (sendGoesThrough && !sendGoesThrough(data, size)) {
        ++sendFailures;
        return false;
    }
    sent.push_back({data, std::vector<unsigned char>(data, data + size), CurrentClock().NowMs()});
    if (onSend)
        onSend(data, size);
    return true;
}

std::vector<unsigned char> ScriptedMidiPort::ReceiveSysEx(unsigned int timeoutMs,
                                                          const unsigned char* request, std::size_t size) {
    identityRequests.push_back({timeoutMs, std::vector<unsigned char>(request, request + size)});
    return identityReply;
}

std::vector<unsigned char> ScriptedMidiPort::LastSysEx() {
    ++lastSysExCalls;
    std::vector<unsigned char> message;
    std::lock_guard<std::mutex> guard(receivedSysEx.lock);
    message.swap(receivedSysEx.value);
    return message;
}

void ScriptedMidiPort::Receive(const std::vector<unsigned char>& packet) {
    for (unsigned char byte : packet)
        ownCollector.Add(byte);
}

void ScriptedMidiPort::ReceiveAt(VirtualClock& clock, std::uint64_t atMs, std::vector<unsigned char> packet) {
    {
        std::lock_guard<std::mutex> guard(scheduleLock);
        scheduled.emplace(atMs, std::move(packet));
        if (observing)
            return;
        observing = true;
    }
    clock.AddObserver([this](std::uint64_t now) {
        std::vector<std::vector<unsigned char>> due;
        {
            std::lock_guard<std::mutex> guard(scheduleLock);
            auto last = scheduled.upper_bound(now);
            for (auto it = scheduled.begin(); it != last; ++it)
                due.push_back(std::move(it->second));
            scheduled.erase(scheduled.begin(), last);
        }
        for (auto& packet : due)
            Receive(packet);
    });
}

void ScriptedMidiPort::GotOwnSysExFn(void* data) {
    auto* port = static_cast<ScriptedMidiPort*>(data);
    std::lock_guard<std::mutex> guard(port->receivedSysEx.lock);
    port->receivedSysEx.value = port->ownCollector.sysEx;
}

std::string Report::ToString() const {
    switch (kind) {
    case progress:
        return Format("progress %g", static_cast<double>(fraction));
    case busy:
        return "busy";
    case status:
        return "status: " + text;
    case error:
        return "error: " + text;
    case completed:
        return "completed: " + text;
    }
    return "?";
}

namespace {
std::uint64_t Now() {
    return CurrentClock().NowMs();
}
} // namespace

void RecordingProgress::Progress(float fraction) {
    reports.push_back({Report::progress, fraction, {}, Now()});
}
void RecordingProgress::ProgressIndeterminate() {
    reports.push_back({Report::busy, 0, {}, Now()});
}
void RecordingProgress::Status(const std::string& text) {
    reports.push_back({Report::status, 0, text, Now()});
}
void RecordingProgress::Error(const std::string& text) {
    reports.push_back({Report::error, 0, text, Now()});
}
void RecordingProgress::Completed(const std::string& text) {
    reports.push_back({Report::completed, 0, text, Now()});
}

std::vector<std::string> RecordingProgress::Lines() const {
    std::vector<std::string> lines;
    for (const auto& report : reports)
        lines.push_back(report.ToString());
    return lines;
}

std::vector<std::string> RecordingProgress::Statuses() const {
    std::vector<std::string> texts;
    for (const auto& report : reports)
        if (report.kind == Report::status)
            texts.push_back(report.text);
    return texts;
}

std::vector<float> RecordingProgress::Fractions() const {
    std::vector<float> fractions;
    for (const auto& report : reports)
        if (report.kind == Report::progress)
            fractions.push_back(report.fraction);
    return fractions;
}

int RecordingProgress::CountOf(Report::Kind kind) const {
    return static_cast<int>(std::count_if(reports.begin(), reports.end(),
                                          [kind](const Report& report) { return report.kind == kind; }));
}

std::vector<unsigned char> StatusMessage(unsigned char flags) {
    return {0xF0, 0x00, 0x00, 0x3F, 0x73, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, flags, 0xF7};
}

std::vector<std::string> TraceTexts(const std::vector<std::string>& records) {
    const std::string prefix = "Trace: ";
    std::vector<std::string> texts;
    for (const auto& record : records)
        if (record.rfind(prefix, 0) == 0)
            texts.push_back(record.substr(prefix.size()));
    return texts;
}

int CountOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}
