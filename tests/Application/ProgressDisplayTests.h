#pragma once

#include <QObject>

// progress:, progressIndeterminate and the text handlers on the real progress bar and status text.
class ProgressDisplayTests : public QObject {
    Q_OBJECT
private slots:
    void progressMapsValuesToBar();
    void indeterminateIsBusyWithoutLogLine();
    void handlersLogAndSetStatusText();
};
