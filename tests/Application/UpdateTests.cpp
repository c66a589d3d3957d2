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
        QVERIFY(rig.WaitUntilIdle());
        QCOMPARE(rig.events.first(6),
                 (QStringList{"status text: Loading update file", "product name: Ostrel Kelva",
                              "firmware version: 1.05",
                              "panel Important note about this update [Start update|]: " + note, "bar busy",
                              "status text: Updating..."}));
        QCOMPARE(rig.events.last(4), (QStringList{"bar complete", "status text: " + verdict,
                                                  "sheet Completed [OK]: " + verdict, "done"}));
        const QStringList bar = rig.events.filter("bar 0."); // moving forward, in the fractions' order
        QVERIFY(bar.size() >= 2 && std::is_sorted(bar.begin(), bar.end()));
        QCOMPARE(rig.d->productName()->text() + " " + rig.d->firmwareVersion()->text(), "Ostrel Kelva 1.05");
        QCOMPARE(rig.d->textField()->text(), verdict);
        QCOMPARE(rig.d->progressIndicator()->value(), MainWindow::progressScale);
    }

    void failuresShowTheirReason() {
        {
            Rig rig;
            rig.d->updateWithFile(rig.File("bad.upd", "nonsense"));
            QVERIFY(rig.WaitUntilIdle());
            QCOMPARE(rig.events,
                     (QStringList{"status text: Loading update file", "alert Update failed: " + badHeader,
                                  "status text: " + badHeader, "bar busy", "done"}));
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
        rig.d->updateWithFile(rig.UpdateFile("second.upd", ""));
        QCOMPARE(rig.events, QStringList{"alert Update failed: Already performing an update."});
        QVERIFY(rig.WaitUntilIdle());
        QCOMPARE(rig.events.count("status text: Loading update file"), 1);
    }

    void barShowsTheFraction() {
        struct Row {
            std::optional<float> fraction;
            int shown; // the bar's value; -1: busy
            QString event;
        };
        const Row rows[] = {{0.5f, 500, "bar 0.5"},       {std::nullopt, -1, "bar busy"},
                            {0.0f, -1, "bar busy"},       {std::nanf(""), -1, "bar busy"},
                            {-0.25f, 0, "bar -0.25"},     {0.999f, 999, "bar 0.999"},
                            {1.0f, 1000, "bar complete"}, {2.5f, 1000, "bar complete"}};
        Rig rig;
        QProgressBar* bar = rig.d->progressIndicator();
        for (const Row& row : rows) {
            bar->setRange(0, row.shown < 0 ? 1000 : 0); // the other state, so the row shows its own
            rig.events.clear();
            rig.d->progress(row.fraction);
            QCOMPARE(rig.events, QStringList{row.event});
            QCOMPARE(bar->maximum(), row.shown < 0 ? 0 : MainWindow::progressScale);
            QCOMPARE(bar->value(), row.shown < 0 ? bar->value() : row.shown);
        }
        rig.d->progressIndeterminate();
        QCOMPARE(bar->maximum(), 0);
    }

    void chooserOnlyForSeveralUsbDevices() {
        struct Row {
            bool raw; // a .syx file, which names no port; the chooser needs it and a second USB device
            QStringList second; // port name, display name, USB device (0: a software port)
            int answer;         // the chooser's
            int updated;        // which device gets the update; -1: neither
        };
        const QStringList first{"Ostrel Kelva MIDI 1", "Ostrel Kelva", "1"};
        const QStringList dramlin{"Ostrel Dramlin MIDI 1", "Ostrel Dramlin", "2"};
        const Row rows[] = {{true, {"Synth MIDI 1", "Synth", "0"}, -1, 0},
                            {false, {"Synth MIDI 1", "Synth", "2"}, -1, 0}, // the update names its ports
                            {true, dramlin, 0, 0},
                            {true, dramlin, 1, 1},
                            {true, {"Ostrel Kelva MIDI 1", "Ostrel Kelva", "2"}, 1, 1}, // a look-alike
                            {true, dramlin, -1, -1},                                    // cancelled
                            {true, dramlin, 2, -1}};                                    // past the list
        for (const Row& row : rows) {
            Rig rig(Device(first));
            rig.others.push_back(std::make_unique<SimulatedDevice>(rig.service, Device(row.second)));
            rig.dialogs.deviceAnswer = row.answer;
            QVERIFY(rig.Drag({row.raw ? rig.SysExFile("kelva.syx") : rig.UpdateFile("kelva.upd", "")}));
            QVERIFY(rig.WaitUntilIdle());
            const auto shown = [](const QStringList& device) { // as the user reads it
                return QString("\"%1\" (port \"%2\")").arg(device[1], device[0]);
            };
            const QString asked = "chooser Choose the device to update: This update does not name the device "
                                  "it is for, and several USB MIDI devices are connected. Choose the one to "
                                  "update: [" +
                                  shown(first) + ", " + shown(row.second) + "]";
            const bool chooser = row.raw && row.second[2] != "0";
            QCOMPARE(rig.events.filter("chooser "), chooser ? QStringList{asked} : QStringList{});
            QCOMPARE(!JobMessages(*rig.device).empty(), row.updated == 0);
            QCOMPARE(!JobMessages(*rig.others[0]).empty(), row.updated == 1);
            QCOMPARE(rig.events.filter("sheet Completed").size(), row.updated < 0 ? 0 : 1);
            QVERIFY(rig.events.filter("alert ").isEmpty());
            if (row.updated < 0) { // the bar empty
                QCOMPARE(rig.events.sliced(rig.events.indexOf(asked) + 1),
                         (QStringList{"bar empty", "status text: Update cancelled: no device was chosen.",
                                      "done"}));
                QCOMPARE(rig.d->progressIndicator()->maximum(), MainWindow::progressScale);
                QCOMPARE(rig.d->progressIndicator()->value(), 0);
            }
        }
    }

    void videoSegmentSendsItsMessage() {
        struct Row {
            QString device;
            int segment;
            int mode; // the message's mode byte; -1: nothing sent (no such device)
        };
        for (const Row& row :
             {Row{"Ostrel Kelva", 0, 1}, {"Ostrel Dramlin", 1, 0}, {"Ostrel Kelva Mk2", 0, -1}}) {
            Rig rig(Device({row.device, row.device, "1"}));
            rig.d->window()->videoSegments[row.segment]->click();
            QVERIFY(rig.d->sendingUpdate());
            QVERIFY(rig.WaitUntilIdle());
            const Bytes message{
                0xF0, 0x00, 0x00, 0x0E, 0x00, 0x33, 0x63, 0x00, 0x01, Bytes::value_type(row.mode), 0xF7};
            QCOMPARE(JobMessages(*rig.device),
                     row.mode < 0 ? std::vector<Bytes>{} : std::vector<Bytes>{message});
            QCOMPARE(rig.events.first(3), (QStringList{"bar busy", "status text: Updating...",
                                                       "status text: Updating Video Mode"}));
            QCOMPARE(rig.events.last(), "done");
            QCOMPARE(rig.events.filter("sheet Completed").size(), row.mode < 0 ? 0 : 1);
            QVERIFY(row.mode >= 0 || rig.d->textField()->text() == sendError);
        }
        // With no segment selected, video off.
        QCOMPARE(ZephAppDelegate::VideoModeMessage(-1), ZephAppDelegate::VideoModeMessage(1));
    }
};

static UpdateTests updateTests;

#include "UpdateTests.moc"
