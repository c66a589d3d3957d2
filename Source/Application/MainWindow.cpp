#include "MainWindow.h"

#include <QAction>
#include <QButtonGroup>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QStringLiteral("MIDI Updater"));
    setObjectName(QStringLiteral("mainWindow"));

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    openAction = file->addAction(QStringLiteral("&Open..."));
    openAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    file->addSeparator();
    quitAction = file->addAction(QStringLiteral("&Quit"));
    quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quitAction->setMenuRole(QAction::QuitRole);
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    aboutAction = help->addAction(QStringLiteral("&About MIDI Updater"));
    aboutAction->setMenuRole(QAction::AboutRole);

    auto* central = new QWidget(this);
    auto* outer = new QVBoxLayout(central);
    outer->setContentsMargins(16, 16, 16, 16);
    outer->setSpacing(12);

    auto* top = new QHBoxLayout;
    top->setSpacing(16);
    imageView = new QLabel(central);
    imageView->setObjectName(QStringLiteral("imageView"));
    imageView->setPixmap(Picture(112));
    imageView->setFixedSize(112, 112);
    imageView->setToolTip(QStringLiteral("Drop an update file (.upd or .syx) here"));
    top->addWidget(imageView, 0, Qt::AlignTop);

    auto* fields = new QFormLayout;
    fields->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    productName = new QLineEdit(QStringLiteral("No update loaded"), central);
    productName->setObjectName(QStringLiteral("productName"));
    productName->setReadOnly(true);
    firmwareVersion = new QLineEdit(QStringLiteral("-"), central);
    firmwareVersion->setObjectName(QStringLiteral("firmwareVersion"));
    firmwareVersion->setReadOnly(true);
    auto* productLabel = new QLabel(QStringLiteral("&Product:"), central);
    productLabel->setBuddy(productName);
    auto* versionLabel = new QLabel(QStringLiteral("Firmware &version:"), central);
    versionLabel->setBuddy(firmwareVersion);
    fields->addRow(productLabel, productName);
    fields->addRow(versionLabel, firmwareVersion);
    deviceStatus = new QLabel(QStringLiteral("Device: looking for it..."), central);
    deviceStatus->setObjectName(QStringLiteral("deviceStatus"));
    deviceStatus->setTextFormat(Qt::PlainText);
    deviceStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fields->addRow(deviceStatus);

    auto* videoRow = new QHBoxLayout;
    videoRow->setSpacing(0);
    videoOption = new QButtonGroup(central);
    videoOption->setExclusive(true);
    const QString segmentTexts[2] = {QStringLiteral("Video o&n"), QStringLiteral("Video &off")};
    for (int segment = 0; segment < 2; ++segment) {
        videoSegments[segment] = new QPushButton(segmentTexts[segment], central);
        videoSegments[segment]->setObjectName(QStringLiteral("videoSegment%1").arg(segment));
        videoSegments[segment]->setCheckable(true);
        videoSegments[segment]->setAutoDefault(false);
        videoSegments[segment]->setFocusPolicy(Qt::StrongFocus);
        videoOption->addButton(videoSegments[segment], segment);
        videoRow->addWidget(videoSegments[segment]);
    }
    videoSegments[0]->setChecked(true);
    videoRow->addStretch(1);
    auto* videoLabel = new QLabel(QStringLiteral("Video mode:"), central);
    fields->addRow(videoLabel, videoRow);
    top->addLayout(fields, 1);
    outer->addLayout(top);

    progressIndicator = new QProgressBar(central);
    progressIndicator->setObjectName(QStringLiteral("progressIndicator"));
    progressIndicator->setRange(0, progressScale);
    progressIndicator->setValue(0);
    progressIndicator->setTextVisible(false);
    outer->addWidget(progressIndicator);

    textField = new QLabel(
        QStringLiteral("Drop an update file on this window, or open one with File > Open."), central);
    textField->setObjectName(QStringLiteral("textField"));
    textField->setTextFormat(Qt::PlainText);
    textField->setWordWrap(true);
    textField->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    textField->setFocusPolicy(Qt::TabFocus);
    textField->setMinimumHeight(textField->fontMetrics().lineSpacing() * 3);
    textField->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    outer->addWidget(textField);
    outer->addStretch(1);

    setCentralWidget(central);
    setMinimumSize(460, 300);
    resize(520, 320);

    // Keyboard order: the fields, the video mode segments, the status text.
    setTabOrder(productName, firmwareVersion);
    setTabOrder(firmwareVersion, videoSegments[0]);
    setTabOrder(videoSegments[0], videoSegments[1]);
    setTabOrder(videoSegments[1], textField);
}

QPixmap MainWindow::Picture(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 128.0, size / 128.0);

    // The device: a dark box with a row of keys.
    painter.setPen(QPen(QColor(0x22, 0x2a, 0x35), 3));
    painter.setBrush(QColor(0x34, 0x49, 0x5e));
    painter.drawRoundedRect(QRectF(8, 30, 112, 56), 10, 10);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xec, 0xf0, 0xf1));
    for (int key = 0; key < 7; ++key)
        painter.drawRect(QRectF(18 + key * 13.5, 54, 11, 24));
    painter.setBrush(QColor(0x1b, 0x1f, 0x24));
    for (int key : {0, 1, 3, 4, 5})
        painter.drawRect(QRectF(26 + key * 13.5, 54, 7, 14));
    painter.setBrush(QColor(0x2e, 0xcc, 0x71));
    painter.drawEllipse(QPointF(24, 42), 4, 4);

    // The update arrow going into it.
    painter.setBrush(QColor(0x29, 0x80, 0xb9));
    QPainterPath arrow;
    arrow.moveTo(84, 4);
    arrow.lineTo(100, 4);
    arrow.lineTo(100, 18);
    arrow.lineTo(110, 18);
    arrow.lineTo(92, 36);
    arrow.lineTo(74, 18);
    arrow.lineTo(84, 18);
    arrow.closeSubpath();
    painter.drawPath(arrow);

    // A MIDI plug below.
    painter.setPen(QPen(QColor(0x22, 0x2a, 0x35), 3));
    painter.setBrush(QColor(0x95, 0xa5, 0xa6));
    painter.drawEllipse(QPointF(64, 108), 16, 16);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x22, 0x2a, 0x35));
    for (int pin = 0; pin < 5; ++pin) {
        const double angle = (200 + pin * 35) * 3.14159265358979 / 180.0;
        painter.drawEllipse(QPointF(64 + 9 * std::cos(angle), 108 - 9 * std::sin(angle)), 2, 2);
    }
    painter.drawLine(QPointF(64, 86), QPointF(64, 92));
    painter.setPen(QPen(QColor(0x22, 0x2a, 0x35), 3));
    painter.drawLine(QPointF(64, 86), QPointF(64, 92));
    return pixmap;
}
