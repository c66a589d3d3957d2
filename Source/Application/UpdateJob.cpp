// ZephAppDelegate's update job: the worker that loads and sends a file, what it shows, its progress sink.
#include "ZephAppDelegate.h"

#include "CoreMidiPort.h"
#include "DialogPresenter.h"
#include "Log.h"
#include "MainThreadChannel.h"
#include "MainWindow.h"
#include "SysExSender.h"
#include "Update.h"
#include "UpdateSummary.h"
#include "UsbMidiDevices.h"
#include "Utilities.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <optional>

namespace {

void Log(const QString& text) {
    LogLine(text.toStdString());
}

// Which USB MIDI device an update that names no port goes to. Several: the user chooses, and the
// answer is the chosen device's number; nothing when the job is to end without sending, with why
// saying so. One or none: 0, so that the port takes the only one (or waits for one).
std::optional<std::int32_t> UsbDeviceForUnnamedUpdate(const std::shared_ptr<MainThreadChannel>& channel,
                                                      MidiService& service, QString& why) {
    const std::vector<UsbMidiDevice> devices = FindUsbMidiDevices(service);
    if (devices.size() < 2)
        return 0;
    QStringList descriptions;
    for (const UsbMidiDevice& device : devices)
        descriptions << QString::fromStdString(DescribeUsbMidiDevice(device));
    LogLine(Format("The update names no port and there are %u USB MIDI devices; asking which one to update",
                   static_cast<unsigned int>(devices.size())));
    auto answer = std::make_shared<int>(-1);
    // Should the window go away meanwhile, no device was chosen: nothing is sent.
    const bool asked = channel->RunAndWait(
        [answer, descriptions](ZephAppDelegate& d) { *answer = d.chooseUsbMidiDevice(descriptions); });
    if (!asked || *answer < 0 || static_cast<std::size_t>(*answer) >= devices.size()) {
        LogLine("No device was chosen");
        why = QStringLiteral("Update cancelled: no device was chosen.");
        return std::nullopt;
    }
    const UsbMidiDevice& chosen = devices[static_cast<std::size_t>(*answer)];
    LogLine(Format("Updating the chosen USB MIDI device, %s", DescribeUsbMidiDevice(chosen).c_str()));
    return chosen.id;
}

} // namespace

void ZephAppDelegate::updateWithFile(const QString& path) {
    Log(QStringLiteral("%1: Update file: %2")
            .arg(QStringLiteral("-[ZephAppDelegate updateWithFile:]"), path));
    if (sendingUpdateFlag) {
        showAlert(QStringLiteral("Already performing an update."));
        return;
    }
    // Set before the worker starts, so that a second request is refused even before it runs.
    sendingUpdateFlag = true;
    const std::string file = path.toStdString();
    MidiService& midi = service;
    StartWorker(channel, [channel = channel, &midi, file]() { updateThreadFile(channel, midi, file); });
}

void ZephAppDelegate::RunWorkerJob(const std::shared_ptr<MainThreadChannel>& channel,
                                   const std::function<void(ZephAppDelegateUpdateProgress&)>& job) {
    LogLine("Update thread started");
    ZephAppDelegateUpdateProgress sink(channel);
    channel->RunAndWait([](ZephAppDelegate& d) { d.updateDidStart(); });
    std::string failure;
    bool failed = false;
    try {
        job(sink);
    } catch (const ParseError& e) {
        failed = true;
        failure = Format("Update failed for reason:\n%s", e.what());
    } catch (...) {
        failed = true;
        failure = "Update failed for unknown reason:";
    }
    if (failed) {
        const QString text = QString::fromStdString(failure);
        channel->Post([text](ZephAppDelegate& d) {
            d.showAlert(text);
            d.error(text);
            d.progress(std::nullopt);
        });
    }
    channel->RunAndWait([](ZephAppDelegate& d) { d.updateDidComplete(); });
    LogLine("Update thread releasing pool...");
    LogLine("Update thread done");
}

void ZephAppDelegate::updateThreadFile(const std::shared_ptr<MainThreadChannel>& channel,
                                       MidiService& service, const std::string& path) {
    RunWorkerJob(channel, [&](ZephAppDelegateUpdateProgress& sink) {
        sink.Status("Loading update file");
        std::ifstream stream(path, std::ios::in | std::ios::binary);
        Update update(stream);
        for (const std::string& line : UpdateSummaryLines(update))
            LogLine(line);
        const QString name = QString::fromStdString(update.productName);
        const QString version = QString::fromStdString(update.version.ToString());
        channel->Post([name](ZephAppDelegate& d) {
            d.productName()->setText(name);
            d.Record(QStringLiteral("product name: ") + name);
        });
        channel->Post([version](ZephAppDelegate& d) {
            d.firmwareVersion()->setText(version);
            d.Record(QStringLiteral("firmware version: ") + version);
        });
        channel->Post([names = update.macPortNames](ZephAppDelegate& d) { d.watchDevice(names); });
        if (!update.message.empty()) {
            const QString note = QString::fromStdString(update.message);
            channel->RunAndWait([note](ZephAppDelegate& d) { d.messageBeforeUpdate(note); });
        }
        std::int32_t usbDevice = 0;
        if (update.macPortNames.empty()) {
            QString why;
            const std::optional<std::int32_t> chosen = UsbDeviceForUnnamedUpdate(channel, service, why);
            if (!chosen) {
                channel->Post([why](ZephAppDelegate& d) { d.updateCancelled(why); });
                return;
            }
            usbDevice = *chosen;
        }
        channel->Post([](ZephAppDelegate& d) { d.progress(std::nullopt); });
        CoreMidiPort port(service, update.macPortNames);
        port.TakeUsbDevice(usbDevice);
        SimpleSysExSender sender(port);
        channel->Post([](ZephAppDelegate& d) { d.status(QStringLiteral("Updating...")); });
        sender.Send(update, sink);
    });
}

void ZephAppDelegate::updateDidStart() {
    sendingUpdateFlag = true;
}

void ZephAppDelegate::updateDidComplete() {
    sendingUpdateFlag = false;
    Record(QStringLiteral("done"));
}

void ZephAppDelegate::progress(std::optional<float> value) {
    Log(QStringLiteral("Progress: ") + (value ? QString::number(*value) : QStringLiteral("(null)")));
    const double v = value ? static_cast<double>(*value) : 0.0;
    QProgressBar* bar = mainWindow->progressIndicator;
    if (v == 0.0 || std::isnan(v)) {
        // Busy; a value that is no number cannot be shown either.
        bar->setRange(0, 0);
        Record(QStringLiteral("bar busy"));
    } else if (!(v >= 1.0)) {
        bar->setRange(0, MainWindow::progressScale);
        bar->setValue(static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * MainWindow::progressScale)));
        Record(QStringLiteral("bar ") + QString::number(v));
    } else {
        bar->setRange(0, MainWindow::progressScale);
        bar->setValue(MainWindow::progressScale);
        Record(QStringLiteral("bar complete"));
    }
}

void ZephAppDelegate::progressIndeterminate() {
    mainWindow->progressIndicator->setRange(0, 0);
    Record(QStringLiteral("bar busy"));
}

void ZephAppDelegate::SetStatusText(const QString& text) {
    mainWindow->textField->setText(text);
    Record(QStringLiteral("status text: ") + text);
}

void ZephAppDelegate::status(const QString& text) {
    Log(QStringLiteral("Status: ") + text);
    SetStatusText(text);
}

void ZephAppDelegate::error(const QString& text) {
    Log(QStringLiteral("Error: ") + text);
    SetStatusText(text);
}

void ZephAppDelegate::completed(const QString& text) {
    Log(QStringLiteral("Completed: ") + text);
    progress(1.0f);
    SetStatusText(text);
    dialogs.BeginAlertSheet(mainWindow.get(), QStringLiteral("Completed"), QStringLiteral("OK"), text);
}

void ZephAppDelegate::messageBeforeUpdate(const QString& text) {
    // The answer does not matter: the note cannot stop the update.
    dialogs.RunAlertPanel(mainWindow.get(), QStringLiteral("Important note about this update"), text,
                          QStringLiteral("Start update"), QString());
}

int ZephAppDelegate::chooseUsbMidiDevice(const QStringList& devices) {
    return dialogs.ChooseDevice(
        mainWindow.get(), QStringLiteral("Choose the device to update"),
        QStringLiteral("This update does not name the device it is for, and several USB "
                       "MIDI devices are connected. Choose the one to update:"),
        devices);
}

void ZephAppDelegate::updateCancelled(const QString& text) {
    Log(QStringLiteral("Cancelled: ") + text);
    QProgressBar* bar = mainWindow->progressIndicator;
    bar->setRange(0, MainWindow::progressScale);
    bar->setValue(0);
    Record(QStringLiteral("bar empty"));
    SetStatusText(text);
}

ZephAppDelegateUpdateProgress::ZephAppDelegateUpdateProgress(std::shared_ptr<MainThreadChannel> channel)
    : channel(std::move(channel)) {}

ZephAppDelegateUpdateProgress::~ZephAppDelegateUpdateProgress() = default;

void ZephAppDelegateUpdateProgress::Progress(float fraction) {
    channel->Post([fraction](ZephAppDelegate& d) { d.progress(fraction); });
}

void ZephAppDelegateUpdateProgress::ProgressIndeterminate() {
    channel->Post([](ZephAppDelegate& d) { d.progressIndeterminate(); });
}

void ZephAppDelegateUpdateProgress::Status(const std::string& text) {
    const QString message = QString::fromStdString(text);
    channel->Post([message](ZephAppDelegate& d) { d.status(message); });
}

void ZephAppDelegateUpdateProgress::Error(const std::string& text) {
    const QString message = QString::fromStdString(text);
    channel->Post([message](ZephAppDelegate& d) { d.error(message); });
}

void ZephAppDelegateUpdateProgress::Completed(const std::string& text) {
    const QString message = QString::fromStdString(text);
    channel->Post([message](ZephAppDelegate& d) { d.completed(message); });
}
