// Catches, in the real dialogs: a wrong title, button, icon or modality, texts read as markup, the modal
// panel's or the device chooser's answer mixed up, OK offered with no device chosen, the open sheet's filter.
#include "AppRig.h"
#include "QtDialogPresenter.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

// The informative text with its format, if any.
QString Informative(QMessageBox* box) {
    const auto* label = box->findChild<QLabel*>("qt_msgbox_informativelabel");
    return label ? label->text() + "|" + QString::number(label->textFormat()) : QString();
}

// The one message box shown on the window: modality, icon, title, texts with their formats, buttons.
QStringList OnlyBox(QWidget* window) {
    QList<QMessageBox*> open = window->findChildren<QMessageBox*>();
    open.removeIf([](QMessageBox* box) { return !box->isVisible(); });
    if (open.size() != 1)
        return {};
    QMessageBox* box = open[0];
    QStringList shown{QString::number(box->windowModality()),
                      QString::number(box->icon()),
                      box->windowTitle(),
                      box->text(),
                      QString::number(box->textFormat()),
                      Informative(box)};
    for (QAbstractButton* button : box->buttons())
        shown << button->text();
    return shown;
}

} // namespace

class DialogTests : public QObject {
    Q_OBJECT
public:
    DialogTests() { Groups().push_back(this); }

private slots:
    void sheetsShowTextsAsTheyAre() {
        QWidget window;
        window.show();
        QtDialogPresenter dialogs;
        int ended = 0;
        const QString text = "Update failed for reason:\n100% <b>not</b> %s";
        dialogs.BeginStopAlert(&window, "Update failed", text, [&ended](int) { ++ended; });
        const QString modal = QString::number(Qt::WindowModal), plain = QString::number(Qt::PlainText);
        QCOMPARE(OnlyBox(&window),
                 (QStringList{modal, QString::number(QMessageBox::Critical), "Update failed", "Update failed",
                              plain, text + "|" + plain, "OK"}));
        QCOMPARE(ended, 0); // returned at once, ends when dismissed
        QTest::keyClick(window.findChild<QMessageBox*>(), Qt::Key_Return);
        QCOMPARE(ended, 1);
        dialogs.BeginAlertSheet(&window, "Completed", "OK", "Sent 100% of <i>it</i>");
        QCOMPARE(OnlyBox(&window), (QStringList{modal, QString::number(QMessageBox::Information), "Completed",
                                                "Sent 100% of <i>it</i>", plain, "", "OK"}));
    }

    void modalPanelAnswersByButton() {
        QWidget window;
        window.show();
        QString shown;
        QTimer::singleShot(0, &window, [&shown] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box && box->windowModality() == Qt::ApplicationModal);
            shown = box->text() + "|" + Informative(box);
            for (QAbstractButton* button : box->buttons())
                if (button->text() == "Close")
                    button->click();
        });
        QCOMPARE(QtDialogPresenter().RunAlertPanel(&window, "Title", "Message", "Do not close", "Close"),
                 DialogPresenter::alternateButton);
        QCOMPARE(shown, "Title|Message|" + QString::number(Qt::PlainText));
    }

    void chooserAnswersTheChosenDevice_data() {
        QTest::addColumn<QList<int>>("keys"); // typed in the list
        QTest::addColumn<QString>("button");  // then pressed; empty: none
        QTest::addColumn<int>("expected");
        QTest::newRow("down, then OK") << QList<int>{Qt::Key_Down} << "OK" << 1;
        QTest::newRow("down, down, Return")
            << QList<int>{Qt::Key_Down, Qt::Key_Down, Qt::Key_Return} << "" << 2;
        QTest::newRow("down, then Cancel") << QList<int>{Qt::Key_Down} << "Cancel" << -1;
    }
    void chooserAnswersTheChosenDevice() {
        QFETCH(QList<int>, keys);
        QFETCH(QString, button);
        QFETCH(int, expected);
        QWidget window;
        window.show();
        const QStringList devices{"\"Ostrel Kelva\" (port \"Ostrel Kelva MIDI 1\")", "\"<b>Synth</b>\"",
                                  "\"X\""};
        const QString message = "Several USB MIDI devices & <i>no</i> port named: choose one";
        QStringList shown;
        bool okWithoutChoice = true;
        QTimer::singleShot(0, &window, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog && dialog->windowModality() == Qt::ApplicationModal);
            auto* text = dialog->findChild<QLabel*>();
            auto* list = dialog->findChild<QListWidget*>();
            auto* box = dialog->findChild<QDialogButtonBox*>();
            shown << dialog->windowTitle() << text->text() << QString::number(text->textFormat());
            for (int row = 0; row < list->count(); ++row)
                shown << list->item(row)->text();
            list->setCurrentRow(-1); // OK is offered only while a device is selected
            okWithoutChoice = box->button(QDialogButtonBox::Ok)->isEnabled();
            list->setCurrentRow(0);
            for (int key : keys)
                QTest::keyClick(list, Qt::Key(key));
            for (QAbstractButton* push : box->buttons())
                if (push->text().remove('&') == button)
                    push->click();
        });
        QCOMPARE(QtDialogPresenter().ChooseDevice(&window, "Choose", message, devices), expected);
        QCOMPARE(shown, QStringList({"Choose", message, QString::number(Qt::PlainText)}) + devices);
        QVERIFY(!okWithoutChoice);
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

static DialogTests dialogTests;

#include "DialogTests.moc"
