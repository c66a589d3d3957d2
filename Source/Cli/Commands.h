#pragma once

#include <CLI/CLI.hpp>

#include <functional>

// Each command registers itself on the application and returns what runs it once the command
// line has been parsed. The runner answers the process's exit status.
struct Command {
    CLI::App* parsed;
    std::function<int()> run;
};

Command AddInspectCommand(CLI::App& app);
Command AddExtractCommand(CLI::App& app);
Command AddPackCommand(CLI::App& app);
Command AddUpdateCommand(CLI::App& app);
Command AddVideoModeCommand(CLI::App& app);
Command AddListCommand(CLI::App& app);
Command AddSimulateCommand(CLI::App& app);
Command AddStatusCommand(CLI::App& app);
