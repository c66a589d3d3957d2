#include "SendRun.h"

#include "ConsoleProgress.h"
#include "CoreMidiPort.h"
#include "DeviceChoice.h"
#include "ExitCodes.h"
#include "Log.h"
#include "MidiEnvironment.h"
#include "RunClock.h"
#include "SysExSender.h"
#include "UpdateJson.h"
#include "UpdateSummary.h"
#include "Utilities.h"
#include "VirtualMidiService.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t restoreCursor = 0;

extern "C" void OnInterrupt(int) {
    if (RunClock::Interrupted()) {
        // A second Ctrl-C: the run did not end in time. Leave at once, with the cursor shown.
        if (restoreCursor) {
            const char show[] = "\x1b[?25h\n";
            [[maybe_unused]] ssize_t written = write(STDOUT_FILENO, show, sizeof show - 1);
        }
        _exit(EXIT_INTERRUPTED);
    }
    RunClock::Interrupt();
}

} // namespace

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a read of the answer to the question ends with EINTR
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

namespace {

unsigned int TerminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

std::uint64_t SteadyMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

bool InputIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

bool OutputIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

void AddSendOptions(CLI::App& command, SendOptions& options) {
    command.add_flag("--json", options.json,
                     "print one JSON object per line on standard output, one per report, and nothing else");
    command.add_flag("-v,--verbose", options.verbose,
                     "write the update library's trace and the MIDI port's log to standard error");
    command
        .add_option("--port", options.ports,
                    "look for the device's MIDI ports by this name instead of the names the update carries "
                    "(repeatable)")
        ->type_name("NAME")
        ->allow_extra_args(false);
    AddSimulationOptions(command, options.simulation);
}

struct SendConsole::Impl {
    explicit Impl(const SendOptions& options) : options(options), clock(options.simulation.clockSpeed) {}

    const SendOptions& options;
    RunClock clock;
    std::unique_ptr<ScopedClock> scopedClock;
    LogSink previousLog;
};

SendConsole::SendConsole(const SendOptions& options) : impl(new Impl(options)) {
    RunClock::Reset();
    impl->scopedClock = std::make_unique<ScopedClock>(impl->clock);
    // The log (the library's trace, the port's lines) goes to standard error only when asked for.
    if (!options.verbose)
        impl->previousLog = SetLogSink([](const std::string&) {});
    InstallInterruptHandler();
}

SendConsole::~SendConsole() {
    if (!impl->options.verbose)
        SetLogSink(impl->previousLog);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    delete impl;
}

int SendConsole::Fail(const std::string& text, int exitStatus) {
    if (impl->options.json)
        std::cout << DumpJson({{"event", "error"}, {"text", text}}) << std::endl;
    else
        std::cerr << text << std::endl;
    return exitStatus;
}

int SendConsole::Send(Update& update, bool rawSysEx, const SendPlan& plan) {
    const SendOptions& options = impl->options;
    if (!options.ports.empty())
        update.macPortNames = std::set<std::string>(options.ports.begin(), options.ports.end());

    for (const std::string& line : UpdateSummaryLines(update))
        LogLine(line);
    if (options.json) {
        nlohmann::ordered_json loaded{{"event", "loaded"}};
        loaded.update(UpdateToJson(update, rawSysEx));
        std::cout << DumpJson(loaded) << std::endl;
    }

    std::string whyNot;
    std::unique_ptr<MidiEnvironment> environment = MidiEnvironment::Create(options.simulation, whyNot);
    if (!environment)
        return Fail("midi-updater-cli: " + whyNot, EXIT_FAILED);

    if (const std::string choice = DeviceChoiceNeeded(environment->Service(), update.macPortNames);
        !choice.empty())
        return Fail("midi-updater-cli: " + choice, EXIT_USAGE);

    int exitStatus = EXIT_OK;
    if (plan.confirm && !plan.confirm(exitStatus))
        return exitStatus;

    std::unique_ptr<ConsoleProgress> sink;
    const bool terminal = !options.json && OutputIsTerminal();
    if (options.json)
        sink = std::make_unique<JsonProgress>(std::cout);
    else if (terminal)
        sink = std::make_unique<TerminalProgress>(std::cout, std::cerr, update.TotalSysExSize(), SteadyMs,
                                                  TerminalColumns());
    else
        sink = std::make_unique<PlainProgress>(std::cout, std::cerr);
    restoreCursor = terminal ? 1 : 0;

    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    bool interrupted = false;
    MidiService& service = environment->Service();
    // The worker owns the port and the sender, as the update job does; an interruption unwinds it
    // from its next wait, which releases the port on the way out.
    std::thread worker([&] {
        ConsoleProgress& progress = *sink;
        try {
            progress.ProgressIndeterminate();
            for (const std::string& status : plan.statusesBeforePort)
                progress.Status(status);
            CoreMidiPort port(service, update.macPortNames);
            port.SetRequestIdentity(plan.verifyIdentity);
            SimpleSysExSender sender(port);
            for (const std::string& status : plan.statusesAfterSender)
                progress.Status(status);
            sender.Send(update, progress);
        } catch (const RunInterrupted&) {
            std::lock_guard<std::mutex> lock(mutex);
            interrupted = true;
        } catch (...) {
            progress.Error("Update failed for unknown reason:");
            progress.ProgressIndeterminate();
        }
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        ended.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!done) {
            ended.wait_for(lock, std::chrono::milliseconds(TerminalProgress::minRedrawMs));
            lock.unlock();
            sink->Tick();
            lock.lock();
        }
    }
    worker.join();
    sink->Finish();

    if (VirtualMidiService* virtualService = environment->Virtual())
        LogLine(Format("Simulated MIDI service at the end: %u open connections, %u ports, %u clients",
                       static_cast<unsigned int>(virtualService->ConnectionCount()),
                       static_cast<unsigned int>(virtualService->LivePortCount()),
                       static_cast<unsigned int>(virtualService->LiveClientCount())));
    if (!environment->WriteRecord(whyNot)) {
        std::cerr << "midi-updater-cli: " << whyNot << std::endl;
        exitStatus = EXIT_FAILED;
    }
    environment.reset();

    if (interrupted || RunClock::Interrupted()) {
        std::cout.flush();
        std::cerr
            << "midi-updater-cli: the update was interrupted; the MIDI port has been released. The device "
               "may need a restart before the update is tried again."
            << std::endl;
        return EXIT_INTERRUPTED;
    }
    if (exitStatus != EXIT_OK)
        return exitStatus;
    return sink->GetVerdict() == ConsoleProgress::Verdict::Completed ? EXIT_OK : EXIT_FAILED;
}
