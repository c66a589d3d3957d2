#pragma once

#include "SimulationOptions.h"
#include "Update.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

// The options that every command sending to the device shares.
struct SendOptions {
    bool json = false;
    bool verbose = false;
    std::vector<std::string> ports; // replace the update's port names
    SimulationOptions simulation;
};

void AddSendOptions(CLI::App& command, SendOptions& options);

// Makes Ctrl-C (and SIGTERM) end every wait of the RunClock (RunInterrupted); a second Ctrl-C ends the
// program at once with status 130.
void InstallInterruptHandler();

// Sends an update as the update job does, and shows its reports on the console: as JSON lines, as
// a live line on a terminal, or as plain lines. Before the port is made, and after the sender is,
// the given statuses are reported (after a busy state). Answers the exit status: 0 for Completed,
// 1 for Error or a MIDI service that cannot be had, 130 when interrupted.
struct SendPlan {
    std::vector<std::string> statusesBeforePort;
    std::vector<std::string> statusesAfterSender;
    bool verifyIdentity = false;
    // Called once the MIDI service is ready and before anything is sent; answering false ends the
    // run with the status in exitStatus (e.g. the user declined).
    std::function<bool(int& exitStatus)> confirm;
};

// The console side of a sending command: log sink, run clock and interrupt handling. Make one at
// the start of the command, before the update is loaded.
class SendConsole {
public:
    explicit SendConsole(const SendOptions& options);
    ~SendConsole();
    SendConsole(const SendConsole&) = delete;
    SendConsole& operator=(const SendConsole&) = delete;

    // A failure before the send (a rejected file): the text as an error event or on standard error.
    int Fail(const std::string& text, int exitStatus);
    int Send(Update& update, bool rawSysEx, const SendPlan& plan);

private:
    struct Impl;
    Impl* impl;
};

// Whether standard input, or standard output, is a terminal.
bool InputIsTerminal();
bool OutputIsTerminal();
