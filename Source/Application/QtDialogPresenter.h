#pragma once

#include "DialogPresenter.h"

// The dialogs on Qt Widgets: QMessageBox run with exec() for the modal panel, a QDialog with a
// list run with exec() for the device chooser, window-modal QMessageBox and QFileDialog shown with
// open() for the sheets. Every text is shown verbatim (as plain text, never read as markup).
class QtDialogPresenter : public DialogPresenter {
public:
    int RunAlertPanel(QWidget* window, const QString& title, const QString& message,
                      const QString& defaultText, const QString& alternateText) override;
    // The first device is selected at first; OK is offered only while one is, and activating a
    // device (double click, Return) chooses it.
    int ChooseDevice(QWidget* window, const QString& title, const QString& message,
                     const QStringList& devices) override;
    void BeginAlertSheet(QWidget* window, const QString& title, const QString& button,
                         const QString& message) override;
    void BeginStopAlert(QWidget* window, const QString& messageText, const QString& informativeText,
                        std::function<void(int returnCode)> didEnd) override;
    void BeginOpenSheet(QWidget* window, const QStringList& fileTypes,
                        std::function<void(int returnCode, const QString& path)> didEnd) override;
    void ShowAboutPanel(QWidget* window, const QString& applicationVersion, const QString& version) override;

    // The name filter the open sheet offers for the types: "Update files (*.upd *.syx)".
    static QString NameFilter(const QStringList& fileTypes);
};
