#include "ProgressDisplayTests.h"

#include "ApplicationTestSupport.h"
#include "MainWindow.h"

#include <QLabel>
#include <QProgressBar>
#include <QTest>

#include <cmath>
#include <limits>

namespace {

bool Busy(const QProgressBar* bar) {
    return bar->minimum() == 0 && bar->maximum() == 0;
}

} // namespace

void ProgressDisplayTests::progressMapsValuesToBar() {
    AppRig rig;
    QProgressBar* bar = rig.delegate->progressIndicator();

    rig.delegate->progress(0.5f);
    QVERIFY(!Busy(bar));
    QCOMPARE(bar->maximum(), MainWindow::progressScale);
    QCOMPARE(bar->value(), 500);

    rig.delegate->progress(std::nullopt);
    QVERIFY(Busy(bar));
    rig.delegate->progress(0.25f);
    QCOMPARE(bar->value(), 250);
    rig.delegate->progress(0.0f);
    QVERIFY(Busy(bar));

    rig.delegate->progress(-0.25f); // determinate, shown as empty
    QVERIFY(!Busy(bar));
    QCOMPARE(bar->value(), 0);
    rig.delegate->progress(std::numeric_limits<float>::quiet_NaN());
    QVERIFY(Busy(bar));

    rig.delegate->progress(0.999f);
    QCOMPARE(bar->value(), 999);
    rig.delegate->progress(1.0f);
    QCOMPARE(bar->value(), MainWindow::progressScale);
    rig.delegate->progress(std::nullopt);
    rig.delegate->progress(2.5f);
    QVERIFY(!Busy(bar));
    QCOMPARE(bar->value(), MainWindow::progressScale);

    QCOMPARE(rig.events, (QStringList{"bar 0.5", "bar busy", "bar 0.25", "bar busy", "bar -0.25", "bar busy",
                                      "bar 0.999", "bar complete", "bar busy", "bar complete"}));
    const auto log = rig.LogLines();
    QVERIFY(std::find(log.begin(), log.end(), "Progress: 0.5") != log.end());
    QVERIFY(std::find(log.begin(), log.end(), "Progress: (null)") != log.end());
}

void ProgressDisplayTests::indeterminateIsBusyWithoutLogLine() {
    AppRig rig;
    rig.delegate->progress(0.5f);
    const std::size_t before = rig.LogLines().size();
    rig.delegate->progressIndeterminate();
    QVERIFY(Busy(rig.delegate->progressIndicator()));
    QCOMPARE(rig.LogLines().size(), before);
}

void ProgressDisplayTests::handlersLogAndSetStatusText() {
    AppRig rig;
    const auto lastLog = [&rig] { return QString::fromStdString(rig.LogLines().back()); };
    rig.delegate->status(QStringLiteral("Sent 50%s of <b>it</b>"));
    QCOMPARE(lastLog(), QStringLiteral("Status: Sent 50%s of <b>it</b>"));
    QCOMPARE(rig.delegate->textField()->text(), QStringLiteral("Sent 50%s of <b>it</b>"));
    QCOMPARE(rig.delegate->textField()->textFormat(), Qt::PlainText);
    rig.delegate->error(QStringLiteral("It broke"));
    QCOMPARE(lastLog(), QStringLiteral("Error: It broke"));
    QCOMPARE(rig.delegate->textField()->text(), QStringLiteral("It broke"));
    rig.events.clear();
    rig.delegate->completed(QStringLiteral("Done 100% %d"));
    QCOMPARE(rig.events, (QStringList{"bar complete", "status text: Done 100% %d",
                                      "sheet Completed [OK]: Done 100% %d"}));
    const auto log = rig.LogLines();
    QVERIFY(std::find(log.begin(), log.end(), "Completed: Done 100% %d") != log.end());
    QVERIFY(!rig.delegate->alertSheet()); // the sheet is not the failure alert
}
