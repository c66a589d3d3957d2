#pragma once

#include <QObject>

// The Qt dialogs themselves (QtDialogPresenter): modality, texts shown verbatim, buttons, the device
// chooser's answers and the end handlers; and the window with the real dialogs.
class DialogTests : public QObject {
    Q_OBJECT
private slots:
    void stopAlertIsWindowModalSheet();
    void messageSheetShowsTextVerbatim();
    void modalPanelAnswersByButton();
    void deviceChooserAnswersChosenDevice_data();
    void deviceChooserAnswersChosenDevice();
    void openSheetOffersUpdAndSyx();
    void windowWithRealFailureAlert();
};
