// --simulate and the --sim-* options, from the command line to the simulated device's options.
// Catches: a wrong default, an option that does not reach the device, a reply mapped to the wrong
// answer, a dropped bound (--sim-* without --simulate, rates, times, versions) and changed reasons.
#include "SimulationOptions.h"

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>

namespace {

using Answer = DeviceProtocol::Answer;
using namespace std::string_literals;
const std::size_t slow = DeviceProtocol::Settings{}.endlessChunkSize;

// Everything a command line sets on the device and the run, to compare as a whole.
auto Parse(const std::string& line) {
    CLI::App app;
    SimulationOptions o;
    AddSimulationOptions(app, o);
    app.parse(line);
    const SimulatedDevice::Options d = ToDeviceOptions(o);
    return std::tuple(d.name, d.displayName, d.protocol.answer, d.protocol.busyCount,
                      d.protocol.errorOnPortion, d.appearAfterMs, d.vanishAfterPortion, d.withoutSource,
                      d.bytesPerSecond, d.protocol.firmwareVersion, d.protocol.endlessChunkSize, o.recordFile,
                      o.clockSpeed);
}

// Our own reason for refusing a value; "parser" when the command line's parser refuses it first.
std::string Refusal(const std::function<void()>& run) {
    try {
        run();
    } catch (const CLI::ParseError&) {
        return "parser";
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "accepted";
}

} // namespace

TEST(SimulationOptions, DefaultsAndEveryOptionReachTheDevice) {
    EXPECT_EQ(Parse("--simulate"),
              std::tuple("Ostrel Kelva"s, "Ostrel Kelva"s, Answer::Accept, 2u, 0u, std::uint64_t{0}, 0u,
                         false, 0.0, Version{1, 0}, slow, ""s, 1.0));
    EXPECT_EQ(
        Parse("--simulate --sim-name \"Ostrel Dramlin\" --sim-reply busy --sim-busy 0 --sim-absent-for 1.5 "
              "--sim-vanish-after 2 --sim-error-on 3 --sim-no-source --sim-version 2.07 --sim-record out.bin "
              "--sim-rate 200000 --sim-clock-speed 300"),
        std::tuple("Ostrel Dramlin"s, "Ostrel Dramlin"s, Answer::BusyForever, 0u, 3u, std::uint64_t{1500}, 2u,
                   true, 200000.0, Version{2, 7}, slow, "out.bin"s, 300.0));
}

TEST(SimulationOptions, RepliesMapToTheDevicesAnswers) {
    const Answer answers[] = {Answer::Accept,       Answer::Error,        Answer::Silent,
                              Answer::BusyForever,  Answer::Garbage,      Answer::Noisy,
                              Answer::EndlessSysEx, Answer::EndlessSysEx, Answer::Flood};
    const char* const replies[] = {"accept", "error",   "silent",       "busy", "garbage",
                                   "noisy",  "endless", "endless-fast", "flood"};
    ASSERT_EQ(std::size(replies), std::size(simulationReplies));
    for (std::size_t i = 0; i < std::size(replies); ++i) {
        SCOPED_TRACE(replies[i]);
        EXPECT_STREQ(simulationReplies[i], replies[i]);
        const auto device = Parse("--simulate --sim-reply "s + replies[i]);
        EXPECT_EQ(std::get<2>(device), answers[i]);
        EXPECT_EQ(std::get<10>(device),
                  replies[i] == "endless-fast"s ? DeviceProtocol::fastEndlessChunkSize : slow);
    }
}

TEST(SimulationOptions, ValuesOutOfBoundsAreRefused) {
    // --sim-* needs --simulate; replies, rates, times and clock speeds the parser checks itself.
    for (const char* line : {"--sim-busy 3", "--sim-clock-speed 2", "--simulate --sim-reply nonsense",
                             "--simulate --sim-rate 0", "--simulate --sim-absent-for -1",
                             "--simulate --sim-clock-speed 0.5", "--simulate --sim-clock-speed 10001"})
        EXPECT_EQ(Refusal([&] { Parse(line); }), "parser") << line;
    const std::pair<const char*, const char*> rows[] = {
        {"--simulate --sim-rate nan", "--sim-rate: the rate must be a positive number of bytes per second"},
        {"--simulate --sim-absent-for nan",
         "--sim-absent-for: the time must be a number of seconds, 0 or more"},
        {"--simulate --sim-version 1.5", "--sim-version: \"1.5\" is not a version X.YY"},
    };
    for (const auto& [line, reason] : rows)
        EXPECT_EQ(Refusal([line = line] { Parse(line); }), reason) << line;
    SimulationOptions unknown; // past the parser, as another front end may fill them in
    unknown.reply = "nonsense";
    EXPECT_EQ(Refusal([&] { ToDeviceOptions(unknown); }),
              "--sim-reply: \"nonsense\" is not one of accept, error, silent, busy, garbage, noisy, endless, "
              "endless-fast, flood");
}

TEST(SimulationOptions, VersionsAreXDotTwoDigits) {
    EXPECT_EQ(ParseSimulatedVersion("1.05"), (Version{1, 5}));
    EXPECT_EQ(ParseSimulatedVersion("65535.99"), (Version{65535, 99}));
    for (const char* bad : {"1.5", "1.005", "1", ".05", "a.05", "1.0x", "65536.00", "-1.00", ""})
        EXPECT_EQ(Refusal([&] { ParseSimulatedVersion(bad); }),
                  "--sim-version: \""s + bad + "\" is not a version X.YY");
}
