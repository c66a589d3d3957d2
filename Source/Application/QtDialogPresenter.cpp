#include "QtDialogPresenter.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// QMessageBox guesses whether a text is markup; the texts here come from files and devices and
// are shown as they are.
void ShowPlain(QMessageBox& box) {
    box.setTextFormat(Qt::PlainText);
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
}

} // namespace

int QtDialogPresenter::RunAlertPanel(QWidget* window, const QString& title, const QString& message,
                                     const QString& defaultText, const QString& alternateText) {
    QMessageBox box(window);
    box.setWindowModality(Qt::ApplicationModal);
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(title);
    box.setText(title);
    box.setInformativeText(message);
    ShowPlain(box);
    QPushButton* defaultPush = box.addButton(defaultText, QMessageBox::AcceptRole);
    QPushButton* alternatePush = nullptr;
    if (!alternateText.isEmpty())
        alternatePush = box.addButton(alternateText, QMessageBox::RejectRole);
    box.setDefaultButton(defaultPush);
    box.setEscapeButton(alternatePush ? alternatePush : defaultPush);
    box.exec();
    return alternatePush && box.clickedButton() == alternatePush ? alternateButton : defaultButton;
}

int QtDialogPresenter::ChooseDevice(QWidget* window, const QString& title, const QString& message,
                                    const QStringList& devices) {
    QDialog dialog(window);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setWindowTitle(title);
    auto* layout = new QVBoxLayout(&dialog);
    auto* text = new QLabel(message, &dialog);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* list = new QListWidget(&dialog);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->addItems(devices); // an item's text is never read as markup
    layout->addWidget(list);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    layout->addWidget(buttons);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(list, &QListWidget::itemActivated, &dialog, &QDialog::accept);
    QObject::connect(list, &QListWidget::currentRowChanged, ok, [ok](int row) { ok->setEnabled(row >= 0); });
    list->setCurrentRow(devices.isEmpty() ? -1 : 0);
    ok->setEnabled(list->currentRow() >= 0);
    list->setFocus();
    if (dialog.exec() != QDialog::Accepted)
        return -1;
    return list->currentRow();
}

void QtDialogPresenter::BeginAlertSheet(QWidget* window, const QString& title, const QString& button,
                                        const QString& message) {
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Information);
    box->setWindowTitle(title);
    box->setText(message);
    ShowPlain(*box);
    box->setDefaultButton(box->addButton(button, QMessageBox::AcceptRole));
    box->open();
}

void QtDialogPresenter::BeginStopAlert(QWidget* window, const QString& messageText,
                                       const QString& informativeText,
                                       std::function<void(int returnCode)> didEnd) {
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setIcon(QMessageBox::Critical);
    box->setWindowTitle(messageText);
    box->setText(messageText);
    box->setInformativeText(informativeText);
    ShowPlain(*box);
    box->setStandardButtons(QMessageBox::Ok);
    QObject::connect(box, &QMessageBox::finished, box, [didEnd](int result) { didEnd(result); });
    box->open();
}

QString QtDialogPresenter::NameFilter(const QStringList& fileTypes) {
    QStringList patterns;
    for (const QString& type : fileTypes)
        patterns << QStringLiteral("*.") + type;
    return QStringLiteral("Update files (%1)").arg(patterns.join(QLatin1Char(' ')));
}

void QtDialogPresenter::BeginOpenSheet(QWidget* window, const QStringList& fileTypes,
                                       std::function<void(int returnCode, const QString& path)> didEnd) {
    auto* dialog = new QFileDialog(window, QStringLiteral("Open Update File"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setNameFilter(NameFilter(fileTypes));
    QObject::connect(dialog, &QFileDialog::finished, dialog, [dialog, didEnd](int result) {
        const QStringList chosen = dialog->selectedFiles();
        if (result == QDialog::Accepted && !chosen.isEmpty())
            didEnd(1, chosen.first());
        else
            didEnd(0, QString());
    });
    dialog->open();
}

void QtDialogPresenter::ShowAboutPanel(QWidget* window, const QString& applicationVersion,
                                       const QString& version) {
    QMessageBox box(window);
    box.setWindowTitle(QStringLiteral("About %1").arg(QApplication::applicationDisplayName()));
    box.setIconPixmap(QApplication::windowIcon().pixmap(64, 64));
    box.setText(QApplication::applicationDisplayName());
    box.setInformativeText(QStringLiteral("Version %1 (%2)\n\nFirmware updater for the Ostrel Kelva USB MIDI "
                                          "device.")
                               .arg(applicationVersion, version));
    ShowPlain(box);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}
