#pragma once

#include <QObject>

// The video-mode control: the message per segment, the port names, and a send that leaves the
// window responsive.
class VideoModeTests : public QObject {
    Q_OBJECT
private slots:
    void segmentSendsItsMessage_data();
    void segmentSendsItsMessage();
    void noSegmentSendsTheMessageOfSegmentOne();
    void onlyTheKelvaNamesAreLookedFor();
    void windowStaysResponsiveWhileSending();
};
