#pragma once

#include <QObject>

// What the window takes and refuses in each of its states, the open sheet, quitting and closing,
// and the device line.
class WindowStateTests : public QObject {
    Q_OBJECT
private slots:
    void windowResource();
    void refusesDropsOpenAndToggleDuringJob();
    void openSheetRefusesDropsAndToggle();
    void openSheetChoiceStartsUpdate();
    void failureAlertRefusesDropsAndToggleButNotOpen();
    void secondFailureAlertIsDropped();
    void failureAlertFromAnotherThread();
    void severalFilesStartFirstOnly();
    void dragThatCannotCopyIsRefused();
    void quitWithoutJobTerminatesAtOnce();
    void quitDuringJobAsks();
    void quitDuringJobAsks_data();
    void closingWindowIsQuitting();
    void aboutPanelShowsVersions();
    void deviceLineFollowsTheDeviceAndShowsTheVersionItReports();
    void deviceLineAsksNoVersionWhileAJobRuns();
};
