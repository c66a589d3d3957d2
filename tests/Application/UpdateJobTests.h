#pragma once

#include <QObject>

// The update job as the window sees it: report order, the note, reading failures, one job at a time.
class UpdateJobTests : public QObject {
    Q_OBJECT
private slots:
    void droppedFileRunsToCompletedSheetInOrder();
    void emptyNoteShowsNoNote();
    void badFileShowsFailureAlertAndLeavesBarBusy();
    void unreadablePathReadsLikeBadHeader();
    void secondRequestDuringJobIsRefused();
    void sendersErrorStaysInStatusText();
};
