// The real window, controller and dialogs, headless, against the simulated device. Catches: wrong texts,
// order or bar in what the window shows, the chooser, video mode, keys, drags, refusals while busy, quitting,
// the device line, a job touching a closed window; in the real dialogs wrong titles, buttons, modality,
// markup.
#include "Clock.h"
#include "Log.h"
#include "MainThreadChannel.h"
#include "MainWindow.h"
#include "QtDialogPresenter.h"
#include "SimulatedDevice.h"
#include "UpdateWriter.h"
#include "VirtualMidiService.h"
#include "ZephAppDelegate.h"

#include <QtTest>
#include <QtWidgets>

#include <mutex>

using Bytes = std::vector<unsigned char>;
using Text = const QString&;

const QString verdict = "The 'Ostrel Kelva' was updated sucessfully to version 1.05.";

// A simulated device from "port name|display name|USB device number" (0: a software port).
SimulatedDevice::Options Device(const QString& text) {
    const QStringList names = text.split('|');
    SimulatedDevice::Options options;
    options.name = names[0].toStdString();
    options.displayName = names[1].toStdString();
    options.usbDevice = names[2].toInt();
    return options;
}

// Several values as one text, to compare them at once.
template <typename... Values> QString Seen(const Values&... values) {
    return QStringList{QVariant::fromValue(values).toString()...}.join(' ');
}

// The window with its controller. Each dialog is written to the record; the modal ones answer at once, the
// sheets stay until ended. While the test holds the clock, a thread sleeping on it waits (for real).
class Rig : public DialogPresenter, public VirtualClock {
public:
    explicit Rig(SimulatedDevice::Options options = {})
        : device(std::make_unique<SimulatedDevice>(service, std::move(options))),
          d(std::make_unique<ZephAppDelegate>(service, *this)), channel(d->Channel()) {
        d->SetRecorder([this](Text e) { e.startsWith("device: ") ? deviceEvents << e.mid(8) : events << e; });
        d->SetTerminator([this] { ++terminations; });
        d->awakeFromNib();
        d->window()->show();
        // The device line's first look (and the identity request it may send) is over before a test acts.
        if (!QTest::qWaitFor([this] { return !deviceEvents.isEmpty(); }, 10000))
            qFatal("the device line was never shown");
    }
    ~Rig() {
        held = {};
        d.reset();
        // Jobs that outlived the window end on their own, without waiting for anyone.
        if (!channel->WaitForWorkers(10000))
            qFatal("a worker thread did not end");
    }

    int RunAlertPanel(QWidget*, Text title, Text text, Text yes, Text no) override {
        events << QString("panel %1 [%2|%3]: %4").arg(title, yes, no, text);
        return panelAnswer;
    }
    int ChooseDevice(QWidget*, Text title, Text text, const QStringList& list) override {
        events << QString("chooser %1: %2 [%3]").arg(title, text, list.join(", "));
        return deviceAnswer;
    }
    void BeginAlertSheet(QWidget*, Text title, Text ok, Text text) override {
        events << QString("sheet %1 [%2]: %3").arg(title, ok, text);
    }
    void BeginStopAlert(QWidget*, Text title, Text text, std::function<void(int)> f) override {
        events << QString("alert %1: %2").arg(title, text);
        alertEnd = std::move(f);
    }
    void BeginOpenSheet(QWidget*, const QStringList& types, std::function<void(int, Text)> f) override {
        events << "open sheet types: " + types.join(' ');
        openEnd = std::move(f);
    }
    void ShowAboutPanel(QWidget*, Text app, Text lib) override { events << "about: " + app + " " + lib; }
    // Counted while it waits for the test to let go of the clock.
    void SleepMs(std::uint64_t milliseconds) override {
        ++sleepers;
        hold.lock();
        --sleepers;
        hold.unlock();
        VirtualClock::SleepMs(milliseconds);
    }

    QUrl File(const QString& name, const QByteArray& bytes) {
        QFile file(directory.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write a test file");
        return QUrl::fromLocalFile(file.fileName());
    }
    // An update for the Kelva's port names: two portions of 40 messages.
    QUrl UpdateFile(const QString& note = "") {
        Bytes out;
        CreateUpdateFileHeader(out, "Ostrel Kelva", Version{1, 5}, note.toStdString(), 0, 0, 0);
        const QByteArray portion = sysex.repeated(40);
        AddSysExPortion(out, Bytes(portion.begin(), portion.end()), 100);
        AddSysExPortion(out, Bytes(portion.begin(), portion.end()), 100);
        AddMacPortName(out, "Ostrel Kelva$Ostrel Dramlin");
        return File("kelva.upd", QByteArray(reinterpret_cast<const char*>(out.data()), out.size()));
    }
    // A raw SysEx file: an update that names no port, for a USB MIDI device.
    QUrl SysExFile() { return File("kelva.syx", sysex.repeated(10)); }

    // Drags files onto a widget of the window as the window system does, dropping them if the drag was
    // taken; answers whether the drag (and the drop) were taken.
    bool Drag(const QList<QUrl>& files, bool drop = true, QWidget* target = nullptr,
              Qt::DropActions actions = Qt::CopyAction) {
        target = target ? target : d->window();
        QMimeData mime;
        mime.setUrls(files);
        QDragEnterEvent enter(target->rect().center(), actions, &mime, Qt::LeftButton, Qt::NoModifier);
        QDropEvent dropped(target->rect().center(), actions, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (enter.isAccepted() && drop)
            QApplication::sendEvent(target, &dropped);
        return enter.isAccepted() && (!drop || dropped.isAccepted());
    }
    // Runs the GUI until the job's end has reached the window and its worker has ended.
    bool WaitUntilIdle() {
        return QTest::qWaitFor([this] { return !d->sendingUpdate(); }, 10000) &&
               channel->WaitForWorkers(10000);
    }
    // Holds the clock and runs the GUI until a worker sleeps on it; the test lets go with held = {}.
    bool HoldInSend() {
        held = std::unique_lock(hold);
        return QTest::qWaitFor([this] { return sleepers > 0; }, 10000);
    }
    // The messages that reached a device but the device line's identity requests.
    static std::vector<Bytes> JobMessages(const SimulatedDevice& device) {
        std::vector<Bytes> messages = device.Messages();
        std::erase(messages, Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
        return messages;
    }

    // Every change to the window but the device line's, and every dialog; the device line's texts.
    QStringList events, deviceEvents;
    const QByteArray sysex = QByteArray("\xF0\x00\x00\x0E", 4) + QByteArray(100, 1) + '\xF7';
    std::mutex hold;
    std::atomic<int> sleepers = 0;
    ScopedClock scopedClock{*this};
    ScopedLogCapture log;
    QTemporaryDir directory;
    VirtualMidiService service;
    std::unique_ptr<SimulatedDevice> device, other;
    int panelAnswer = defaultButton, deviceAnswer = -1, terminations = 0;
    std::function<void(int)> alertEnd;
    std::function<void(int, Text)> openEnd;
    std::unique_ptr<ZephAppDelegate> d;
    std::shared_ptr<MainThreadChannel> channel;
    std::unique_lock<std::mutex> held; // the test's hold on the clock
};

// A dialog as the user sees it: modality|message box icon|title|each text/its format|list rows|buttons.
QString Describe(QWidget* widget) {
    QStringList shown{QString::number(widget->windowModality()), widget->property("icon").toString(),
                      widget->windowTitle()};
    for (QLabel* label : widget->findChildren<QLabel*>())
        if (!label->text().isEmpty())
            shown << label->text() + "/" + QString::number(label->textFormat());
    if (auto* list = widget->findChild<QListWidget*>())
        for (int row = 0; row < list->count(); ++row)
            shown << list->item(row)->text();
    for (QAbstractButton* button : widget->findChildren<QAbstractButton*>())
        shown << button->text().remove('&') + (button->isEnabled() ? "" : " (off)");
    return shown.join('|');
}

// Opens a modal dialog; once it is up, describes it (with no row of its list selected), then selects the
// first row, types the keys into the list and presses the button. Answers the dialog's answer|description.
QString Answer(const std::function<int()>& open, const QString& button, const QList<int>& keys) {
    QString shown;
    QTimer::singleShot(0, [&shown, button, keys] {
        QWidget* dialog = QApplication::activeModalWidget();
        auto* list = dialog->findChild<QListWidget*>();
        if (list)
            list->setCurrentRow(-1);
        shown = Describe(dialog);
        for (int key : QList<int>{Qt::Key_Home} + keys)
            QTest::keyClick(list ? list : dialog, Qt::Key(key));
        for (QAbstractButton* push : dialog->findChildren<QAbstractButton*>())
            if (push->text().remove('&') == button)
                push->click();
    });
    const int answer = open();
    return QString::number(answer) + "|" + shown;
}

class ApplicationTests : public QObject {
    Q_OBJECT
private slots:
    void barShowsTheFraction() {
        // Each row: the fraction; the record, the bar's maximum and value (-1: none, busy).
        const std::pair<std::optional<float>, QString> rows[] = {
            {0.5f, "bar 0.5 1000 500"},       {std::nullopt, "bar busy 0 -1"}, {0.0f, "bar busy 0 -1"},
            {std::nanf(""), "bar busy 0 -1"}, {-0.25f, "bar -0.25 1000 0"},    {0.999f, "bar 0.999 1000 999"},
            {1.0f, "bar complete 1000 1000"}, {2.5f, "bar complete 1000 1000"}};
        Rig rig;
        QProgressBar* bar = rig.d->progressIndicator();
        for (const auto& [fraction, shown] : rows) {
            bar->setRange(0, shown.contains("busy") ? 1000 : 0); // the other state, so the row shows its own
            rig.events.clear();
            rig.d->progress(fraction);
            QCOMPARE(Seen(rig.events.join(','), bar->maximum(), bar->maximum() ? bar->value() : -1), shown);
        }
    }

    // A dropped file runs to its end. Only a .syx file (which names no port) with a second USB device asks
    // which device to update; the answer picks the device.
    void droppedFileRunsToItsEnd() {
        // Each row: a .syx file, the second device, the chooser's answer, the device updated (-1: none).
        const QString dramlin = "Ostrel Dramlin MIDI 1|Ostrel Dramlin|2",
                      note = "Keep it plugged in: 100% %s";
        const std::tuple<bool, QString, int, int> rows[] = {{true, "Synth MIDI 1|Synth|0", -1, 0},
                                                            {false, "Synth MIDI 1|Synth|2", -1, 0},
                                                            {true, dramlin, 1, 1},
                                                            {true, dramlin, -1, -1},
                                                            {true, dramlin, 2, -1}};
        const QString asked =
            "chooser Choose the device to update: This update does not name the device it is for, "
            "and several USB MIDI devices are connected. Choose the one to update: [\"Ostrel "
            "Kelva\" (port \"Ostrel Kelva MIDI 1\"), \"Ostrel Dramlin\" (port \"Ostrel Dramlin MIDI 1\")]";
        // Cancelled: the bar empty, the status text telling why (the last changes, then the bar's value).
        const QString end = "bar empty|status text: Update cancelled: no device was chosen.|done|0";
        for (const auto& [raw, second, answer, updated] : rows) {
            Rig rig(Device("Ostrel Kelva MIDI 1|Ostrel Kelva|1"));
            rig.other = std::make_unique<SimulatedDevice>(rig.service, Device(second));
            rig.deviceAnswer = answer;
            // An update on the picture, which passes its drops to the window; of several files the first is
            // taken.
            QVERIFY(raw ? rig.Drag({rig.SysExFile()})
                        : rig.Drag({rig.UpdateFile(note), rig.File("bad.upd", "nonsense")}, true,
                                   rig.d->imageView()));
            QVERIFY(rig.WaitUntilIdle());
            if (!raw) // the first and the last changes, then the fields as they stay
                QCOMPARE(rig.events.first(6) + rig.events.last(4)
                             << rig.d->productName()->text() << rig.d->firmwareVersion()->text()
                             << rig.d->textField()->text(),
                         (QStringList{"status text: Loading update file", "product name: Ostrel Kelva",
                                      "firmware version: 1.05",
                                      "panel Important note about this update [Start update|]: " + note,
                                      "bar busy", "status text: Updating...", "bar complete",
                                      "status text: " + verdict, "sheet Completed [OK]: " + verdict, "done",
                                      "Ostrel Kelva", "1.05", verdict}));
            QCOMPARE(Seen(rig.events.filter("chooser ").join('\n'), !Rig::JobMessages(*rig.device).empty(),
                          !Rig::JobMessages(*rig.other).empty(),
                          (rig.events.last(3) << Seen(rig.d->progressIndicator()->value())).join('|') == end),
                     Seen(second == dramlin ? asked : "", updated == 0, updated == 1, updated < 0));
        }
    }

    // A device of another name gets nothing: the sender's failure shows in the status text only.
    void videoSegmentSendsItsMessage() {
        // Each row: the device, the segment clicked, the message's mode byte (-1: none sent).
        const std::tuple<QString, int, int> rows[] = {
            {"Ostrel Kelva", 0, 1}, {"Ostrel Dramlin", 1, 0}, {"Ostrel Kelva Mk2", 0, -1}};
        for (const auto& [device, segment, mode] : rows) {
            Rig rig(Device(device + "|" + device + "|1"));
            rig.d->window()->videoSegments[segment]->click();
            QVERIFY(rig.WaitUntilIdle());
            const Bytes message{0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x01, quint8(mode), 0xF7};
            QCOMPARE(Rig::JobMessages(*rig.device), std::vector<Bytes>(mode >= 0, message));
            // Verdicts, whether the status text tells of a failure, failure alerts.
            QCOMPARE(rig.events.first(3)
                         << Seen(rig.events.filter("sheet Completed").size(),
                                 rig.d->textField()->text().startsWith("There was an error sending"),
                                 rig.events.filter("alert").size()),
                     (QStringList{"bar busy", "status text: Updating...", "status text: Updating Video Mode",
                                  Seen(mode < 0 ? 0 : 1, mode < 0, 0)}));
        }
        QCOMPARE(ZephAppDelegate::VideoModeMessage(-1), ZephAppDelegate::VideoModeMessage(1)); // none: off
    }

    void menuAndKeys() {
        Rig rig;
        MainWindow* window = rig.d->window();
        QCOMPARE(Seen(window->windowTitle(), rig.d->textField()->textFormat()), "MIDI Updater PlainText");
        const QUrl file = rig.UpdateFile();
        QVERIFY(!rig.Drag({file}, false, nullptr, Qt::MoveAction | Qt::LinkAction)); // only copies are taken
        QVERIFY(!rig.Drag({file}, true, nullptr, Qt::MoveAction));
        QVERIFY(rig.Drag({file}, false, nullptr, Qt::CopyAction | Qt::MoveAction));
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window, Qt::Key_O, Qt::AltModifier); // "Video &off", clicked after a moment
        QTRY_COMPARE(rig.device->VideoMode(), std::optional<unsigned char>(0x00));
        QVERIFY(rig.WaitUntilIdle());
        rig.events.clear();
        QTest::keyClick(window, Qt::Key_O, Qt::ControlModifier);
        rig.openEnd(1, file.toLocalFile());
        QVERIFY(rig.WaitUntilIdle());
        window->aboutAction->trigger();
        QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier); // no job: no question
        QCOMPARE(rig.events.first(4) + rig.events.last(2) << QString::number(rig.terminations),
                 (QStringList{"open sheet shown", "open sheet types: upd syx", "open sheet closed",
                              "status text: Loading update file", "about: 1.00 GM", "terminate", "1"}));
    }

    // While a job, the open sheet or the failure alert is up, drops, updates and video switches are refused;
    // quitting asks only while a job runs ("Do not close" keeps the window, "Close" ends).
    void busyWindowRefusesNewWork() {
        // Each row: the state; in it, a drag taken, the video choice, workers running, open sheets shown, the
        // window kept, then closed, questions asked, terminations; once it has ended, a drag taken, the
        // device's video mode (9: none), files loaded, verdicts, then the failure alerts shown in all (a
        // second one is refused while one is up).
        const std::tuple<QString, QString, QString> rows[] = {
            {"job", "false 1 1 0 true true 3 1", "true 9 1 1|Already performing an update.|third"},
            {"video", "false 1 1 0 true true 3 1", "true 1 0 0|second|third"},
            {"open", "false 1 0 1 false true 0 1", "true 9 0 0|second|third"},
            {"alert", "false 1 0 1 false true 0 1",
             "true 9 1 0|Update failed for reason:\nUpdate file was invalid (bad header).|third"}};
        const QString asked = "panel An update is in progress [Do not close|Close]: An update is in "
                              "progress.\nAre you sure you want to close this program?";
        for (const auto& [state, during, after] : rows) {
            Rig rig;
            const QUrl file = rig.UpdateFile();
            if (state == "video")
                rig.d->window()->videoSegments[0]->click();
            else if (state == "open")
                rig.d->openDocument();
            else
                QVERIFY(rig.Drag({state == "job" ? file : rig.File("bad.upd", "nonsense")}));
            if (state == "job") // straight after the first request, before its worker has run at all
                rig.d->updateWithFile(file.toLocalFile());
            QVERIFY(state == "alert" ? rig.WaitUntilIdle() : state == "open" || rig.HoldInSend());
            bool taken = rig.Drag({file}, false) || rig.Drag({file}, true, rig.d->imageView());
            rig.d->window()->videoSegments[1]->click(); // the choice is kept, nothing is sent for it
            rig.d->window()->openAction->trigger();     // still opens over the alert only
            const bool kept = !rig.d->window()->close();
            rig.d->window()->quitAction->trigger();
            rig.panelAnswer = DialogPresenter::alternateButton;
            const bool closed = rig.d->window()->close();
            QCOMPARE(Seen(taken, rig.d->VideoOption()->checkedId(), rig.channel->RunningWorkers(),
                          rig.events.count("open sheet types: upd syx"), kept, closed,
                          rig.events.count(asked), rig.terminations),
                     during);
            // Once that has ended (the open sheet cancelled, the alert dismissed), work is taken again.
            rig.held = {};
            QVERIFY(rig.WaitUntilIdle());
            if (state == "open" || state == "alert")
                rig.openEnd(0, {});
            rig.d->showAlert("second");
            std::exchange(rig.alertEnd, nullptr)(1);
            taken = rig.Drag({file}, false);
            rig.d->showAlert("third");
            QCOMPARE(Seen(taken, int(rig.device->VideoMode().value_or(9)),
                          rig.events.count("status text: Loading update file"),
                          rig.events.count("sheet Completed [OK]: " + verdict)) +
                         "|" + rig.events.filter("alert ").join('|').remove("alert Update failed: "),
                     after);
        }
    }

    void deviceLineFollowsTheDevice() {
        SimulatedDevice::Options answers;
        answers.protocol.firmwareVersion = Version{1, 4};
        Rig rig(answers);
        // While a job runs the device is not asked: its answer would reach the job.
        QVERIFY(rig.Drag({rig.UpdateFile()}));
        QVERIFY(rig.HoldInSend());
        rig.device.reset();
        QTRY_COMPARE(rig.deviceEvents.size(), 2);
        rig.device = std::make_unique<SimulatedDevice>(rig.service, answers);
        QTRY_COMPARE(rig.deviceEvents.size(), 3);
        const QString connected = "Device: Ostrel Kelva (USB) - connected",
                      unplugged = "Device: not connected - connect it and put it into update mode";
        // The label as last shown; the device asked no more.
        QCOMPARE(rig.deviceEvents << rig.d->deviceStatus()->text() << Seen(rig.device->IdentityRequests()),
                 (QStringList{connected + ", firmware 1.04", unplugged, connected, connected, "0"}));
    }

    // The window closes while a job waits for it: the job ends on its own, sends nothing more, shows nothing.
    void jobOutlivesTheWindow() {
        // Each row: the job (syx: a .syx file, which with a second USB device asks which device to update),
        // the waits for the window it has begun before the window closes.
        const QPair<QString, int> rows[] = {{"note", 1}, {"note", 2}, {"syx", 2}, {"plain", 2}, {"video", 1}};
        for (const auto& [job, waits] : rows) {
            Rig rig;
            rig.other = std::make_unique<SimulatedDevice>(rig.service, Device("D|D|2"));
            const QUrl file = job == "syx" ? rig.SysExFile() : rig.UpdateFile(job == "note" ? "A" : "");
            if (job == "video")
                rig.d->window()->videoSegments[0]->click();
            else
                rig.d->updateWithFile(file.toLocalFile());
            QVERIFY(rig.channel->WaitForWaitsBegun(1, 10000));
            if (waits == 2) // runs updateDidStart: the worker posted nothing else
                QCoreApplication::processEvents();
            QVERIFY(rig.channel->WaitForWaitsBegun(waits, 10000));
            const QStringList before = rig.events;
            rig.d.reset();
            QVERIFY(rig.channel->WaitForWorkers(10000));
            QCoreApplication::processEvents(); // what the job still posted is dropped
            // Nothing more shown, no question asked, and nothing sent if the chooser was never shown.
            QCOMPARE(Seen(rig.events == before,
                          rig.events.filter(QRegularExpression("^(panel|chooser) |^done$")).size(),
                          !Rig::JobMessages(*rig.device).empty()),
                     Seen(true, 0, job != "syx"));
        }
    }

    // The real dialogs: the failure alert, the verdict sheet and the open sheet return at once; the modal
    // panel and the chooser answer.
    void dialogsShowTextsAsTheyAre() {
        QWidget window;
        window.show();
        const auto shown = [&window] { return Describe(window.findChild<QMessageBox*>()); };
        QtDialogPresenter dialogs;
        int ended = 0;
        const QString text = "Update failed for reason:\n100% <b>not</b> %s";
        dialogs.BeginStopAlert(&window, "Update failed", text, [&ended](int) { ++ended; });
        QCOMPARE(shown() + Seen(ended), "1|Critical|Update failed|Update failed/0|" + text + "/0|OK0");
        QTest::keyClick(window.findChild<QMessageBox*>(), Qt::Key_Return);
        QTRY_VERIFY(ended == 1 && !window.findChild<QMessageBox*>());
        dialogs.BeginAlertSheet(&window, "Completed", "OK", "Sent 100% of <i>it</i>");
        QCOMPARE(shown(), "1|Information|Completed|Sent 100% of <i>it</i>/0|OK");
        // The panel answers 0 for its alternate button. The chooser offers OK only while a device is
        // selected; Return chooses. Each row: the dialog, the keys typed in its list, the button then
        // pressed, the answer|description.
        const QStringList devices{"\"Ostrel Kelva\" (port \"Ostrel Kelva MIDI 1\")", "\"<b>Synth</b>\"",
                                  "\"X\""};
        const QString message = "Several USB MIDI devices & <i>no</i> port named: choose one";
        const QString chooser = "|2||Choose|" + message + "/0|" + devices.join('|') + "|OK (off)|Cancel";
        const auto panel = [&] {
            return dialogs.RunAlertPanel(&window, "Title", "Message", "Do not close", "Close");
        };
        const auto choose = [&] { return dialogs.ChooseDevice(&window, "Choose", message, devices); };
        const std::tuple<std::function<int()>, QList<int>, QString, QString> rows[] = {
            {panel, {}, "Close", "0|2|Warning|Title|Title/0|Message/0|Do not close|Close"},
            {choose, {Qt::Key_Down}, "OK", "1" + chooser},
            {choose, {Qt::Key_Down}, "Cancel", "-1" + chooser},
            {choose, {Qt::Key_Down, Qt::Key_Down, Qt::Key_Return}, "", "2" + chooser}};
        for (const auto& [open, keys, button, answer] : rows)
            QCOMPARE(Answer(open, button, keys), answer);
        dialogs.BeginOpenSheet(&window, {"upd", "syx"}, [&ended](int code, Text) { ended = code; });
        auto* dialog = window.findChild<QFileDialog*>();
        QCOMPARE(
            Seen(dialog->isVisible(), dialog->windowModality(), dialog->fileMode(), dialog->nameFilters()),
            "true WindowModal ExistingFile Update files (*.upd *.syx)");
        dialog->reject();
        QCOMPARE(ended, 0); // the alert's ending code above was 1
    }
};

QTEST_MAIN(ApplicationTests)
#include "ApplicationTests.moc"
