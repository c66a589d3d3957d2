// ZephAppDelegate's window: its elements, the device line, drops, the open sheet, quitting and alerts.
#include "ZephAppDelegate.h"

#include "DialogPresenter.h"
#include "ListInterfaces.h"
#include "Log.h"
#include "MainThreadChannel.h"
#include "MainWindow.h"
#include "PortNames.h"
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
#include <QScreen>
#include <QUrl>
#if QT_CONFIG(sessionmanager)
#include <QSessionManager>
#endif

namespace {

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
