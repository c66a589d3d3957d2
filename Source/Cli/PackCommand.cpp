#include "Commands.h"
#include "ExitCodes.h"
#include "FileIo.h"
#include "PackArguments.h"
#include "UpdateWriter.h"

#include <iostream>
#include <memory>

namespace {

struct PackOptions {
    std::string output;
    std::string product;
    std::string version;
    std::string message;
    std::string usbAddress;
    std::vector<std::string> macPorts;
    std::vector<std::string> winParams;
    std::vector<std::string> portions;
    std::vector<std::string> images;
};

std::vector<unsigned char> Compose(const PackOptions& options) {
    const Version version = ParseVersion(options.version);
    const UsbAddress address = ParseUsbAddress(options.usbAddress);
    for (const std::string& parameters : options.winParams)
        CheckWindowsParameters(parameters);

    std::vector<unsigned char> out;
    CreateUpdateFileHeader(out, options.product, version, options.message, address[0], address[1],
                           address[2]);
    for (const std::string& names : options.macPorts)
        AddMacPortName(out, names);
    for (const std::string& parameters : options.winParams)
        AddWindowsPortParameters(out, parameters);
    for (const std::string& argument : options.portions) {
        const PortionSource source = ParsePortionSource(argument);
        const std::vector<unsigned char> data = ReadWholeFile(source.path);
        if (!isSysEx(data))
            throw PackUsageError("'" + source.path +
                                 "' is not framed SysEx: a portion must start with F0 and end with F7");
        AddSysExPortion(out, data, source.delay);
    }
    for (const std::string& path : options.images)
        AddImage(out, ReadWholeFile(path));
    return out;
}

int RunPack(const PackOptions& options) {
    std::vector<unsigned char> out;
    try {
        out = Compose(options);
    } catch (const std::runtime_error& error) {
        // Bad arguments and unreadable inputs alike: nothing has been written.
        std::cerr << "midi-updater-cli: pack: " << error.what() << "\n";
        return EXIT_USAGE;
    }
    try {
        WriteFileAtomically(options.output, out);
    } catch (const FileError& error) {
        std::cerr << "midi-updater-cli: pack: " << error.what() << "\n";
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

} // namespace

Command AddPackCommand(CLI::App& app) {
    auto options = std::make_shared<PackOptions>();
    CLI::App* command = app.add_subcommand(
        "pack", "Compose an update file: the header, then the Mac port-name records, the Windows parameter "
                "records, the SysEx portions and the image records, each kind in the order given.");
    command->add_option("-o,--output", options->output, "the update file to write (- for standard output)")
        ->required();
    command->add_option("--product", options->product, "the product name")->required();
    command
        ->add_option("--version", options->version, "the firmware version, MAJOR.MINOR (1.5 shows as 1.05)")
        ->required();
    command->add_option("--message", options->message,
                        "the note shown before the update starts; <sysex> stands for the standard note");
    command->add_option("--usb-address", options->usbAddress, "three 16-bit words W1,W2,W3 (default 0,0,0)");
    command->add_option("--mac-ports", options->macPorts,
                        "a '$'-separated list of the device's MIDI port names (repeatable)");
    command->add_option("--win-params", options->winParams,
                        "a Windows port-parameter text, win:ANY:key:value... (repeatable)");
    command->add_option("--portion", options->portions,
                        "a .syx file of whole SysEx messages, optionally followed by @DELAY_MS, the pause "
                        "after it (repeatable, sent in the order given)");
    command->add_option("--image", options->images, "a firmware image file (repeatable, concatenated)");
    return {command, [options] { return RunPack(*options); }};
}
