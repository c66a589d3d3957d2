#pragma once

#include <QObject>

// The Qt dialogs themselves (QtDialogPresenter): modality, texts shown verbatim, buttons and the
// end handlers; and the window with the real dialogs.
class DialogTests : public QObject {
    Q_OBJECT
private slots:
    void stopAlertIsWindowModalSheet();
    void messageSheetShowsTextVerbatim();
    void modalPanelAnswersByButton();
    void openSheetOffersUpdAndSyx();
    void windowWithRealFailureAlert();
};
