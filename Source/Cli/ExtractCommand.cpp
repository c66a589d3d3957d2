#include "Commands.h"
#include "ExitCodes.h"
#include "FileIo.h"
#include "LoadUpdate.h"

#include <iostream>
#include <memory>

namespace {

struct ExtractOptions {
    std::string file;
    unsigned int portion = 0;
    bool image = false;
    std::string output;
};

int RunExtract(const ExtractOptions& options) {
    LoadedUpdate loaded;
    try {
        loaded = LoadUpdateFile(options.file);
    } catch (const ParseError& error) {
        std::cerr << error.what() << "\n";
        return EXIT_FAILED;
    } catch (const FileError& error) {
        std::cerr << "midi-updater-cli: " << error.what() << "\n";
        return EXIT_FAILED;
    }

    const Update& update = *loaded.update;
    const std::vector<unsigned char>* bytes = &update.image;
    if (!options.image) {
        if (options.portion < 1 || options.portion > update.sysExPortions.size()) {
            std::cerr << "midi-updater-cli: there is no portion " << options.portion << " in '"
                      << options.file << "': it holds " << update.sysExPortions.size()
                      << " portion(s), numbered from 1\n";
            return EXIT_USAGE;
        }
        bytes = &update.sysExPortions[options.portion - 1].data;
    }
    try {
        WriteFileAtomically(options.output, *bytes);
    } catch (const FileError& error) {
        std::cerr << "midi-updater-cli: " << error.what() << "\n";
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

} // namespace

Command AddExtractCommand(CLI::App& app) {
    auto options = std::make_shared<ExtractOptions>();
    CLI::App* command = app.add_subcommand(
        "extract", "Write the bytes of one portion, or of the firmware image, of an update file to a file.");
    command->add_option("FILE", options->file, "the update or SysEx file")->required();
    CLI::Option* portion =
        command->add_option("--portion", options->portion, "the portion to write, counted from 1");
    CLI::Option* image = command->add_flag("--image", options->image, "write the firmware image instead");
    portion->excludes(image);
    image->excludes(portion);
    command->add_option("-o,--output", options->output, "where to write the bytes; - for standard output")
        ->required();
    command->callback([portion, image] {
        if (portion->count() == 0 && image->count() == 0)
            throw CLI::ValidationError("extract", "one of --portion N or --image is required");
    });
    return {command, [options] { return RunExtract(*options); }};
}
