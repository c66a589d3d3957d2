#include "ConsoleProgress.h"

#include "UpdateJson.h"
#include "Utilities.h"

#include <algorithm>
#include <cmath>

namespace {

bool IsChunkLine(const std::string& text) {
    return text.rfind("Sent ", 0) == 0 && text.find(" of ") != std::string::npos;
}

// "Sent 96.0KB of 96.0KB": the portion's last chunk has gone.
bool IsLastChunkLine(const std::string& text) {
    const std::size_t of = text.find(" of ");
    return IsChunkLine(text) && text.substr(5, of - 5) == text.substr(of + 4);
}

// Cuts text to at most width bytes without splitting a UTF-8 sequence.
std::string CutToWidth(std::string text, std::size_t width) {
    if (text.size() <= width)
        return text;
    std::size_t cut = width;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    text.resize(cut);
    return text;
}

// A multi-line text on one line.
std::string OneLine(const std::string& text) {
    std::string line = text;
    std::replace(line.begin(), line.end(), '\n', ' ');
    return line;
}

const char spinnerFrames[] = {'|', '/', '-', '\\'};

} // namespace

ConsoleProgress::Verdict ConsoleProgress::GetVerdict() const {
    std::lock_guard<std::mutex> lock(mutex);
    return verdict;
}

// --- JSON ---

void JsonProgress::Progress(float fraction) {
    nlohmann::ordered_json event{{"event", "progress"}, {"value", nullptr}};
    if (!std::isnan(fraction))
        event["value"] = fraction;
    std::lock_guard<std::mutex> lock(mutex);
    out << DumpJson(event) << std::endl;
}

void JsonProgress::ProgressIndeterminate() {
    std::lock_guard<std::mutex> lock(mutex);
    out << DumpJson({{"event", "busy"}}) << std::endl;
}

void JsonProgress::Status(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    out << DumpJson({{"event", "status"}, {"text", text}}) << std::endl;
}

void JsonProgress::Error(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    verdict = Verdict::Error;
    out << DumpJson({{"event", "error"}, {"text", text}}) << std::endl;
}

void JsonProgress::Completed(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    verdict = Verdict::Completed;
    out << DumpJson({{"event", "completed"}, {"text", text}}) << std::endl;
}

// --- Plain lines ---

void PlainProgress::Status(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (IsChunkLine(text) && !IsLastChunkLine(text))
        return;
    if (text == last)
        return;
    last = text;
    out << text << std::endl;
}

void PlainProgress::Error(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    verdict = Verdict::Error;
    out.flush();
    err << text << std::endl;
}

void PlainProgress::Completed(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    verdict = Verdict::Completed;
    out << text << std::endl;
}

// --- Terminal ---

std::string FormatElapsed(std::uint64_t milliseconds) {
    const std::uint64_t seconds = milliseconds / 1000;
    if (seconds >= 3600)
        return Format("%u:%02u:%02u", static_cast<unsigned int>(seconds / 3600),
                      static_cast<unsigned int>(seconds / 60 % 60), static_cast<unsigned int>(seconds % 60));
    return Format("%u:%02u", static_cast<unsigned int>(seconds / 60),
                  static_cast<unsigned int>(seconds % 60));
}

TerminalProgress::TerminalProgress(std::ostream& out, std::ostream& err, std::uint64_t totalBytes, NowFn now,
                                   unsigned int columns)
    : out(out), err(err), totalBytes(totalBytes), now(std::move(now)), columns(std::max(columns, 20u)),
      startMs(this->now()) {}

void TerminalProgress::Progress(float value) {
    std::lock_guard<std::mutex> lock(mutex);
    if (std::isnan(value))
        return; // nothing to show on the bar
    if (value == 0.0f) {
        busy = true; // a fraction of 0 is the busy state, as in the window
    } else {
        busy = false;
        // The bar only moves forward: a report below what is shown (a portion tried again) waits
        // until the work has caught up.
        fraction = std::max(fraction, std::min(value, 1.0f));
    }
    dirty = true;
    Draw(now(), false);
}

void TerminalProgress::ProgressIndeterminate() {
    std::lock_guard<std::mutex> lock(mutex);
    busy = true;
    dirty = true;
    Draw(now(), false);
}

void TerminalProgress::Status(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (text == status)
        return;
    status = text;
    dirty = true;
    if (!IsChunkLine(text)) {
        ClearLine();
        out << text << "\n";
    }
    Draw(now(), false);
}

void TerminalProgress::Error(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    verdict = Verdict::Error;
    Draw(now(), true);
    EndLine();
    out.flush();
    err << text << std::endl;
}

void TerminalProgress::Completed(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    verdict = Verdict::Completed;
    fraction = 1.0f;
    busy = false;
    dirty = true;
    Draw(now(), true);
    EndLine();
    out << text << std::endl;
}

void TerminalProgress::Tick() {
    std::lock_guard<std::mutex> lock(mutex);
    if (finished)
        return;
    dirty = true; // the time and the spinner move on
    Draw(now(), false);
}

void TerminalProgress::Finish() {
    std::lock_guard<std::mutex> lock(mutex);
    EndLine();
    if (cursorHidden) {
        out << "\x1b[?25h";
        cursorHidden = false;
    }
    finished = true;
    out.flush();
}

std::string TerminalProgress::Line() const {
    std::lock_guard<std::mutex> lock(mutex);
    return LineLocked(now());
}

unsigned int TerminalProgress::Redraws() const {
    std::lock_guard<std::mutex> lock(mutex);
    return redraws;
}

std::string TerminalProgress::LineLocked(std::uint64_t nowMs) const {
    constexpr int barWidth = 24;
    const int filled = static_cast<int>(fraction * barWidth);
    std::string line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(barWidth - filled), '-') + "]";
    line += Format(" %3u%%", static_cast<unsigned int>(fraction * 100.0f));
    const auto sent = static_cast<std::uint64_t>(std::llround(static_cast<double>(fraction) * totalBytes));
    line += "  " + BytesToHuman(static_cast<unsigned int>(sent)) + " of " +
            BytesToHuman(static_cast<unsigned int>(totalBytes));
    line += "  " + FormatElapsed(nowMs - startMs);
    line += busy ? std::string("  ") + spinnerFrames[spinner % 4] + " " : std::string("    ");
    line += OneLine(status);
    return CutToWidth(line, columns - 1);
}

void TerminalProgress::Draw(std::uint64_t nowMs, bool force) {
    if (finished || !dirty)
        return;
    if (!force && drawnOnce && nowMs - lastDrawMs < minRedrawMs)
        return; // drawn again by a later report or tick
    if (!cursorHidden) {
        out << "\x1b[?25l";
        cursorHidden = true;
    }
    if (busy && drawnOnce)
        ++spinner;
    out << "\r" << LineLocked(nowMs) << "\x1b[K" << std::flush;
    shown = true;
    dirty = false;
    drawnOnce = true;
    lastDrawMs = nowMs;
    ++redraws;
}

void TerminalProgress::ClearLine() {
    if (shown) {
        out << "\r\x1b[K";
        shown = false;
        dirty = true;
    }
}

void TerminalProgress::EndLine() {
    if (shown) {
        out << "\n";
        shown = false;
    }
}
