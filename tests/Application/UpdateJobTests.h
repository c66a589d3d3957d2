#pragma once

#include <QObject>

// The update job as the window sees it: report order, the note, reading failures, one job at a time,
// and the device chooser of an update that names no port.
class UpdateJobTests : public QObject {
    Q_OBJECT
private slots:
    void droppedFileRunsToCompletedSheetInOrder();
    void emptyNoteShowsNoNote();
    void badFileShowsFailureAlertAndLeavesBarBusy();
    void unreadablePathReadsLikeBadHeader();
    void secondRequestDuringJobIsRefused();
    void sendersErrorStaysInStatusText();
    void chooserOnlyForSeveralUsbDevices_data();
    void chooserOnlyForSeveralUsbDevices();
    void chooserAnswerDecidesTheDevice_data();
    void chooserAnswerDecidesTheDevice();
};
