// midi-updater: the desktop application.
#include "Log.h"
#include "MainThreadChannel.h"
#include "MainWindow.h"
#include "MidiEnvironment.h"
#include "QtDialogPresenter.h"
#include "RunClock.h"
#include "Utilities.h"
#include "VirtualMidiService.h"
#include "ZephAppDelegate.h"

#include <CLI/CLI.hpp>

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// For --screenshot: the real dialogs, except that a modal panel is answered with its default
// button at once (the note before an update), so that the update runs on unattended, and the device
// chooser is cancelled at once (nobody is there to choose).
class UnattendedDialogs : public QtDialogPresenter {
public:
    int RunAlertPanel(QWidget*, const QString& title, const QString&, const QString& defaultText,
                      const QString&) override {
        LogLine(QStringLiteral("Answered \"%1\" with \"%2\"").arg(title, defaultText).toStdString());
        return defaultButton;
    }
    int ChooseDevice(QWidget*, const QString& title, const QString&, const QStringList&) override {
        LogLine(QStringLiteral("Answered \"%1\" with \"Cancel\"").arg(title).toStdString());
        return -1;
    }
};

// Saves a picture of the window once the update has got this far, then ends the program.
void TakeScreenshotMidUpdate(ZephAppDelegate& delegate, const QString& file, double fraction) {
    auto* poll = new QTimer(&delegate);
    const int due = static_cast<int>(fraction * MainWindow::progressScale);
    QObject::connect(poll, &QTimer::timeout, &delegate, [&delegate, poll, file, due] {
        const QProgressBar* bar = delegate.progressIndicator();
        if (bar->maximum() == 0 || bar->value() < due)
            return;
        poll->stop();
        const bool saved = delegate.window()->grab().save(file, "PNG");
        LogLine((saved ? "Screenshot written to " : "Cannot write the screenshot ") + file.toStdString());
        std::fflush(stderr);
        std::_Exit(saved ? 0 : 1);
    });
    poll->start(50);
}

struct Settings {
    SimulationOptions simulation;
    std::string file;
    std::string screenshot;
    double screenshotAt = 0.4;
};

void AddOptions(CLI::App& cli, Settings& settings) {
    cli.description("MIDI Updater: updates the firmware of an Ostrel Kelva over USB MIDI.");
    cli.name("midi-updater");
    cli.set_version_flag("--version", std::string(MidiUpdateLib_Version) + " (" + MidiUpdateLib_Build + ")");
    AddSimulationOptions(cli, settings.simulation);
    // For the documentation: a picture of the window in the middle of an update.
    cli.add_option("--screenshot", settings.screenshot)->group("");
    cli.add_option("--screenshot-at", settings.screenshotAt)->check(CLI::Range(0.01, 1.0))->group("");
    cli.add_option("file", settings.file,
                   "an update file (.upd) or raw SysEx file (.syx) to start updating with")
        ->type_name("FILE");
}

} // namespace

int main(int argc, char** argv) {
    Settings settings;
    {
        // --help and --version need no display: answered before the window system is started.
        CLI::App probe;
        AddOptions(probe, settings);
        probe.allow_extras();
        try {
            probe.parse(argc, argv);
        } catch (const CLI::Success& e) {
            return probe.exit(e);
        } catch (const CLI::ParseError&) {
            // Reported below, once Qt has taken its own options out.
        }
        settings = Settings();
    }

    QApplication application(argc, argv); // takes Qt's own options (-platform, ...) out of argv
    QApplication::setApplicationName(QStringLiteral("midi-updater"));
    QApplication::setApplicationDisplayName(QStringLiteral("MIDI Updater"));
    QApplication::setApplicationVersion(QString::fromUtf8(MidiUpdateLib_Version));
    QApplication::setDesktopFileName(QStringLiteral("midi-updater"));
    QApplication::setWindowIcon(QIcon(MainWindow::Picture(128)));

    CLI::App cli;
    AddOptions(cli, settings);
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return cli.exit(e);
    }
    const SimulationOptions& simulation = settings.simulation;
    const std::string& file = settings.file;
    const std::string& screenshot = settings.screenshot;
    const double screenshotAt = settings.screenshotAt;

    // Waits may run faster than real time (--sim-clock-speed); installed before the device is made.
    std::unique_ptr<RunClock> clock;
    if (simulation.clockSpeed != 1.0) {
        clock = std::make_unique<RunClock>(simulation.clockSpeed);
        SetClock(clock.get());
    }

    std::string whyNot;
    std::unique_ptr<MidiEnvironment> environment = MidiEnvironment::Create(simulation, whyNot);
    std::unique_ptr<VirtualMidiService> noMidi;
    if (!environment && simulation.simulate) {
        std::fprintf(stderr, "midi-updater: %s\n", whyNot.c_str());
        return 2;
    }
    if (!environment) {
        // The window still opens; every update then reports that the device was not found.
        LogLine("No system MIDI service: " + whyNot);
        noMidi = std::make_unique<VirtualMidiService>();
    }
    MidiService& service = environment ? environment->Service() : *noMidi;

    QtDialogPresenter interactiveDialogs;
    UnattendedDialogs unattendedDialogs;
    DialogPresenter& dialogs =
        screenshot.empty() ? static_cast<DialogPresenter&>(interactiveDialogs) : unattendedDialogs;
    ZephAppDelegate delegate(service, dialogs);
    if (noMidi)
        delegate.textField()->setText(
            QStringLiteral("The system's MIDI cannot be used: %1").arg(QString::fromStdString(whyNot)));
    delegate.awakeFromNib();
    delegate.window()->show();
    if (!screenshot.empty())
        TakeScreenshotMidUpdate(delegate, QString::fromLocal8Bit(screenshot.c_str()), screenshotAt);
    if (!file.empty()) {
        const QString path = QString::fromLocal8Bit(file.c_str());
        QTimer::singleShot(0, &delegate, [&delegate, path] { delegate.updateWithFile(path); });
    }

    const int status = QApplication::exec();
    if (environment && !environment->WriteRecord(whyNot))
        LogLine(whyNot);
    if (delegate.Channel()->RunningWorkers() > 0) {
        // Quitting during an update ends the program at once: the job is abandoned where it stands,
        // with the MIDI service and everything else it uses still in place.
        LogLine("Quitting during an update");
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
