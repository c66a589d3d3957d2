#include "ZephAppDelegate.h"

#include "CoreMidiPort.h"
#include "DialogPresenter.h"
#include "ListInterfaces.h"
#include "Log.h"
#include "MainThreadChannel.h"
#include "MainWindow.h"
#include "PortNames.h"
#include "SysExSender.h"
#include "Update.h"
#include "UpdateSummary.h"
#include "UsbMidiDevices.h"
#include "Utilities.h"

#include <QAction>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <optional>

namespace {

void Log(const QString& text) {
    LogLine(text.toStdString());
}

// The local files of a drag, in order.
QStringList LocalFiles(const QMimeData* data) {
    QStringList files;
    if (!data || !data->hasUrls())
        return files;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            files << url.toLocalFile();
    return files;
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

ZephAppDelegate::ZephAppDelegate(MidiService& service, DialogPresenter& dialogs, QObject* parent)
    : QObject(parent), service(service), dialogs(dialogs), mainWindow(std::make_unique<MainWindow>()),
      channel(std::make_shared<MainThreadChannel>(*this)) {
    terminator = [] {
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                  Qt::QueuedConnection);
    };

    mainWindow->installEventFilter(this);
    connect(mainWindow->openAction, &QAction::triggered, this, [this] { openDocument(); });
    connect(mainWindow->aboutAction, &QAction::triggered, this, [this] { aboutDialogue(); });
    connect(mainWindow->quitAction, &QAction::triggered, this, [this] { terminate(); });
    // Only the user's changes: clicks and their keyboard equivalents, not changes made by code.
    connect(mainWindow->videoOption, &QButtonGroup::idClicked, this, [this](int) { updateVideoMode(); });
#if QT_CONFIG(sessionmanager)
    if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        // Logging out is a quit request too; the question is asked only if the session lets us.
        connect(application, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
            if (terminating || !sendingUpdateFlag)
                return;
            if (!manager.allowsInteraction()) {
                manager.cancel();
                return;
            }
            const TerminateReply reply = applicationShouldTerminate();
            manager.release();
            if (reply == TerminateReply::TerminateNow)
                terminating = true;
            else
                manager.cancel();
        });
    }
#endif
}

ZephAppDelegate::~ZephAppDelegate() {
    presence.reset(); // its listener is not running and never runs again
    // Workers may still run: from here on they find the channel closed and leave the window alone.
    channel->Close();
    mainWindow->removeEventFilter(this);
    mainWindow.reset();
}

QLabel* ZephAppDelegate::deviceStatus() const {
    return mainWindow->deviceStatus;
}
QLabel* ZephAppDelegate::imageView() const {
    return mainWindow->imageView;
}
QLineEdit* ZephAppDelegate::productName() const {
    return mainWindow->productName;
}
QLineEdit* ZephAppDelegate::firmwareVersion() const {
    return mainWindow->firmwareVersion;
}
QProgressBar* ZephAppDelegate::progressIndicator() const {
    return mainWindow->progressIndicator;
}
QLabel* ZephAppDelegate::textField() const {
    return mainWindow->textField;
}
QButtonGroup* ZephAppDelegate::VideoOption() const {
    return mainWindow->videoOption;
}

void ZephAppDelegate::SetRecorder(std::function<void(const QString&)> newRecorder) {
    recorder = std::move(newRecorder);
}

void ZephAppDelegate::SetTerminator(std::function<void()> newTerminator) {
    terminator = std::move(newTerminator);
}

void ZephAppDelegate::Record(const QString& change) {
    if (recorder)
        recorder(change);
}

// ------------------------------------------------------------------------------------------------
// The window

void ZephAppDelegate::awakeFromNib() {
    if (QScreen* screen = mainWindow->screen()) {
        QRect frame = mainWindow->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        mainWindow->move(frame.topLeft());
    }
    // The window takes the drops; the picture takes none of its own, so its drops reach the window.
    mainWindow->setAcceptDrops(true);
    mainWindow->imageView->setAcceptDrops(false);
    ListInterfaces(service);
    std::set<std::string> builtIn;
    PutPortNamesIntoSet(builtIn, KELVAPN);
    watchDevice(builtIn);
}

void ZephAppDelegate::watchDevice(const std::set<std::string>& portNames) {
    if (presence && portNames == watchedNames)
        return;
    presence.reset();
    watchedNames = portNames;
    // The device is asked for its version only while no job talks to it.
    presence = std::make_unique<DevicePresence>(
        service, portNames,
        [channel = channel](const DeviceState& state) {
            channel->Post([state](ZephAppDelegate& d) { d.showDevice(state); });
        },
        [channel = channel] { return channel->RunningWorkers() == 0; });
}

void ZephAppDelegate::showDevice(const DeviceState& state) {
    const QString line = QString::fromStdString(DeviceLine(state));
    LogLine(DeviceLine(state));
    mainWindow->deviceStatus->setText(line);
    Record(QStringLiteral("device: ") + line);
}

bool ZephAppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched != mainWindow.get())
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        const Qt::DropAction action = draggingEntered(drag->possibleActions(), drag->mimeData());
        if (action == Qt::CopyAction) {
            drag->setDropAction(Qt::CopyAction);
            drag->accept();
        } else {
            drag->ignore();
        }
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        // The state may have changed since the drag entered.
        if (draggingEntered(drop->possibleActions(), drop->mimeData()) != Qt::CopyAction ||
            !prepareForDragOperation()) {
            drop->ignore();
            return true;
        }
        drop->setDropAction(Qt::CopyAction);
        if (performDragOperation(drop->mimeData()))
            drop->accept();
        else
            drop->ignore();
        return true;
    }
    case QEvent::Close:
        if (!windowShouldClose()) {
            event->ignore();
            return true;
        }
        event->accept();
        return false;
    default:
        return QObject::eventFilter(watched, event);
    }
}

bool ZephAppDelegate::RefusesNewWork() const {
    return sendingUpdateFlag || alertSheetShown || openSheetShown;
}

Qt::DropAction ZephAppDelegate::draggingEntered(Qt::DropActions sourceActions, const QMimeData* data) {
    if (RefusesNewWork())
        return Qt::IgnoreAction;
    // Only local files can be read.
    if (LocalFiles(data).isEmpty())
        return Qt::IgnoreAction;
    return (sourceActions & Qt::CopyAction) ? Qt::CopyAction : Qt::IgnoreAction;
}

bool ZephAppDelegate::prepareForDragOperation() {
    return true;
}

bool ZephAppDelegate::performDragOperation(const QMimeData* data) {
    const QStringList files = LocalFiles(data);
    if (!files.isEmpty())
        updateWithFile(files.first());
    return true;
}

void ZephAppDelegate::openDocument() {
    if (openSheetShown || sendingUpdateFlag)
        return;
    openSheetShown = true;
    Record(QStringLiteral("open sheet shown"));
    QPointer<ZephAppDelegate> self(this);
    dialogs.BeginOpenSheet(mainWindow.get(), {QStringLiteral("upd"), QStringLiteral("syx")},
                           [self](int returnCode, const QString& path) {
                               if (self)
                                   self->browseDidEnd(returnCode, path);
                           });
}

void ZephAppDelegate::browseDidEnd(int returnCode, const QString& path) {
    openSheetShown = false;
    Record(QStringLiteral("open sheet closed"));
    if (returnCode == 1)
        updateWithFile(path);
}

ZephAppDelegate::TerminateReply ZephAppDelegate::applicationShouldTerminate() {
    if (!sendingUpdateFlag)
        return TerminateReply::TerminateNow;
    const int answer = dialogs.RunAlertPanel(
        mainWindow.get(), QStringLiteral("An update is in progress"),
        QStringLiteral("An update is in progress.\nAre you sure you want to close this program?"),
        QStringLiteral("Do not close"), QStringLiteral("Close"));
    return answer == DialogPresenter::alternateButton ? TerminateReply::TerminateNow
                                                      : TerminateReply::TerminateCancel;
}

bool ZephAppDelegate::terminate() {
    if (terminating)
        return true;
    if (applicationShouldTerminate() != TerminateReply::TerminateNow)
        return false;
    terminating = true;
    Record(QStringLiteral("terminate"));
    if (terminator)
        terminator();
    return true;
}

bool ZephAppDelegate::windowShouldClose() {
    return terminate();
}

void ZephAppDelegate::aboutDialogue() {
    dialogs.ShowAboutPanel(mainWindow.get(), QString::asprintf("%s", MidiUpdateLib_Version),
                           QString::asprintf("%s", MidiUpdateLib_Build));
}

// ------------------------------------------------------------------------------------------------
// The update job

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

void ZephAppDelegate::showAlert(const QString& text) {
    if (!MainThreadChannel::OnMainThread()) {
        channel->Post([text](ZephAppDelegate& d) { d.showAlert(text); });
        return;
    }
    if (alertSheetShown)
        return; // one failure alert at a time; the status text still tells
    alertSheetShown = true;
    QPointer<ZephAppDelegate> self(this);
    dialogs.BeginStopAlert(mainWindow.get(), QStringLiteral("Update failed"), text, [self](int returnCode) {
        if (self)
            self->alertSheetDidEnd(returnCode);
    });
}

void ZephAppDelegate::alertSheetDidEnd(int) {
    alertSheetShown = false;
}

// ------------------------------------------------------------------------------------------------
// The video mode switch

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

// ------------------------------------------------------------------------------------------------
// The sink

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
