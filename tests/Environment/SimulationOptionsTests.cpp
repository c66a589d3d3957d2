// --simulate and the --sim-* options, from the command line to the simulated device's options.
// Catches: a wrong default, an option that does not reach the device, a reply mapped to the wrong
// answer, a dropped bound (--sim-* without --simulate, rates, times, versions) and changed reasons.
#include "SimulationOptions.h"

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

#include <sstream>

// Everything a command line sets on the device and the run: "name/display name busy error-on appear-after-ms
// vanish-after [no-source] rate \"record file\" clock-speed answer [fast] version" (the answer as its
// number in DeviceProtocol), or the reason it is refused ("parser" when the command line's parser refuses
// it first). `after` sets options past the parser, as another front end may.
static std::string Parse(
    const std::string& line, void (*after)(SimulationOptions&) = [](SimulationOptions&) {}) {
    CLI::App app;
    SimulationOptions o;
    AddSimulationOptions(app, o);
    try {
        app.parse(line);
        after(o);
        const SimulatedDevice::Options d = ToDeviceOptions(o);
        std::ostringstream s;
        s << d.name << "/" << d.displayName << " " << d.protocol.busyCount << " " << d.protocol.errorOnPortion
          << " " << d.appearAfterMs << " " << d.vanishAfterPortion << (d.withoutSource ? " no-source " : " ")
          << d.bytesPerSecond << " \"" << o.recordFile << "\" " << o.clockSpeed << " "
          << static_cast<int>(d.protocol.answer)
          << (d.protocol.endlessChunkSize == DeviceProtocol::fastEndlessChunkSize ? " fast" : "") << " v"
          << d.protocol.firmwareVersion.ToString();
        return s.str();
    } catch (const std::exception& error) {
        return dynamic_cast<const CLI::ParseError*>(&error) != nullptr ? "parser" : error.what();
    }
}

TEST(SimulationOptions, CommandLinesGiveTheirDeviceOrTheirReason) {
    const std::string kelva = "Ostrel Kelva/Ostrel Kelva 2 0 0 0 0 \"\" 1 ";
    const std::pair<std::string, std::string> rows[] = {
        {"--simulate", kelva + "0 v1.00"}, // the reply "accept"
        {"--simulate --sim-name \"Ostrel Dramlin\" --sim-reply busy --sim-busy 0 --sim-absent-for 1.5 "
         "--sim-vanish-after 2 --sim-error-on 3 --sim-no-source --sim-version 2.07 --sim-record out.bin "
         "--sim-rate 200000 --sim-clock-speed 300",
         "Ostrel Dramlin/Ostrel Dramlin 0 3 1500 2 no-source 200000 \"out.bin\" 300 3 v2.07"},
        {"--simulate --sim-version 1.05", kelva + "0 v1.05"},
        {"--simulate --sim-version 65535.99", kelva + "0 v65535.99"},
        {"--simulate --sim-rate nan", "--sim-rate: the rate must be a positive number of bytes per second"},
        {"--simulate --sim-absent-for nan",
         "--sim-absent-for: the time must be a number of seconds, 0 or more"},
    };
    for (const auto& [line, outcome] : rows)
        EXPECT_EQ(Parse(line), outcome) << line;
    std::string got, want; // each reply's answer, the rest of the device as by default
    for (const char* reply : {"error", "silent", "garbage", "noisy", "endless", "endless-fast", "flood"})
        got += Parse(std::string("--simulate --sim-reply ") + reply) + "; ";
    for (const char* answer : {"1", "2", "4", "6", "5", "5 fast", "7"})
        want += kelva + answer + " v1.00; ";
    EXPECT_EQ(got, want);
    // --sim-* needs --simulate; replies, rates, times and clock speeds the parser checks itself.
    for (const char* line : {"--sim-busy 3", "--sim-clock-speed 2", "--simulate --sim-reply nonsense",
                             "--simulate --sim-rate 0", "--simulate --sim-absent-for -1",
                             "--simulate --sim-clock-speed 0.5", "--simulate --sim-clock-speed 10001"})
        EXPECT_EQ(Parse(line), "parser") << line;
    for (const std::string bad : {"1.5", "1.005", "1", ".05", "a.05", "1.0x", "65536.00", "-1.00"})
        EXPECT_EQ(Parse("--simulate --sim-version " + bad),
                  "--sim-version: \"" + bad + "\" is not a version X.YY");
    EXPECT_EQ(Parse("--simulate", [](SimulationOptions& o) { o.version = ""; }),
              "--sim-version: \"\" is not a version X.YY");
    EXPECT_EQ(Parse("--simulate", [](SimulationOptions& o) { o.reply = "nonsense"; }),
              "--sim-reply: \"nonsense\" is not one of accept, error, silent, busy, garbage, noisy, endless, "
              "endless-fast, flood");
}
