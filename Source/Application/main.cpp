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
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char** argv) {
    QApplication application(argc, argv); // takes Qt's own options (-platform, ...) out of argv
    QApplication::setApplicationName(QStringLiteral("midi-updater"));
    QApplication::setApplicationDisplayName(QStringLiteral("MIDI Updater"));
    QApplication::setApplicationVersion(QString::fromUtf8(MidiUpdateLib_Version));
    QApplication::setDesktopFileName(QStringLiteral("midi-updater"));
    QApplication::setWindowIcon(QIcon(MainWindow::Picture(128)));

    CLI::App cli("MIDI Updater: updates the firmware of an Ostrel Kelva over USB MIDI.", "midi-updater");
    SimulationOptions simulation;
    AddSimulationOptions(cli, simulation);
    std::string file;
    cli.add_option("file", file, "an update file (.upd) or raw SysEx file (.syx) to start updating with")
        ->type_name("FILE");
    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return cli.exit(e);
    }

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

    QtDialogPresenter dialogs;
    ZephAppDelegate delegate(service, dialogs);
    if (noMidi)
        delegate.textField()->setText(
            QStringLiteral("The system's MIDI cannot be used: %1").arg(QString::fromStdString(whyNot)));
    delegate.awakeFromNib();
    delegate.window()->show();
    if (!file.empty()) {
        const QString path = QString::fromLocal8Bit(file.c_str());
        QTimer::singleShot(0, &delegate, [&delegate, path] { delegate.updateWithFile(path); });
    }

    const int status = QApplication::exec();
    if (delegate.Channel()->RunningWorkers() > 0) {
        // Quitting during an update ends the program at once: the job is abandoned where it stands,
        // with the MIDI service and everything else it uses still in place.
        LogLine("Quitting during an update");
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
