#include "ApplicationTestSupport.h"

#include <algorithm>

#include "MainWindow.h"
#include "UpdateWriter.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTest>
#include <QUrl>

void HeldClock::SleepMs(std::uint64_t milliseconds) {
    {
        std::unique_lock<std::mutex> lock(mutex);
        ++sleepers;
        changed.notify_all();
        changed.wait(lock, [this] { return !held; });
        --sleepers;
    }
    VirtualClock::SleepMs(milliseconds);
}

void HeldClock::Hold() {
    std::lock_guard<std::mutex> lock(mutex);
    held = true;
}

void HeldClock::Release() {
    std::lock_guard<std::mutex> lock(mutex);
    held = false;
    changed.notify_all();
}

int HeldClock::Sleepers() const {
    std::lock_guard<std::mutex> lock(mutex);
    return sleepers;
}

int ScriptedDialogs::RunAlertPanel(QWidget*, const QString& title, const QString& message,
                                   const QString& defaultText, const QString& alternateText) {
    ++panels;
    if (title == QStringLiteral("Important note about this update"))
        events << QStringLiteral("note: ") + message;
    else
        events << QStringLiteral("panel: %1 [%2|%3]: %4").arg(title, defaultText, alternateText, message);
    if (whilePanelShown)
        whilePanelShown(title);
    if (panelAnswers.empty())
        return defaultButton;
    const int answer = panelAnswers.front();
    panelAnswers.pop_front();
    return answer;
}

int ScriptedDialogs::ChooseDevice(QWidget*, const QString& title, const QString& message,
                                  const QStringList& devices) {
    events << QStringLiteral("chooser %1: %2").arg(title, message);
    deviceLists << devices;
    if (deviceAnswers.empty())
        return -1;
    const int answer = deviceAnswers.front();
    deviceAnswers.pop_front();
    return answer;
}

void ScriptedDialogs::BeginAlertSheet(QWidget*, const QString& title, const QString& button,
                                      const QString& message) {
    events << QStringLiteral("sheet %1 [%2]: %3").arg(title, button, message);
}

void ScriptedDialogs::BeginStopAlert(QWidget*, const QString& messageText, const QString& informativeText,
                                     std::function<void(int returnCode)> didEnd) {
    ++alerts;
    events << QStringLiteral("alert %1: %2").arg(messageText, informativeText);
    alertDidEnd = std::move(didEnd);
}

void ScriptedDialogs::BeginOpenSheet(QWidget*, const QStringList& fileTypes,
                                     std::function<void(int returnCode, const QString& path)> didEnd) {
    events << QStringLiteral("open sheet types: ") + fileTypes.join(QLatin1Char(' '));
    openDidEnd = std::move(didEnd);
}

void ScriptedDialogs::ShowAboutPanel(QWidget*, const QString& applicationVersion, const QString& version) {
    events << QStringLiteral("about: %1 %2").arg(applicationVersion, version);
}

void ScriptedDialogs::DismissAlert() {
    auto didEnd = std::move(alertDidEnd);
    alertDidEnd = nullptr;
    if (didEnd)
        didEnd(1);
}

void ScriptedDialogs::ChooseFile(const QString& path) {
    auto didEnd = std::move(openDidEnd);
    openDidEnd = nullptr;
    if (didEnd)
        didEnd(1, path);
}

void ScriptedDialogs::CancelOpenSheet() {
    auto didEnd = std::move(openDidEnd);
    openDidEnd = nullptr;
    if (didEnd)
        didEnd(0, QString());
}

AppRig::AppRig(SimulatedDevice::Options deviceOptions) {
    device = std::make_unique<SimulatedDevice>(service, std::move(deviceOptions));
    delegate = std::make_unique<ZephAppDelegate>(service, dialogs);
    channel = delegate->Channel();
    delegate->SetRecorder([this](const QString& change) {
        (change.startsWith(QStringLiteral("device: ")) ? deviceEvents : events) << change;
    });
    delegate->SetTerminator([this] { ++terminations; });
    delegate->awakeFromNib();
    delegate->window()->show();
    // The device line's first look (and the identity it may ask) is over before any test step.
    if (!QTest::qWaitFor([this] { return !deviceEvents.isEmpty(); }, 10000))
        qFatal("the device line was never shown");
}

AppRig::~AppRig() {
    clock.Release();
    delegate.reset();
    // Jobs that outlived the window finish on their own; the service must outlive them.
    if (!channel->WaitForWorkers(10000))
        qFatal("a worker thread did not end");
    otherDevices.clear();
    device.reset();
}

QString AppRig::WriteFile(const QString& name, const QByteArray& bytes) {
    const QString path = directory.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write a test file");
    return path;
}

SimulatedDevice& AppRig::AddDevice(SimulatedDevice::Options options) {
    otherDevices.push_back(std::make_unique<SimulatedDevice>(service, std::move(options)));
    return *otherDevices.back();
}

QString AppRig::WriteSysExFile(const QString& name) {
    QByteArray bytes;
    for (int message = 0; message < 20; ++message) {
        bytes.append("\xF0\x00\x00\x0E", 4);
        for (int i = 0; i < 50; ++i)
            bytes.append(static_cast<char>((message * 5 + i) & 0x7F));
        bytes.append('\xF7');
    }
    return WriteFile(name, bytes);
}

QString AppRig::WriteUpdateFile(const QString& name, const std::string& note, int portions) {
    std::vector<unsigned char> out;
    CreateUpdateFileHeader(out, "Ostrel Kelva", Version{1, 5}, note, 0, 0, 0);
    for (int portion = 0; portion < portions; ++portion) {
        std::vector<unsigned char> data;
        for (int message = 0; message < 40; ++message) {
            data.insert(data.end(), {0xF0, 0x00, 0x00, 0x0E});
            for (int i = 0; i < 100; ++i)
                data.push_back(static_cast<unsigned char>((portion * 31 + message * 7 + i) & 0x7F));
            data.push_back(0xF7);
        }
        AddSysExPortion(out, data, 100);
    }
    AddMacPortName(out, "Ostrel Kelva$Ostrel Dramlin");
    return WriteFile(
        name, QByteArray(reinterpret_cast<const char*>(out.data()), static_cast<qsizetype>(out.size())));
}

namespace {

QMimeData* FilesMime(const QStringList& files) {
    auto* mime = new QMimeData;
    QList<QUrl> urls;
    for (const QString& file : files)
        urls << QUrl::fromLocalFile(file);
    mime->setUrls(urls);
    return mime;
}

} // namespace

bool AppRig::DragEnters(const QStringList& files, Qt::DropActions actions) {
    std::unique_ptr<QMimeData> mime(FilesMime(files));
    QWidget* target = delegate->window();
    QDragEnterEvent enter(QPoint(10, 10), actions, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    return enter.isAccepted() && enter.dropAction() == Qt::CopyAction;
}

bool AppRig::Drop(const QStringList& files, QWidget* target, Qt::DropActions actions) {
    if (!target)
        target = delegate->window();
    std::unique_ptr<QMimeData> mime(FilesMime(files));
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, actions, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(QPointF(at), actions, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

bool AppRig::WaitUntilIdle() {
    const bool idle = QTest::qWaitFor([this] { return !delegate->sendingUpdate(); }, 10000);
    // The job's end has reached the window; let the worker finish its last lines.
    return idle && channel->WaitForWorkers(10000);
}

bool AppRig::HoldInSend() {
    clock.Hold();
    return QTest::qWaitFor([this] { return clock.Sleepers() > 0; }, 10000);
}

std::vector<unsigned char> JobBytes(const SimulatedDevice& device) {
    const std::vector<unsigned char> request{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    std::vector<unsigned char> bytes = device.ReceivedBytes();
    for (auto at = std::search(bytes.begin(), bytes.end(), request.begin(), request.end()); at != bytes.end();
         at = std::search(bytes.begin(), bytes.end(), request.begin(), request.end()))
        bytes.erase(at, at + static_cast<std::ptrdiff_t>(request.size()));
    return bytes;
}

QStringList From(const QStringList& events, const QString& first) {
    const qsizetype at = events.indexOf(first);
    return at < 0 ? QStringList() : events.mid(at);
}
