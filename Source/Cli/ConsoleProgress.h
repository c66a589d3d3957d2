#pragma once

#include "Progress.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

// The sinks through which the command line shows an update's reports. Reports arrive on the thread
// that sends; Tick() comes from the thread that waits for it. Each sink remembers the verdict.
class ConsoleProgress : public UpdateProgress {
public:
    enum class Verdict { None, Completed, Error };

    Verdict GetVerdict() const;
    // Called about every 50 ms while the update runs (the live line's spinner and time).
    virtual void Tick() {}
    // The run has ended (with or without a verdict): the output is left tidy.
    virtual void Finish() {}

protected:
    mutable std::mutex mutex;
    Verdict verdict = Verdict::None;
};

// One JSON object per report and line: progress (null for a fraction that is not a number), busy,
// status, error, completed.
class JsonProgress : public ConsoleProgress {
public:
    explicit JsonProgress(std::ostream& out) : out(out) {}

    void Progress(float fraction) override;
    void ProgressIndeterminate() override;
    void Status(const std::string& text) override;
    void Error(const std::string& text) override;
    void Completed(const std::string& text) override;

private:
    std::ostream& out;
};

// For output that is not a terminal (a log file, a pipeline): each status as a line of its own,
// except the "Sent ... of ..." lines of a portion's chunks, of which only the last is shown; the
// verdict last (Error on the error stream).
class PlainProgress : public ConsoleProgress {
public:
    PlainProgress(std::ostream& out, std::ostream& err) : out(out), err(err) {}

    void Progress(float) override {}
    void ProgressIndeterminate() override {}
    void Status(const std::string& text) override;
    void Error(const std::string& text) override;
    void Completed(const std::string& text) override;

private:
    std::ostream& out;
    std::ostream& err;
    std::string last;
};

// For a terminal: one live line, redrawn in place, with a bar, the percentage, the bytes sent of the
// total (worked out from the fraction), the time since the start and the status, a spinner while the
// device is busy. Status lines other than the chunks' "Sent ..." also scroll above it. The bar never
// moves back, and the line is drawn at most once every minRedrawMs.
class TerminalProgress : public ConsoleProgress {
public:
    using NowFn = std::function<std::uint64_t()>; // milliseconds
    static constexpr std::uint64_t minRedrawMs = 50;

    TerminalProgress(std::ostream& out, std::ostream& err, std::uint64_t totalBytes, NowFn now,
                     unsigned int columns = 80);

    void Progress(float fraction) override;
    void ProgressIndeterminate() override;
    void Status(const std::string& text) override;
    void Error(const std::string& text) override;
    void Completed(const std::string& text) override;
    void Tick() override;
    void Finish() override;

    // The live line as it would be drawn now (without control characters).
    std::string Line() const;
    unsigned int Redraws() const;

private:
    std::string LineLocked(std::uint64_t now) const;
    void Draw(std::uint64_t now, bool force);
    void ClearLine();
    void EndLine();

    std::ostream& out;
    std::ostream& err;
    const std::uint64_t totalBytes;
    NowFn now;
    const unsigned int columns;
    const std::uint64_t startMs;

    float fraction = 0;
    bool busy = false;
    std::string status;
    bool dirty = true;
    bool shown = false; // the live line is on the screen
    bool cursorHidden = false;
    bool finished = false;
    std::uint64_t lastDrawMs = 0;
    bool drawnOnce = false;
    unsigned int spinner = 0;
    unsigned int redraws = 0;
};

// "1:05" or "1:02:03" for a number of milliseconds.
std::string FormatElapsed(std::uint64_t milliseconds);
