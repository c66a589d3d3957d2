// --simulate and the --sim-* options: what the command line turns into for the simulated device.
#include "SimulationOptions.h"

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

SimulationOptions Parse(std::vector<std::string> args) {
    CLI::App app;
    SimulationOptions options;
    AddSimulationOptions(app, options);
    std::reverse(args.begin(), args.end()); // CLI11 takes the arguments last first
    app.parse(args);
    return options;
}

} // namespace

TEST(SimulationOptions, DefaultsAreAnAcceptingKelvaWithTwoBusyAnswers) {
    const SimulatedDevice::Options device = ToDeviceOptions(Parse({"--simulate"}));
    EXPECT_EQ(device.name, "Ostrel Kelva");
    EXPECT_EQ(device.displayName, "Ostrel Kelva");
    EXPECT_EQ(device.protocol.answer, DeviceProtocol::Answer::Accept);
    EXPECT_EQ(device.protocol.busyCount, 2u);
    EXPECT_EQ(device.appearAfterMs, 0u);
    EXPECT_FALSE(device.withoutSource);
    EXPECT_EQ(device.bytesPerSecond, 0.0);
    EXPECT_EQ(device.protocol.firmwareVersion, (Version{1, 0}));
}

TEST(SimulationOptions, EveryOptionReachesTheDevice) {
    const SimulationOptions options = Parse({"--simulate",
                                             "--sim-name",
                                             "Ostrel Dramlin",
                                             "--sim-reply",
                                             "busy",
                                             "--sim-busy",
                                             "0",
                                             "--sim-absent-for",
                                             "1.5",
                                             "--sim-vanish-after",
                                             "2",
                                             "--sim-error-on",
                                             "3",
                                             "--sim-no-source",
                                             "--sim-version",
                                             "2.07",
                                             "--sim-record",
                                             "out.bin",
                                             "--sim-rate",
                                             "200000"});
    const SimulatedDevice::Options device = ToDeviceOptions(options);
    EXPECT_EQ(device.name, "Ostrel Dramlin");
    EXPECT_EQ(device.displayName, "Ostrel Dramlin");
    EXPECT_EQ(device.protocol.answer, DeviceProtocol::Answer::BusyForever);
    EXPECT_EQ(device.protocol.busyCount, 0u);
    EXPECT_EQ(device.appearAfterMs, 1500u);
    EXPECT_EQ(device.vanishAfterPortion, 2u);
    EXPECT_EQ(device.protocol.errorOnPortion, 3u);
    EXPECT_TRUE(device.withoutSource);
    EXPECT_EQ(device.protocol.firmwareVersion, (Version{2, 7}));
    EXPECT_EQ(device.bytesPerSecond, 200000.0);
    EXPECT_EQ(options.recordFile, "out.bin");
}

TEST(SimulationOptions, RepliesMapToTheDevicesAnswers) {
    using Answer = DeviceProtocol::Answer;
    const std::size_t slow = DeviceProtocol::Settings{}.endlessChunkSize;
    const struct {
        const char* reply;
        Answer answer;
        std::size_t endlessChunkSize;
    } rows[] = {
        {"accept", Answer::Accept, slow},
        {"error", Answer::Error, slow},
        {"silent", Answer::Silent, slow},
        {"busy", Answer::BusyForever, slow},
        {"garbage", Answer::Garbage, slow},
        {"noisy", Answer::Noisy, slow},
        {"endless", Answer::EndlessSysEx, slow},
        {"endless-fast", Answer::EndlessSysEx, DeviceProtocol::fastEndlessChunkSize},
        {"flood", Answer::Flood, slow},
    };
    ASSERT_EQ(std::size(rows), std::size(simulationReplies));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].reply);
        EXPECT_STREQ(simulationReplies[i], rows[i].reply);
        const SimulatedDevice::Options device =
            ToDeviceOptions(Parse({"--simulate", "--sim-reply", rows[i].reply}));
        EXPECT_EQ(device.protocol.answer, rows[i].answer);
        EXPECT_EQ(device.protocol.endlessChunkSize, rows[i].endlessChunkSize);
    }
    EXPECT_THROW(Parse({"--simulate", "--sim-reply", "nonsense"}), CLI::ValidationError);
    SimulationOptions unknown;
    unknown.reply = "nonsense";
    EXPECT_THROW(ToDeviceOptions(unknown), std::invalid_argument);
}

TEST(SimulationOptions, SimOptionsNeedSimulateAndRatesMustBePositive) {
    EXPECT_THROW(Parse({"--sim-busy", "3"}), CLI::RequiresError);
    EXPECT_THROW(Parse({"--simulate", "--sim-rate", "0"}), CLI::ValidationError);
    EXPECT_THROW(Parse({"--simulate", "--sim-absent-for", "-1"}), CLI::ValidationError);
}

TEST(SimulationOptions, VersionsAreXDotTwoDigits) {
    EXPECT_EQ(ParseSimulatedVersion("1.05"), (Version{1, 5}));
    EXPECT_EQ(ParseSimulatedVersion("65535.99"), (Version{65535, 99}));
    for (const char* bad : {"1.5", "1.005", "1", ".05", "a.05", "1.0x", "65536.00", "-1.00", ""})
        EXPECT_THROW(ParseSimulatedVersion(bad), std::invalid_argument) << bad;
}
