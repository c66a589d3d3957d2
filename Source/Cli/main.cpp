#include "Commands.h"
#include "ExitCodes.h"
#include "Utilities.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    CLI::App app{
        "midi-updater-cli: reads, checks, composes and sends firmware update files for the Ostrel Kelva.",
        "midi-updater-cli"};
    app.set_version_flag("--version", std::string("midi-updater-cli ") + MidiUpdateLib_Version + " (" +
                                          MidiUpdateLib_Build + ")");
    app.require_subcommand(1);

    const std::vector<Command> commands = {
        AddInspectCommand(app),   AddExtractCommand(app), AddPackCommand(app),     AddUpdateCommand(app),
        AddVideoModeCommand(app), AddListCommand(app),    AddSimulateCommand(app), AddStatusCommand(app)};

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return EXIT_USAGE;
    }

    for (const Command& command : commands) {
        if (!command.parsed->parsed())
            continue;
        const int status = command.run();
        // A summary that could not be written (a full disk, a closed pipe) is a failure, not a success.
        if (!std::cout.flush()) {
            std::cerr << "midi-updater-cli: cannot write to standard output\n";
            return status == EXIT_OK ? EXIT_FAILED : status;
        }
        return status;
    }
    return EXIT_USAGE;
}
