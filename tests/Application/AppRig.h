// The application tests' world: a virtual clock that can hold the job's sleeps, dialogs that record
// what they show, and Rig: the simulated device on the virtual MIDI service, with the controller and its
// window shown offscreen. Each test group registers itself; ApplicationTestMain.cpp runs one by name.
#pragma once

#include "Clock.h"
#include "DialogPresenter.h"
#include "Log.h"
#include "MainThreadChannel.h"
#include "MainWindow.h"
#include "SimulatedDevice.h"
#include "UpdateWriter.h"
#include "VirtualMidiService.h"
#include "ZephAppDelegate.h"

#include <QApplication>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <mutex>

using Bytes = std::vector<unsigned char>;

inline std::vector<QObject*>& Groups() {
    static std::vector<QObject*> groups;
    return groups;
}

inline const QString verdict = "The 'Ostrel Kelva' was updated sucessfully to version 1.05.";
inline const QString badHeader = "Update failed for reason:\nUpdate file was invalid (bad header).";
inline const QString sendError =
    "There was an error sending the update file.\nPlease restart the device and try again.";

// While the test holds it, a thread sleeping on the clock waits (for real): the job is then under way.
class HeldClock : public VirtualClock {
public:
    void SleepMs(std::uint64_t milliseconds) override {
        if (!hold.try_lock()) {
            ++sleepers;
            hold.lock();
            --sleepers;
        }
        hold.unlock();
        VirtualClock::SleepMs(milliseconds);
    }
    std::mutex hold;
    std::atomic<int> sleepers = 0;
};

// Each dialog is written to the record; the modal ones answer at once, the sheets stay until ended.
class ScriptedDialogs : public DialogPresenter {
public:
    explicit ScriptedDialogs(QStringList& events) : events(events) {}
    int RunAlertPanel(QWidget*, const QString& title, const QString& message, const QString& defaultText,
                      const QString& alternateText) override {
        events << QString("panel %1 [%2|%3]: %4").arg(title, defaultText, alternateText, message);
        return panelAnswer;
    }
    int ChooseDevice(QWidget*, const QString& title, const QString& message,
                     const QStringList& list) override {
        events << QString("chooser %1: %2 [%3]").arg(title, message, list.join(", "));
        return deviceAnswer;
    }
    void BeginAlertSheet(QWidget*, const QString& title, const QString& button,
                         const QString& text) override {
        events << QString("sheet %1 [%2]: %3").arg(title, button, text);
    }
    void BeginStopAlert(QWidget*, const QString& title, const QString& text,
                        std::function<void(int)> end) override {
        events << QString("alert %1: %2").arg(title, text);
        alertEnd = std::move(end);
    }
    void BeginOpenSheet(QWidget*, const QStringList& types,
                        std::function<void(int, const QString&)> end) override {
        events << "open sheet types: " + types.join(' ');
        openEnd = std::move(end);
    }
    void ShowAboutPanel(QWidget*, const QString& applicationVersion, const QString& version) override {
        events << QString("about: %1 %2").arg(applicationVersion, version);
    }
    void DismissAlert() { std::exchange(alertEnd, nullptr)(1); }
    void EndOpenSheet(int code, const QString& path = {}) { std::exchange(openEnd, nullptr)(code, path); }

    int panelAnswer = defaultButton;
    int deviceAnswer = -1;

private:
    QStringList& events;
    std::function<void(int)> alertEnd;
    std::function<void(int, const QString&)> openEnd;
};

// A simulated device from its port name, display name and USB device number (0: a software port).
inline SimulatedDevice::Options Device(const QStringList& names) {
    SimulatedDevice::Options options;
    options.name = names[0].toStdString();
    options.displayName = names[1].toStdString();
    options.usbDevice = names[2].toInt();
    return options;
}

class Rig {
public:
    explicit Rig(SimulatedDevice::Options options = {})
        : device(std::make_unique<SimulatedDevice>(service, std::move(options))),
          d(std::make_unique<ZephAppDelegate>(service, dialogs)), channel(d->Channel()) {
        d->SetRecorder([this](const QString& change) {
            (change.startsWith("device: ") ? deviceEvents : events) << change;
        });
        d->SetTerminator([this] { ++terminations; });
        d->awakeFromNib();
        d->window()->show();
        // The device line's first look (and the identity request it may send) is over before a test acts.
        if (!QTest::qWaitFor([this] { return !deviceEvents.isEmpty(); }, 10000))
            qFatal("the device line was never shown");
    }
    ~Rig() {
        Release();
        d.reset();
        // Jobs that outlived the window end on their own, without waiting for anyone.
        if (!channel->WaitForWorkers(10000))
            qFatal("a worker thread did not end");
    }

    QString File(const QString& name, const QByteArray& bytes) {
        QFile file(directory.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write a test file");
        return file.fileName();
    }
    // An update for the Kelva's port names: two portions of 40 messages.
    QString UpdateFile(const QString& name, const QString& note) {
        Bytes out;
        CreateUpdateFileHeader(out, "Ostrel Kelva", Version{1, 5}, note.toStdString(), 0, 0, 0);
        for (int portion = 0; portion < 2; ++portion) {
            Bytes data;
            for (int message = 0; message < 40; ++message) {
                data.insert(data.end(), {0xF0, 0x00, 0x00, 0x0E});
                data.insert(data.end(), 100, static_cast<unsigned char>((portion * 31 + message * 7) & 0x7F));
                data.push_back(0xF7);
            }
            AddSysExPortion(out, data, 100);
        }
        AddMacPortName(out, "Ostrel Kelva$Ostrel Dramlin");
        return File(name, QByteArray(reinterpret_cast<const char*>(out.data()), qsizetype(out.size())));
    }
    // A raw SysEx file: an update that names no port, for a USB MIDI device.
    QString SysExFile(const QString& name) {
        QByteArray bytes;
        for (int message = 0; message < 20; ++message)
            bytes.append("\xF0\x00\x00\x0E", 4).append(50, char(message)).append('\xF7');
        return File(name, bytes);
    }

    // Drags files onto a widget of the window as the window system does, dropping them if the drag was
    // taken; answers whether the drag (and the drop) were taken.
    bool Drag(const QStringList& files, bool drop = true, QWidget* target = nullptr,
              Qt::DropActions actions = Qt::CopyAction) {
        target = target ? target : d->window();
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString& file : files)
            urls << QUrl::fromLocalFile(file);
        mime.setUrls(urls);
        const QPoint at = target->rect().center();
        QDragEnterEvent enter(at, actions, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted() || !drop)
            return enter.isAccepted();
        QDropEvent dropEvent(QPointF(at), actions, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &dropEvent);
        return dropEvent.isAccepted();
    }
    // Runs the GUI until the job's end has reached the window and its worker has ended.
    bool WaitUntilIdle() {
        return QTest::qWaitFor([this] { return !d->sendingUpdate(); }, 10000) &&
               channel->WaitForWorkers(10000);
    }
    // Holds the clock and runs the GUI until a worker sleeps on it.
    bool HoldInSend() {
        clock.hold.lock();
        held = true;
        return QTest::qWaitFor([this] { return clock.sleepers > 0; }, 10000);
    }
    void Release() {
        if (std::exchange(held, false))
            clock.hold.unlock();
    }

    QStringList events;       // every change to the window but the device line's, and every dialog
    QStringList deviceEvents; // the device line's changes ("device: ...")
    HeldClock clock;
    ScopedClock scopedClock{clock};
    ScopedLogCapture log;
    QTemporaryDir directory;
    VirtualMidiService service;
    std::unique_ptr<SimulatedDevice> device;
    std::vector<std::unique_ptr<SimulatedDevice>> others;
    ScriptedDialogs dialogs{events};
    std::unique_ptr<ZephAppDelegate> d;
    std::shared_ptr<MainThreadChannel> channel;
    int terminations = 0;
    bool held = false;
};

// The messages that reached the device but the identity requests with which the device line asks its version.
inline std::vector<Bytes> JobMessages(const SimulatedDevice& device) {
    std::vector<Bytes> messages = device.Messages();
    std::erase(messages, Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    return messages;
}
