#pragma once

#include <QObject>

// The window goes away while a worker waits for the GUI thread: the worker goes on alone, ends, and
// never touches the dead window (a device that was never chosen is not updated).
class ShutdownTests : public QObject {
    Q_OBJECT
private slots:
    void whileWorkerWaitsToStart();
    void whileWorkerWaitsForTheNote();
    void whileWorkerWaitsForTheDeviceChoice();
    void whileWorkerWaitsToEnd();
    void whileVideoModeSendWaits();
    void afterClosingDuringUpdate();
};
