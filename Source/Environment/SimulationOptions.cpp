#include "SimulationOptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <stdexcept>

const char* const simulationReplies[9] = {"accept", "error",   "silent",       "busy", "garbage",
                                          "noisy",  "endless", "endless-fast", "flood"};

void AddSimulationOptions(CLI::App& command, SimulationOptions& options) {
    const char* group = "Simulated device";
    command
        .add_flag("--simulate", options.simulate,
                  "use the in-process virtual MIDI service with a simulated Ostrel Kelva instead of the "
                  "system's MIDI")
        ->group(group);
    auto needsSimulate = [&command](CLI::Option* option) {
        return option->needs(command.get_option("--simulate"))->group("Simulated device");
    };
    needsSimulate(command.add_option("--sim-name", options.name, "the name of the device's MIDI ports")
                      ->capture_default_str());
    needsSimulate(
        command
            .add_option("--sim-reply", options.reply,
                        "how it answers each portion: accept, error, silent, busy (busy for ever), garbage "
                        "(stray bytes and malformed status messages), noisy (accept amid stray bytes, with "
                        "real-time bytes inside its messages), endless (a message that never ends, 64 "
                        "bytes every 500 ms), endless-fast (the same, 128 KiB every 500 ms) or flood "
                        "(accept, each answer after 10000 busy ones)")
            ->check(CLI::IsMember(
                std::vector<std::string>(std::begin(simulationReplies), std::end(simulationReplies))))
            ->capture_default_str());
    needsSimulate(command.add_option("--sim-busy", options.busy, "busy answers before the final one")
                      ->capture_default_str());
    needsSimulate(command
                      .add_option("--sim-absent-for", options.absentForSeconds,
                                  "show up only this many seconds after the start")
                      ->check(CLI::NonNegativeNumber));
    needsSimulate(command
                      .add_option("--sim-vanish-after", options.vanishAfter,
                                  "unplug it once it has answered portion K (1-based)")
                      ->type_name("K"));
    needsSimulate(
        command.add_option("--sim-error-on", options.errorOn, "answer portion K (1-based) with an error")
            ->type_name("K"));
    needsSimulate(command.add_flag("--sim-no-source", options.noSource,
                                   "give it no MIDI source: it hears but never answers"));
    needsSimulate(
        command
            .add_option("--sim-version", options.version, "the firmware version its identity reply reports")
            ->type_name("X.YY")
            ->capture_default_str());
    needsSimulate(command
                      .add_option("--sim-record", options.recordFile,
                                  "write every byte the device received to FILE at the end")
                      ->type_name("FILE"));
    needsSimulate(command
                      .add_option("--sim-rate", options.bytesPerSecond,
                                  "how fast it takes data, in bytes per second (default: at once)")
                      ->type_name("BYTES_PER_SECOND")
                      ->check(CLI::PositiveNumber));
    // Runs every wait this many times faster than real time; for tests of long paths.
    command.add_option("--sim-clock-speed", options.clockSpeed)
        ->needs(command.get_option("--simulate"))
        ->check(CLI::Range(1.0, 10000.0))
        ->group("");
}

Version ParseSimulatedVersion(const std::string& text) {
    const std::size_t dot = text.find('.');
    const auto digits = [](const std::string& part) {
        return !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
    };
    if (dot == std::string::npos || !digits(text.substr(0, dot)) || text.size() - dot - 1 != 2 ||
        !digits(text.substr(dot + 1)) || dot > 5 || std::stoul(text.substr(0, dot)) > 65535)
        throw std::invalid_argument("--sim-version: \"" + text + "\" is not a version X.YY");
    return Version{static_cast<unsigned short>(std::stoul(text.substr(0, dot))),
                   static_cast<unsigned short>(std::stoul(text.substr(dot + 1)))};
}

SimulatedDevice::Options ToDeviceOptions(const SimulationOptions& options) {
    SimulatedDevice::Options device;
    device.name = options.name;
    device.displayName = options.name;
    using Answer = DeviceProtocol::Answer;
    // In the order of simulationReplies.
    constexpr Answer answers[std::size(simulationReplies)] = {
        Answer::Accept, Answer::Error,        Answer::Silent,       Answer::BusyForever, Answer::Garbage,
        Answer::Noisy,  Answer::EndlessSysEx, Answer::EndlessSysEx, Answer::Flood};
    const auto reply = std::find(std::begin(simulationReplies), std::end(simulationReplies), options.reply);
    if (reply == std::end(simulationReplies)) {
        std::string names;
        for (const char* name : simulationReplies)
            names += (names.empty() ? "" : ", ") + std::string(name);
        throw std::invalid_argument("--sim-reply: \"" + options.reply + "\" is not one of " + names);
    }
    device.protocol.answer = answers[reply - std::begin(simulationReplies)];
    if (options.reply == "endless-fast")
        device.protocol.endlessChunkSize = DeviceProtocol::fastEndlessChunkSize;
    device.protocol.busyCount = options.busy;
    device.protocol.errorOnPortion = options.errorOn;
    device.protocol.firmwareVersion = ParseSimulatedVersion(options.version);
    if (!(options.absentForSeconds >= 0) || !std::isfinite(options.absentForSeconds))
        throw std::invalid_argument("--sim-absent-for: the time must be a number of seconds, 0 or more");
    device.appearAfterMs = static_cast<std::uint64_t>(std::llround(options.absentForSeconds * 1000.0));
    device.vanishAfterPortion = options.vanishAfter;
    device.withoutSource = options.noSource;
    if (options.bytesPerSecond < 0 || !std::isfinite(options.bytesPerSecond))
        throw std::invalid_argument("--sim-rate: the rate must be a positive number of bytes per second");
    device.bytesPerSecond = options.bytesPerSecond;
    return device;
}
