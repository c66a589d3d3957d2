// The updater's delivery alone, for `make kernel-bench` (tests/kernel/kernel-bench.sh): sends one
// file to a MIDI port exactly as an update sends a portion (the platform port over the ALSA back
// end, in the sending engine's chunks), without looking for the device's answer, and exits.
//
// usage: alsa_delivery_driver FILE [PORT_NAME]   (PORT_NAME default "Ostrel Kelva")
// Exit status 0 when every chunk was sent, 1 when a send failed (the reason on stderr), 2 on usage.
#include "AlsaMidiService.h"
#include "CoreMidiPort.h"
#include "Progress.h"
#include "SysExSender.h"
#include "Update.h"
#include "Utilities.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

class QuietProgress : public UpdateProgress {
public:
    void Progress(float) override {}
    void ProgressIndeterminate() override {}
    void Status(const std::string&) override {}
    void Error(const std::string&) override {}
    void Completed(const std::string&) override {}
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s FILE [PORT_NAME]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "alsa_delivery_driver: cannot open %s\n", argv[1]);
        return 2;
    }
    Update::SysExPortion portion;
    portion.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());

    std::string whyNot;
    std::unique_ptr<AlsaMidiService> service = AlsaMidiService::Open(whyNot);
    if (!service) {
        std::fprintf(stderr, "alsa_delivery_driver: %s\n", whyNot.c_str());
        return 1;
    }
    CoreMidiPort port(*service, {argc > 2 ? argv[2] : "Ostrel Kelva"});
    // The device is there already; a short look, as CheckConnected would take.
    for (int attempt = 0; !port.IsConnected(); ++attempt) {
        if (attempt == 50) {
            std::fprintf(stderr, "alsa_delivery_driver: no such port\n");
            return 1;
        }
        SleepFor(100);
    }
    QuietProgress progress;
    if (!SysExSender::SendChunked(portion, port, progress)) {
        std::fprintf(stderr, "alsa_delivery_driver: %s\n", port.SendFailure().c_str());
        return 1;
    }
    port.Disconnect();
    std::printf("alsa_delivery_driver: %zu bytes sent\n", portion.data.size());
    return 0;
}
