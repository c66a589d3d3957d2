// Runs one group of the application's tests by its class name: ApplicationTests Group [QTest arguments...]
#include "AppRig.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    for (QObject* group : Groups())
        if (argc > 1 && QByteArray(argv[1]) == group->metaObject()->className())
            return QTest::qExec(group, argc - 1, argv + 1);
    qWarning("no test group named %s", argc > 1 ? argv[1] : "(none)");
    return 2;
}
