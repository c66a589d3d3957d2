#pragma once

#include "DevicePresence.h"
#include "Progress.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

class DialogPresenter;
class MainThreadChannel;
class MainWindow;
class MidiService;
class QButtonGroup;
class QEvent;
class QLabel;
class QLineEdit;
class QMimeData;
class QProgressBar;
class ZephAppDelegateUpdateProgress;

// The application's one controller: the main window's delegate and drop target, the update job
// with its worker thread, and the video-mode switch. The operations keep the names of the window
// system they were first written for (updateWithFile:, progress:, showAlert:, ...).
//
// Everything here runs on the GUI thread, except updateThreadFile and ToggleVideoMode, which run
// on a worker thread and reach the controller only through its MainThreadChannel.
class ZephAppDelegate : public QObject {
    Q_OBJECT
public:
    enum class TerminateReply { TerminateCancel, TerminateNow };

    // The service that jobs open the device on, and the dialogs, must outlive the controller and
    // every worker it started (see Channel()->WaitForWorkers).
    ZephAppDelegate(MidiService& service, DialogPresenter& dialogs, QObject* parent = nullptr);
    ~ZephAppDelegate() override;

    // --- the window's elements ---
    MainWindow* window() const { return mainWindow.get(); }
    QLabel* imageView() const;
    QLineEdit* productName() const;
    QLineEdit* firmwareVersion() const;
    QProgressBar* progressIndicator() const;
    QLabel* textField() const;
    QLabel* deviceStatus() const;
    QButtonGroup* VideoOption() const;

    // --- state ---
    bool sendingUpdate() const { return sendingUpdateFlag; }
    bool openSheet() const { return openSheetShown; }
    bool alertSheet() const { return alertSheetShown; }
    const std::shared_ptr<MainThreadChannel>& Channel() const { return channel; }

    // --- the window ---
    // Centres the window, takes file drops on it and logs the MIDI interfaces.
    void awakeFromNib();
    TerminateReply applicationShouldTerminate();
    // A quit request (menu, shortcut, closing the window): asks applicationShouldTerminate and,
    // when the answer is to terminate, ends the application. Answers whether it is ending.
    bool terminate();
    // A request to close the window is a request to quit; false keeps the window open.
    bool windowShouldClose();
    void aboutDialogue();
    void openDocument();
    void browseDidEnd(int returnCode, const QString& path);
    // The drop target: copy or nothing.
    Qt::DropAction draggingEntered(Qt::DropActions sourceActions, const QMimeData* data);
    bool prepareForDragOperation();
    bool performDragOperation(const QMimeData* data);

    // --- the update job ---
    void updateWithFile(const QString& path);
    void updateDidStart();
    void updateDidComplete();
    // Nothing means the busy state.
    void progress(std::optional<float> value);
    void progressIndeterminate();
    void status(const QString& text);
    void error(const QString& text);
    void completed(const QString& text);
    void messageBeforeUpdate(const QString& text);
    // Asks which of the devices (as the user reads them) to update; the index, or -1 for none.
    int chooseUsbMidiDevice(const QStringList& devices);
    // The job ends before sending anything: the text in the status field, the bar empty.
    void updateCancelled(const QString& text);
    // May be called on any thread.
    void showAlert(const QString& text);
    void alertSheetDidEnd(int returnCode);

    // --- the device line ---
    // Follows the device with these port names (an empty set: the only USB MIDI device) from now on;
    // the same names as now change nothing.
    void watchDevice(const std::set<std::string>& portNames);
    void showDevice(const DeviceState& state);

    // --- the video mode switch ---
    void updateVideoMode();

    // The worker threads' bodies.
    // The frame every worker job shares: the start and end handshakes with the GUI thread, the log
    // lines, and what an exception leaving the job shows.
    static void RunWorkerJob(const std::shared_ptr<MainThreadChannel>& channel,
                             const std::function<void(ZephAppDelegateUpdateProgress&)>& job);
    static void updateThreadFile(const std::shared_ptr<MainThreadChannel>& channel, MidiService& service,
                                 const std::string& path);
    static void ToggleVideoMode(const std::shared_ptr<MainThreadChannel>& channel, MidiService& service,
                                int selectedSegment);

    // The video-mode message for a segment of VideoOption (negative: none selected).
    static std::vector<unsigned char> VideoModeMessage(int selectedSegment);

    // --- seams ---
    // Told of every change made to the window, in order ("status text: ...", "bar busy", ...).
    void SetRecorder(std::function<void(const QString&)> recorder);
    // What ending the application does; QCoreApplication::quit, queued, unless replaced.
    void SetTerminator(std::function<void()> terminator);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Record(const QString& change);
    void SetStatusText(const QString& text);
    bool RefusesNewWork() const;

    MidiService& service;
    DialogPresenter& dialogs;
    std::unique_ptr<MainWindow> mainWindow;
    std::shared_ptr<MainThreadChannel> channel;
    bool openSheetShown = false;
    bool alertSheetShown = false;
    bool sendingUpdateFlag = false;
    bool terminating = false;
    std::function<void(const QString&)> recorder;
    std::function<void()> terminator;
    std::unique_ptr<DevicePresence> presence;
    std::set<std::string> watchedNames;
};

// The progress sink of a job: every report becomes a request on the GUI thread, posted without
// waiting, so the sending engine never waits for the window.
class ZephAppDelegateUpdateProgress : public UpdateProgress {
public:
    explicit ZephAppDelegateUpdateProgress(std::shared_ptr<MainThreadChannel> channel);
    ~ZephAppDelegateUpdateProgress() override;

    void Progress(float fraction) override;
    void ProgressIndeterminate() override;
    void Status(const std::string& text) override;
    void Error(const std::string& text) override;
    void Completed(const std::string& text) override;

private:
    std::shared_ptr<MainThreadChannel> channel;
};
