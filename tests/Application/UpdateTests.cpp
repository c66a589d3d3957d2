// Catches: a wrong order or text of what the window shows during an update (status texts, fields, the note,
// the verdict sheet, the failure alert), a bar that maps fractions wrongly, the device chooser shown for
// fewer than two USB devices or its answer ignored, a wrong video-mode message or status text.
#include "AppRig.h"

#include <QLineEdit>
#include <QPushButton>

class UpdateTests : public QObject {
    Q_OBJECT
public:
    UpdateTests() { Groups().push_back(this); }

private slots:
    void droppedFileRunsToTheVerdict() {
        Rig rig;
        const QString note = "Keep it plugged in: 100% %s";
        // On the picture, which passes its drops to the window; of several files the first is taken.
        QVERIFY(rig.Drag({rig.UpdateFile("kelva.upd", note), rig.File("bad.upd", "nonsense")}, true,
                         rig.d->imageView()));
        QVERIFY(rig.d->sendingUpdate());
        QVERIFY(rig.WaitUntilIdle());
        QCOMPARE(rig.events.first(6),
                 (QStringList{"status text: Loading update file", "product name: Ostrel Kelva",
                              "firmware version: 1.05",
                              "panel Important note about this update [Start update|]: " + note, "bar busy",
                              "status text: Updating..."}));
        QCOMPARE(rig.events.last(4), (QStringList{"bar complete", "status text: " + verdict,
                                                  "sheet Completed [OK]: " + verdict, "done"}));
        // In between: the sender's reports, the bar moving forward (as text, in the fractions' order).
        const QStringList sender = rig.events.sliced(6, rig.events.size() - 10);
        QVERIFY(sender.contains("status text: Started update"));
        QVERIFY(sender.contains("status text: MIDI update sent successfully."));
        const QStringList bar = sender.filter("bar 0.");
        QVERIFY(bar.size() >= 2 && std::is_sorted(bar.begin(), bar.end()));
        QCOMPARE(rig.d->productName()->text() + " " + rig.d->firmwareVersion()->text(), "Ostrel Kelva 1.05");
        QCOMPARE(rig.d->textField()->text(), verdict);
        QCOMPARE(rig.d->progressIndicator()->value(), MainWindow::progressScale);
        QCOMPARE(rig.device->Portions().size(), 2u);
    }

    void failuresShowTheirReason() {
        {
            Rig rig;
            rig.d->updateWithFile(rig.File("bad.upd", "nonsense"));
            QVERIFY(rig.WaitUntilIdle());
            QCOMPARE(rig.events,
                     (QStringList{"status text: Loading update file", "alert Update failed: " + badHeader,
                                  "status text: " + badHeader, "bar busy", "done"}));
            QCOMPARE(rig.d->progressIndicator()->maximum(), 0);
        }
        SimulatedDevice::Options refusing; // the sender's own failure: in the status text only
        refusing.protocol.answer = DeviceProtocol::Answer::Error;
        Rig rig(refusing);
        rig.d->updateWithFile(rig.UpdateFile("kelva.upd", ""));
        QVERIFY(rig.WaitUntilIdle());
        QCOMPARE(rig.d->textField()->text(), sendError);
        QVERIFY(rig.events.filter("alert ").isEmpty() && rig.events.filter("sheet ").isEmpty());
    }

    void secondRequestIsRefused() {
        Rig rig;
        // Straight after the first request, before its worker has run at all.
        rig.d->updateWithFile(rig.UpdateFile("first.upd", ""));
        rig.d->updateWithFile(rig.UpdateFile("second.upd", "", 1));
        QCOMPARE(rig.events, QStringList{"alert Update failed: Already performing an update."});
        QVERIFY(rig.WaitUntilIdle());
        QCOMPARE(rig.device->Portions().size(), 2u);
        QCOMPARE(rig.events.count("status text: Loading update file"), 1);
    }

    void barShowsTheFraction_data() {
        QTest::addColumn<QVariant>("fraction"); // none: busy
        QTest::addColumn<int>("shown");         // the bar's value; -1: busy
        QTest::addColumn<QString>("event");
        QTest::newRow("half") << QVariant(0.5f) << 500 << "bar 0.5";
        QTest::newRow("none") << QVariant() << -1 << "bar busy";
        QTest::newRow("zero") << QVariant(0.0f) << -1 << "bar busy";
        QTest::newRow("not a number") << QVariant(std::nanf("")) << -1 << "bar busy";
        QTest::newRow("negative") << QVariant(-0.25f) << 0 << "bar -0.25";
        QTest::newRow("nearly all") << QVariant(0.999f) << 999 << "bar 0.999";
        QTest::newRow("all") << QVariant(1.0f) << 1000 << "bar complete";
        QTest::newRow("more") << QVariant(2.5f) << 1000 << "bar complete";
    }
    void barShowsTheFraction() {
        QFETCH(QVariant, fraction);
        QFETCH(int, shown);
        QFETCH(QString, event);
        Rig rig;
        QProgressBar* bar = rig.d->progressIndicator();
        bar->setRange(0, shown < 0 ? 1000 : 0); // the other state, so the row shows its own
        rig.d->progress(fraction.isValid() ? std::optional(fraction.toFloat()) : std::nullopt);
        QCOMPARE(rig.events, QStringList{event});
        QCOMPARE(bar->maximum(), shown < 0 ? 0 : MainWindow::progressScale);
        QCOMPARE(bar->value(), shown < 0 ? bar->value() : shown);
        rig.d->progressIndeterminate();
        QCOMPARE(bar->maximum(), 0);
    }

    void chooserOnlyForSeveralUsbDevices_data() {
        QTest::addColumn<bool>("raw");           // a .syx file, which names no port
        QTest::addColumn<QStringList>("second"); // port name, display name, USB device (0: a software port)
        QTest::addColumn<int>("answer");         // the chooser's
        QTest::addColumn<int>("updated");        // which device gets the update; -1: neither
        QTest::addColumn<bool>("chooser");
        const QStringList dramlin{"Ostrel Dramlin MIDI 1", "Ostrel Dramlin", "2"};
        QTest::newRow("one USB device")
            << true << QStringList{"Synth MIDI 1", "Synth", "0"} << -1 << 0 << false;
        QTest::newRow("named ports") << false << QStringList{"Synth MIDI 1", "Synth", "2"} << -1 << 0
                                     << false;
        QTest::newRow("the first") << true << dramlin << 0 << 0 << true;
        QTest::newRow("the second") << true << dramlin << 1 << 1 << true;
        QTest::newRow("a look-alike")
            << true << QStringList{"Ostrel Kelva MIDI 1", "Ostrel Kelva", "2"} << 1 << 1 << true;
        QTest::newRow("cancelled") << true << dramlin << -1 << -1 << true;
        QTest::newRow("past the list") << true << dramlin << 2 << -1 << true;
    }
    void chooserOnlyForSeveralUsbDevices() {
        QFETCH(bool, raw);
        QFETCH(QStringList, second);
        QFETCH(int, answer);
        QFETCH(int, updated);
        QFETCH(bool, chooser);
        const QStringList first{"Ostrel Kelva MIDI 1", "Ostrel Kelva", "1"};
        Rig rig(Device(first));
        rig.others.push_back(std::make_unique<SimulatedDevice>(rig.service, Device(second)));
        rig.dialogs.deviceAnswer = answer;
        QVERIFY(rig.Drag({raw ? rig.SysExFile("kelva.syx") : rig.UpdateFile("kelva.upd", "")}));
        QVERIFY(rig.WaitUntilIdle());

        // Each device as the user reads it.
        const auto shown = [](const QStringList& device) {
            return QString("\"%1\" (port \"%2\")").arg(device[1], device[0]);
        };
        const QString asked =
            "chooser Choose the device to update: This update does not name the device it is "
            "for, and several USB MIDI devices are connected. Choose the one to update:";
        const QList<QStringList> lists{{shown(first), shown(second)}};
        QCOMPARE(rig.dialogs.deviceLists, chooser ? lists : QList<QStringList>{});
        QCOMPARE(rig.events.filter("chooser "), chooser ? QStringList{asked} : QStringList{});
        QCOMPARE(!JobMessages(*rig.device).empty(), updated == 0);
        QCOMPARE(!JobMessages(*rig.others[0]).empty(), updated == 1);
        QCOMPARE(rig.events.filter("sheet Completed").size(), updated < 0 ? 0 : 1);
        QVERIFY(rig.events.filter("alert ").isEmpty());
        if (updated < 0) { // the bar empty
            QCOMPARE(
                rig.events.sliced(rig.events.indexOf(asked) + 1),
                (QStringList{"bar empty", "status text: Update cancelled: no device was chosen.", "done"}));
            QCOMPARE(rig.d->progressIndicator()->maximum(), MainWindow::progressScale);
            QCOMPARE(rig.d->progressIndicator()->value(), 0);
        }
    }

    void videoSegmentSendsItsMessage_data() {
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("segment");
        QTest::addColumn<int>("mode"); // the message's mode byte; -1: nothing sent
        QTest::newRow("Kelva, video on") << "Ostrel Kelva" << 0 << 1;
        QTest::newRow("Dramlin, video off") << "Ostrel Dramlin" << 1 << 0;
        QTest::newRow("another name") << "Ostrel Kelva Mk2" << 0 << -1;
    }
    void videoSegmentSendsItsMessage() {
        QFETCH(QString, device);
        QFETCH(int, segment);
        QFETCH(int, mode);
        Rig rig(Device({device, device, "1"}));
        rig.d->window()->videoSegments[segment]->click();
        QVERIFY(rig.d->sendingUpdate());
        QVERIFY(rig.WaitUntilIdle());
        const Bytes message{0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x01, Bytes::value_type(mode),
                            0xF7};
        QCOMPARE(JobMessages(*rig.device), mode < 0 ? std::vector<Bytes>{} : std::vector<Bytes>{message});
        QCOMPARE(rig.events.first(3),
                 (QStringList{"bar busy", "status text: Updating...", "status text: Updating Video Mode"}));
        QCOMPARE(rig.events.last(), "done");
        QCOMPARE(rig.events.filter("sheet Completed").size(), mode < 0 ? 0 : 1);
        QVERIFY(mode >= 0 || rig.d->textField()->text() == sendError);
        // With no segment selected, video off.
        QCOMPARE(ZephAppDelegate::VideoModeMessage(-1), ZephAppDelegate::VideoModeMessage(1));
    }
};

static UpdateTests updateTests;

#include "UpdateTests.moc"
