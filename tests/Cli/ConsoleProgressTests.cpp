// The console sinks of midi-updater-cli: the terminal's live line on a fake clock, the plain lines
// and the JSON lines. Catches: a bar that moves back or redraws too often or too rarely, wrong line
// texts, chunk lines shown or hidden wrongly, a verdict on the wrong stream, the cursor left hidden.
#include "ConsoleProgress.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <sstream>

namespace {

struct FakeTime {
    std::uint64_t ms = 5000;
};

// The frames drawn: the text after each carriage return up to the clear-to-end sequence.
std::vector<std::string> Frames(const std::string& output) {
    std::vector<std::string> frames;
    std::size_t at = 0;
    while ((at = output.find('\r', at)) != std::string::npos) {
        const std::size_t end = output.find("\x1b[K", at);
        if (end == std::string::npos)
            break;
        if (end > at + 1)
            frames.push_back(output.substr(at + 1, end - at - 1));
        at = end;
    }
    return frames;
}

int Percent(const std::string& frame) {
    std::smatch match;
    const std::regex percent(R"(\]\s+(\d+)%)");
    if (!std::regex_search(frame, match, percent))
        return -1;
    return std::stoi(match[1]);
}

struct TerminalProgressTest : ::testing::Test {
    FakeTime time;
    std::ostringstream out, err;
    TerminalProgress progress{out, err, 1000 * 1024, [this] { return time.ms; }, 100};
};

} // namespace

TEST_F(TerminalProgressTest, RedrawsAtMostTwentyTimesASecondHoweverManyReports) {
    // Two seconds of reports, one every millisecond, with ticks every 50 ms as the command sends.
    for (int ms = 1; ms <= 2000; ++ms) {
        time.ms += 1;
        progress.Progress(static_cast<float>(ms) / 2000.0f);
        if (ms % 50 == 0)
            progress.Tick();
    }
    // A report that came too soon after a redraw is drawn by the next tick.
    time.ms += TerminalProgress::minRedrawMs;
    progress.Tick();
    EXPECT_LE(progress.Redraws(), 2050u / TerminalProgress::minRedrawMs + 1);
    EXPECT_GE(progress.Redraws(), 2000u / TerminalProgress::minRedrawMs - 1); // and it does keep up
    const std::vector<std::string> frames = Frames(out.str());
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(Percent(frames.back()), 100);
}

TEST_F(TerminalProgressTest, TheBarNeverMovesBackAndTheBusyStateKeepsIt) {
    const float reports[] = {0.1f, 0.3f, 0.25f, 0.0f, 0.2f, std::numeric_limits<float>::quiet_NaN(),
                             0.5f, 0.4f};
    for (float value : reports) {
        time.ms += 100; // every report may be drawn
        progress.Progress(value);
    }
    std::vector<int> percents;
    for (const std::string& frame : Frames(out.str()))
        percents.push_back(Percent(frame));
    EXPECT_EQ(percents, (std::vector<int>{10, 30, 30, 30, 30, 50, 50}));
    EXPECT_NE(progress.Line().find("500.0KB of 1000.0KB"), std::string::npos) << progress.Line();
}

TEST_F(TerminalProgressTest, ShowsBytesElapsedTimeStatusAndASpinnerWhileBusy) {
    progress.Status("Sent 0 bytes of 96.0KB");
    time.ms += 65'000;
    progress.Progress(0.25f);
    EXPECT_EQ(progress.Line().substr(0, 26), "[######------------------]");
    EXPECT_NE(progress.Line().find(" 25%  250.0KB of 1000.0KB  1:05    Sent 0 bytes of 96.0KB"),
              std::string::npos)
        << progress.Line();

    progress.ProgressIndeterminate();
    std::string spinners;
    for (int i = 0; i < 4; ++i) {
        time.ms += 60;
        progress.Tick();
        const std::string frame = Frames(out.str()).back();
        spinners += frame[frame.find("1:05  ") + 6];
    }
    EXPECT_NE(std::string("|/-\\|/-\\").find(spinners), std::string::npos) << spinners;
}

TEST_F(TerminalProgressTest, StatusLinesScrollAboveTheLiveLineExceptTheChunkLines) {
    progress.Status("Started update");
    time.ms += 100;
    progress.Status("Sent 2.0KB of 4.0KB");
    time.ms += 100;
    progress.Status("Checking update status...");
    const std::string text = out.str();
    EXPECT_NE(text.find("Started update\n"), std::string::npos);
    EXPECT_NE(text.find("Checking update status...\n"), std::string::npos);
    EXPECT_EQ(text.find("Sent 2.0KB of 4.0KB\n"), std::string::npos);
}

TEST_F(TerminalProgressTest, VerdictEndsTheLineAndFinishShowsTheCursorAgain) {
    progress.Progress(0.5f);
    progress.Completed("The 'Ostrel Kelva' was updated sucessfully to version 1.05.");
    progress.Finish();
    const std::string text = out.str();
    EXPECT_EQ(progress.GetVerdict(), ConsoleProgress::Verdict::Completed);
    EXPECT_EQ(Percent(Frames(text).back()), 100);
    EXPECT_NE(text.find("\x1b[?25l"), std::string::npos);
    EXPECT_NE(text.find("\nThe 'Ostrel Kelva' was updated sucessfully to version 1.05.\n"),
              std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 6), "\x1b[?25h");
    const std::size_t redraws = progress.Redraws();
    time.ms += 1000;
    progress.Tick();
    EXPECT_EQ(progress.Redraws(), redraws); // nothing more after the end

    TerminalProgress failing{out, err, 1000, [this] { return time.ms; }, 100};
    failing.Error("There was an error.\nPlease restart.");
    EXPECT_EQ(failing.GetVerdict(), ConsoleProgress::Verdict::Error);
    EXPECT_EQ(err.str(), "There was an error.\nPlease restart.\n");
}

TEST_F(TerminalProgressTest, CutsTheLineToTheTerminalWidth) {
    progress.Status(std::string(300, 'x'));
    time.ms += 100;
    progress.Tick();
    EXPECT_EQ(progress.Line().size(), 99u);
}

TEST(PlainProgress, StatusLinesWithOnlyEachPortionsLastChunkAndTheVerdict) {
    std::ostringstream out, err;
    PlainProgress progress(out, err);
    progress.Status("Started update");
    progress.ProgressIndeterminate();
    progress.Status("Sent 0 bytes of 4.0KB");
    progress.Progress(0.5f);
    progress.Status("Sent 2.0KB of 4.0KB");
    progress.Status("Sent 4.0KB of 4.0KB");
    progress.Status("Sent 4.0KB of 4.0KB");
    progress.Completed("Done.");
    EXPECT_EQ(out.str(), "Started update\nSent 4.0KB of 4.0KB\nDone.\n");
    EXPECT_EQ(progress.GetVerdict(), ConsoleProgress::Verdict::Completed);
}

TEST(JsonProgress, OneObjectPerReportWithNullForNotANumber) {
    std::ostringstream out;
    JsonProgress progress(out);
    progress.Progress(0.5f);
    progress.Progress(std::numeric_limits<float>::quiet_NaN());
    progress.ProgressIndeterminate();
    progress.Status("Sent 2.0KB of 4.0KB");
    progress.Error("a\nb \"quoted\"");
    progress.Completed("done");
    EXPECT_EQ(out.str(), "{\"event\":\"progress\",\"value\":0.5}\n"
                         "{\"event\":\"progress\",\"value\":null}\n"
                         "{\"event\":\"busy\"}\n"
                         "{\"event\":\"status\",\"text\":\"Sent 2.0KB of 4.0KB\"}\n"
                         "{\"event\":\"error\",\"text\":\"a\\nb \\\"quoted\\\"\"}\n"
                         "{\"event\":\"completed\",\"text\":\"done\"}\n");
    EXPECT_EQ(progress.GetVerdict(), ConsoleProgress::Verdict::Completed);
}

TEST(FormatElapsed, MinutesAndHours) {
    EXPECT_EQ(FormatElapsed(0) + " " + FormatElapsed(65'999) + " " + FormatElapsed(3'723'000),
              "0:00 1:05 1:02:03");
}
