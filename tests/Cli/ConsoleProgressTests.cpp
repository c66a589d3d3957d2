// The console sinks of midi-updater-cli, each played a script of reports on a fake clock and its whole
// output compared: the terminal's live line, the plain lines, the JSON lines.
// Catches: a bar that moves back or redraws too often or too rarely, wrong line texts or elapsed times,
// chunk lines shown or hidden wrongly, a verdict on the wrong stream or not remembered, the cursor left
// hidden, a line not cut to the terminal's width.
#include "ConsoleProgress.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <regex>
#include <sstream>

namespace {

// A script of reports: "+N" moves the clock N ms, "pF" a fraction (pnan), "b" busy, "sTEXT" a status,
// "eTEXT" an error, "cTEXT" a verdict, "t" a tick, "f" the end. The result: standard output and standard
// error with the terminal's controls made visible (<r> carriage return, ^ escape: ^[K clears to the end,
// ^[?25l and ^[?25h hide and show the cursor), then the verdict remembered (0 none, 1 completed, 2 error).
// The sink is named by the case's name up to its colon.
std::string Play(const std::string& name, const std::vector<std::string>& script) {
    const std::string sink = name.substr(0, name.find(':'));
    std::uint64_t now = 5000;
    std::ostringstream out, err;
    std::unique_ptr<ConsoleProgress> progress;
    if (sink == "plain")
        progress = std::make_unique<PlainProgress>(out, err);
    else if (sink == "json")
        progress = std::make_unique<JsonProgress>(out);
    else
        progress = std::make_unique<TerminalProgress>(
            out, err, 1000 * 1024, [&] { return now; }, 80);
    const std::map<char, std::function<void(const std::string&)>> steps{
        {'+', [&](const std::string& text) { now += std::stoull(text); }},
        {'p', [&](const std::string& text) { progress->Progress(std::stof(text)); }},
        {'b', [&](const std::string&) { progress->ProgressIndeterminate(); }},
        {'s', [&](const std::string& text) { progress->Status(text); }},
        {'e', [&](const std::string& text) { progress->Error(text); }},
        {'c', [&](const std::string& text) { progress->Completed(text); }},
        {'t', [&](const std::string&) { progress->Tick(); }},
        {'f', [&](const std::string&) { progress->Finish(); }},
    };
    for (const std::string& step : script)
        steps.at(step[0])(step.substr(1));
    std::string shown;
    for (char c : out.str() + "|" + err.str())
        shown += c == '\r' ? "<r>" : c == '\x1b' ? "^" : std::string(1, c);
    return shown + "|" + std::to_string(int(progress->GetVerdict()));
}

} // namespace

TEST(ConsoleProgress, WholeOutputOfEachScript) {
    struct Row {
        std::string name;
        std::vector<std::string> script;
        std::string expected;
    };
    const Row rows[] = {
        {"plain: each status, of a portion's chunk lines only the last, the verdict",
         {"sStarted update", "b", "sSent 0 bytes of 4.0KB", "p0.5", "sSent 2.0KB of 4.0KB",
          "sSent 4.0KB of 4.0KB", "sSent 4.0KB of 4.0KB", "cDone."},
         "Started update\nSent 4.0KB of 4.0KB\nDone.\n||1"},
        {"json: one object a report, null for not a number",
         {"p0.5", "pnan", "b", "sSent 2.0KB of 4.0KB", "ea\nb \"quoted\"", "cdone"},
         "{\"event\":\"progress\",\"value\":0.5}\n"
         "{\"event\":\"progress\",\"value\":null}\n"
         "{\"event\":\"busy\"}\n"
         "{\"event\":\"status\",\"text\":\"Sent 2.0KB of 4.0KB\"}\n"
         "{\"event\":\"error\",\"text\":\"a\\nb \\\"quoted\\\"\"}\n"
         "{\"event\":\"completed\",\"text\":\"done\"}\n||1"},
        // 64.9 s shown as 1:04 (cut to whole seconds), later 1:05.
        {"terminal: the bar never moves back, busy keeps it; bytes, elapsed time, a spinner, the status cut",
         {"sSent 0 bytes of 96.0KB", "+64900", "p0.25", "+100", "p0.2", "b", "+60", "t", "+60", "t"},
         "^[?25l"
         "<r>[------------------------]   0%  0 bytes of 1000.0KB  0:00    Sent 0 bytes of 9^[K"
         "<r>[######------------------]  25%  250.0KB of 1000.0KB  1:04    Sent 0 bytes of 9^[K"
         "<r>[######------------------]  25%  250.0KB of 1000.0KB  1:05    Sent 0 bytes of 9^[K"
         "<r>[######------------------]  25%  250.0KB of 1000.0KB  1:05  / Sent 0 bytes of 9^[K"
         "<r>[######------------------]  25%  250.0KB of 1000.0KB  1:05  - Sent 0 bytes of 9^[K||0"},
        {"terminal: status lines scroll above the live line, the chunk lines do not; the verdict ends the "
         "line, the end shows the cursor, nothing after it",
         {"sStarted update", "+100", "sSent 2.0KB of 4.0KB", "+100", "sChecking update status...", "p0.5",
          "cThe 'Ostrel Kelva' was updated sucessfully to version 1.05.", "f", "+1000", "t"},
         "Started update\n^[?25l"
         "<r>[------------------------]   0%  0 bytes of 1000.0KB  0:00    Started update^[K"
         "<r>[------------------------]   0%  0 bytes of 1000.0KB  0:00    Sent 2.0KB of "
         "4.0^[K<r>^[KChecking update status...\n"
         "<r>[------------------------]   0%  0 bytes of 1000.0KB  0:00    Checking update s^[K"
         "<r>[########################] 100%  1000.0KB of 1000.0KB  0:00    Checking update ^[K\nThe 'Ostrel "
         "Kelva' was updated sucessfully to version 1.05.\n^[?25h||1"},
        // 3723 s shown as 1:02:03.
        {"terminal: the error on standard error",
         {"+3723000", "eThere was an error.\nPlease restart.", "f"},
         "^[?25l"
         "<r>[------------------------]   0%  0 bytes of 1000.0KB  1:02:03    ^[K\n^[?25h|There was an "
         "error.\nPlease restart.\n|2"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Play(row.name, row.script), row.expected) << row.name;
}

// Two seconds of reports, one every millisecond, with ticks every 50 ms as the command sends: at most one
// redraw every 50 ms, yet keeping up, the last report drawn by the next tick.
TEST(ConsoleProgress, TerminalRedrawsAtMostTwentyTimesASecond) {
    std::uint64_t now = 5000;
    std::ostringstream out, err;
    TerminalProgress progress{out, err, 1000 * 1024, [&] { return now; }, 100};
    for (int ms = 1; ms <= 2000; ++ms) {
        now += 1;
        progress.Progress(static_cast<float>(ms) / 2000.0f);
        if (ms % 50 == 0)
            progress.Tick();
    }
    now += TerminalProgress::minRedrawMs;
    progress.Tick();
    EXPECT_LE(progress.Redraws(), 2050u / TerminalProgress::minRedrawMs + 1);
    EXPECT_GE(progress.Redraws(), 2000u / TerminalProgress::minRedrawMs - 1);
    EXPECT_EQ(progress.Line().substr(26, 5), " 100%");
}
