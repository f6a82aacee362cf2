// Start-up of the desktop program: the application, the main window, the hidden scan dialog and
// the event loop. Errors that escape an event handler are shown by Application::notify; an error
// that escapes start-up itself is shown here. The engine's assertion reports go to message boxes.
#include <QCommandLineParser>
#include <QFile>
#include <QIcon>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>

#include "front/report.h"
#include "idx/engine.h"
#include "idx/idxdir.h"
#include "os/os.h"
#include "ui/Main.h"
#include "ui/Running.h"


int main(int argc, char **argv) {
    // Past the file size limit a write into the index fails with a reason the scan log shows,
    // instead of the signal ending the program with nothing said.
    signal(SIGXFSZ, SIG_IGN);
    Application app(argc, argv);
    Application::setApplicationName(QStringLiteral("Olmarest"));
    Application::setApplicationVersion(QStringLiteral(OLMAREST_VERSION));
    Application::setDesktopFileName(QStringLiteral("olmarest"));
    Application::setWindowIcon(QIcon(QStringLiteral(":/images/olmarest.svg")));
    set_report_hook(gui_report);
    Application::setOrganizationName(QStringLiteral("olmarest"));
    remember_layout = true;
    try {
        QCommandLineParser args;
        args.setApplicationDescription(QStringLiteral("Index a folder, CD-ROM or disc image and search it for words."));
        args.addHelpOption();
        args.addVersionOption();
        QCommandLineOption index_dir(QStringList{QStringLiteral("d"), QStringLiteral("index-dir")},
                                     QStringLiteral("Keep idx.dat and stopwords.txt in DIR (default: $OLMAREST_DIR, "
                                                    "else $XDG_DATA_HOME/olmarest, as olmarest-cli does)."),
                                     QStringLiteral("DIR"));
        args.addOption(index_dir);
        // Older menu entries start the program with --user-data: the per-user directory is the
        // default now, so the option is taken and changes nothing.
        QCommandLineOption user_data(QStringLiteral("user-data"), QStringLiteral("The default; kept for old menu entries."));
        user_data.setFlags(QCommandLineOption::HiddenFromHelp);
        args.addOption(user_data);
        args.addPositionalArgument(QStringLiteral("path"), QStringLiteral("Folder to put in the path box."),
                                   QStringLiteral("[path]"));
        args.process(app);
        // The same index directory as olmarest-cli: -d, else $OLMAREST_DIR, else the per-user one.
        std::string why;
        QByteArray dir = QFile::encodeName(args.value(index_dir));
        if (choose_idx_dir(dir.isEmpty() ? nullptr : dir.constData(), &why) != 0) {
            std::fprintf(stderr, "olmarest: %s; using the current directory\n", why.c_str());
            set_idx_dir("");
        }

        Tmainform mainform;
        Tscanform scanform(&mainform);
        if (!args.positionalArguments().isEmpty()) mainform.setPathText(args.positionalArguments().first());
        mainform.show();
        int code = Application::exec();
        // Nothing is saved; a run still going (the session ended under the dialog) is stopped so
        // that its thread does not outlive the engine's state.
        if (cancel_idx() == 0) wait_run_end(10, show_pending_reports); // the thread may be waiting on one
        return code;
    } catch (const std::exception &e) {
        show_message(nullptr, QString::fromLocal8Bit(e.what()), QStringLiteral("Olmarest"), QMessageBox::Critical);
    } catch (...) {
        show_message(nullptr, QString(), QStringLiteral("Olmarest"), QMessageBox::Critical);
    }
    return 1;
}
