#pragma once

#include "SimulatedDevice.h"

#include <string>

namespace CLI {
class App;
}

// The simulated device that --simulate puts on the in-process MIDI service, as chosen on the
// command line. Plain values, so that other front ends can fill them in their own way.
struct SimulationOptions {
    bool simulate = false;
    std::string name = "Ostrel Kelva";
    std::string reply = "accept"; // one of simulationReplies
    unsigned int busy = 2;        // busy answers before the final one
    double absentForSeconds = 0;  // shows up only this long after the start
    unsigned int vanishAfter = 0; // 1-based portion after which it is unplugged; 0: never
    unsigned int errorOn = 0;     // 1-based portion it answers with an error; 0: none
    bool noSource = false;        // a destination only: it hears but cannot answer
    std::string version = "1.00"; // what its identity reply says, X.YY
    std::string recordFile;       // where every byte it received is written at the end
    double bytesPerSecond = 0;    // how fast it takes data; 0: at once
    double clockSpeed = 1;        // how much faster than real time every wait runs (for tests)
};

// The answers that --sim-reply takes, in the order of its help text.
extern const char* const simulationReplies[9];

// Adds --simulate and the --sim-* options to a command. The caller keeps options alive.
void AddSimulationOptions(CLI::App& command, SimulationOptions& options);

// The simulated device's options. Throws std::invalid_argument with a one-line reason for values
// that cannot be used (an unknown reply, a version that is not X.YY).
SimulatedDevice::Options ToDeviceOptions(const SimulationOptions& options);

// "X.YY" with X up to 65535 and YY two digits. Throws std::invalid_argument otherwise.
Version ParseSimulatedVersion(const std::string& text);
