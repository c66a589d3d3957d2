#include "VideoModeTests.h"

#include "ApplicationTestSupport.h"
#include "MainWindow.h"

#include <QButtonGroup>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>

using Bytes = std::vector<unsigned char>;
Q_DECLARE_METATYPE(Bytes)

void VideoModeTests::segmentSendsItsMessage_data() {
    QTest::addColumn<QString>("deviceName");
    QTest::addColumn<int>("segment");
    QTest::addColumn<Bytes>("message");
    const Bytes on{0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x01, 0x01, 0xF7};
    const Bytes off{0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x01, 0x00, 0xF7};
    QTest::newRow("Kelva, segment 0") << QStringLiteral("Ostrel Kelva") << 0 << on;
    QTest::newRow("Kelva, segment 1") << QStringLiteral("Ostrel Kelva") << 1 << off;
    QTest::newRow("Dramlin, segment 0") << QStringLiteral("Ostrel Dramlin") << 0 << on;
    QTest::newRow("Dramlin, segment 1") << QStringLiteral("Ostrel Dramlin") << 1 << off;
}

void VideoModeTests::segmentSendsItsMessage() {
    QFETCH(QString, deviceName);
    QFETCH(int, segment);
    QFETCH(Bytes, message);
    SimulatedDevice::Options options;
    options.name = options.displayName = deviceName.toStdString();
    AppRig rig(options);
    // A file with other port names loaded before makes no difference.
    rig.delegate->window()->videoSegments[segment]->click();
    QVERIFY(rig.delegate->sendingUpdate());
    QVERIFY(rig.WaitUntilIdle());

    QCOMPARE(JobBytes(*rig.device), message);
    QCOMPARE(rig.device->VideoMode(), std::optional<unsigned char>(message[9]));
    QCOMPARE(rig.events.mid(0, 3),
             (QStringList{QStringLiteral("bar busy"), QStringLiteral("status text: Updating..."),
                          QStringLiteral("status text: Updating Video Mode")}));
    QCOMPARE(rig.events.last(), QStringLiteral("done"));
    QVERIFY(rig.events.last(2).first().startsWith(QStringLiteral("sheet Completed [OK]: ")));
    QVERIFY(!rig.delegate->sendingUpdate());
    const auto log = rig.LogLines();
    QVERIFY(std::count(log.begin(), log.end(), "Update thread started") == 1);
    QVERIFY(std::count(log.begin(), log.end(), "Update thread done") == 1);
}

void VideoModeTests::noSegmentSendsTheMessageOfSegmentOne() {
    QCOMPARE(ZephAppDelegate::VideoModeMessage(-1), ZephAppDelegate::VideoModeMessage(1));
    QCOMPARE(ZephAppDelegate::VideoModeMessage(-1)[9], (unsigned char)0x00);
    QCOMPARE(ZephAppDelegate::VideoModeMessage(0)[9], (unsigned char)0x01);
}

void VideoModeTests::onlyTheKelvaNamesAreLookedFor() {
    SimulatedDevice::Options options;
    options.name = options.displayName = "Ostrel Kelva Mk2";
    AppRig rig(options);
    rig.delegate->window()->videoSegments[0]->click();
    QVERIFY(rig.WaitUntilIdle()); // six attempts of about 15 s each, in virtual time
    QVERIFY(JobBytes(*rig.device).empty());
    QVERIFY(rig.clock.NowMs() >= 1'000'000 + 60'000);
    QCOMPARE(rig.delegate->textField()->text(),
             QStringLiteral(
                 "There was an error sending the update file.\nPlease restart the device and try again."));
}

void VideoModeTests::windowStaysResponsiveWhileSending() {
    SimulatedDevice::Options options;
    options.absent = true; // the long search for a device that is not there
    AppRig rig(options);
    rig.delegate->window()->videoSegments[1]->click();
    QVERIFY(rig.HoldInSend());
    // The send is in the middle of its waits, and the GUI thread goes on: reports are shown, timers fire.
    bool fired = false;
    QTimer::singleShot(0, rig.delegate.get(), [&fired] { fired = true; });
    QVERIFY(QTest::qWaitFor(
        [&] { return fired && rig.events.contains(QStringLiteral("status text: Updating Video Mode")); }));
    QVERIFY(rig.delegate->sendingUpdate());
    QVERIFY(!rig.DragEnters({rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "")}));
    rig.clock.Release();
    QVERIFY(rig.WaitUntilIdle());
    QCOMPARE(rig.delegate->textField()->text(),
             QStringLiteral(
                 "There was an error sending the update file.\nPlease restart the device and try again."));
}
