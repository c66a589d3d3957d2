#include "Commands.h"
#include "ExitCodes.h"
#include "FileIo.h"
#include "LoadUpdate.h"
#include "RunClock.h"
#include "SendRun.h"

#include <iostream>
#include <memory>
#include <string>

namespace {

struct UpdateOptions {
    std::string file;
    bool yes = false;
    bool verifyIdentity = false;
    SendOptions send;
};

// "Start update? [Y/n]" on the given stream: an empty answer or one starting with y starts it; end
// of input or Ctrl-C does not.
bool AskToStart(std::ostream& question) {
    question << "Start update? [Y/n] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        question << std::endl;
        return false;
    }
    const std::size_t first = answer.find_first_not_of(" \t");
    return first == std::string::npos || answer[first] == 'y' || answer[first] == 'Y';
}

int RunUpdate(const UpdateOptions& options) {
    SendConsole console(options.send);
    LoadedUpdate loaded;
    try {
        loaded = LoadUpdateFile(options.file);
    } catch (const ParseError& error) {
        return console.Fail(std::string("Update failed for reason:\n") + error.what(), EXIT_FAILED);
    } catch (const FileError& error) {
        return console.Fail(std::string("Update failed for reason:\n") + error.what(), EXIT_FAILED);
    }
    Update& update = *loaded.update;

    const bool json = options.send.json;
    if (!json) {
        std::cout << "Product: " << update.productName << "\n"
                  << "Version: " << update.version.ToString() << "\n";
        if (!update.message.empty())
            std::cout << "Important note about this update:\n" << update.message << "\n";
        std::cout << std::flush;
    }

    SendPlan plan;
    plan.statusesAfterSender = {"Updating..."};
    plan.verifyIdentity = options.verifyIdentity;
    // Only a person at a terminal is asked; a script or a pipeline starts at once.
    const bool ask = !options.yes && InputIsTerminal();
    plan.confirm = [ask, json](int& exitStatus) {
        if (!ask)
            return true;
        // With --json standard output carries JSON only: the question goes to standard error.
        if (AskToStart(json ? std::cerr : std::cout))
            return true;
        if (RunClock::Interrupted()) {
            std::cerr << "midi-updater-cli: interrupted before the update started" << std::endl;
            exitStatus = EXIT_INTERRUPTED;
        } else {
            std::cerr << "midi-updater-cli: the update was not started" << std::endl;
            exitStatus = EXIT_FAILED;
        }
        return false;
    };
    return console.Send(update, loaded.rawSysEx, plan);
}

} // namespace

Command AddUpdateCommand(CLI::App& app) {
    auto options = std::make_shared<UpdateOptions>();
    CLI::App* command = app.add_subcommand(
        "update",
        "Send an update file (.upd) or raw SysEx file (.syx) to the device, showing progress and the "
        "verdict. Exit status 0 when the device took it, 1 when it did not or the file was "
        "rejected, 130 when interrupted.");
    command->add_option("FILE", options->file, "the update or SysEx file")->required();
    command->add_flag("-y,--yes", options->yes,
                      "start without asking (standard input that is not a terminal "
                      "never asks)");
    command->add_flag("--verify-identity", options->verifyIdentity,
                      "when the device stays silent or busy, really ask it for its identity and compare the "
                      "firmware version it reports with the file's (waits up to 5 s for the reply)");
    AddSendOptions(*command, options->send);
    return {command, [options] { return RunUpdate(*options); }};
}
