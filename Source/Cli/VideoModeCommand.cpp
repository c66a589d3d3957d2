#include "Commands.h"
#include "ExitCodes.h"
#include "SendRun.h"

#include <memory>
#include <string>
#include <vector>

namespace {

// The names of the device's ports and its product name, as the toggle has always used them.
const char* const KELVAPN = "Ostrel Kelva$Ostrel Dramlin";
const char* const KELVAPRODUCTNAME = "Ostrel Kelva";

struct VideoModeOptions {
    int mode = 0;
    SendOptions send;
};

int RunVideoMode(const VideoModeOptions& options) {
    SendConsole console(options.send);
    // Mode 0 is the control's first segment, which sends 01; mode 1 sends 00.
    const std::vector<unsigned char> message{
        0xF0, 0x00, 0x00, 0x0E, 0x00,
        0x33, 0x63, 0x00, 0x01, static_cast<unsigned char>(options.mode == 0 ? 0x01 : 0x00),
        0xF7};
    Update update(message, KELVAPRODUCTNAME, KELVAPN, "");
    SendPlan plan;
    plan.statusesBeforePort = {"Updating..."};
    plan.statusesAfterSender = {"Updating Video Mode"};
    return console.Send(update, true, plan);
}

} // namespace

Command AddVideoModeCommand(CLI::App& app) {
    auto options = std::make_shared<VideoModeOptions>();
    CLI::App* command = app.add_subcommand(
        "video-mode", "Switch the device's video mode: 0 sends the message F0 00 00 0E 00 33 63 00 01 01 F7, "
                      "1 the same with 00 in place of the last 01. Same output and exit statuses as update.");
    command->add_option("MODE", options->mode, "0 or 1")->required()->check(CLI::IsMember({0, 1}));
    AddSendOptions(*command, options->send);
    return {command, [options] { return RunVideoMode(*options); }};
}
