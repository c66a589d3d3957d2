#pragma once

#include "Clock.h"
#include "DialogPresenter.h"
#include "Log.h"
#include "MainThreadChannel.h"
#include "SimulatedDevice.h"
#include "VirtualMidiService.h"
#include "ZephAppDelegate.h"

#include <QStringList>
#include <QTemporaryDir>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

// A virtual clock that can hold every thread that sleeps on it: while held, a sleeper waits (for
// real) until released, so a test can act while a job is certainly under way.
class HeldClock : public VirtualClock {
public:
    void SleepMs(std::uint64_t milliseconds) override;
    void Hold();
    void Release();
    // Threads waiting in a held sleep right now.
    int Sleepers() const;

private:
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    int sleepers = 0;
};

// The dialogs, scripted: each one is written to the test's record of window changes; the modal
// panel and the device chooser answer at once (the panel after running an optional hook "while it
// is shown"), the sheets stay shown until the test ends them.
class ScriptedDialogs : public DialogPresenter {
public:
    explicit ScriptedDialogs(QStringList& events) : events(events) {}

    int RunAlertPanel(QWidget* window, const QString& title, const QString& message,
                      const QString& defaultText, const QString& alternateText) override;
    int ChooseDevice(QWidget* window, const QString& title, const QString& message,
                     const QStringList& devices) override;
    void BeginAlertSheet(QWidget* window, const QString& title, const QString& button,
                         const QString& message) override;
    void BeginStopAlert(QWidget* window, const QString& messageText, const QString& informativeText,
                        std::function<void(int returnCode)> didEnd) override;
    void BeginOpenSheet(QWidget* window, const QStringList& fileTypes,
                        std::function<void(int returnCode, const QString& path)> didEnd) override;
    void ShowAboutPanel(QWidget* window, const QString& applicationVersion, const QString& version) override;

    // Answers for the next modal panels, in order; without one the default button is pressed.
    std::deque<int> panelAnswers;
    // Runs inside the modal panel, while it is shown.
    std::function<void(const QString& title)> whilePanelShown;
    // Answers for the next device choosers, in order; without one the chooser is cancelled.
    std::deque<int> deviceAnswers;
    // The device lists the choosers showed, in order.
    QList<QStringList> deviceLists;

    bool AlertShown() const { return bool(alertDidEnd); }
    void DismissAlert();
    bool OpenSheetShown() const { return bool(openDidEnd); }
    void ChooseFile(const QString& path);
    void CancelOpenSheet();

    int panels = 0;
    int alerts = 0;

private:
    QStringList& events;
    std::function<void(int)> alertDidEnd;
    std::function<void(int, const QString&)> openDidEnd;
};

// One test's world: clock, log capture, virtual MIDI service with a simulated device, and the
// controller with its window, shown offscreen. Torn down in order, after the workers have ended.
class AppRig {
public:
    explicit AppRig(SimulatedDevice::Options device = {});
    ~AppRig();

    // An update file with one portion per entry of portions, for the Kelva's port names.
    QString WriteUpdateFile(const QString& name, const std::string& note, int portions = 2);
    QString WriteFile(const QString& name, const QByteArray& bytes);
    // A raw SysEx file (.syx): an update that names no port, sent to a USB MIDI device.
    QString WriteSysExFile(const QString& name);

    // Another simulated device on the service, kept until the workers have ended.
    SimulatedDevice& AddDevice(SimulatedDevice::Options options);

    // Drops files on a widget of the window (the window itself by default), as the window system
    // does: the drag enters, then drops if it was accepted. Answers whether the drop was accepted.
    bool Drop(const QStringList& files, QWidget* target = nullptr, Qt::DropActions actions = Qt::CopyAction);
    // Only the entering drag; answers whether the window would take it.
    bool DragEnters(const QStringList& files, Qt::DropActions actions = Qt::CopyAction);

    // Runs the GUI event loop until the job's end has reached the window.
    bool WaitUntilIdle();
    // Holds the clock and runs the GUI until a worker sleeps on it: the job is then under way.
    bool HoldInSend();

    std::vector<std::string> LogLines() const { return log.Lines(); }

    QStringList events;       // every change to the window but the device line's
    QStringList deviceEvents; // the device line's changes ("device: ...")
    HeldClock clock;
    ScopedClock scopedClock{clock};
    ScopedLogCapture log;
    VirtualMidiService service;
    std::unique_ptr<SimulatedDevice> device;
    std::vector<std::unique_ptr<SimulatedDevice>> otherDevices;
    ScriptedDialogs dialogs{events};
    std::unique_ptr<ZephAppDelegate> delegate;
    std::shared_ptr<MainThreadChannel> channel;
    int terminations = 0;
    QTemporaryDir directory;
};

// The events from the first one equal to first on.
QStringList From(const QStringList& events, const QString& first);

// What reached the device but for the identity requests with which the window's device line asks
// for its version.
std::vector<unsigned char> JobBytes(const SimulatedDevice& device);
