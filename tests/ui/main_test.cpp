// The main window: its controls, the path and word boxes, the result list with its two passes,
// sorting, opening files; and the application's error display.
#include <QFile>
#include <QGroupBox>
#include <QMenu>
#include <QSettings>
#include <QHeaderView>
#include <QTimer>
#include <QTest>
#include <QToolButton>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <thread>

#include "idx/check.h"
#include "idx/engine.h"
#include "tests/ui/ui_test.h"

class MainWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<UiFixture> f;

    QTreeWidget *list() const { return f->find<QTreeWidget>("ListView1"); }
    void clickHeader(int section) {
        QHeaderView *h = list()->header();
        QTest::mouseClick(h->viewport(), Qt::LeftButton, {},
                          QPoint(h->sectionViewportPosition(section) + h->sectionSize(section) / 2, h->height() / 2));
    }
    // As a user does it: the first click selects, the second is the double click.
    void doubleClick(QPoint at) {
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, at);
    }
    // A tree whose files hold "harbour" and "lantern" so often that sums pass the 63 cap.
    void writeCountedTree() {
        auto words = [](const char *w, int n) {
            std::string s;
            for (int i = 0; i < n; i++) s += std::string(w) + " ";
            return s;
        };
        f->write("tree/a.txt", words("harbour", 70) + words("lantern", 5));  // capped: "> 68"
        f->write("tree/b.txt", words("harbour", 40) + words("lantern", 30)); // 70
        f->write("tree/c.txt", words("harbour", 60) + words("lantern", 7));  // 67
        f->write("tree/d.txt", words("lantern", 2));                         // 2
    }

  private slots:
    void init() {
        remember_layout = false; // only the test of it saves a layout
        f.reset(); // the old fixture gives the working directory back first
        f = std::make_unique<UiFixture>();
    }
    void cleanup() {
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
        f.reset();
    }

    void startsWithNoIndexAndAKeyboardOrder() {
        QStringList heads;
        for (int i = 0; i < 3; i++) heads << list()->headerItem()->text(i) + QString::number(list()->columnWidth(i));
        QCOMPARE(heads, (QStringList{"Freq50", "Filename300", "First Occurence250"}));

        // States at start: no index here, Search off, the dialog hidden and quiet.
        QCOMPARE(f->status(1), QStringLiteral("No index loaded"));
        QCOMPARE(f->status(0), QString());
        QVERIFY(!f->find<QPushButton>("BitBtn2")->isEnabled());
        QVERIFY(!f->scanform->isVisible());
        auto *timer = f->scanform->findChild<QTimer *>(QStringLiteral("Timer1"));
        QCOMPARE(timer->interval(), 20);
        QVERIFY(!timer->isActive());
        QVERIFY(f->find<QPlainTextEdit>("Memo1")->isReadOnly());
        QCOMPARE(f->find<QPlainTextEdit>("Memo1")->focusPolicy(), Qt::NoFocus);
        QVERIFY(f->find<QPushButton>("stop")->font().bold());
        QCOMPARE(f->scanform->size(), QSize(377, 293));
        QCOMPARE(f->mainform->size(), QSize(611, 485));

        // Every image came out of the resources (a missing SVG plug-in leaves them null).
        for (const char *name : {"SpeedButton1", "idxbtn", "BitBtn2", "stop"})
            QVERIFY2(!f->find<QAbstractButton>(name)->icon().pixmap(16).isNull(), name);
        QVERIFY(!f->mainform->windowIcon().pixmap(32).isNull());

        // Keyboard order: path box, folder button, Create Index, word box, Search, then the list.
        QStringList order;
        QWidget *w = f->find<QWidget>("Edit1");
        while (order.size() < 6) {
            if ((w->focusPolicy() & Qt::TabFocus) &&
                (w->inherits("QAbstractButton") || w->inherits("QLineEdit") || w->inherits("QTreeWidget")))
                order << w->objectName();
            w = w->nextInFocusChain();
        }
        QCOMPARE(order, (QStringList{"Edit1", "SpeedButton1", "idxbtn", "Edit2", "BitBtn2", "ListView1"}));
    }

    void panelControlsFollowTheWindowEdges() {
        QMap<QString, QRect> before;
        const char *names[] = {"Edit1", "SpeedButton1", "idxbtn", "Bevel1", "Edit2", "BitBtn2", "StaticText1"};
        for (const char *n : names) before[n] = f->find<QWidget>(n)->geometry();
        f->mainform->resize(711, 485);
        QTRY_COMPARE(f->find<QWidget>("Panel1")->width(), 711);
        for (const char *n : {"Edit1", "Bevel1", "Edit2"})
            QCOMPARE(f->find<QWidget>(n)->geometry(), before[n].adjusted(0, 0, 100, 0));
        for (const char *n : {"SpeedButton1", "idxbtn", "BitBtn2"})
            QCOMPARE(f->find<QWidget>(n)->geometry(), before[n].translated(100, 0));
        QCOMPARE(f->find<QWidget>("StaticText1")->geometry(), before["StaticText1"]);
        QCOMPARE(f->find<QWidget>("idxbtn")->geometry().right(), 711 - 8 - 1);
        // Not below the minimum size.
        f->mainform->resize(100, 100);
        QCOMPARE(f->mainform->size(), QSize(392, 333));
    }

    void enterInPathBoxIndexesOnlyDirectories() {
        f->write("tree/a.txt", "harbour lights at night");
        f->write("file.txt", "harbour");
        for (const std::string bad : {"", "missing", "file.txt"}) {
            messages.clear();
            auto *edit = f->find<QLineEdit>("Edit1");
            edit->setText(QString::fromStdString(bad));
            QTest::keyClick(edit, Qt::Key_Return);
            QCOMPARE(messages.size(), 1);
            QCOMPARE(messages[0].text, QStringLiteral("Please enter a valid pathname !"));
            QCOMPARE(messages[0].title, QStringLiteral("Invalid Path"));
            QVERIFY(messages[0].owned);
            QVERIFY(!f->scanform->isVisible());
        }
        messages.clear();
        // A relative path is indexed as the absolute one, so the index loads from anywhere.
        QVERIFY(f->startRun(QStringLiteral("tree/")));
        QVERIFY(f->scanform->isVisible());
        QVERIFY(f->scanform->isModal());
        QCOMPARE(f->log().first(), QStringLiteral("Scanning ..."));
        f->closeRun();
        QVERIFY(messages.isEmpty());
        QCOMPARE(f->status(1), QStringLiteral("Search in: %1 (1 files)").arg(f->qpath("tree")));
        QVERIFY(f->find<QPushButton>("BitBtn2")->isEnabled());
        QVERIFY(!f->scanform->isVisible());
        QTRY_COMPARE(f->mainform->focusWidget(), f->find<QWidget>("Edit2"));
    }

    // The list shows a page's excerpt as its text, the way olmarest-cli prints it.
    void markupExcerptsShowTheirTextNotTheirTags() {
        QFile page(QStringLiteral(OLMAREST_SOURCE_DIR "/samples/web/index.html"));
        QVERIFY(page.open(QIODevice::ReadOnly));
        f->write("tree/index.html", page.readAll().toStdString());
        QVERIFY(f->index(f->qpath("tree")));
        f->search(QStringLiteral("lighthouse"));
        QCOMPARE(list()->topLevelItemCount(), 1);
        QString excerpt = list()->topLevelItem(0)->text(2);
        QVERIFY2(excerpt.contains(QStringLiteral("the lighthouse.")), qPrintable(excerpt));
        QVERIFY2(!excerpt.contains(QLatin1Char('<')) && !excerpt.contains(QLatin1Char('>')), qPrintable(excerpt));
    }

    // Why there is no index, and why words found nothing, stand in the window, not only in tooltips;
    // the path box shows the indexed folder once an index is loaded.
    void reasonsShowInTheWindow() {
        f->mainform->show();
        QVERIFY(QTest::qWaitForWindowExposed(f->mainform));
        QLabel *notice = f->mainform->notice();
        QTRY_VERIFY(notice->isVisible());
        QVERIFY2(notice->text().startsWith(QStringLiteral("No index loaded: ")), qPrintable(notice->text()));

        f->write("tree/a.txt", "harbour lights at night");
        QVERIFY(f->index(f->qpath("tree")));
        QVERIFY(!notice->isVisible());
        QCOMPARE(f->find<QLineEdit>("Edit1")->text(), f->qpath("tree"));
        f->search(QStringLiteral("weather gcc"));
        QVERIFY(notice->isVisible());
        QCOMPARE(notice->text(), QStringLiteral("weather: not in the index\ngcc: shorter than 4 letters"));
        f->search(QStringLiteral("harbour"));
        QVERIFY(!notice->isVisible());
    }

    void enterInWordBoxWithoutIndexDoesNothing() {
        f->write("tree/a.txt", "harbour lights at night");
        f->mainform->panel(0)->setText(QStringLiteral("untouched"));
        f->search(QStringLiteral("harbour"));
        QCOMPARE(list()->topLevelItemCount(), 0);
        QCOMPARE(f->status(0), QStringLiteral("untouched"));
    }

    void searchShowsRowsThenCountThenExcerptsRowByRow() {
        f->write("tree/a.txt", "The harbour lights shine over the harbour.");
        f->write("tree/b.txt", "A lantern by the harbour wall.");
        f->write("tree/c.txt", "Nothing to see here at all today.");
        QVERIFY(f->index(f->qpath("tree")));
        f->mainform->panel(0)->setText(QStringLiteral("old"));
        // What each repaint of the list shows: rows, excerpts filled in, and status panel 0.
        struct Frame {
            int rows, excerpts;
            QString count;
        };
        QList<Frame> frames;
        struct Spy : QObject {
            std::function<void()> on_paint;
            bool eventFilter(QObject *, QEvent *e) override {
                if (e->type() == QEvent::Paint) on_paint();
                return false;
            }
        } spy;
        spy.on_paint = [&] {
            int filled = 0;
            for (const QString &t : f->column(2)) filled += !t.isEmpty();
            frames.append({list()->topLevelItemCount(), filled, f->status(0)});
        };
        list()->viewport()->installEventFilter(&spy);
        f->search(QStringLiteral("harbour"));
        list()->viewport()->removeEventFilter(&spy);

        QCOMPARE(f->column(0), (QStringList{"2", "1"}));
        QCOMPARE(f->column(1), (QStringList{f->qpath("tree/a.txt"), f->qpath("tree/b.txt")}));
        QCOMPARE(f->status(0), QStringLiteral("2 matches found !"));
        QVERIFY(f->column(2)[0].contains(QStringLiteral("harbour")));
        QVERIFY(f->column(2)[1].contains(QStringLiteral("harbour wall")));
        QCOMPARE(frames.size(), 3);
        QCOMPARE(frames[0].rows, 2);
        QCOMPARE(frames[0].excerpts, 0);
        QCOMPARE(frames[0].count, QStringLiteral("old")); // the list shows before the count
        QCOMPARE(frames[1].count, QStringLiteral("2 matches found !"));
        QCOMPARE(frames[1].excerpts, 0);
        QCOMPARE(frames[2].excerpts, 1); // each row's excerpt shows before the next is sought

        // No usable word: an empty list and a count of 0.
        f->search(QString());
        QCOMPARE(list()->topLevelItemCount(), 0);
        QCOMPARE(f->status(0), QStringLiteral("0 matches found !"));
    }

    void sortingSharesOneDirection() {
        writeCountedTree();
        QVERIFY(f->index(f->qpath("tree")));
        f->search(QStringLiteral("harbour lantern"));
        QCOMPARE(f->column(0).size(), 4);
        QVERIFY(f->column(0).contains(QStringLiteral("> 68")));
        auto names = [&] {
            QStringList out;
            for (const QString &p : f->column(1)) out << p.section(QLatin1Char('/'), -1);
            return out;
        };
        clickHeader(0); // first click: ascending
        QCOMPARE(f->column(0), (QStringList{"2", "67", "> 68", "70"}));
        clickHeader(0); // second: descending
        QCOMPARE(f->column(0), (QStringList{"70", "> 68", "67", "2"}));
        clickHeader(1); // the direction flips again: names ascending
        QCOMPARE(names(), (QStringList{"a.txt", "b.txt", "c.txt", "d.txt"}));
        clickHeader(2); // "First Occurence": nothing changes, not even the direction
        QCOMPARE(names(), (QStringList{"a.txt", "b.txt", "c.txt", "d.txt"}));
        clickHeader(1);
        QCOMPARE(names(), (QStringList{"d.txt", "c.txt", "b.txt", "a.txt"}));
    }

    void doubleClickOpensTheSelectedExistingFile() {
        f->write("tree/a.txt", "harbour lights at night");
        f->write("tree/b.txt", "the harbour is calm");
        QVERIFY(f->index(f->qpath("tree")));
        f->search(QStringLiteral("harbour"));
        QCOMPARE(list()->topLevelItemCount(), 2);
        QRect row0 = list()->visualItemRect(list()->topLevelItem(0));
        QPoint below(10, list()->visualItemRect(list()->topLevelItem(1)).bottom() + 30);

        list()->clearSelection();
        doubleClick(below); // nothing selected: nothing happens
        QVERIFY(opened.isEmpty());

        doubleClick(row0.center());
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened[0], QUrl::fromLocalFile(f->column(1)[0]));

        std::filesystem::remove(f->column(1)[0].toStdString()); // gone since the search: said so
        doubleClick(row0.center());
        QCOMPARE(opened.size(), 1);
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages[0].text.endsWith(QStringLiteral("does not exist any more.")), qPrintable(messages[0].text));
    }

    void enterAndTheContextMenuOpenTheRow() {
        f->write("tree/a.txt", "harbour lights at night");
        QVERIFY(f->index(f->qpath("tree")));
        f->search(QStringLiteral("harbour"));
        QTreeWidgetItem *row = list()->topLevelItem(0);
        list()->setCurrentItem(row);
        list()->setFocus();
        QTest::keyClick(list(), Qt::Key_Return);
        QCOMPARE(opened, (QList<QUrl>{QUrl::fromLocalFile(f->qpath("tree/a.txt"))}));

        auto action = [&](const char *text) {
            QMenu *menu = f->mainform->resultMenu(row);
            for (QAction *a : menu->actions())
                if (a->text() == QLatin1String(text)) {
                    a->trigger();
                    break;
                }
            delete menu;
        };
        action("&Open");
        action("Open Containing &Folder");
        action("&Copy Path");
        QCOMPARE(opened.size(), 3);
        QCOMPARE(opened[1], QUrl::fromLocalFile(f->qpath("tree/a.txt")));
        QCOMPARE(opened[2], QUrl::fromLocalFile(f->qpath("tree")));
        QCOMPARE(copied, (QStringList{f->qpath("tree/a.txt")}));
        QVERIFY(messages.isEmpty());

        // The desktop has no application for it: said so, never nothing.
        open_succeeds = false;
        action("&Open");
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages[0].text.startsWith(QStringLiteral("No application could open")), qPrintable(messages[0].text));
    }

    // A file inside a disc image opens from a private copy of its bytes, gone with the window.
    void aFileInAnImageOpensFromAPrivateCopy() {
        std::string text = "harbour lights at night\n";
        for (int i = 0; i < 5000; i++) text += "line " + std::to_string(i) + " of the keeper's log\n"; // several blocks
        f->write("src/docs/log.txt", text);
        std::string cmd = "xorriso -as mkisofs -quiet -J -R -o '" + f->path("disc.iso") + "' '" + f->path("src") +
                          "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) QSKIP("xorriso is needed to make the image");
        QVERIFY(f->index(f->qpath("disc.iso")));
        f->search(QStringLiteral("harbour"));
        QCOMPARE(list()->topLevelItemCount(), 1);
        list()->setCurrentItem(list()->topLevelItem(0));
        f->mainform->ListView1DblClick();
        QVERIFY2(messages.isEmpty(), messages.isEmpty() ? "" : qPrintable(messages[0].text));
        QCOMPARE(opened.size(), 1);
        QString copy = opened[0].toLocalFile();
        QVERIFY(copy.endsWith(QStringLiteral("/log.txt")));
        QVERIFY(!copy.startsWith(f->qpath("disc.iso")));
        QFile in(copy);
        QVERIFY(in.open(QIODevice::ReadOnly));
        QCOMPARE(in.readAll().toStdString(), text);
        in.close();
        // The copies go with the window.
        f.reset();
        QVERIFY(!QFile::exists(copy));
    }

    void columnsShareTheWidthAndShowTheSortOrder() {
        writeCountedTree();
        QVERIFY(f->index(f->qpath("tree")));
        f->search(QStringLiteral("harbour lantern"));
        QHeaderView *h = list()->header();
        f->mainform->show();
        QVERIFY(QTest::qWaitForWindowExposed(f->mainform));
        int before = list()->viewport()->width();
        f->mainform->resize(f->mainform->width() + 330, f->mainform->height());
        QTRY_COMPARE(list()->viewport()->width(), before + 330);
        // Freq keeps its width; the other two take the new room in their design proportion.
        QCOMPARE(h->sectionSize(0), 50);
        QCOMPARE(h->sectionSize(1), 300 + 180);
        QCOMPARE(h->sectionSize(2), 250 + 150);
        QVERIFY(!h->isSortIndicatorShown()); // rank order, no column's
        clickHeader(0);
        QVERIFY(h->isSortIndicatorShown());
        QCOMPARE(h->sortIndicatorSection(), 0);
        Qt::SortOrder first = h->sortIndicatorOrder();
        clickHeader(0);
        QCOMPARE(h->sortIndicatorSection(), 0);
        QVERIFY(h->sortIndicatorOrder() != first);
        clickHeader(1);
        QCOMPARE(h->sortIndicatorSection(), 1);
    }

    // With remember_layout on (the program sets it), size and column widths outlive the window.
    void sizeAndColumnWidthsAreRemembered() {
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, f->qpath("settings"));
        remember_layout = true;
        {
            Tmainform first;
            first.resize(700, 500);
            first.findChild<QTreeWidget *>(QStringLiteral("ListView1"))->header()->resizeSection(1, 222);
            first.close();
        }
        Tmainform second;
        remember_layout = false;
        QCOMPARE(second.size(), QSize(700, 500));
        QCOMPARE(second.findChild<QTreeWidget *>(QStringLiteral("ListView1"))->header()->sectionSize(1), 222);
    }

    void focusStartsInTheWordBoxWhenAnIndexLoads() {
        f->write("tree/a.txt", "harbour lights at night");
        QVERIFY(f->index(f->qpath("tree")));
        Tmainform again;
        Tscanform scan(&again);
        again.show();
        QVERIFY(QTest::qWaitForWindowExposed(&again));
        QTRY_COMPARE(again.focusWidget(), again.findChild<QWidget *>(QStringLiteral("Edit2")));
    }

    void latin1AndUtf8NamesShowAsTheirLetters() {
        f->write("tree/caf\xE9.txt", "harbour lights at night");         // Latin-1 name
        f->write("tree/th\xC3\xA9.txt", "harbour wall by the sea"); // UTF-8 name
        QVERIFY(f->index(f->qpath("tree")));
        f->search(QStringLiteral("harbour"));
        QStringList names = f->column(1);
        names.sort();
        QCOMPARE(names, (QStringList{f->qpath("tree/caf\u00e9.txt"), f->qpath("tree/th\u00e9.txt")}));
        // The Latin-1 file opens by its own bytes.
        for (int i = 0; i < 2; i++) {
            list()->setCurrentItem(list()->topLevelItem(i));
            f->mainform->ListView1DblClick();
        }
        QCOMPARE(opened.size(), 2);
        QStringList urls;
        for (const QUrl &u : opened) urls << QString::fromLatin1(u.toEncoded()).section(QLatin1Char('/'), -1);
        urls.sort();
        QCOMPARE(urls, (QStringList{"caf%E9.txt", "th%C3%A9.txt"}));
    }

    void wordBoxTextReachesTheIndexAsLatin1() {
        f->write("tree/a.txt", "Gr\xFC\xDF" "e aus M\xFCnchen"); // Latin-1 file
        QVERIFY(f->index(f->qpath("tree")));
        f->search(QStringLiteral("M\u00fcnchen"));
        QCOMPARE(f->column(0), (QStringList{"1"}));
        QVERIFY(f->column(2)[0].contains(QStringLiteral("M\u00fcnchen")));
    }

    void speedButtonPutsTheChosenFolderInThePathBox() {
        f->mkdir("tree/sub");
        static QString asked;
        choose_dir_hook = [](QWidget *, const QString &start) {
            asked = start;
            return start + QStringLiteral("/sub");
        };
        f->find<QLineEdit>("Edit1")->setText(f->qpath("tree/missing/deeper"));
        QTest::mouseClick(f->find<QToolButton>("SpeedButton1"), Qt::LeftButton);
        QCOMPARE(asked, f->qpath("tree")); // the nearest folder that exists
        QCOMPARE(f->find<QLineEdit>("Edit1")->text(), f->qpath("tree/sub"));
        choose_dir_hook = [](QWidget *, const QString &) { return QString(); }; // cancelled
        QTest::mouseClick(f->find<QToolButton>("SpeedButton1"), Qt::LeftButton);
        QCOMPARE(f->find<QLineEdit>("Edit1")->text(), f->qpath("tree/sub"));
    }

    void errorsInHandlersAreShownAndTheLoopGoesOn() {
        struct Thrower : QObject {
            int handled = 0;
            bool event(QEvent *e) override {
                if (e->type() != QEvent::User) return QObject::event(e);
                if (handled++ == 0) throw std::runtime_error("disk on fire");
                if (handled == 2) throw 42;
                return true;
            }
        } thrower;
        for (int i = 0; i < 3; i++) QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
        QTRY_COMPARE(thrower.handled, 3);
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages[0].text, QStringLiteral("disk on fire"));
        QCOMPARE(messages[1].text, QString());
        QCOMPARE(messages[0].title, QStringLiteral("Olmarest"));
    }

    void engineReportsReachABoxFromAnyThread() {
        set_report_hook(gui_report);
        check_failed("n > FS_BUF_SIZE", "idx/read", 12);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].text, QStringLiteral("Assertion failed: n > FS_BUF_SIZE, file idx/read, line 12"));
        // From another thread the box is the UI thread's; the reporter waits until it is closed.
        std::atomic<bool> returned{false};
        std::thread t([&] {
            check_failed("ReadFileEx error", "idx/read", 34);
            returned = true;
        });
        QTRY_VERIFY(returned.load());
        t.join();
        set_report_hook(nullptr);
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages[1].text, QStringLiteral("Assertion failed: ReadFileEx error, file idx/read, line 34"));
    }
};

QObject *make_main_window_test() { return new MainWindowTest; }

#include "main_test.moc"
