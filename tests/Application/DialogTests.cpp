#include "DialogTests.h"

#include "ApplicationTestSupport.h"
#include "MainWindow.h"
#include "QtDialogPresenter.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

// The message boxes that are open on the window.
QList<QMessageBox*> Boxes(QWidget* window) {
    QList<QMessageBox*> open;
    for (QMessageBox* box : window->findChildren<QMessageBox*>())
        if (box->isVisible())
            open << box;
    return open;
}

QString Informative(QMessageBox* box) {
    auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    return label ? label->text() : QString();
}

} // namespace

void DialogTests::stopAlertIsWindowModalSheet() {
    QWidget window;
    window.show();
    QtDialogPresenter dialogs;
    int ended = 0;
    const QString text = QStringLiteral("Update failed for reason:\n100% <b>not</b> %s");
    dialogs.BeginStopAlert(&window, QStringLiteral("Update failed"), text, [&ended](int) { ++ended; });
    QCOMPARE(Boxes(&window).size(), 1); // shown, and returned at once
    QMessageBox* box = Boxes(&window).first();
    QCOMPARE(box->windowModality(), Qt::WindowModal);
    QCOMPARE(box->text(), QStringLiteral("Update failed"));
    QCOMPARE(box->icon(), QMessageBox::Critical);
    QCOMPARE(Informative(box), text);
    auto* informative = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
    QVERIFY(informative);
    QCOMPARE(informative->textFormat(), Qt::PlainText);
    QCOMPARE(box->buttons().size(), 1);
    QCOMPARE(ended, 0);
    QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
    QCOMPARE(ended, 1);
}

void DialogTests::messageSheetShowsTextVerbatim() {
    QWidget window;
    window.show();
    QtDialogPresenter dialogs;
    dialogs.BeginAlertSheet(&window, QStringLiteral("Completed"), QStringLiteral("OK"),
                            QStringLiteral("Sent 100% of <i>it</i>"));
    QMessageBox* box = Boxes(&window).value(0);
    QVERIFY(box);
    QCOMPARE(box->windowTitle(), QStringLiteral("Completed"));
    QCOMPARE(box->windowModality(), Qt::WindowModal);
    QCOMPARE(box->text(), QStringLiteral("Sent 100% of <i>it</i>"));
    QCOMPARE(box->textFormat(), Qt::PlainText);
    QCOMPARE(box->buttons().size(), 1);
    QCOMPARE(box->buttons().first()->text(), QStringLiteral("OK"));
    box->buttons().first()->click();
    QVERIFY(QTest::qWaitFor([&window] { return Boxes(&window).isEmpty(); }));
}

void DialogTests::modalPanelAnswersByButton() {
    QWidget window;
    window.show();
    QtDialogPresenter dialogs;
    for (const auto& [pressed, expected] :
         {std::pair{QStringLiteral("Close"), DialogPresenter::alternateButton},
          std::pair{QStringLiteral("Do not close"), DialogPresenter::defaultButton}}) {
        Qt::WindowModality modality = Qt::NonModal;
        QString informative;
        QTimer::singleShot(0, &window, [&, pressed = pressed] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            modality = box->windowModality();
            informative = Informative(box);
            for (QAbstractButton* button : box->buttons())
                if (button->text() == pressed)
                    button->click();
        });
        const int answer = dialogs.RunAlertPanel(
            &window, QStringLiteral("An update is in progress"),
            QStringLiteral("An update is in progress.\nAre you sure you want to close this program?"),
            QStringLiteral("Do not close"), QStringLiteral("Close"));
        QCOMPARE(answer, expected);
        QCOMPARE(modality, Qt::ApplicationModal);
        QCOMPARE(informative,
                 QStringLiteral("An update is in progress.\nAre you sure you want to close this program?"));
    }
}

void DialogTests::deviceChooserAnswersChosenDevice_data() {
    QTest::addColumn<QList<int>>("keys"); // typed in the list
    QTest::addColumn<QString>("button");  // then pressed; empty: none
    QTest::addColumn<int>("expected");

    QTest::newRow("OK on the first") << QList<int>{} << QStringLiteral("OK") << 0;
    QTest::newRow("down, then OK") << QList<int>{Qt::Key_Down} << QStringLiteral("OK") << 1;
    QTest::newRow("down, down, Return") << QList<int>{Qt::Key_Down, Qt::Key_Down} << QString() << 2;
    QTest::newRow("down, then Cancel") << QList<int>{Qt::Key_Down} << QStringLiteral("Cancel") << -1;
    QTest::newRow("down, then Escape") << QList<int>{Qt::Key_Down, Qt::Key_Escape} << QString() << -1;
}

void DialogTests::deviceChooserAnswersChosenDevice() {
    QFETCH(QList<int>, keys);
    QFETCH(QString, button);
    QFETCH(int, expected);
    QWidget window;
    window.show();
    QtDialogPresenter dialogs;
    const QStringList devices{QStringLiteral("\"Ostrel Kelva\" (port \"Ostrel Kelva MIDI 1\")"),
                              QStringLiteral("\"<b>Synth</b>\" (port \"Synth MIDI 1\")"),
                              QStringLiteral("\"Ostrel Dramlin\"")};
    const QString message = QStringLiteral("Several USB MIDI devices & <i>no</i> port named: choose one");
    Qt::WindowModality modality = Qt::NonModal;
    QString title;
    QString label;
    QStringList shown;
    bool okWithoutChoice = true;
    QTimer::singleShot(0, &window, [&] {
        QDialog* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        modality = dialog->windowModality();
        title = dialog->windowTitle();
        auto* text = dialog->findChild<QLabel*>();
        QVERIFY(text);
        QCOMPARE(text->textFormat(), Qt::PlainText);
        label = text->text();
        auto* list = dialog->findChild<QListWidget*>();
        QVERIFY(list);
        for (int row = 0; row < list->count(); ++row)
            shown << list->item(row)->text();
        auto* box = dialog->findChild<QDialogButtonBox*>();
        QVERIFY(box);
        // OK is offered only while a device is selected.
        list->setCurrentRow(-1);
        okWithoutChoice = box->button(QDialogButtonBox::Ok)->isEnabled();
        list->setCurrentRow(0);
        for (int key : keys)
            QTest::keyClick(list, static_cast<Qt::Key>(key));
        if (keys.isEmpty() || keys.last() != Qt::Key_Escape) {
            if (button.isEmpty())
                QTest::keyClick(list, Qt::Key_Return);
            else
                for (QAbstractButton* push : box->buttons())
                    if (push->text().remove(QLatin1Char('&')) == button)
                        push->click();
        }
    });
    const int answer =
        dialogs.ChooseDevice(&window, QStringLiteral("Choose the device to update"), message, devices);
    QCOMPARE(answer, expected);
    QCOMPARE(modality, Qt::ApplicationModal);
    QCOMPARE(title, QStringLiteral("Choose the device to update"));
    QCOMPARE(label, message);
    QCOMPARE(shown, devices);
    QVERIFY(!okWithoutChoice);
}

void DialogTests::openSheetOffersUpdAndSyx() {
    QWidget window;
    window.show();
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("kelva.upd"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    QtDialogPresenter dialogs;
    QList<std::pair<int, QString>> ends;
    const auto didEnd = [&ends](int code, const QString& chosen) { ends << std::pair{code, chosen}; };
    dialogs.BeginOpenSheet(&window, {QStringLiteral("upd"), QStringLiteral("syx")}, didEnd);
    QFileDialog* dialog = window.findChild<QFileDialog*>();
    QVERIFY(dialog && dialog->isVisible());
    QCOMPARE(dialog->windowModality(), Qt::WindowModal);
    QCOMPARE(dialog->nameFilters(), QStringList{QStringLiteral("Update files (*.upd *.syx)")});
    QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
    dialog->reject();
    QCOMPARE(ends.size(), 1);
    QCOMPARE(ends.first().first, 0);

    dialogs.BeginOpenSheet(&window, {QStringLiteral("upd"), QStringLiteral("syx")}, didEnd);
    QVERIFY(QTest::qWaitFor([&window] { return window.findChildren<QFileDialog*>().size() == 1; }));
    dialog = window.findChild<QFileDialog*>();
    dialog->setDirectory(directory.path());
    // Typed into the file name field and confirmed with the keyboard.
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(name);
    name->setText(path);
    QTest::keyClick(name, Qt::Key_Return);
    QCOMPARE(ends.size(), 2);
    QCOMPARE(ends.last().first, 1);
    QCOMPARE(QFileInfo(ends.last().second).canonicalFilePath(), QFileInfo(path).canonicalFilePath());
}

void DialogTests::windowWithRealFailureAlert() {
    HeldClock clock;
    ScopedClock scopedClock(clock);
    ScopedLogCapture log;
    VirtualMidiService service;
    SimulatedDevice device(service);
    QtDialogPresenter dialogs;
    QTemporaryDir directory;
    std::shared_ptr<MainThreadChannel> channel;
    {
        ZephAppDelegate delegate(service, dialogs);
        channel = delegate.Channel();
        delegate.awakeFromNib();
        delegate.window()->show();
        const QString bad = directory.filePath(QStringLiteral("bad.upd"));
        QFile file(bad);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("nonsense") > 0);
        file.close();
        delegate.updateWithFile(bad);
        QVERIFY(QTest::qWaitFor([&delegate] { return !delegate.sendingUpdate(); }));
        QVERIFY(delegate.alertSheet());
        QList<QMessageBox*> boxes = Boxes(delegate.window());
        QCOMPARE(boxes.size(), 1);
        QVERIFY(Informative(boxes.first()).startsWith(QStringLiteral("Update failed for reason:\n")));
        // A second failure alert is dropped: still one box.
        delegate.showAlert(QStringLiteral("Already performing an update."));
        QCOMPARE(Boxes(delegate.window()).size(), 1);
        QTest::mouseClick(boxes.first()->buttons().first(), Qt::LeftButton);
        QVERIFY(!delegate.alertSheet());
    }
    QVERIFY(channel->WaitForWorkers(10000));
}
