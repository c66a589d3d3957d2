// Runs one group of the application's tests (by class name), or all of them.
#include "DialogTests.h"
#include "ProgressDisplayTests.h"
#include "ShutdownTests.h"
#include "UpdateJobTests.h"
#include "VideoModeTests.h"
#include "WindowStateTests.h"

#include <QApplication>
#include <QTest>

#include <cstring>
#include <memory>
#include <vector>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    std::vector<std::unique_ptr<QObject>> groups;
    groups.push_back(std::make_unique<UpdateJobTests>());
    groups.push_back(std::make_unique<WindowStateTests>());
    groups.push_back(std::make_unique<VideoModeTests>());
    groups.push_back(std::make_unique<ProgressDisplayTests>());
    groups.push_back(std::make_unique<DialogTests>());
    groups.push_back(std::make_unique<ShutdownTests>());

    // ApplicationTests [Group [QTest arguments...]]
    const char* only = argc > 1 ? argv[1] : nullptr;
    std::vector<char*> rest{argv[0]};
    for (int i = 2; i < argc; ++i)
        rest.push_back(argv[i]);
    int failures = 0;
    bool found = false;
    for (const auto& group : groups) {
        if (only && std::strcmp(only, group->metaObject()->className()) != 0)
            continue;
        found = true;
        failures += QTest::qExec(group.get(), static_cast<int>(rest.size()), rest.data());
    }
    if (!found) {
        qWarning("no test group named %s", only);
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
