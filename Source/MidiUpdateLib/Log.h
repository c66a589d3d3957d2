#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The process's diagnostic log. Each record becomes one line on standard error:
//   2026-12-06 10:00:00.123 midi-updater[4242] Trace: ...
// A record that already ends in a line feed gets no second one.
void LogLine(std::string_view text);

// Receives the text of each record (without time stamp or program name).
using LogSink = std::function<void(const std::string& text)>;

// Replaces where records go; an empty sink restores standard error. Returns the previous sink.
LogSink SetLogSink(LogSink sink);

// Captures every record written while it lives (tests use it to check log lines).
class ScopedLogCapture {
public:
    ScopedLogCapture();
    ~ScopedLogCapture();
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    std::vector<std::string> Lines() const;

private:
    struct Store;
    std::shared_ptr<Store> store;
    LogSink previous;
};
