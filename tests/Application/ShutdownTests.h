#pragma once

#include <QObject>

// The window goes away while a worker waits for the GUI thread: the worker goes on alone, ends, and
// never touches the dead window.
class ShutdownTests : public QObject {
    Q_OBJECT
private slots:
    void whileWorkerWaitsToStart();
    void whileWorkerWaitsForTheNote();
    void whileWorkerWaitsToEnd();
    void whileVideoModeSendWaits();
    void afterClosingDuringUpdate();
};
