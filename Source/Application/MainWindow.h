#pragma once

#include <QMainWindow>

class QAction;
class QButtonGroup;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

// The window "resource": layout, labels, picture and menu. It holds no behaviour; the controller
// (ZephAppDelegate) connects to its elements and watches its events.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);

    QLabel* imageView;
    QLineEdit* productName;
    QLineEdit* firmwareVersion;
    QLabel* deviceStatus; // the device the updater can see right now, under the version
    QProgressBar* progressIndicator;
    QLabel* textField;
    QButtonGroup* videoOption; // segment 0 and segment 1, by button id
    QPushButton* videoSegments[2];

    QAction* openAction;
    QAction* aboutAction;
    QAction* quitAction;

    // The determinate range of the progress bar: 0.0 to 1.0 is shown as 0 to progressScale.
    static constexpr int progressScale = 1000;

    // The picture: a stylised Kelva with a MIDI plug.
    static QPixmap Picture(int size);
};
