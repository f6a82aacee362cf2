// The desktop program's tests: QTest classes on the offscreen platform, in one program.
//   olmarest_ui_tests [CLASS] [QTest options]     CLASS: MainWindowTest, ScanDialogTest or LibraryPaneTest; all when left out
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <memory>

#include "tests/ui/ui_test.h"

QObject *make_main_window_test();
QObject *make_scan_dialog_test();
QObject *make_library_test();

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The library and the settings of whoever runs the tests are never read or written.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    Application app(argc, argv);
    Application::setApplicationName(QStringLiteral("Olmarest"));
    install_recorders();
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, home.filePath(QStringLiteral("config")));
    const char *only = argc > 1 && argv[1][0] != '-' ? argv[1] : nullptr;
    if (only) {
        argv[1] = argv[0];
        argv++;
        argc--;
    }
    int failed = 0;
    for (auto make : {make_main_window_test, make_scan_dialog_test, make_library_test}) {
        std::unique_ptr<QObject> test(make());
        if (only && std::strcmp(test->metaObject()->className(), only) != 0) continue;
        failed += QTest::qExec(test.get(), argc, argv);
    }
    return failed ? 1 : 0;
}
