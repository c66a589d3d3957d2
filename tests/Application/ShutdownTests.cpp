#include "ShutdownTests.h"

#include "ApplicationTestSupport.h"
#include "MainWindow.h"

#include <QCoreApplication>
#include <QPushButton>
#include <QTest>

#include <algorithm>

namespace {

constexpr int timeoutMs = 10000;

// Destroys the window and checks that the worker still ends, having done its job without it.
void CloseAndFinish(AppRig& rig) {
    rig.delegate.reset();
    QVERIFY(rig.channel->Closed());
    QVERIFY(rig.channel->WaitForWorkers(timeoutMs));
    // Requests still queued for the dead window are dropped, not run.
    QCoreApplication::processEvents();
    const auto log = rig.LogLines();
    QVERIFY(std::find(log.begin(), log.end(), "Update thread done") != log.end());
}

} // namespace

void ShutdownTests::whileWorkerWaitsToStart() {
    AppRig rig;
    rig.delegate->updateWithFile(rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "A note"));
    QVERIFY(rig.channel->WaitForWaitsBegun(1, timeoutMs)); // blocked in updateDidStart
    const QStringList before = rig.events;
    CloseAndFinish(rig);
    QCOMPARE(rig.events, before);
    QCOMPARE(rig.dialogs.panels, 0);
    QCOMPARE(rig.device->Portions().size(), std::size_t(2)); // the job went on without the window
}

void ShutdownTests::whileWorkerWaitsForTheNote() {
    AppRig rig;
    rig.delegate->updateWithFile(rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "A note"));
    QVERIFY(rig.channel->WaitForWaitsBegun(1, timeoutMs));
    QCoreApplication::processEvents(); // runs updateDidStart only: the worker posted nothing else yet
    QVERIFY(rig.channel->WaitForWaitsBegun(2, timeoutMs)); // now waiting for the note to be read
    QCOMPARE(rig.dialogs.panels, 0);
    CloseAndFinish(rig);
    QCOMPARE(rig.dialogs.panels, 0);
}

void ShutdownTests::whileWorkerWaitsForTheDeviceChoice() {
    AppRig rig;
    SimulatedDevice::Options second;
    second.name = second.displayName = "Ostrel Dramlin";
    second.usbDevice = 2;
    SimulatedDevice& other = rig.AddDevice(second);
    rig.delegate->updateWithFile(rig.WriteSysExFile(QStringLiteral("kelva.syx")));
    QVERIFY(rig.channel->WaitForWaitsBegun(1, timeoutMs));
    QCoreApplication::processEvents();                     // runs updateDidStart only
    QVERIFY(rig.channel->WaitForWaitsBegun(2, timeoutMs)); // now waiting for the chooser
    CloseAndFinish(rig);
    QVERIFY(rig.dialogs.deviceLists.isEmpty());
    QVERIFY(JobBytes(*rig.device).empty());
    QVERIFY(JobBytes(other).empty());
    const auto log = rig.LogLines();
    QVERIFY(std::find(log.begin(), log.end(), "No device was chosen") != log.end());
}

void ShutdownTests::whileWorkerWaitsToEnd() {
    AppRig rig;
    rig.delegate->updateWithFile(rig.WriteUpdateFile(QStringLiteral("kelva.upd"), ""));
    QVERIFY(rig.channel->WaitForWaitsBegun(1, timeoutMs));
    QCoreApplication::processEvents();
    QVERIFY(
        rig.channel->WaitForWaitsBegun(2, timeoutMs)); // the whole send is over; waiting in updateDidComplete
    QVERIFY(rig.delegate->sendingUpdate());
    CloseAndFinish(rig);
    QVERIFY(!rig.events.contains(QStringLiteral("done")));
}

void ShutdownTests::whileVideoModeSendWaits() {
    AppRig rig;
    rig.delegate->window()->videoSegments[0]->click();
    QVERIFY(rig.channel->WaitForWaitsBegun(1, timeoutMs));
    CloseAndFinish(rig);
    QCOMPARE(rig.device->VideoMode(), std::optional<unsigned char>(0x01));
}

void ShutdownTests::afterClosingDuringUpdate() {
    AppRig rig;
    QVERIFY(rig.Drop({rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "")}));
    QVERIFY(rig.HoldInSend());
    rig.dialogs.panelAnswers = {0}; // "Close"
    QVERIFY(rig.delegate->window()->close());
    QCOMPARE(rig.terminations, 1);
    // The application ends with the worker in the middle of its send, its reports still queued.
    rig.clock.Release();
    QVERIFY(rig.channel->WaitForWaitsBegun(2, timeoutMs));
    CloseAndFinish(rig);
}
