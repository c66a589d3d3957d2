// ZephAppDelegate's video-mode switch: the message for the chosen mode, sent on a worker thread.
#include "ZephAppDelegate.h"

#include "CoreMidiPort.h"
#include "MainThreadChannel.h"
#include "MainWindow.h"
#include "PortNames.h"
#include "SysExSender.h"
#include "Update.h"

#include <QButtonGroup>

std::vector<unsigned char> ZephAppDelegate::VideoModeMessage(int selectedSegment) {
    const unsigned char mode = selectedSegment == 0 ? 0x01 : 0x00;
    return {0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x01, mode, 0xF7};
}

void ZephAppDelegate::updateVideoMode() {
    if (RefusesNewWork())
        return; // the control keeps the new choice; nothing is sent for it
    // Busy from now until the send's end has reached this thread, as for an update job. The send
    // runs on a worker thread so that the window stays alive while the device is looked for.
    sendingUpdateFlag = true;
    const int segment = mainWindow->videoOption->checkedId();
    MidiService& midi = service;
    StartWorker(channel, [channel = channel, &midi, segment]() { ToggleVideoMode(channel, midi, segment); });
}

void ZephAppDelegate::ToggleVideoMode(const std::shared_ptr<MainThreadChannel>& channel, MidiService& service,
                                      int selectedSegment) {
    RunWorkerJob(channel, [&](ZephAppDelegateUpdateProgress& sink) {
        std::vector<unsigned char> message = VideoModeMessage(selectedSegment);
        channel->Post([](ZephAppDelegate& d) {
            d.progress(std::nullopt);
            d.status(QStringLiteral("Updating..."));
        });
        Update update(std::move(message), KELVAPRODUCTNAME, KELVAPN, "");
        CoreMidiPort port(service, update.macPortNames);
        SimpleSysExSender sender(port);
        sink.Status("Updating Video Mode");
        sender.Send(update, sink);
    });
}
