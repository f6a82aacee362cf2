// The desktop program's tests: QTest classes on the offscreen platform, in one program.
//   olmarest_ui_tests [CLASS] [QTest options]     CLASS: MainWindowTest or ScanDialogTest; all when left out
#include <QTest>
#include <cstring>
#include <memory>

#include "tests/ui/ui_test.h"

QObject *make_main_window_test();
QObject *make_scan_dialog_test();

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    Application::setApplicationName(QStringLiteral("Olmarest"));
    install_recorders();
    const char *only = argc > 1 && argv[1][0] != '-' ? argv[1] : nullptr;
    if (only) {
        argv[1] = argv[0];
        argv++;
        argc--;
    }
    int failed = 0;
    for (auto make : {make_main_window_test, make_scan_dialog_test}) {
        std::unique_ptr<QObject> test(make());
        if (only && std::strcmp(test->metaObject()->className(), only) != 0) continue;
        failed += QTest::qExec(test.get(), argc, argv);
    }
    return failed ? 1 : 0;
}
