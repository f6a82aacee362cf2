// Makes the README's pictures of both windows: indexes a copy of samples/ through the path box,
// grabs the scan dialog after the run, then searches and grabs the main window with its results;
// then adds two folders to a library of its own through the library pane, moves one of them away,
// and grabs the window searching all three.
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise, so it needs no display.
//
//   olmarest_shots OUTDIR SAMPLES STOPWORDS     writes OUTDIR/main-window.png, OUTDIR/scan-dialog.png,
//                                                OUTDIR/library-pane.png
//   olmarest_shots --screen FILE                 grabs the whole screen of $DISPLAY (for the X smoke test)
//   olmarest_shots --window ID FILE              grabs one X window; fails when it is all one colour,
//                                                as a window that never painted is
//
// The copy lies at a fixed place, /tmp/olmarest-demo/samples, so the pictures show the same paths
// from one run to the next; idx.dat is written there too, and the library in its data folder.
#include <QDeadlineTimer>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <cstdio>
#include <filesystem>
#include <string>

#include "front/library.h"
#include "ui/Library.h"
#include "ui/Main.h"
#include "ui/Running.h"

namespace fs = std::filesystem;

static void print_message(QWidget *, const QString &text, const QString &title, QMessageBox::Icon) {
    std::fprintf(stderr, "olmarest_shots: message box \"%s\": %s\n", qPrintable(title), qPrintable(text));
}

// Runs the event loop until done() holds; false after 30 s.
template <class F> static bool wait_for(F done) {
    QDeadlineTimer deadline(30000);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

static int grab_screen(int argc, char **argv) {
    QApplication app(argc, argv);
    QScreen *screen = QGuiApplication::primaryScreen();
    if (screen && screen->grabWindow(0).save(QString::fromLocal8Bit(argv[2]))) return 0;
    std::fprintf(stderr, "olmarest_shots: cannot grab the screen into %s\n", argv[2]);
    return 1;
}

static int grab_window(int argc, char **argv) {
    QApplication app(argc, argv);
    QScreen *screen = QGuiApplication::primaryScreen();
    QImage image = screen ? screen->grabWindow(static_cast<WId>(std::stoull(argv[2]))).toImage() : QImage();
    if (image.isNull() || !image.save(QString::fromLocal8Bit(argv[3]))) {
        std::fprintf(stderr, "olmarest_shots: cannot grab window %s into %s\n", argv[2], argv[3]);
        return 1;
    }
    QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); y++)
        for (int x = 0; x < image.width(); x++)
            if (image.pixel(x, y) != first) return 0;
    std::fprintf(stderr, "olmarest_shots: window %s is all one colour\n", argv[2]);
    return 1;
}

int main(int argc, char **argv) {
    if (argc == 3 && std::string(argv[1]) == "--screen") return grab_screen(argc, argv);
    if (argc == 4 && std::string(argv[1]) == "--window") return grab_window(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: olmarest_shots OUTDIR SAMPLES STOPWORDS\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    fs::path out = fs::absolute(argv[1]);
    fs::path demo = "/tmp/olmarest-demo";
    std::error_code ec;
    fs::remove_all(demo, ec);
    fs::create_directories(demo, ec);
    fs::copy(argv[2], demo / "samples", fs::copy_options::recursive, ec);
    if (!ec) fs::copy_file(argv[3], demo / "stopwords.txt", ec);
    if (ec) {
        std::fprintf(stderr, "olmarest_shots: cannot set up %s: %s\n", demo.c_str(), ec.message().c_str());
        return 1;
    }
    fs::current_path(demo);
    // The pictures' library and settings are the demo's, never those of whoever makes them.
    qputenv("XDG_DATA_HOME", (demo / "data").c_str());
    qputenv("XDG_CONFIG_HOME", (demo / "config").c_str());

    Application app(argc, argv);
    Application::setApplicationName(QStringLiteral("Olmarest"));
    message_hook = print_message;
    Tmainform mainform;
    Tscanform scanform(&mainform);
    mainform.setPathText(QString::fromStdString((demo / "samples").string()));
    mainform.show();
    QCoreApplication::processEvents();

    auto *stop = scanform.findChild<QPushButton *>(QStringLiteral("stop"));
    mainform.findChild<QPushButton *>(QStringLiteral("idxbtn"))->click();
    if (!wait_for([&] { return stop->text() == QStringLiteral("&Close"); })) {
        std::fprintf(stderr, "olmarest_shots: the run did not end\n");
        return 1;
    }
    bool ok = scanform.grab().save(QString::fromStdString((out / "scan-dialog.png").string()));
    stop->click();
    wait_for([&] { return !scanform.isVisible(); });

    mainform.findChild<QLineEdit *>(QStringLiteral("Edit2"))->setText(QStringLiteral("lighthouse harbour"));
    mainform.findChild<QPushButton *>(QStringLiteral("BitBtn2"))->click();
    QCoreApplication::processEvents();
    ok = mainform.grab().save(QString::fromStdString((out / "main-window.png").string())) && ok;

    // The library: a folder of documents and music, and one of an old web site, indexed through
    // the pane's run; the second is moved away afterwards, so its rows show as absent.
    auto copy = [&](const char *from, const fs::path &to) {
        fs::create_directories(to.parent_path(), ec);
        fs::copy(fs::path(argv[2]) / from, to, fs::copy_options::recursive, ec);
    };
    copy("docs", demo / "shelf/Summer 2024/docs");
    copy("music", demo / "shelf/Summer 2024/music");
    copy("web", demo / "shelf/Old site/web");
    copy("docs/lighthouse.txt", demo / "shelf/Old site/lighthouse.txt");
    for (const char *folder : {"Summer 2024", "Old site"}) {
        fs::path dir = demo / "shelf" / folder;
        std::string name = new_entry_name(volume_label(dir.c_str())), why;
        if (ec || make_entry(name, &why) != 0) {
            std::fprintf(stderr, "olmarest_shots: cannot add %s to the library: %s\n", dir.c_str(), why.c_str());
            return 1;
        }
        mainform.runIntoEntry(QByteArray::fromStdString(name), QByteArray::fromStdString(dir.string()), true);
        if (!wait_for([&] { return scanform.isVisible() && stop->text() == QStringLiteral("&Close"); })) {
            std::fprintf(stderr, "olmarest_shots: the run into the library did not end\n");
            return 1;
        }
        stop->click();
        wait_for([&] { return !scanform.isVisible(); });
    }
    fs::rename(demo / "shelf/Old site", demo / "old-site-moved", ec);
    mainform.library()->reload();
    mainform.library()->show();
    mainform.resize(760, 620);
    mainform.findChild<QPushButton *>(QStringLiteral("BitBtn2"))->click();
    QCoreApplication::processEvents();
    ok = mainform.grab().save(QString::fromStdString((out / "library-pane.png").string())) && ok;
    if (!ok) std::fprintf(stderr, "olmarest_shots: cannot write the pictures to %s\n", out.c_str());
    return ok ? 0 : 1;
}
