// Catches: menu keys or buttons doing the wrong thing, the quit question's text or answers swapped, new work
// taken while a job, the open sheet or the failure alert is up, more than one failure alert, drags taken that
// cannot copy, a wrong device line; and a closed window waited for, or touched, by a job that outlives it.
#include "AppRig.h"

#include <QAction>
#include <QButtonGroup>
#include <QPushButton>

#include <thread>

class WindowTests : public QObject {
    Q_OBJECT
public:
    WindowTests() { Groups().push_back(this); }

private slots:
    void menuAndKeys() {
        Rig rig;
        MainWindow* window = rig.d->window();
        QCOMPARE(window->windowTitle(), "MIDI Updater");
        QCOMPARE(rig.d->textField()->textFormat(), Qt::PlainText);
        const QString file = rig.UpdateFile("kelva.upd", "");
        QVERIFY(!rig.Drag({file}, false, nullptr, Qt::MoveAction | Qt::LinkAction)); // only copies are taken
        QVERIFY(!rig.Drag({file}, true, nullptr, Qt::MoveAction));
        QVERIFY(rig.Drag({file}, false, nullptr, Qt::CopyAction | Qt::MoveAction));
        QApplication::setActiveWindow(window);
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window, Qt::Key_O, Qt::AltModifier); // "Video &off", clicked after a moment
        QVERIFY(QTest::qWaitFor([&rig] { return rig.device->VideoMode().has_value(); }));
        QVERIFY(rig.WaitUntilIdle());
        QCOMPARE(rig.device->VideoMode(), std::optional<unsigned char>(0x00));
        rig.events.clear();
        QTest::keyClick(window, Qt::Key_O, Qt::ControlModifier);
        rig.dialogs.EndOpenSheet(1, file);
        QVERIFY(rig.WaitUntilIdle());
        QCOMPARE(rig.events.first(4), (QStringList{"open sheet shown", "open sheet types: upd syx",
                                                   "open sheet closed", "status text: Loading update file"}));
        QCOMPARE(rig.events.last(2).first(), "sheet Completed [OK]: " + verdict);
        window->aboutAction->trigger();
        QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier); // no job: no question
        QCOMPARE(rig.events.last(2), (QStringList{"about: 1.00 GM", "terminate"}));
        QCOMPARE(rig.terminations, 1);
    }

    void busyWindowRefusesNewWork_data() {
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("opens"); // the open command still works
        QTest::newRow("update job") << "job" << false;
        QTest::newRow("video-mode send") << "video" << false;
        QTest::newRow("open sheet") << "open" << false;
        QTest::newRow("failure alert") << "alert" << true;
    }
    void busyWindowRefusesNewWork() {
        QFETCH(QString, state);
        QFETCH(bool, opens);
        Rig rig;
        const QString file = rig.UpdateFile("kelva.upd", "");
        if (state == "video")
            rig.d->window()->videoSegments[0]->click();
        else if (state == "job")
            QVERIFY(rig.Drag({file}));
        else if (state == "open")
            rig.d->openDocument();
        else
            QVERIFY(rig.Drag({rig.File("bad.upd", "nonsense")}));
        if (state == "job" || state == "video")
            QVERIFY(rig.HoldInSend());
        if (state == "alert")
            QVERIFY(rig.WaitUntilIdle());
        const std::size_t workers = rig.channel->RunningWorkers();
        const qsizetype sheets = rig.events.count("open sheet types: upd syx");
        QVERIFY(!rig.Drag({file}, false));
        QVERIFY(!rig.Drag({file}, true, rig.d->imageView()));
        rig.d->window()->videoSegments[1]->click();
        QCOMPARE(rig.d->VideoOption()->checkedId(), 1); // keeps the choice, sends nothing for it
        QCOMPARE(rig.channel->RunningWorkers(), workers);
        rig.d->window()->openAction->trigger();
        QCOMPARE(rig.events.count("open sheet types: upd syx"), sheets + (opens ? 1 : 0));
        if (state == "job") { // quitting asks; "Do not close" keeps the window, "Close" ends
            QVERIFY(!rig.d->window()->close());
            rig.d->window()->quitAction->trigger();
            QCOMPARE(rig.terminations, 0);
            rig.dialogs.panelAnswer = DialogPresenter::alternateButton;
            QVERIFY(rig.d->window()->close());
            QCOMPARE(rig.terminations, 1);
            QCOMPARE(rig.events.filter("panel "),
                     QStringList(3, "panel An update is in progress [Do not close|Close]: An update is in "
                                    "progress.\nAre you sure you want to close this program?"));
        }

        // Once that has ended (the open sheet cancelled, the alert dismissed), work is taken again.
        rig.Release();
        QVERIFY(rig.WaitUntilIdle());
        if (state == "open" || state == "alert")
            rig.dialogs.EndOpenSheet(0);
        if (state == "alert")
            rig.dialogs.DismissAlert();
        QVERIFY(rig.Drag({file}, false));
        QCOMPARE(rig.device->VideoMode(),
                 state == "video" ? std::optional<unsigned char>(0x01) : std::nullopt);
        QCOMPARE(rig.events.count("status text: Loading update file"),
                 state == "job" || state == "alert" ? 1 : 0);
        QCOMPARE(rig.events.contains("sheet Completed [OK]: " + verdict),
                 state == "job"); // the update went on
    }

    void oneFailureAlertAtATime() {
        Rig rig;
        std::thread([&rig] { rig.d->showAlert("first"); }).join(); // posted to the window's thread
        QVERIFY(rig.events.isEmpty());
        QVERIFY(QTest::qWaitFor([&rig] { return !rig.events.isEmpty(); }));
        rig.d->showAlert("second");
        rig.dialogs.DismissAlert();
        QCoreApplication::processEvents();
        rig.d->showAlert("third");
        QCOMPARE(rig.events, (QStringList{"alert Update failed: first", "alert Update failed: third"}));
    }

    void deviceLineFollowsTheDevice() {
        SimulatedDevice::Options answers, silent;
        answers.protocol.firmwareVersion = Version{1, 4};
        silent.protocol.answerIdentity = false;
        Rig rig(answers);
        const auto plug = [&rig](std::optional<SimulatedDevice::Options> options) {
            rig.device = options ? std::make_unique<SimulatedDevice>(rig.service, *options) : nullptr;
            const qsizetype shown = rig.deviceEvents.size();
            return QTest::qWaitFor([&rig, shown] { return rig.deviceEvents.size() > shown; }, 1000);
        };
        QVERIFY(plug(std::nullopt));
        QVERIFY(plug(silent));
        QCOMPARE(rig.device->IdentityRequests(), 1u);
        QCOMPARE(rig.d->deviceStatus()->text(), "Device: Ostrel Kelva (USB) - connected");
        // While a job runs the device is not asked: its answer would reach the job.
        QVERIFY(rig.Drag({rig.UpdateFile("kelva.upd", "")}));
        QVERIFY(rig.HoldInSend());
        QVERIFY(plug(std::nullopt));
        QVERIFY(plug(answers));
        QCOMPARE(rig.device->IdentityRequests(), 0u);
        const QString connected = "device: Device: Ostrel Kelva (USB) - connected";
        const QString unplugged = "device: Device: not connected - connect it and put it into update mode";
        QCOMPARE(rig.deviceEvents,
                 (QStringList{connected + ", firmware 1.04", unplugged, connected, unplugged, connected}));
    }

    void jobOutlivesTheWindow_data() {
        QTest::addColumn<QString>("job"); // "note", "plain": update files; "choice": a .syx for two devices
        QTest::addColumn<int>("waits");   // for the window, begun before it closes
        QTest::addColumn<bool>("sent");
        QTest::newRow("waiting to start") << "note" << 1 << true;
        QTest::newRow("waiting for the note to be read") << "note" << 2 << true;
        QTest::newRow("waiting for the device choice") << "choice" << 2 << false;
        QTest::newRow("waiting to end") << "plain" << 2 << true;
        QTest::newRow("video-mode send waiting to start") << "video" << 1 << true;
    }
    void jobOutlivesTheWindow() {
        QFETCH(QString, job);
        QFETCH(int, waits);
        QFETCH(bool, sent);
        Rig rig;
        if (job == "choice")
            rig.others.push_back(
                std::make_unique<SimulatedDevice>(rig.service, Device({"Dramlin", "Dramlin", "2"})));
        if (job == "video")
            rig.d->window()->videoSegments[0]->click();
        else
            rig.d->updateWithFile(job == "choice"
                                      ? rig.SysExFile("kelva.syx")
                                      : rig.UpdateFile("kelva.upd", job == "note" ? "A note" : ""));
        for (int wait = 1; wait <= waits; ++wait) {
            QVERIFY(rig.channel->WaitForWaitsBegun(wait, 10000));
            if (wait < waits)
                QCoreApplication::processEvents(); // runs updateDidStart only: the worker posted nothing else
        }
        const QStringList before = rig.events;
        rig.d.reset();
        QVERIFY(rig.channel->WaitForWorkers(10000));
        QCoreApplication::processEvents(); // what the job still posted is dropped
        QCOMPARE(rig.events, before);
        QVERIFY(!before.contains("done"));
        QVERIFY(rig.events.filter("panel ").isEmpty());
        QVERIFY(rig.dialogs.deviceLists.isEmpty());
        QCOMPARE(!JobMessages(*rig.device).empty(), sent);
        QVERIFY(rig.others.empty() || JobMessages(*rig.others[0]).empty());
    }
};

static WindowTests windowTests;

#include "WindowTests.moc"
