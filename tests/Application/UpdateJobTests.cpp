#include "UpdateJobTests.h"

#include "ApplicationTestSupport.h"
#include "MainWindow.h"
#include "Update.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTest>

#include <algorithm>
#include <array>
#include <sstream>

namespace {

const QString acceptedVerdict = QStringLiteral("The 'Ostrel Kelva' was updated sucessfully to version 1.05.");

// What the update reader says about these bytes.
QString ReaderText(const QByteArray& bytes) {
    std::istringstream stream(bytes.toStdString());
    try {
        Update update(stream);
    } catch (const ParseError& e) {
        return QString::fromStdString(e.what());
    }
    return QString();
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

SimulatedDevice::Options Device(const std::string& name, const std::string& displayName,
                                std::int32_t usbDevice) {
    SimulatedDevice::Options options;
    options.name = name;
    options.displayName = displayName;
    options.usbDevice = usbDevice;
    return options;
}

bool SawVerdictSheet(const QStringList& events) {
    return std::any_of(events.begin(), events.end(), [](const QString& event) {
        return event.startsWith(QStringLiteral("sheet Completed"));
    });
}

} // namespace

void UpdateJobTests::droppedFileRunsToCompletedSheetInOrder() {
    AppRig rig;
    const QString path = rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "Keep it plugged in: 100% %s");
    // Dropped on the picture, which passes its drops to the window.
    QVERIFY(rig.Drop({path}, rig.delegate->imageView()));
    QVERIFY(rig.delegate->sendingUpdate());
    QVERIFY(rig.WaitUntilIdle());

    const QStringList& events = rig.events;
    const QStringList opening{QStringLiteral("status text: Loading update file"),
                              QStringLiteral("product name: Ostrel Kelva"),
                              QStringLiteral("firmware version: 1.05"),
                              QStringLiteral("note: Keep it plugged in: 100% %s"),
                              QStringLiteral("bar busy"),
                              QStringLiteral("status text: Updating...")};
    QCOMPARE(events.mid(0, opening.size()), opening);
    const QStringList closing{
        QStringLiteral("bar complete"), QStringLiteral("status text: ") + acceptedVerdict,
        QStringLiteral("sheet Completed [OK]: ") + acceptedVerdict, QStringLiteral("done")};
    QCOMPARE(events.mid(events.size() - closing.size()), closing);

    // In between: the sender's own reports, with the bar moving forward.
    const QStringList sender = events.mid(opening.size(), events.size() - opening.size() - closing.size());
    QVERIFY(sender.contains(QStringLiteral("status text: Started update")));
    QVERIFY(sender.contains(QStringLiteral("status text: MIDI update sent successfully.")));
    double last = 0;
    int fractions = 0;
    for (const QString& event : sender) {
        if (!event.startsWith(QStringLiteral("bar 0")))
            continue;
        const double value = event.mid(4).toDouble();
        QVERIFY2(value >= last, qPrintable(event));
        last = value;
        ++fractions;
    }
    QVERIFY(fractions >= 2);

    QCOMPARE(rig.delegate->productName()->text(), QStringLiteral("Ostrel Kelva"));
    QCOMPARE(rig.delegate->firmwareVersion()->text(), QStringLiteral("1.05"));
    QCOMPARE(rig.delegate->textField()->text(), acceptedVerdict);
    QCOMPARE(rig.delegate->progressIndicator()->value(), rig.delegate->progressIndicator()->maximum());
    QCOMPARE(rig.device->Portions().size(), std::size_t(2));

    const auto log = rig.LogLines();
    QVERIFY(Contains(log, "-[ZephAppDelegate updateWithFile:]: Update file: " + path.toStdString()));
    QVERIFY(Contains(log, "Product name:   Ostrel Kelva"));
    QVERIFY(Contains(log, "Status: Loading update file"));
    QVERIFY(Contains(log, "Completed: " + acceptedVerdict.toStdString()));
    const auto started = std::find(log.begin(), log.end(), "Update thread started");
    const auto releasing = std::find(log.begin(), log.end(), "Update thread releasing pool...");
    const auto done = std::find(log.begin(), log.end(), "Update thread done");
    QVERIFY(started < releasing && releasing + 1 == done);
}

void UpdateJobTests::emptyNoteShowsNoNote() {
    AppRig rig;
    QVERIFY(rig.Drop({rig.WriteUpdateFile(QStringLiteral("quiet.upd"), "")}));
    QVERIFY(rig.WaitUntilIdle());
    QCOMPARE(rig.dialogs.panels, 0);
    QCOMPARE(rig.events.mid(2, 2),
             (QStringList{QStringLiteral("firmware version: 1.05"), QStringLiteral("bar busy")}));
    QVERIFY(rig.events.contains(QStringLiteral("sheet Completed [OK]: ") + acceptedVerdict));
}

void UpdateJobTests::badFileShowsFailureAlertAndLeavesBarBusy() {
    AppRig rig;
    const QByteArray garbage("This is not an update file at all, nor SysEx.");
    const QString reader = ReaderText(garbage);
    QVERIFY(!reader.isEmpty());
    const QString text = QStringLiteral("Update failed for reason:\n") + reader;

    QVERIFY(rig.Drop({rig.WriteFile(QStringLiteral("notes.txt"), garbage)}));
    QVERIFY(rig.WaitUntilIdle());
    QCOMPARE(rig.events, (QStringList{QStringLiteral("status text: Loading update file"),
                                      QStringLiteral("alert Update failed: ") + text,
                                      QStringLiteral("status text: ") + text, QStringLiteral("bar busy"),
                                      QStringLiteral("done")}));
    QCOMPARE(rig.delegate->textField()->text(), text);
    QCOMPARE(rig.delegate->progressIndicator()->maximum(), 0); // busy
    QVERIFY(Contains(rig.LogLines(), "Error: " + text.toStdString()));
    QVERIFY(JobBytes(*rig.device).empty());

    // Once the alert is dismissed, a new file is taken.
    QVERIFY(!rig.DragEnters({rig.WriteUpdateFile(QStringLiteral("good.upd"), "")}));
    rig.dialogs.DismissAlert();
    QVERIFY(!rig.delegate->alertSheet());
    rig.events.clear();
    QVERIFY(rig.Drop({rig.directory.filePath(QStringLiteral("good.upd"))}));
    QVERIFY(rig.WaitUntilIdle());
    QCOMPARE(rig.events.last(2).first(), QStringLiteral("sheet Completed [OK]: ") + acceptedVerdict);
}

void UpdateJobTests::unreadablePathReadsLikeBadHeader() {
    AppRig rig;
    rig.delegate->updateWithFile(rig.directory.filePath(QStringLiteral("no-such-file.upd")));
    QVERIFY(rig.WaitUntilIdle());
    QCOMPARE(rig.delegate->textField()->text(),
             QStringLiteral("Update failed for reason:\nUpdate file was invalid (bad header)."));
    QCOMPARE(rig.dialogs.alerts, 1);
}

void UpdateJobTests::secondRequestDuringJobIsRefused() {
    AppRig rig;
    const QString first = rig.WriteUpdateFile(QStringLiteral("first.upd"), "");
    const QString second = rig.WriteUpdateFile(QStringLiteral("second.upd"), "", 1);
    // Straight after the first request, before its worker has run at all.
    rig.delegate->updateWithFile(first);
    rig.delegate->updateWithFile(second);
    QCOMPARE(rig.events, QStringList{QStringLiteral("alert Update failed: Already performing an update.")});
    QVERIFY(rig.WaitUntilIdle());
    QCOMPARE(rig.device->Portions().size(), std::size_t(2)); // the first file's two portions only
    QCOMPARE(rig.events.count(QStringLiteral("status text: Loading update file")), 1);

    // And again while the first job is in the middle of sending.
    rig.dialogs.DismissAlert();
    rig.events.clear();
    rig.delegate->updateWithFile(first);
    QVERIFY(rig.HoldInSend());
    rig.delegate->updateWithFile(second);
    QVERIFY(rig.events.contains(QStringLiteral("alert Update failed: Already performing an update.")));
    rig.clock.Release();
    QVERIFY(rig.WaitUntilIdle());
    QCOMPARE(rig.events.count(QStringLiteral("status text: Loading update file")), 1);
    QVERIFY(rig.events.contains(QStringLiteral("sheet Completed [OK]: ") + acceptedVerdict));
}

void UpdateJobTests::sendersErrorStaysInStatusText() {
    SimulatedDevice::Options options;
    options.protocol.answer = DeviceProtocol::Answer::Error;
    AppRig rig(options);
    QVERIFY(rig.Drop({rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "")}));
    QVERIFY(rig.WaitUntilIdle());
    const QString verdict = QStringLiteral(
        "There was an error sending the update file.\nPlease restart the device and try again.");
    QCOMPARE(rig.delegate->textField()->text(), verdict);
    QVERIFY(Contains(rig.LogLines(), "Error: " + verdict.toStdString()));
    QCOMPARE(rig.dialogs.alerts, 0);
    for (const QString& event : rig.events)
        QVERIFY2(!event.startsWith(QStringLiteral("sheet Completed")), qPrintable(event));
}

void UpdateJobTests::chooserOnlyForSeveralUsbDevices_data() {
    QTest::addColumn<bool>("namesPorts");
    QTest::addColumn<int>("kelvaUsbDevice"); // 0: a software port
    QTest::addColumn<int>("otherUsbDevice"); // -1: no other device; 0: a software port
    QTest::addColumn<bool>("chooserShown");
    QTest::addColumn<bool>("kelvaUpdated");

    QTest::newRow("raw file, the only USB device") << false << 1 << -1 << false << true;
    QTest::newRow("raw file, one USB device beside a software port") << false << 1 << 0 << false << true;
    QTest::newRow("raw file, no USB device") << false << 0 << -1 << false << false;
    QTest::newRow("named ports, two USB devices") << true << 1 << 2 << false << true;
    QTest::newRow("raw file, two USB devices") << false << 1 << 2 << true << false;
}

void UpdateJobTests::chooserOnlyForSeveralUsbDevices() {
    QFETCH(bool, namesPorts);
    QFETCH(int, kelvaUsbDevice);
    QFETCH(int, otherUsbDevice);
    QFETCH(bool, chooserShown);
    QFETCH(bool, kelvaUpdated);
    AppRig rig(Device("Ostrel Kelva", "Ostrel Kelva", kelvaUsbDevice));
    SimulatedDevice* other =
        otherUsbDevice < 0 ? nullptr : &rig.AddDevice(Device("Synth MIDI 1", "Synth", otherUsbDevice));
    const QString file = namesPorts ? rig.WriteUpdateFile(QStringLiteral("kelva.upd"), "")
                                    : rig.WriteSysExFile(QStringLiteral("kelva.syx"));
    QVERIFY(rig.Drop({file}));
    QVERIFY(rig.WaitUntilIdle());

    QCOMPARE(rig.dialogs.deviceLists.size(), chooserShown ? 1 : 0);
    QCOMPARE(!JobBytes(*rig.device).empty(), kelvaUpdated);
    QCOMPARE(SawVerdictSheet(rig.events), kelvaUpdated);
    if (other)
        QVERIFY(JobBytes(*other).empty());
}

void UpdateJobTests::chooserAnswerDecidesTheDevice_data() {
    QTest::addColumn<QStringList>("first"); // name, display name
    QTest::addColumn<QStringList>("second");
    QTest::addColumn<QStringList>("strayPort"); // a software source made before the second device
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("updated");    // which device receives the update; -1: neither
    QTest::addColumn<QString>("status"); // when neither: what the status field says

    const QStringList kelva{QStringLiteral("Ostrel Kelva MIDI 1"), QStringLiteral("Ostrel Kelva")};
    const QStringList dramlin{QStringLiteral("Ostrel Dramlin MIDI 1"), QStringLiteral("Ostrel Dramlin")};
    const QString cancelled = QStringLiteral("Update cancelled: no device was chosen.");
    const QStringList none;
    QTest::newRow("the first") << kelva << dramlin << none << 0 << 0 << QString();
    QTest::newRow("the second") << kelva << dramlin << none << 1 << 1 << QString();
    QTest::newRow("one display name, own port names")
        << kelva << QStringList{QStringLiteral("Ostrel Kelva MIDI 2"), QStringLiteral("Ostrel Kelva")} << none
        << 1 << 1 << QString();
    QTest::newRow("one port name, own display names")
        << kelva << QStringList{QStringLiteral("Ostrel Kelva MIDI 1"), QStringLiteral("Ostrel Kelva 2")}
        << none << 1 << 1 << QString();
    QTest::newRow("cancelled") << kelva << dramlin << none << -1 << -1 << cancelled;
    // The chosen device is taken by its USB device, not by a name that another port answers to.
    QTest::newRow("look-alikes") << kelva << kelva << none << 1 << 1 << QString();
    QTest::newRow("a source of the same name comes first")
        << kelva << dramlin << dramlin << 1 << 1 << QString();
}

void UpdateJobTests::chooserAnswerDecidesTheDevice() {
    QFETCH(QStringList, first);
    QFETCH(QStringList, second);
    QFETCH(QStringList, strayPort);
    QFETCH(int, answer);
    QFETCH(int, updated);
    QFETCH(QString, status);
    AppRig rig(Device(first[0].toStdString(), first[1].toStdString(), 1));
    if (!strayPort.isEmpty()) {
        VirtualMidiService::EndpointInfo stray;
        stray.name = strayPort[0].toStdString();
        stray.displayName = strayPort[1].toStdString();
        rig.service.AddSource(stray);
    }
    SimulatedDevice& other = rig.AddDevice(Device(second[0].toStdString(), second[1].toStdString(), 2));
    const std::array<SimulatedDevice*, 2> devices{rig.device.get(), &other};
    rig.dialogs.deviceAnswers = {answer};
    QVERIFY(rig.Drop({rig.WriteSysExFile(QStringLiteral("kelva.syx"))}));
    QVERIFY(rig.WaitUntilIdle());

    // Each device as the user reads it: the display name, with the port's name when it differs.
    const auto described = [](const QStringList& device) {
        return QStringLiteral("\"%1\" (port \"%2\")").arg(device[1], device[0]);
    };
    QCOMPARE(rig.dialogs.deviceLists, (QList<QStringList>{{described(first), described(second)}}));
    QCOMPARE(rig.events.filter(QStringLiteral("chooser ")),
             QStringList{
                 QStringLiteral("chooser Choose the device to update: This update does not name the device "
                                "it is for, and several USB MIDI devices are connected. Choose the one to "
                                "update:")});
    for (int i = 0; i < 2; ++i)
        QCOMPARE(!JobBytes(*devices[static_cast<std::size_t>(i)]).empty(), i == updated);
    QCOMPARE(rig.dialogs.alerts, 0);
    if (updated >= 0) {
        QCOMPARE(devices[static_cast<std::size_t>(updated)]->Portions().size(), std::size_t(1));
        QVERIFY(SawVerdictSheet(rig.events));
        const std::string chosen = described(updated == 0 ? first : second).toStdString();
        const auto log = rig.LogLines();
        QVERIFY(std::any_of(log.begin(), log.end(), [&chosen](const std::string& line) {
            return line == "Updating the chosen USB MIDI device, " + chosen;
        }));
        return;
    }
    // Nothing sent, and no verdict: the chooser, then the cancelled job's end.
    QCOMPARE(From(rig.events, rig.events.filter(QStringLiteral("chooser ")).value(0)).mid(1),
             (QStringList{QStringLiteral("bar empty"), QStringLiteral("status text: ") + status,
                          QStringLiteral("done")}));
    QCOMPARE(rig.delegate->textField()->text(), status);
    QVERIFY(rig.delegate->progressIndicator()->maximum() > 0); // not busy
    QCOMPARE(rig.delegate->progressIndicator()->value(), 0);
}
