// Catches: menu keys or buttons doing the wrong thing, the quit question's text or answers swapped, new work
// taken while a job, the open sheet or the failure alert is up, more than one failure alert, drags taken that
// cannot copy, a wrong device line; a closed window waited for, or touched, by a job that outlives it; and in
// the real dialogs a wrong title, button, icon or modality, texts read as markup, an answer mixed up, OK
// offered with no device chosen, a wrong open-sheet filter.
#include "AppRig.h"
#include "QtDialogPresenter.h"

#include <QAction>
#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <thread>

// A dialog as the user sees it: modality|icon (-: none)|title|each text/its format|list rows|buttons.
static QString Describe(QWidget* widget) {
    auto* dialog = qobject_cast<QDialog*>(widget);
    if (!dialog)
        return "no dialog";
    auto* box = qobject_cast<QMessageBox*>(dialog);
    QStringList shown{QString::number(dialog->windowModality()), box ? QString::number(box->icon()) : "-",
                      dialog->windowTitle()};
    for (QLabel* label : dialog->findChildren<QLabel*>())
        if (!label->text().isEmpty())
            shown << label->text() + "/" + QString::number(label->textFormat());
    if (auto* list = dialog->findChild<QListWidget*>())
        for (int row = 0; row < list->count(); ++row)
            shown << list->item(row)->text();
    for (QAbstractButton* button : dialog->findChildren<QAbstractButton*>())
        shown << button->text().remove('&');
    return shown.join('|');
}

// The dialog shown on the window, if any.
static QDialog* Shown(QWidget* window) {
    for (QDialog* dialog : window->findChildren<QDialog*>())
        if (dialog->isVisible())
            return dialog;
    return nullptr;
}

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

    // While a job, the open sheet or the failure alert is up, drops and video switches are refused.
    void busyWindowRefusesNewWork() {
        for (const QString state : {"job", "video", "open", "alert"}) {
            Rig rig;
            const QString file = rig.UpdateFile("kelva.upd", "");
            if (state == "video")
                rig.d->window()->videoSegments[0]->click();
            else if (state == "open")
                rig.d->openDocument();
            else
                QVERIFY(rig.Drag({state == "job" ? file : rig.File("bad.upd", "nonsense")}));
            QVERIFY(state == "alert" ? rig.WaitUntilIdle() : state == "open" || rig.HoldInSend());
            const std::size_t workers = rig.channel->RunningWorkers();
            const qsizetype sheets = rig.events.count("open sheet types: upd syx");
            QVERIFY(!rig.Drag({file}, false));
            QVERIFY(!rig.Drag({file}, true, rig.d->imageView()));
            rig.d->window()->videoSegments[1]->click();
            QCOMPARE(rig.d->VideoOption()->checkedId(), 1); // keeps the choice, sends nothing for it
            QCOMPARE(rig.channel->RunningWorkers(), workers);
            rig.d->window()->openAction->trigger(); // still opens over the alert only
            QCOMPARE(rig.events.count("open sheet types: upd syx"), sheets + (state == "alert" ? 1 : 0));
            if (state == "job") { // quitting asks; "Do not close" keeps the window, "Close" ends
                QVERIFY(!rig.d->window()->close());
                rig.d->window()->quitAction->trigger();
                QCOMPARE(rig.terminations, 0);
                rig.dialogs.panelAnswer = DialogPresenter::alternateButton;
                QVERIFY(rig.d->window()->close());
                QCOMPARE(rig.terminations, 1);
                QCOMPARE(rig.events.filter("panel "),
                         QStringList(3,
                                     "panel An update is in progress [Do not close|Close]: An update is in "
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
                     state == "video" ? std::optional<unsigned char>(1) : std::nullopt);
            QCOMPARE(rig.events.count("status text: Loading update file"),
                     state == "job" || state == "alert");
            QCOMPARE(rig.events.contains("sheet Completed [OK]: " + verdict), state == "job"); // it went on
        }
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

    // The window closes while a job waits for it: the job ends on its own, sends nothing more and shows
    // nothing.
    void jobOutlivesTheWindow() {
        struct Row {
            QString job; // "note", "plain": update files; "choice": a .syx for two devices; "video"
            int waits;   // for the window, begun before it closes
            bool sent;
        };
        for (const Row& row : {Row{"note", 1, true},
                               {"note", 2, true},
                               {"choice", 2, false},
                               {"plain", 2, true},
                               {"video", 1, true}}) {
            Rig rig;
            if (row.job == "choice")
                rig.others.push_back(std::make_unique<SimulatedDevice>(rig.service, Device({"D", "D", "2"})));
            if (row.job == "video")
                rig.d->window()->videoSegments[0]->click();
            else
                rig.d->updateWithFile(row.job == "choice"
                                          ? rig.SysExFile("kelva.syx")
                                          : rig.UpdateFile("kelva.upd", row.job == "note" ? "A" : ""));
            for (int wait = 1; wait <= row.waits; ++wait) {
                QVERIFY(rig.channel->WaitForWaitsBegun(wait, 10000));
                if (wait < row.waits)
                    QCoreApplication::processEvents(); // runs updateDidStart only: the worker posted nothing
                                                       // else
            }
            const QStringList before = rig.events;
            rig.d.reset();
            QVERIFY(rig.channel->WaitForWorkers(10000));
            QCoreApplication::processEvents(); // what the job still posted is dropped
            QCOMPARE(rig.events, before);
            QVERIFY(!before.contains("done") &&
                    rig.events.filter(QRegularExpression("^(panel|chooser) ")).isEmpty());
            QCOMPARE(!JobMessages(*rig.device).empty(), row.sent);
            QVERIFY(rig.others.empty() || JobMessages(*rig.others[0]).empty());
        }
    }

    void sheetsShowTextsAsTheyAre() {
        QWidget window;
        window.show();
        QtDialogPresenter dialogs;
        int ended = 0;
        const QString text = "Update failed for reason:\n100% <b>not</b> %s";
        dialogs.BeginStopAlert(&window, "Update failed", text, [&ended](int) { ++ended; });
        QCOMPARE(Describe(Shown(&window)), "1|3|Update failed|Update failed/0|" + text + "/0|OK");
        QCOMPARE(ended, 0); // returned at once, ends when dismissed
        QTest::keyClick(Shown(&window), Qt::Key_Return);
        QCOMPARE(ended, 1);
        dialogs.BeginAlertSheet(&window, "Completed", "OK", "Sent 100% of <i>it</i>");
        QCOMPARE(Describe(Shown(&window)), "1|1|Completed|Sent 100% of <i>it</i>/0|OK");
        QString shown; // the modal panel: its answer by button
        QTimer::singleShot(0, &window, [&shown] {
            shown = Describe(QApplication::activeModalWidget());
            for (QAbstractButton* button :
                 QApplication::activeModalWidget()->findChildren<QAbstractButton*>())
                if (button->text() == "Close")
                    button->click();
        });
        QCOMPARE(dialogs.RunAlertPanel(&window, "Title", "Message", "Do not close", "Close"),
                 DialogPresenter::alternateButton);
        QCOMPARE(shown, "2|2|Title|Title/0|Message/0|Do not close|Close");
    }

    void chooserAnswersTheChosenDevice() {
        struct Row {
            QList<int> keys; // typed in the list
            QString button;  // then pressed; empty: none
            int expected;
        };
        QWidget window;
        window.show();
        const QStringList devices{"\"Ostrel Kelva\" (port \"Ostrel Kelva MIDI 1\")", "\"<b>Synth</b>\"",
                                  "\"X\""};
        const QString message = "Several USB MIDI devices & <i>no</i> port named: choose one";
        for (const Row& row : {Row{{Qt::Key_Down}, "OK", 1},
                               {{Qt::Key_Down, Qt::Key_Down, Qt::Key_Return}, "", 2},
                               {{Qt::Key_Down}, "Cancel", -1}}) {
            QString shown;
            bool okWithoutChoice = true;
            QTimer::singleShot(0, &window, [&] {
                auto* dialog = QApplication::activeModalWidget();
                shown = Describe(dialog);
                auto* list = dialog->findChild<QListWidget*>();
                auto* box = dialog->findChild<QDialogButtonBox*>();
                list->setCurrentRow(-1); // OK is offered only while a device is selected
                okWithoutChoice = box->button(QDialogButtonBox::Ok)->isEnabled();
                list->setCurrentRow(0);
                for (int key : row.keys)
                    QTest::keyClick(list, Qt::Key(key));
                for (QAbstractButton* push : box->buttons())
                    if (push->text().remove('&') == row.button)
                        push->click();
            });
            QCOMPARE(QtDialogPresenter().ChooseDevice(&window, "Choose", message, devices), row.expected);
            QCOMPARE(shown, "2|-|Choose|" + message + "/0|" + devices.join('|') + "|OK|Cancel");
            QVERIFY(!okWithoutChoice);
        }
    }

    void openSheetOffersUpdAndSyx() {
        QWidget window;
        window.show();
        int ended = -1;
        QtDialogPresenter().BeginOpenSheet(&window, {"upd", "syx"},
                                           [&ended](int code, const QString&) { ended = code; });
        auto* dialog = window.findChild<QFileDialog*>();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->windowModality(), Qt::WindowModal);
        QCOMPARE(dialog->nameFilters(), QStringList{"Update files (*.upd *.syx)"});
        QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
        dialog->reject();
        QCOMPARE(ended, 0);
    }
};

static WindowTests windowTests;

#include "WindowTests.moc"
