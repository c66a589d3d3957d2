#include "Commands.h"
#include "ExitCodes.h"
#include "FileIo.h"
#include "LoadUpdate.h"
#include "UpdateJson.h"
#include "UpdateSummary.h"

#include <iostream>
#include <memory>

namespace {

struct InspectOptions {
    std::string file;
    bool json = false;
};

int RunInspect(const InspectOptions& options) {
    LoadedUpdate loaded;
    try {
        loaded = LoadUpdateFile(options.file);
    } catch (const ParseError& error) {
        // The reader's text stands exactly as it is.
        if (options.json)
            std::cout << DumpJson({{"error", error.what()}}, 2) << "\n";
        else
            std::cerr << error.what() << "\n";
        return EXIT_FAILED;
    } catch (const FileError& error) {
        if (options.json)
            std::cout << DumpJson({{"error", error.what()}}, 2) << "\n";
        else
            std::cerr << "midi-updater-cli: " << error.what() << "\n";
        return EXIT_FAILED;
    }

    const Update& update = *loaded.update;
    if (options.json) {
        std::cout << DumpJson(UpdateToJson(update, loaded.rawSysEx), 2) << "\n";
        return EXIT_OK;
    }
    for (const std::string& line : UpdateSummaryLines(update))
        std::cout << line << "\n";
    unsigned int number = 1;
    for (const Update::SysExPortion& portion : update.sysExPortions)
        std::cout << "Portion " << number++ << ": " << portion.data.size() << " bytes, delay "
                  << portion.delay << " ms\n";
    return EXIT_OK;
}

} // namespace

Command AddInspectCommand(CLI::App& app) {
    auto options = std::make_shared<InspectOptions>();
    CLI::App* command = app.add_subcommand(
        "inspect", "Show what an update file (.upd) or raw SysEx file (.syx) holds: product, version, note, "
                   "port names and the portions that would be sent.");
    command->add_option("FILE", options->file, "the update or SysEx file")->required();
    command->add_flag("--json", options->json, "print one JSON object instead of text");
    return {command, [options] { return RunInspect(*options); }};
}
