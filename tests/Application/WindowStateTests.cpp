#include "WindowStateTests.h"

#include "ApplicationTestSupport.h"
#include "MainWindow.h"

#include <QAction>
#include <QButtonGroup>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <thread>

namespace {

const QString completed =
    QStringLiteral("sheet Completed [OK]: The 'Ostrel Kelva' was updated sucessfully to version 1.05.");
const QString quitPanel =
    QStringLiteral("panel: An update is in progress [Do not close|Close]: An update is in "
                   "progress.\nAre you sure you want to close this program?");

const QString notConnected =
    QStringLiteral("device: Device: not connected - connect it and put it into update mode");

bool WaitForDeviceEvents(AppRig& rig, qsizetype count) {
    // A plug or unplug shows within a second.
    return QTest::qWaitFor([&rig, count] { return rig.deviceEvents.size() >= count; }, 1000);
}

int OpenSheets(const QStringList& events) {
    return static_cast<int>(events.count(QStringLiteral("open sheet types: upd syx")));
}

} // namespace

void WindowStateTests::windowResource() {
    AppRig rig;
    MainWindow* window = rig.delegate->window();
    QCOMPARE(window->windowTitle(), QStringLiteral("MIDI Updater"));
    QVERIFY(window->minimumWidth() >= 400 && window->minimumHeight() >= 250);
    QCOMPARE(window->openAction->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    QCOMPARE(window->quitAction->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    QVERIFY(window->acceptDrops());
    QVERIFY(!rig.delegate->imageView()->acceptDrops());
    for (QPushButton* segment : window->videoSegments)
        QVERIFY(segment->focusPolicy() & Qt::TabFocus);
    // The interfaces were listed when the window loaded.
    const auto log = rig.LogLines();
    QVERIFY(std::find(log.begin(), log.end(), "Found all interfaces") != log.end());

    // The shortcuts reach the controller from the keyboard.
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));
    QTest::keyClick(window, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(OpenSheets(rig.events), 1);
    rig.dialogs.CancelOpenSheet();
    // The video-mode segments have their own keys (Alt+O: "Video off").
    QTest::keyClick(window, Qt::Key_O, Qt::AltModifier);
    QVERIFY(QTest::qWaitFor([&rig] { return rig.device->VideoMode().has_value(); }));
    QVERIFY(rig.WaitUntilIdle());
    QCOMPARE(rig.device->VideoMode(), std::optional<unsigned char>(0x00));
    QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(rig.terminations, 1);
}

void WindowStateTests::refusesDropsOpenAndToggleDuringJob() {
    AppRig rig;
    const QString file = rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "");
    QVERIFY(rig.DragEnters({file}));
    QVERIFY(rig.Drop({file}));
    QVERIFY(rig.HoldInSend());
    QVERIFY(rig.delegate->sendingUpdate());

    QVERIFY(!rig.DragEnters({file}));
    QVERIFY(!rig.Drop({file}, rig.delegate->imageView()));
    rig.delegate->window()->openAction->trigger();
    QCOMPARE(OpenSheets(rig.events), 0);
    rig.delegate->window()->videoSegments[1]->click();
    QCOMPARE(rig.delegate->VideoOption()->checkedId(), 1); // keeps the user's choice
    QCOMPARE(rig.channel->RunningWorkers(), std::size_t(1));

    rig.clock.Release();
    QVERIFY(rig.WaitUntilIdle());
    QVERIFY(!rig.device->VideoMode().has_value()); // no video-mode message went out
    QCOMPARE(rig.events.count(QStringLiteral("status text: Loading update file")), 1);
    QVERIFY(rig.DragEnters({file}));
}

void WindowStateTests::openSheetRefusesDropsAndToggle() {
    AppRig rig;
    const QString file = rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "");
    rig.delegate->openDocument();
    QVERIFY(rig.delegate->openSheet());
    QCOMPARE(OpenSheets(rig.events), 1);
    rig.delegate->openDocument(); // a second open command does nothing
    QCOMPARE(OpenSheets(rig.events), 1);

    QVERIFY(!rig.DragEnters({file}));
    rig.delegate->window()->videoSegments[1]->click();
    QVERIFY(!rig.delegate->sendingUpdate());
    QCOMPARE(rig.channel->RunningWorkers(), std::size_t(0));
    QCOMPARE(rig.delegate->VideoOption()->checkedId(), 1);

    // Cancelled: nothing starts and the window is ready again.
    rig.dialogs.CancelOpenSheet();
    QVERIFY(!rig.delegate->openSheet());
    QVERIFY(!rig.delegate->sendingUpdate());
    QVERIFY(rig.DragEnters({file}));
    QVERIFY(JobBytes(*rig.device).empty());
}

void WindowStateTests::openSheetChoiceStartsUpdate() {
    AppRig rig;
    const QString file = rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "");
    rig.delegate->openDocument();
    rig.dialogs.ChooseFile(file);
    QVERIFY(!rig.delegate->openSheet());
    QVERIFY(rig.delegate->sendingUpdate());
    QVERIFY(rig.WaitUntilIdle());
    QCOMPARE(rig.events.mid(0, 3),
             (QStringList{QStringLiteral("open sheet shown"), QStringLiteral("open sheet types: upd syx"),
                          QStringLiteral("open sheet closed")}));
    QVERIFY(rig.events.contains(completed));
}

void WindowStateTests::failureAlertRefusesDropsAndToggleButNotOpen() {
    AppRig rig;
    const QString good = rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "");
    QVERIFY(rig.Drop({rig.WriteFile(QStringLiteral("bad.upd"), QByteArray("nonsense"))}));
    QVERIFY(rig.WaitUntilIdle());
    QVERIFY(rig.delegate->alertSheet());

    QVERIFY(!rig.DragEnters({good}));
    rig.delegate->window()->videoSegments[0]->click();
    QCOMPARE(rig.channel->RunningWorkers(), std::size_t(0));
    QVERIFY(!rig.delegate->sendingUpdate());
    rig.delegate->openDocument();
    QCOMPARE(OpenSheets(rig.events), 1);
    rig.dialogs.ChooseFile(good);
    QVERIFY(rig.WaitUntilIdle());
    QVERIFY(rig.events.contains(completed));
    QVERIFY(!rig.device->VideoMode().has_value());
}

void WindowStateTests::secondFailureAlertIsDropped() {
    AppRig rig;
    rig.delegate->showAlert(QStringLiteral("first"));
    rig.delegate->showAlert(QStringLiteral("second"));
    QCOMPARE(rig.dialogs.alerts, 1);
    rig.dialogs.DismissAlert();
    QCoreApplication::processEvents();
    QCOMPARE(rig.dialogs.alerts, 1); // not shown later either
    QCOMPARE(rig.events, QStringList{QStringLiteral("alert Update failed: first")});
    rig.delegate->showAlert(QStringLiteral("third"));
    QCOMPARE(rig.dialogs.alerts, 2);

    // A failing job while an alert is up: its alert is dropped, its status text still shows.
    rig.delegate->updateWithFile(rig.WriteFile(QStringLiteral("bad.upd"), QByteArray("nonsense")));
    QVERIFY(rig.WaitUntilIdle());
    QCOMPARE(rig.dialogs.alerts, 2);
    QVERIFY(rig.delegate->textField()->text().startsWith(QStringLiteral("Update failed for reason:\n")));
}

void WindowStateTests::failureAlertFromAnotherThread() {
    AppRig rig;
    std::thread([&rig] { rig.delegate->showAlert(QStringLiteral("from a worker")); }).join();
    QCOMPARE(rig.dialogs.alerts, 0); // posted, not shown on that thread
    QVERIFY(QTest::qWaitFor([&rig] { return rig.dialogs.alerts == 1; }));
    QVERIFY(rig.delegate->alertSheet());
}

void WindowStateTests::severalFilesStartFirstOnly() {
    AppRig rig;
    const QString good = rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "");
    const QString bad = rig.WriteFile(QStringLiteral("bad.upd"), QByteArray("nonsense"));
    QVERIFY(rig.Drop({good, bad}));
    QVERIFY(rig.WaitUntilIdle());
    QVERIFY(rig.events.contains(completed));
    QCOMPARE(rig.dialogs.alerts, 0);
}

void WindowStateTests::dragThatCannotCopyIsRefused() {
    AppRig rig;
    const QString good = rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "");
    QVERIFY(!rig.DragEnters({good}, Qt::MoveAction | Qt::LinkAction));
    QVERIFY(!rig.Drop({good}, nullptr, Qt::MoveAction));
    QVERIFY(rig.DragEnters({good}, Qt::CopyAction | Qt::MoveAction));
    QVERIFY(!rig.delegate->sendingUpdate());
}

void WindowStateTests::quitWithoutJobTerminatesAtOnce() {
    AppRig rig;
    rig.delegate->window()->quitAction->trigger();
    QCOMPARE(rig.terminations, 1);
    QCOMPARE(rig.dialogs.panels, 0);
}

void WindowStateTests::quitDuringJobAsks_data() {
    QTest::addColumn<int>("answer");
    QTest::newRow("Do not close") << 1;
    QTest::newRow("Close") << 0;
}

void WindowStateTests::quitDuringJobAsks() {
    QFETCH(int, answer);
    AppRig rig;
    QVERIFY(rig.Drop({rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "")}));
    QVERIFY(rig.HoldInSend());
    rig.dialogs.panelAnswers = {answer};
    rig.delegate->window()->quitAction->trigger();
    QVERIFY(rig.events.contains(quitPanel));
    if (answer == 1) {
        QCOMPARE(rig.terminations, 0);
        QVERIFY(rig.delegate->window()->isVisible());
        rig.clock.Release();
        QVERIFY(rig.WaitUntilIdle());
        QVERIFY(rig.events.contains(completed)); // the update went on
    } else {
        QCOMPARE(rig.terminations, 1);
    }
}

void WindowStateTests::closingWindowIsQuitting() {
    {
        AppRig rig;
        QVERIFY(rig.Drop({rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "")}));
        QVERIFY(rig.HoldInSend());
        rig.dialogs.panelAnswers = {1}; // "Do not close"
        QVERIFY(!rig.delegate->window()->close());
        QVERIFY(rig.delegate->window()->isVisible());
        QCOMPARE(rig.terminations, 0);
        rig.dialogs.panelAnswers = {0}; // "Close"
        QVERIFY(rig.delegate->window()->close());
        QCOMPARE(rig.terminations, 1);
        QCOMPARE(rig.dialogs.panels, 2);
    }
    {
        AppRig rig;
        QVERIFY(rig.delegate->window()->close());
        QCOMPARE(rig.terminations, 1);
        QCOMPARE(rig.dialogs.panels, 0);
    }
}

void WindowStateTests::aboutPanelShowsVersions() {
    AppRig rig;
    rig.delegate->window()->aboutAction->trigger();
    QCOMPARE(rig.events, QStringList{QStringLiteral("about: 1.00 GM")});
}

void WindowStateTests::deviceLineFollowsTheDeviceAndShowsTheVersionItReports() {
    SimulatedDevice::Options answers;
    answers.protocol.firmwareVersion = Version{1, 4};
    AppRig rig(answers);
    const QString withVersion =
        QStringLiteral("device: Device: Ostrel Kelva (USB) - connected, firmware 1.04");
    QCOMPARE(rig.deviceEvents, QStringList{withVersion});
    QCOMPARE(QStringLiteral("device: ") + rig.delegate->deviceStatus()->text(), withVersion);

    rig.device.reset(); // unplugged
    QVERIFY(WaitForDeviceEvents(rig, 2));
    QCOMPARE(rig.deviceEvents.last(), notConnected);
    QCOMPARE(QStringLiteral("device: ") + rig.delegate->deviceStatus()->text(), notConnected);

    SimulatedDevice::Options silent;
    silent.protocol.answerIdentity = false;
    rig.device = std::make_unique<SimulatedDevice>(rig.service, silent);
    QVERIFY(WaitForDeviceEvents(rig, 3));
    QCOMPARE(rig.deviceEvents.last(), QStringLiteral("device: Device: Ostrel Kelva (USB) - connected"));
    QCOMPARE(rig.device->IdentityRequests(), 1u); // asked once, no answer: no version
    QVERIFY(rig.events.isEmpty());                // nothing else in the window changed
}

void WindowStateTests::deviceLineAsksNoVersionWhileAJobRuns() {
    SimulatedDevice::Options absent;
    absent.absent = true;
    AppRig rig(absent);
    QCOMPARE(rig.deviceEvents, QStringList{notConnected});
    QVERIFY(rig.Drop({rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "")}));
    QVERIFY(rig.HoldInSend()); // the job waits for the device

    rig.otherDevices.push_back(std::make_unique<SimulatedDevice>(rig.service));
    QVERIFY(WaitForDeviceEvents(rig, 2));
    QCOMPARE(rig.deviceEvents.last(), QStringLiteral("device: Device: Ostrel Kelva (USB) - connected"));
    QCOMPARE(rig.otherDevices.back()->IdentityRequests(), 0u);
    rig.clock.Release();
    QVERIFY(rig.WaitUntilIdle());
}
